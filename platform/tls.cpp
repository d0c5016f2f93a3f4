// OpenSSL contexts for the server and client sides of connections. The
// server's context is replaced whole when its certificate or key file
// changes; handshakes hold a reference to the context they began with.
#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <memory>
#include <mutex>

#include "platform/file_io.h"
#include "platform/sync.h"

namespace {

struct ContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using Context = std::shared_ptr<SSL_CTX>;

struct ServerFiles {
    std::string certificate;
    std::string key;
    FileStamp certificateStamp;
    FileStamp keyStamp;
};

std::mutex& TlsLock()
{
    static Lasting<std::mutex> lock;
    return *lock;
}
ServerFiles serverFiles;
Context serverContext;
Context clientContext;

// The last OpenSSL error as text, the queue then cleared.
std::string OpenSslError(const char* step)
{
    std::string text = step;
    const unsigned long error = ERR_get_error();
    if (error != 0) {
        char reason[256];
        ERR_error_string_n(error, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    return text;
}

// What both sides share: TLS 1.2 at least, no renegotiation, the kernel's
// TLS offload where it has one.
SSL_CTX* NewContext(const SSL_METHOD* method)
{
    SSL_CTX* context = SSL_CTX_new(method);
    if (context == nullptr)
        return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_ENABLE_KTLS);
    SSL_CTX_set_mode(context, SSL_MODE_AUTO_RETRY | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return context;
}

std::string LoadServerContext(const ServerFiles& files, Context* loaded)
{
    std::unique_ptr<SSL_CTX, ContextFree> context(NewContext(TLS_server_method()));
    if (!context)
        return OpenSslError("TLS context");
    if (SSL_CTX_use_certificate_chain_file(context.get(), files.certificate.c_str()) != 1)
        return OpenSslError(("TLS certificate " + files.certificate).c_str());
    if (SSL_CTX_use_PrivateKey_file(context.get(), files.key.c_str(), SSL_FILETYPE_PEM) != 1)
        return OpenSslError(("TLS key " + files.key).c_str());
    if (SSL_CTX_check_private_key(context.get()) != 1)
        return OpenSslError("TLS key does not match the certificate");
    static const unsigned char kSessionContext[] = "nntp";
    SSL_CTX_set_session_id_context(context.get(), kSessionContext, sizeof kSessionContext - 1);
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_SERVER);
    *loaded = Context(context.release(), ContextFree());
    return {};
}

// Under TlsLock: loads the pair again when either file changed.
std::string RefreshServer()
{
    ServerFiles now = serverFiles;
    now.certificateStamp = StampOfFile(now.certificate.c_str());
    now.keyStamp = StampOfFile(now.key.c_str());
    if (serverContext != nullptr && now.certificateStamp == serverFiles.certificateStamp &&
        now.keyStamp == serverFiles.keyStamp)
        return {};
    Context loaded;
    std::string problem = LoadServerContext(now, &loaded);
    // The stamps are taken even when loading fails: a broken pair is
    // reported once, not at every handshake, and the context before stays.
    serverFiles = now;
    if (problem.empty())
        serverContext = std::move(loaded);
    return problem;
}

Context ServerContext(std::string* problem)
{
    std::lock_guard lock(TlsLock());
    if (!serverFiles.certificate.empty())
        *problem = RefreshServer();
    return serverContext;
}

Context ClientContext(std::string* problem)
{
    std::lock_guard lock(TlsLock());
    if (clientContext == nullptr) {
        SSL_CTX* context = NewContext(TLS_client_method());
        if (context == nullptr)
            *problem = OpenSslError("TLS client context");
        else
            clientContext = Context(context, ContextFree());
    }
    return clientContext;
}

// A new connection state over the transport's socket.
SSL* Attach(SSL_CTX* context, const Transport& transport, std::string* problem)
{
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr || SSL_set_fd(ssl, transport.fd) != 1) {
        *problem = OpenSslError("TLS connection");
        SSL_free(ssl);
        return nullptr;
    }
    return ssl;
}

// Ends a handshake: the state kept on success, freed on failure.
bool Finish(Transport& transport, SSL* ssl, int result, const char* step, std::string* problem)
{
    if (result == 1) {
        transport.tls = ssl;
        return true;
    }
    *problem = OpenSslError(step);
    SSL_free(ssl);
    return false;
}

}  // namespace

std::string TlsServerInit(const char* certificateFile, const char* keyFile)
{
    std::lock_guard lock(TlsLock());
    serverFiles = ServerFiles{certificateFile, keyFile, {}, {}};
    serverContext = nullptr;
    return RefreshServer();
}

bool TlsServerReady()
{
    std::lock_guard lock(TlsLock());
    return serverContext != nullptr;
}

std::string TlsServerReload()
{
    std::lock_guard lock(TlsLock());
    return serverFiles.certificate.empty() ? std::string() : RefreshServer();
}

bool TlsAccept(Transport& transport, std::string* problem)
{
    std::string reload;
    const Context context = ServerContext(&reload);
    if (context == nullptr) {
        *problem = reload.empty() ? "TLS is not configured" : reload;
        return false;
    }
    SSL* ssl = Attach(context.get(), transport, problem);
    if (ssl == nullptr)
        return false;
    const bool done = Finish(transport, ssl, SSL_accept(ssl), "TLS handshake", problem);
    if (done)
        *problem = std::move(reload);
    return done;
}

bool TlsConnect(Transport& transport, const char* host, const char* caFile, std::string* problem)
{
    const Context context = ClientContext(problem);
    if (context == nullptr)
        return false;
    SSL* ssl = Attach(context.get(), transport, problem);
    if (ssl == nullptr)
        return false;
    // The peer is checked against the named file or the system's store.
    X509_STORE* store = X509_STORE_new();
    const bool loaded =
        caFile != nullptr ? X509_STORE_load_file(store, caFile) == 1 : X509_STORE_set_default_paths(store) == 1;
    if (!loaded || SSL_set1_verify_cert_store(ssl, store) != 1) {
        X509_STORE_free(store);
        return Finish(transport, ssl, 0, "TLS trusted certificates", problem);
    }
    X509_STORE_free(store);
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    SSL_set_tlsext_host_name(ssl, host);
    SSL_set1_host(ssl, host);
    const int result = SSL_connect(ssl);
    if (result != 1 && SSL_get_verify_result(ssl) != X509_V_OK) {
        *problem = std::string("TLS peer certificate: ") + X509_verify_cert_error_string(SSL_get_verify_result(ssl));
        ERR_clear_error();
        SSL_free(ssl);
        return false;
    }
    return Finish(transport, ssl, result, "TLS handshake", problem);
}

bool TransportIsTls(const Transport& transport)
{
    return transport.tls != nullptr;
}

const char* TransportTlsVersion(const Transport& transport)
{
    return transport.tls != nullptr ? SSL_get_version(transport.tls) : nullptr;
}

// TLS with OpenSSL for connections: the server's certificate and key, the
// handshakes that turn a plain transport into an encrypted one (as the
// server for readers and peers, as the client for outgoing feeds). TLS 1.2
// is the least version either side takes; OpenSSL's default ciphers and
// session resumption (tickets and the server's cache) stay on.
#pragma once

#include <string>

#include "platform/transport.h"

// Loads the certificate chain and key the server presents; an empty text,
// or why they cannot be used (the server then offers no TLS). When either
// file changes later, the next handshake loads them again, so a renewed
// certificate needs no restart; a pair that fails to load then leaves the
// one before in use.
std::string TlsServerInit(const char* certificateFile, const char* keyFile);

// True once TlsServerInit has succeeded: STARTTLS and the TLS port work.
bool TlsServerReady();

// Checks the files again now (the reload command's hook); as TlsServerInit
// for a changed pair, an empty text when nothing changed.
std::string TlsServerReload();

// The server side of a handshake on the connected plain `transport`; on
// success its reads and writes are encrypted from then on. Bounded by the
// socket's time-outs. False with *problem set when the handshake fails (the
// caller closes the connection); true with *problem set when changed
// certificate files could not be loaded, the pair before being used.
bool TlsAccept(Transport& transport, std::string* problem);

// The client side: `host` is the name the peer's certificate must carry,
// `caFile` a file of trusted certificates, or null for the system's store.
bool TlsConnect(Transport& transport, const char* host, const char* caFile, std::string* problem);

// Whether the transport is encrypted, and with which protocol version
// ("TLSv1.3"); null when plain.
bool TransportIsTls(const Transport& transport);
const char* TransportTlsVersion(const Transport& transport);

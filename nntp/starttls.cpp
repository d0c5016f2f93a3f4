// STARTTLS on a connection of the command loop. The handshake runs on the
// connection's own thread, bounded by the socket's time-outs like a command.
#include "nntp/starttls.h"

#include <string>

#include "nntp/reply.h"
#include "platform/tls.h"
#include "server/client_context.h"
#include "server/log.h"

int StartTls(ClientContext* ctx, char*, uint32_t length)
{
    if (!TlsServerReady())
        return Respond(ctx, kReplyInvalidCommand);
    if (TransportIsTls(ctx->transport) || ctx->authenticated != 0)
        return Respond(ctx, 502);
    Respond(ctx, 382);
    FlushReplies(ctx);
    // Bytes after the command came before the encryption: an attacker's
    // injection as likely as the client's, so they are not read as commands.
    ctx->used = length;
    ctx->authUser[0] = '\0';
    std::string problem;
    if (!TlsAccept(ctx->transport, &problem)) {
        LogFormat("starttls: %s (%s): %s", ctx->peerAddress, ctx->peerName, problem.c_str());
        CloseConnection(ctx);
    } else if (!problem.empty()) {
        LogFormat("TLS certificate kept: %s", problem.c_str());
    }
    return 1;
}

const char* StartTlsCapability(const ClientContext* ctx)
{
    if (!TlsServerReady() || TransportIsTls(ctx->transport) || ctx->authenticated != 0)
        return "";
    return "STARTTLS\r\n";
}

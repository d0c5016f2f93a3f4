// AUTHINFO USER/PASS and the rights of a connection. A refused password is
// answered only after the peer address's delay, on this connection's thread
// alone; the password itself is never logged or kept.
#include "nntp/authinfo.h"

#include <cctype>
#include <cstring>
#include <string>
#include <string_view>
#include <strings.h>
#include <thread>

#include "access/incoming.h"
#include "access/login_delay.h"
#include "access/passwords.h"
#include "nntp/reply.h"
#include "platform/tls.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

namespace {

constexpr size_t kLoggedNameLimit = 64;

// Whether a login must wait for TLS on this connection.
bool TlsFirst(const ClientContext* ctx)
{
    if (TransportIsTls(ctx->transport))
        return false;
    return ConfigNumber(ConfigKey::kTLSRequiredForAuth) != 0 || ctx->incomingEntry->tlsRequired != 0;
}

// Whether the entry's demand for TLS holds back this connection.
bool TlsWithheld(const ClientContext* ctx)
{
    return ctx->incomingEntry->tlsRequired != 0 && !TransportIsTls(ctx->transport);
}

// The name as the log shows it: printable ASCII, cut short.
std::string LoggedName(std::string_view name)
{
    std::string shown(name.substr(0, kLoggedNameLimit));
    for (char& c : shown)
        if (std::isprint(static_cast<unsigned char>(c)) == 0)
            c = '?';
    return shown;
}

int User(ClientContext* ctx, std::string_view name)
{
    if (name.size() >= sizeof ctx->authUser) {
        LogFormat("authinfo: over-long user name from %s refused", ctx->peerAddress);
        return Respond(ctx, 481);
    }
    name.copy(ctx->authUser, name.size());
    ctx->authUser[name.size()] = '\0';
    return Respond(ctx, 381);
}

int Pass(ClientContext* ctx, std::string_view password)
{
    if (ctx->authUser[0] == '\0')
        return Respond(ctx, 482);
    // Each USER is good for one PASS.
    const std::string user = ctx->authUser;
    ctx->authUser[0] = '\0';
    const std::optional<LoginClock::time_point> turn = LoginTurn(ctx->peer, LoginClock::now());
    if (!turn) {
        LogFormat("authinfo: login as %s from %s refused unchecked: too many failures waiting",
                  LoggedName(user).c_str(), ctx->peerAddress);
        return Respond(ctx, 481);
    }
    std::this_thread::sleep_until(*turn);
    const std::optional<uint32_t> rights = CheckPassword(user, password);
    if (!rights) {
        const LoginClock::time_point answer = LoginFailed(ctx->peer, LoginClock::now());
        LogFormat("authinfo: failed login as %s from %s", LoggedName(user).c_str(), ctx->peerAddress);
        std::this_thread::sleep_until(answer);
        return Respond(ctx, 481);
    }
    ctx->authenticated = 1;
    ctx->authRights = *rights;
    LogFormat("authinfo: %s logged in from %s", LoggedName(user).c_str(), ctx->peerAddress);
    return Respond(ctx, 281);
}

// The argument after the keyword and one blank, or empty.
std::string_view Argument(std::string_view rest, std::string_view keyword)
{
    if (rest.size() <= keyword.size() || strncasecmp(rest.data(), keyword.data(), keyword.size()) != 0)
        return {};
    return rest.substr(keyword.size());
}

}  // namespace

int Authinfo(ClientContext* ctx, char* line, uint32_t)
{
    if (!PasswordsConfigured())
        return Respond(ctx, kReplyInvalidCommand);
    if (ctx->authenticated != 0)
        return Respond(ctx, 502);
    if (TlsFirst(ctx))
        return Respond(ctx, 483);
    const std::string_view rest = std::string_view(line).substr(std::strlen("authinfo"));
    if (std::string_view name = Argument(rest, " user "); !name.empty())
        return User(ctx, name);
    if (std::string_view password = Argument(rest, " pass "); !password.empty())
        return Pass(ctx, password);
    return Respond(ctx, 501);
}

uint32_t ConnectionRights(const ClientContext* ctx)
{
    const IncomingEntry* entry = ctx->incomingEntry;
    if (TlsWithheld(ctx))
        return 0;
    const uint32_t own = entry->authRequired != 0 && ctx->authenticated == 0 ? 0 : entry->rights.load();
    return own | ctx->authRights;
}

int WithheldReply(const ClientContext* ctx)
{
    if (TlsWithheld(ctx))
        return 483;
    if (ctx->authenticated == 0 && (ctx->incomingEntry->authRequired != 0 || PasswordsConfigured()))
        return 480;
    return 0;
}

const char* AuthinfoCapability(const ClientContext* ctx)
{
    if (!PasswordsConfigured() || ctx->authenticated != 0)
        return "";
    return TlsFirst(ctx) ? "AUTHINFO\r\n" : "AUTHINFO USER\r\n";
}

// The metrics listener: libmicrohttpd with its own polling thread, serving
// three read-only paths. Every answer is made fresh; nothing is cached.
#include <cstring>
#include <string>

#include <microhttpd.h>

#include "platform/socket.h"
#include "server/config.h"
#include "server/log.h"
#include "server/metrics.h"
#include "server/status_page.h"

namespace {

MHD_Daemon* daemonHandle = nullptr;

MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body, const char* type)
{
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, "Content-Type", type);
    MHD_add_response_header(response, "Cache-Control", "no-store");
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result Answer(void*, MHD_Connection* connection, const char* url, const char* method, const char*, const char*,
                  size_t* uploadSize, void**)
{
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
        return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET\n", "text/plain");
    if (*uploadSize != 0)
        return Reply(connection, MHD_HTTP_BAD_REQUEST, "no body expected\n", "text/plain");
    if (std::strcmp(url, "/metrics") == 0)
        return Reply(connection, MHD_HTTP_OK, MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
    if (std::strcmp(url, "/status.json") == 0)
        return Reply(connection, MHD_HTTP_OK, StatusJson(), "application/json");
    if (std::strcmp(url, "/") == 0)
        return Reply(connection, MHD_HTTP_OK, StatusPage(), "text/html; charset=utf-8");
    return Reply(connection, MHD_HTTP_NOT_FOUND, "not found\n", "text/plain");
}

}  // namespace

const std::string& StatusPage()
{
    static const std::string page(kStatusPageHtml);
    return page;
}

void MetricsInit()
{
    const int port = ConfigNumber(ConfigKey::kMetricsPort, 0);
    if (port == 0)
        return;
    const char* text = ConfigText(ConfigKey::kMetricsAddress);
    NetAddress address{};
    if (port > 65535 || !ParseNetAddress(text, &address) || !IsLoopback(address)) {
        LogFormat("metrics: not listening: MetricsAddress %s port %d is not a loopback address and port", text, port);
        return;
    }
    address.port = static_cast<uint16_t>(port);
    sockaddr_storage socketAddress{};
    ToSocketAddress(address, &socketAddress);
    const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ERROR_LOG |
                           (address.family == AF_INET6 ? MHD_USE_IPv6 : 0);
    daemonHandle = MHD_start_daemon(flags, static_cast<uint16_t>(port), nullptr, nullptr, Answer, nullptr,
                                    MHD_OPTION_SOCK_ADDR, &socketAddress, MHD_OPTION_CONNECTION_LIMIT, 16u,
                                    MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (daemonHandle == nullptr)
        LogFormat("metrics: cannot listen on %s port %d", text, port);
    else
        LogFormat("metrics: listening on %s port %d", text, port);
}

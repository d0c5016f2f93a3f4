// Monitoring: the server's figures in the Prometheus text exposition format
// (/metrics) and as JSON for the status page (/status.json), served by a
// small HTTP listener on a loopback address (MetricsAddress, MetricsPort;
// none when the port is 0). The HTTP side is libmicrohttpd's: malformed
// requests get its 400, anything but GET 405, unknown paths 404.
#pragma once

#include <string>

// Opens the listener when MetricsPort is set. A non-loopback address is
// refused (logged): the figures are for the machine's own scraper.
void MetricsInit();

// The /metrics body.
std::string MetricsText();

// The /status.json body.
std::string StatusJson();

// The / body: the status page, self-contained.
const std::string& StatusPage();

// Accept loop with its admission checks: the system limit, the incoming
// access table and the peer's own limit, then a greeting and a thread.
#pragma once

#include <string>

// The backlog of the listening socket: "ListenBacklog" (the default, 1024,
// for a value below 1), at most the system's limit (net.core.somaxconn).
int ListenBacklog();

// Opens the socket listening on ListenAddress:ListenPort (once) and tells
// the service manager the server is ready. Empty when it listens; else the
// failure ("cannot listen on 127.0.0.1:119: bind: Address already in use"),
// also logged and shown as the service's status.
std::string StartListening();

// Opens and closes a socket on ListenAddress:ListenPort the same way, for
// a check before the start: empty, or the failure.
std::string CheckListening();

// Waits for AcceptConnections, listens on ListenAddress:ListenPort and
// accepts for ever; returns 0 only when the listening socket cannot be set up.
int DoConnections();

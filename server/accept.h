// Accept loop with its admission checks: the system limit, the incoming
// access table and the peer's own limit, then a greeting and a thread.
#pragma once

// The backlog of the listening socket: "ListenBacklog" (the default, 1024,
// for a value below 1), at most the system's limit (net.core.somaxconn).
int ListenBacklog();

// Waits for AcceptConnections, listens on ListenAddress:ListenPort and
// accepts for ever; returns 0 only when the listening socket cannot be set up.
int DoConnections();

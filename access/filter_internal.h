// The external filter's set-up steps, used by its own source and the tests.
#pragma once

#include <netinet/in.h>

// Connected loopback TCP pair: *child is the filter's end, *server ours.
// Listening ports are tried upwards from 5001, continuing between calls.
int CreateSocket(int* child, int* server);

// Starts "/bin/sh -c <ExternalFilter>" with `input` as standard input and
// `output` as standard output and error; 1 started, 0 not.
int CreateChildProcess(int input, int output);

// IPv4 address of `host` (dotted or resolved; null gives 0.0.0.0) and
// `port`; 0 when the host can't be resolved.
int CreateSocketAddress(sockaddr_in* address, const char* host, int port);

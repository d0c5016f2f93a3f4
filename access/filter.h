// External article filter: an operator-chosen program, started at start-up,
// that judges each incoming article over a loopback TCP connection. It is a
// convenience, not a gate: when it fails, articles pass and it is switched off.
#pragma once

#include <netinet/in.h>

struct ClientContext;

// Makes the socket pair, starts the program named by "ExternalFilter" on one
// end and compiles "ExternalFilterMatchString". "ExternalFilterTimeout"
// (milliseconds, default 15000) bounds every send and receive. Returns 1.
int ExternalFilterInit();

// 335 to accept the article at the start of context->buffer, any other code
// (0 for a reply that is not a number) to refuse it. Callers serialise calls.
int ExternalFilterCheck(ClientContext* context);

// Connected loopback TCP pair: *child is the filter's end, *server ours.
// Listening ports are tried upwards from 5001, continuing between calls.
int CreateSocket(int* child, int* server);

// Starts "/bin/sh -c <ExternalFilter>" with `input` as standard input and
// `output` as standard output and error; 1 started, 0 not.
int CreateChildProcess(int input, int output);

// IPv4 address of `host` (dotted or resolved; null gives 0.0.0.0) and
// `port`; 0 when the host can't be resolved.
int CreateSocketAddress(sockaddr_in* address, const char* host, int port);

// Closes our end, gives the filter 2 seconds to end, then kills it.
void filterclose();

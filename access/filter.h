// External article filter: an operator-chosen program, started at start-up,
// that judges each incoming article over a loopback TCP connection. It is a
// convenience, not a gate: when it fails, articles pass and it is switched off.
#pragma once

struct ClientContext;

// Makes the socket pair, starts the program named by "ExternalFilter" on one
// end and compiles "ExternalFilterMatchString". "ExternalFilterTimeout"
// (milliseconds, default 15000) bounds every send and receive. Returns 1.
int ExternalFilterInit();

// 335 to accept the article at the start of context->buffer, any other code
// (0 for a reply that is not a number) to refuse it. Callers serialise calls.
int ExternalFilterCheck(ClientContext* context);

// Closes our end, gives the filter 2 seconds to end, then kills it.
void filterclose();

// TLS for code that does its own I/O on a descriptor (the asynchronous
// feed connections): a local socket pair whose far end a relay thread
// carries over a TLS connection.
#pragma once

#include <string>

// The client side of a handshake on the connected `socket` (as TlsConnect,
// bounded by `handshakeSeconds`), then a descriptor whose plain bytes a
// thread of its own carries over the TLS connection until either end
// closes. -1 with *problem set when the handshake fails; the socket is
// closed then.
int TlsClientRelay(int socket, const char* host, const char* caFile, std::string* problem, int handshakeSeconds = 60);

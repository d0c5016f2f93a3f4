// STARTTLS (RFC 4642): a plain connection turns into a TLS one in place.
#pragma once

#include <cstdint>

struct ClientContext;

// 382 and the server side of the handshake; anything the client sent after
// the command in clear text is dropped, and so is a USER waiting for its
// PASS. 502 on a connection already under TLS or after a login; unknown
// (500) when the server has no certificate. A failed handshake ends the
// connection (logged).
int StartTls(ClientContext* ctx, char* line, uint32_t length);

// "STARTTLS\r\n" while the connection may still start TLS, else empty.
const char* StartTlsCapability(const ClientContext* ctx);

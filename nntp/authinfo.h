// Reader logins: AUTHINFO USER and PASS (RFC 4643), and the rights a
// connection has at a given moment: its incoming entry's, held back while
// the entry demands a login (auth_required) or TLS (tls_required) not yet
// given, plus the rights of its login.
#pragma once

#include <cstdint>

struct ClientContext;

// AUTHINFO USER name / AUTHINFO PASS password: 381 asks for the password,
// 281 accepts it, 481 refuses it (after the address's delay), 482 is a PASS
// without its USER, 502 any AUTHINFO after a login, 483 a login in clear
// text where TLS must come first, 501 a missing argument or another
// AUTHINFO form. Without a PasswordFile the command is unknown (500).
int Authinfo(ClientContext* ctx, char* line, uint32_t length);

// The rights bits the connection may use now.
uint32_t ConnectionRights(const ClientContext* ctx);

// What a command the connection may not use now, but could after TLS or a
// login, is answered: 483 while TLS is demanded, else 480 while no login
// has been made and one could give rights; 0 when neither would help.
int WithheldReply(const ClientContext* ctx);

// The AUTHINFO capability line for this connection: "AUTHINFO USER\r\n"
// when logins are possible now, "AUTHINFO\r\n" while TLS must come first,
// empty when logins are not offered or the connection has logged in.
const char* AuthinfoCapability(const ClientContext* ctx);

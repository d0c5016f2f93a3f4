// Entry points of the accept module that only its own source and the tests
// use.
#pragma once

struct ClientContext;

// Thread body of one admitted connection: the command loop, then the
// connection counted out of its peer's entry and the total, then the context
// released.
void RunSession(ClientContext* ctx);

// Article reception: IHAVE, CHECK, TAKETHIS and the inoculation command.
// Placeholder: each command is refused until this module is built.
#include "nntp/reception.h"

#include "nntp/nntp.h"

int nntp_ihave(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int nntp_check(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int nntp_takethis(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int nntp_innoculate(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }

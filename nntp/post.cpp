// Post queue directory and cancel files, and the POST command.
// Placeholder: filled in when this module is built.
#include "nntp/post.h"

#include "nntp/nntp.h"

int PostInit() { return 1; }

int nntp_post(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }

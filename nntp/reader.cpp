// Reader commands.
// Placeholder: each command is refused until this module is built.
#include "nntp/reader.h"

#include "nntp/nntp.h"

int Reader_Head(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Body(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Next(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Last(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Xover(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Listgroup(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_XHDR(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Stat(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Newgroups(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_List(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Group(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Xpath(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_ListGroupStruct(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }
int Reader_Article(ClientContext* ctx, char*, uint32_t) { return Respond(ctx, kReplyInvalidCommand); }

// Reader commands: argument syntax, the checks made before the group,
// new-groups and retrieval operations answer, and the bookkeeping of the
// connection's group selection. Handlers follow CommandHandler (nntp.h).
#pragma once

#include <cstdint>

struct ClientContext;

int Reader_Head(ClientContext* ctx, char* line, uint32_t length);
int Reader_Body(ClientContext* ctx, char* line, uint32_t length);
int Reader_Next(ClientContext* ctx, char* line, uint32_t length);
int Reader_Last(ClientContext* ctx, char* line, uint32_t length);
int Reader_Xover(ClientContext* ctx, char* line, uint32_t length);
int Reader_Listgroup(ClientContext* ctx, char* line, uint32_t length);
int Reader_XHDR(ClientContext* ctx, char* line, uint32_t length);
int Reader_Stat(ClientContext* ctx, char* line, uint32_t length);
int Reader_Newgroups(ClientContext* ctx, char* line, uint32_t length);
// LIST and LIST ACTIVE [pattern].
int Reader_List(ClientContext* ctx, char* line, uint32_t length);
int Reader_Group(ClientContext* ctx, char* line, uint32_t length);
int Reader_Xpath(ClientContext* ctx, char* line, uint32_t length);
int Reader_ListGroupStruct(ClientContext* ctx, char* line, uint32_t length);
int Reader_Article(ClientContext* ctx, char* line, uint32_t length);

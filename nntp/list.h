// LIST and its keywords: ACTIVE, ACTIVE.TIMES, DISTRIB.PATS, HEADERS,
// NEWSGROUPS and OVERVIEW.FMT. A keyword the server does not serve is
// refused as an invalid command. Handler follows CommandHandler (nntp.h).
#pragma once

#include <cstdint>

struct ClientContext;

int List(ClientContext* ctx, char* line, uint32_t length);

// Article acceptance: the module's settings and the insertion pipeline.
#pragma once

#include <cstdint>

#include "platform/sync.h"

struct ClientContext;

// The article insertion lock: one article's history check, slot claim,
// numbering, store append and history update run as one unit under it. The
// closing order takes it for good.
inline CriticalSection& csArtFile()
{
    static Lasting<CriticalSection> cs;
    return *cs;
}

// Settings read once by ArticleInit, before any connection exists.
extern int honorSupersedes;              // 0 ignores Supersedes: headers
extern int transitMode;                  // no numbering, no reader commands, no POST
extern const char* ControlMessagePattern;  // comma-separated wildcard patterns
extern int MaxArticleAge;                  // days an article may be old (default 7)

// Reads the settings, then starts the group database and the control-message
// queue. Ends the process with status 1 when HostPathIdentifier is missing.
// Returns 1.
int ArticleInit();

// The one door into the server: checks the article at the start of the
// context's buffer (match data prepared), numbers it in its groups, appends
// its overview record and text to a store, records it in the history and
// queues it for the sites. 1 accepted, 0 refused (logged where it says why),
// kArticleDeferred when the store could not be written: nothing keeps the
// article (its history entry is taken back), so the peer is to offer it
// again later. Failed writes are logged once per burst.
inline constexpr int kArticleDeferred = -1;
int AddArticleToFile(ClientContext* c);

// Appends the overview record of the article, ended by `xref`, to the store;
// the message-ID field's offset in the record and length go to the out
// arguments. 1 written, 0 when Subject, From, Date or Message-ID is missing
// or empty after filtering, or the write failed. Caller holds csArtFile.
int WriteOverview(uint32_t store, ClientContext* c, uint32_t* messageIdOffset, uint32_t* messageIdLength,
                  const char* xref);

// Enters the context's message-ID into the history as seen, without an
// article: 1 added, 0 when it was there already (counted as a refusal).
int InnoculateHistory(ClientContext* c);

// Sets the incoming filter from a match expression; "" or "*" clears it.
// 0, keeping the previous filter, when the text does not compile.
int SetIncomingFilter(const char* text);

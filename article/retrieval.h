// Sending stored articles to readers: the whole article, its header, its
// body, one header field, its overview line or its storage location, given
// its history slot (or the context's article key for the by-ID variants).
// Article bytes go from the store to the socket in pieces, never whole
// into memory.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

struct ClientContext;

// Reads the slot's stored message-ID into ctx->messageId; 1, or 0.
int ArticleGetMessageID(ClientContext* ctx, uint32_t slot);
// The same into `buffer` (at least 257 bytes), NUL-terminated.
int ArticleGetMessageIDBuf(char* buffer, uint32_t slot);

// "220", the article and the end marker; 0 with nothing sent when the
// article is gone (the caller answers).
int TransmitArticle(ClientContext* ctx, uint32_t slot, uint32_t number);
// "221", the header block and the end marker; 0 after answering 423.
int TransmitHeader(ClientContext* ctx, uint32_t slot, uint32_t number);
// "222", the body and the end marker; 0 after answering 430.
int TransmitArticleBody(ClientContext* ctx, uint32_t slot, uint32_t number);
// One "200 key=…" line with the storage location; 0 after answering 430.
int TransmitXpath(ClientContext* ctx, uint32_t slot, uint32_t number);
// "number value" of header `name` (colon included); 0 with nothing sent when
// the article or the header is missing.
int TransmitXHeader(ClientContext* ctx, uint32_t slot, uint32_t number, const char* name);
// The value of header `name` (colon included) of the slot's article into
// `out`, NUL-terminated and cut to room - 1 bytes: its length, 0 when the
// header is absent or empty, -1 when the article is gone.
int ArticleHeaderValue(uint32_t slot, const char* name, char* out, uint32_t room);
// The fields of the overview record in their order, as LIST OVERVIEW.FMT
// names them.
inline constexpr std::string_view kOverviewFormat[] = {
    "Subject:", "From:", "Date:", "Message-ID:", "References:", ":bytes", ":lines", "Xref:full"};
// The overview field a header name stands for (any case, no colon; ":bytes"
// and ":lines" for the counts), or -1 when the overview does not hold it.
int OverviewFieldIndex(std::string_view name);
// Field `index` of an overview record (without its article number): the
// Xref field without its "Xref: " and its line end. Empty when absent.
std::string_view OverviewField(std::string_view record, int index);
// "number" TAB and the overview record; 0 when the record is gone.
int TransmitOverview(ClientContext* ctx, uint32_t slot, uint32_t number);

// "number" TAB and the overview record in a new buffer (not NUL-terminated)
// of *length bytes; null when the record is gone or is no overview record
// (then the slot's article is marked gone).
std::unique_ptr<char[]> ReadOverviewLine(uint32_t slot, uint32_t number, uint32_t* length);

// By ctx->articleKey, with article number 0 in the status line. Unknown
// message-IDs, and known ones whose article is not there, are answered 430.
int TransmitArticleByID(ClientContext* ctx);
int TransmitHeaderByID(ClientContext* ctx);
int TransmitBodyByID(ClientContext* ctx);
// OVER and HDR by message-ID: "224" and the overview line, or "225" and
// "0 value" of header `name` (no colon), with article number 0; 430 when
// the article is not there.
int TransmitOverviewByID(ClientContext* ctx);
int TransmitHeaderFieldByID(ClientContext* ctx, const char* name);
// "223 0 message-ID" when the article is there; 430 otherwise.
int TransmitStatByID(ClientContext* ctx);

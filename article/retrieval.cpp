// Article retrieval. History gives the record's place, the store key check
// says whether the data is still there, and the bytes go from the store file
// to the socket. No lock: store reads are positioned and history reads go to
// mapped memory.
#include "article/retrieval.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <strings.h>
#include <vector>

#include "article/header.h"
#include "article/record_identity.h"
#include "article/store.h"
#include "history/history.h"
#include "nntp/reply.h"
#include "server/client_context.h"

namespace {

constexpr const char kEndMarker[] = "\r\n.\r\n";
constexpr const char kHeaderStatus[] = "221 %u %s article retrieved - header follows\r\n";
constexpr uint32_t kOverviewPiece = 4000;
constexpr uint32_t kOverviewBuffer = 4120;
constexpr uint32_t kOneWrite = 65536;
// Overview records hold 8 fields after the number: 8 TABs in the line.
constexpr uint32_t kOverviewTabs = 8;
constexpr int kOverviewXref = 7;
// A header block is at most 65535 bytes (16 bits in the history).
constexpr uint32_t kMaxHeaderValue = 65535;

// The connection thread's scratch space for header blocks, grown as needed
// so that XHDR over many articles allocates once.
std::vector<char>& Scratch(size_t size)
{
    thread_local std::vector<char> scratch;
    if (scratch.size() < size)
        scratch.resize(size);
    return scratch;
}

using SlotGetter = int (*)(uint32_t slot, uint64_t* storeKey, uint32_t* offset, uint32_t* length);

// Status line, the record's bytes and the end marker, when the slot still
// holds data in its store; false with nothing sent otherwise.
bool SendStored(ClientContext* ctx, uint32_t slot, uint32_t number, SlotGetter get, const char* status)
{
    uint64_t storeKey = 0;
    uint32_t offset = 0, length = 0;
    if (!get(slot, &storeKey, &offset, &length) || GetStoreHandle(storeKey) < 0 || !ArticleGetMessageID(ctx, slot))
        return false;
    char line[64 + kMessageIdSize];
    int n = std::snprintf(line, sizeof line, status, number, ctx->messageId);
    if (length <= kOneWrite) {
        // Status line, text and end marker in one write: a reader waiting
        // for the whole answer wakes once.
        auto head = static_cast<size_t>(n);
        std::vector<char>& scratch = Scratch(head + length + sizeof kEndMarker);
        std::memcpy(scratch.data(), line, head);
        if (ReadStore(storeKey, scratch.data() + head, offset, length) != length)
            return false;
        std::memcpy(scratch.data() + head + length, kEndMarker, sizeof kEndMarker - 1);
        SendData(ctx, scratch.data(), head + length + sizeof kEndMarker - 1);
        return true;
    }
    SendData(ctx, line, static_cast<size_t>(n));
    CopyStoreToHandle(ctx->transport, storeKey, offset, length);
    SendData(ctx, kEndMarker, sizeof kEndMarker - 1);
    return true;
}

int CountTabs(const char* data, uint32_t length)
{
    int tabs = 0;
    for (uint32_t i = 0; i < length; ++i)
        tabs += data[i] == '\t' ? 1 : 0;
    return tabs;
}

bool FindSlot(ClientContext* ctx, uint32_t* slot)
{
    if (SeenGetEntry(ctx->articleKey, slot))
        return true;
    Respond(ctx, 430);
    return false;
}

}  // namespace

int ArticleGetMessageIDBuf(char* buffer, uint32_t slot)
{
    uint64_t storeKey = 0;
    uint32_t offset = 0, length = 0;
    if (!SeenGetArticleMessageID(slot, &storeKey, &offset, &length) || length >= kMessageIdSize ||
        GetStoreHandle(storeKey) < 0 || ReadStore(storeKey, buffer, offset, length) != length ||
        !RecordIsSlots(slot, storeKey, std::string_view(buffer, length), offset))
        return 0;
    buffer[length] = '\0';
    return 1;
}

int ArticleGetMessageID(ClientContext* ctx, uint32_t slot)
{
    return ArticleGetMessageIDBuf(ctx->messageId, slot);
}

int TransmitArticle(ClientContext* ctx, uint32_t slot, uint32_t number)
{
    return SendStored(ctx, slot, number, SeenGetArticle, "220 %u %s article retrieved - head and body follow\r\n") ? 1
                                                                                                                   : 0;
}

int TransmitHeader(ClientContext* ctx, uint32_t slot, uint32_t number)
{
    if (SendStored(ctx, slot, number, SeenGetArticleHeader, kHeaderStatus))
        return 1;
    Respond(ctx, 423);
    return 0;
}

int TransmitArticleBody(ClientContext* ctx, uint32_t slot, uint32_t number)
{
    if (SendStored(ctx, slot, number, SeenGetArticleBody, "222 %u %s article retrieved - body follows\r\n"))
        return 1;
    Respond(ctx, 430);
    return 0;
}

int TransmitXpath(ClientContext* ctx, uint32_t slot, uint32_t number)
{
    uint64_t storeKey = 0, articleKey = 0;
    uint32_t length = 0;
    if (!SeenGetXPath(slot, &storeKey, &length, &articleKey)) {
        Respond(ctx, 430);
        return 0;
    }
    char line[160];
    int n = std::snprintf(line, sizeof line, "200 key=%" PRIx64 ",length=%u,number=%u,entry=%u id=%" PRIu64 "\r\n",
                          storeKey, length, number, slot, articleKey);
    SendData(ctx, line, static_cast<size_t>(n));
    return 1;
}

int ArticleHeaderValue(uint32_t slot, const char* name, char* out, uint32_t room)
{
    uint64_t storeKey = 0, idStoreKey = 0;
    uint32_t offset = 0, length = 0, idOffset = 0, idLength = 0;
    if (!SeenGetArticleHeader(slot, &storeKey, &offset, &length) ||
        !SeenGetArticleMessageID(slot, &idStoreKey, &idOffset, &idLength) || GetStoreHandle(storeKey) < 0)
        return -1;
    // One read from the message-ID (in the overview record, or in the
    // header of an article stored without one) to the header's end.
    const uint32_t from = std::min(idOffset, offset);
    const uint32_t to = std::max(offset + length, idOffset + idLength);
    std::vector<char>& scratch = Scratch(static_cast<size_t>(to - from));
    char* read = scratch.data();
    if (ReadStore(storeKey, read, from, to - from) != to - from ||
        !RecordIsSlots(slot, storeKey, std::string_view(read, to - from), from))
        return -1;
    GetHeaderFromBuf(read + (offset - from), name, out, room - 1, length);
    return static_cast<int>(std::strlen(out));
}

int TransmitXHeader(ClientContext* ctx, uint32_t slot, uint32_t number, const char* name)
{
    // "number " + value (at most the header block, and its NUL) + CR LF.
    thread_local std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(16 + kMaxHeaderValue + 3);
    char* line = buffer.get();
    int prefix = std::snprintf(line, 16, "%u ", number);
    int found = ArticleHeaderValue(slot, name, line + prefix, kMaxHeaderValue + 1);
    if (found <= 0)
        return 0;
    size_t used = static_cast<size_t>(prefix + found);
    std::memcpy(line + used, "\r\n", 2);
    SendData(ctx, line, used + 2);
    return 1;
}

int OverviewFieldIndex(std::string_view name)
{
    constexpr std::string_view kNames[] = {"subject",    "from",   "date",   "message-id",
                                           "references", ":bytes", ":lines", "xref"};
    for (size_t i = 0; i < std::size(kNames); ++i)
        if (name.size() == kNames[i].size() && strncasecmp(name.data(), kNames[i].data(), name.size()) == 0)
            return static_cast<int>(i);
    return -1;
}

std::string_view OverviewField(std::string_view record, int index)
{
    for (int i = 0; i < index; ++i) {
        size_t tab = record.find('\t');
        if (tab == std::string_view::npos)
            return {};
        record.remove_prefix(tab + 1);
    }
    record = record.substr(0, record.find('\t'));
    while (!record.empty() && (record.back() == '\n' || record.back() == '\r'))
        record.remove_suffix(1);
    if (index == kOverviewXref && record.size() >= 5 && strncasecmp(record.data(), "xref:", 5) == 0) {
        record.remove_prefix(5);
        record.remove_prefix(std::min(record.find_first_not_of(' '), record.size()));
    }
    return record;
}

int TransmitOverview(ClientContext* ctx, uint32_t slot, uint32_t number)
{
    uint64_t storeKey = 0;
    uint32_t length = 0;
    if (!SeenGetOverview(slot, &storeKey, &length))
        return 0;
    char buffer[kOverviewBuffer];
    uint32_t used = static_cast<uint32_t>(std::snprintf(buffer, sizeof buffer, "%u\t", number));
    for (uint32_t done = 0; done < length;) {
        uint32_t piece = std::min(length - done, kOverviewPiece);
        if (ReadStore(storeKey, buffer + used, done, piece) != piece ||
            (done == 0 && !RecordIsSlots(slot, storeKey, std::string_view(buffer + used, piece), 0)))
            return 0;
        SendData(ctx, buffer, used + piece);
        done += piece;
        used = 0;
    }
    return 1;
}

std::unique_ptr<char[]> ReadOverviewLine(uint32_t slot, uint32_t number, uint32_t* length)
{
    *length = 0;
    uint64_t storeKey = 0;
    uint32_t recordLength = 0;
    if (!SeenGetOverview(slot, &storeKey, &recordLength))
        return nullptr;
    auto line = std::make_unique_for_overwrite<char[]>(recordLength + 32);
    uint32_t prefix = static_cast<uint32_t>(std::snprintf(line.get(), 32, "%u\t", number));
    if (ReadStore(storeKey, line.get() + prefix, 0, recordLength) != recordLength)
        return nullptr;
    // Other data of the same store over the key: the article is gone.
    if (CountTabs(line.get(), prefix + recordLength) != kOverviewTabs) {
        SeenToast(slot);
        return nullptr;
    }
    if (!RecordIsSlots(slot, storeKey, std::string_view(line.get() + prefix, recordLength), 0))
        return nullptr;
    *length = prefix + recordLength;
    return line;
}

int TransmitArticleByID(ClientContext* ctx)
{
    uint32_t slot = 0;
    if (!FindSlot(ctx, &slot))
        return 0;
    if (TransmitArticle(ctx, slot, 0))
        return 1;
    Respond(ctx, 430);
    return 0;
}

// A known message-ID without its article (gone, or refused after its entry
// was made) is answered 430 like ARTICLE and BODY: 423 is about numbers.
int TransmitHeaderByID(ClientContext* ctx)
{
    uint32_t slot = 0;
    if (!FindSlot(ctx, &slot))
        return 0;
    if (SendStored(ctx, slot, 0, SeenGetArticleHeader, kHeaderStatus))
        return 1;
    Respond(ctx, 430);
    return 0;
}

int TransmitBodyByID(ClientContext* ctx)
{
    uint32_t slot = 0;
    return FindSlot(ctx, &slot) ? TransmitArticleBody(ctx, slot, 0) : 0;
}

int TransmitStatByID(ClientContext* ctx)
{
    uint32_t slot = 0;
    if (!FindSlot(ctx, &slot))
        return 0;
    char id[kMessageIdSize];
    if (!ArticleGetMessageIDBuf(id, slot)) {
        Respond(ctx, 430);
        return 0;
    }
    // "0 " and the ID, cut to the room of the reply text.
    size_t length = std::min(std::strlen(id), sizeof ctx->messageId - 3);
    std::memcpy(ctx->messageId, "0 ", 2);
    std::memcpy(ctx->messageId + 2, id, length);
    ctx->messageId[length + 2] = '\0';
    Respond(ctx, 223);
    return 1;
}

int TransmitOverviewByID(ClientContext* ctx)
{
    uint32_t slot = 0, length = 0;
    if (!FindSlot(ctx, &slot))
        return 0;
    std::unique_ptr<char[]> line = ReadOverviewLine(slot, 0, &length);
    if (line == nullptr) {
        Respond(ctx, 430);
        return 0;
    }
    std::string answer = "224 Overview information follows\r\n";
    answer.append(line.get(), length).append(".\r\n");
    SendData(ctx, answer.data(), answer.size());
    return 1;
}

int TransmitHeaderFieldByID(ClientContext* ctx, const char* name)
{
    uint32_t slot = 0, length = 0;
    if (!FindSlot(ctx, &slot))
        return 0;
    std::string answer = "225 Headers follow\r\n0 ";
    int field = OverviewFieldIndex(name);
    bool found = false;
    if (field >= 0) {
        std::unique_ptr<char[]> line = ReadOverviewLine(slot, 0, &length);
        // The line starts "0" TAB.
        if ((found = line != nullptr))
            answer.append(OverviewField(std::string_view(line.get() + 2, length - 2), field));
    } else {
        std::string header = std::string(name) + ":";
        std::vector<char> value(kMaxHeaderValue + 1);
        int size = ArticleHeaderValue(slot, header.c_str(), value.data(), static_cast<uint32_t>(value.size()));
        if ((found = size >= 0))
            answer.append(value.data(), static_cast<size_t>(size));
    }
    if (!found) {
        Respond(ctx, 430);
        return 0;
    }
    answer.append("\r\n.\r\n");
    SendData(ctx, answer.data(), answer.size());
    return 1;
}

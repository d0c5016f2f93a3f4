// Group article transmission. The group database is read without a lock;
// a reader that finds an article gone removes it from the ring itself.
// Multi-line answers are gathered in a per-thread buffer and written in
// pieces of about 16 KB, so XOVER and LISTGROUP cost one write per piece
// rather than one per line.
#include "groups/group_transmit.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "access/wildmat.h"
#include "article/record_identity.h"
#include "article/retrieval.h"
#include "article/store.h"
#include "groups/active.h"
#include "groups/groupdb.h"
#include "groups/overview_cache.h"
#include "history/history.h"
#include "nntp/reply.h"
#include "server/client_context.h"
#include "server/stats.h"

namespace {

constexpr size_t kPiece = 16384;
// Room for "number" TAB; overview records are at most 65535 bytes (their
// length is 16 bits in the history).
constexpr size_t kNumberRoom = 16;
constexpr size_t kMaxRecord = 65535;
constexpr size_t kBatchSize = kPiece + kNumberRoom + kMaxRecord;
// Longest header name HDR looks for.
constexpr size_t kMaxHeaderName = 128;

// Output gathered for one multi-line answer; nothing is held back when the
// answer ends (Flush). A failed write ends the connection inside SendData.
class Batch {
public:
    explicit Batch(ClientContext* ctx) : ctx_(ctx), data_(Buffer()) {}
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // Where the next bytes go: room for kNumberRoom + kMaxRecord of them.
    char* Room() { return data_ + used_; }
    void Commit(size_t n)
    {
        used_ += n;
        if (used_ >= kPiece)
            Flush();
    }
    void Append(std::string_view text)
    {
        if (used_ + text.size() > kBatchSize) {
            Flush();
            SendData(ctx_, text.data(), text.size());
            return;
        }
        std::memcpy(data_ + used_, text.data(), text.size());
        Commit(text.size());
    }
    // "number" and `end` (one or two characters).
    void AppendNumber(uint32_t number, std::string_view end)
    {
        char* to = std::to_chars(Room(), Room() + kNumberRoom, number).ptr;
        std::memcpy(to, end.data(), end.size());
        Commit(static_cast<size_t>(to - Room()) + end.size());
    }
    void Flush()
    {
        if (used_ != 0)
            SendData(ctx_, data_, used_);
        used_ = 0;
    }

private:
    // One buffer per connection thread, kept for the thread's life.
    static char* Buffer()
    {
        thread_local std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kBatchSize);
        return buffer.get();
    }

    ClientContext* ctx_;
    char* data_;
    size_t used_ = 0;  // below kPiece between calls
};

using Retrieval = int (*)(ClientContext* ctx, uint32_t slot, uint32_t number);

// The single-article algorithm; `answer423` when the retrieval sends nothing
// of its own on failure.
int TransmitCurrent(ClientContext* ctx, GroupSelection* selection, Retrieval retrieve, bool answer423)
{
    if (!GroupValidateGroup(selection)) {
        Respond(ctx, 412);
        return 0;
    }
    uint32_t slot = 0, found = 0;
    if (!GroupFindArticle(selection->current, &slot, selection->group, &found)) {
        Respond(ctx, 423);
        return 0;
    }
    if (retrieve(ctx, slot, selection->current))
        return 1;
    GroupToastArticle(selection->group, selection->current);
    if (answer423)
        Respond(ctx, 423);
    return 0;
}

// ctx->messageId (the article's ID) becomes "number message-ID", the text
// of the 223 answer.
void Answer223(ClientContext* ctx, uint32_t number)
{
    char text[kMessageIdSize];
    char* id = std::to_chars(text, text + kNumberRoom, number).ptr;
    *id++ = ' ';
    size_t room = sizeof text - 1 - static_cast<size_t>(id - text);
    size_t length = strnlen(ctx->messageId, room);
    std::memcpy(id, ctx->messageId, length);
    id[length] = '\0';
    std::memcpy(ctx->messageId, text, sizeof text);
    Respond(ctx, 223);
}

using Find = int (*)(uint32_t number, uint32_t* slot, uint32_t group, uint32_t* found);

// NEXT and LAST: `current` moves to every article tried, the ones toasted on
// the way included.
int Step(ClientContext* ctx, GroupSelection* selection, Find find, int noneCode)
{
    if (!GroupValidateGroup(selection)) {
        Respond(ctx, 412);
        return 0;
    }
    for (;;) {
        uint32_t slot = 0, found = 0;
        if (!find(selection->current, &slot, selection->group, &found)) {
            Respond(ctx, noneCode);
            return 0;
        }
        selection->current = found;
        if (ArticleGetMessageID(ctx, slot)) {
            Answer223(ctx, found);
            return 1;
        }
        GroupToastArticle(selection->group, found);
    }
}

// Calls visit(slot, number) for each live article from `first` to `last`.
template <typename Visit>
void ForEachLive(uint32_t group, uint32_t first, uint32_t last, Visit visit)
{
    uint32_t slot = 0, found = 0;
    bool live = GroupFindArticle(first, &slot, group, &found) != 0;
    for (uint32_t c = first; c <= last;) {
        if (live)
            visit(slot, c);
        if (c == last || !GroupFindNextArticle(c, &slot, group, &found))
            return;
        c = found;
        live = true;
    }
}

// The records of one group mostly lie close together in a store, so one
// read of up to 64 KB serves the overview records that fall inside it.
// The window never reaches the store's write position of the same lap: a
// record written there later is read from the store itself.
class StoreWindow {
public:
    StoreWindow() : data_(Buffer()) {}
    StoreWindow(const StoreWindow&) = delete;
    StoreWindow& operator=(const StoreWindow&) = delete;

    // The `length` bytes of the record at `storeKey` into `out`: straight
    // from the store's view when it has one, else through the window.
    bool Read(uint64_t storeKey, char* out, uint32_t length)
    {
        if (const std::string_view bytes = StoreBytes(storeKey, 0, length); !bytes.empty()) {
            std::memcpy(out, bytes.data(), length);
            return true;
        }
        uint64_t offset = GetStoreOffsetFromKey(storeKey, nullptr);
        if (!Covers(storeKey, offset, length) && !Fill(storeKey, offset, length))
            return ReadStore(storeKey, out, 0, length) == length;
        std::memcpy(out, data_ + (offset - start_), length);
        return true;
    }

private:
    static constexpr uint32_t kSize = 65536;
    static constexpr uint64_t kLap = ~((uint64_t{1} << 40) - 1);  // store number and wrap count

    bool Covers(uint64_t storeKey, uint64_t offset, uint32_t length) const
    {
        return size_ != 0 && (storeKey & kLap) == lap_ && offset >= start_ && offset + length <= start_ + size_;
    }
    bool Fill(uint64_t storeKey, uint64_t offset, uint32_t length)
    {
        size_ = 0;
        uint64_t end = offset + kSize;
        uint64_t writing = GetStoreKey(static_cast<uint32_t>((storeKey >> 40) & 0xFF));
        if ((writing & kLap) == (storeKey & kLap))
            end = std::min(end, GetStoreOffsetFromKey(writing, nullptr));
        if (end < offset + length)
            return false;
        auto count = static_cast<uint32_t>(end - offset);
        if (ReadStore(storeKey, data_, 0, count) != count)
            return false;
        lap_ = storeKey & kLap;
        start_ = offset;
        size_ = count;
        return true;
    }
    static char* Buffer()
    {
        thread_local std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kSize);
        return buffer.get();
    }

    char* data_;
    uint64_t lap_ = 0;
    uint64_t start_ = 0;
    uint32_t size_ = 0;
};

// "number" TAB and the slot's overview record, read straight into the batch.
void AppendOverview(Batch& out, StoreWindow& window, uint32_t slot, uint32_t number, uint64_t storeKey, uint32_t length)
{
    char* line = out.Room();
    char* record = std::to_chars(line, line + kNumberRoom, number).ptr;
    *record++ = '\t';
    if (window.Read(storeKey, record, length) && RecordIsSlots(slot, storeKey, std::string_view(record, length), 0))
        out.Commit(static_cast<size_t>(record - line) + length);
}

// Overview lines from the history, a run of articles at a time. A group's
// records lie far apart in its store, so each line would wait for memory in
// turn; the run asks for all its records' bytes first and copies them after.
class OverviewRun {
public:
    explicit OverviewRun(Batch& out) : out_(out) {}
    OverviewRun(const OverviewRun&) = delete;
    OverviewRun& operator=(const OverviewRun&) = delete;
    ~OverviewRun() { Drain(); }

    void Add(uint32_t slot, uint32_t number)
    {
        Item& item = items_[count_++];
        item = {slot, number, 0, 0};
        if (SeenGetOverview(slot, &item.storeKey, &item.length) && item.length <= kMaxRecord) {
            const std::string_view bytes = StoreBytes(item.storeKey, 0, item.length);
            for (size_t at = 0; at < bytes.size(); at += kCacheLine)
                __builtin_prefetch(bytes.data() + at);
        } else {
            item.length = kSkip;
        }
        if (count_ == kRun)
            Drain();
    }

private:
    static constexpr size_t kRun = 16;
    static constexpr size_t kCacheLine = 64;
    static constexpr uint32_t kSkip = 0xFFFFFFFF;
    struct Item {
        uint32_t slot, number;
        uint64_t storeKey;
        uint32_t length;
    };

    void Drain()
    {
        for (size_t i = 0; i < count_; ++i)
            if (items_[i].length != kSkip)
                AppendOverview(out_, window_, items_[i].slot, items_[i].number, items_[i].storeKey, items_[i].length);
        count_ = 0;
    }

    Batch& out_;
    StoreWindow window_;
    Item items_[kRun];
    size_t count_ = 0;
};

// The number a cache line starts with, read as atoi would but without
// looking past the line (the cache buffer has no terminating NUL).
uint32_t LineNumber(std::string_view line)
{
    size_t digits = line.find_first_not_of(" \t");
    uint32_t number = 0;
    if (digits != std::string_view::npos)
        std::from_chars(line.data() + digits, line.data() + line.size(), number);
    return number;
}

// Position just after the line starting at `from` (after its LF, or the end).
size_t NextLine(std::string_view text, size_t from)
{
    size_t lf = text.find('\n', from);
    return lf == std::string_view::npos ? text.size() : lf + 1;
}

// Where the last line of a piece that ends with a line end starts.
size_t LastLineStart(std::string_view piece)
{
    if (piece.size() < 2)
        return 0;
    const size_t lf = piece.rfind('\n', piece.size() - 2);
    return lf == std::string_view::npos ? 0 : lf + 1;
}

// Serves what the overview cache holds of `first` to `last` and returns the
// first article number still to be served from the history. Cache lines
// are sent straight from the piece they were read into; a line that does
// not follow the one before (a rewrite mid-stream) ends the cache's part.
uint32_t SendCachedLines(Batch& out, uint32_t group, uint32_t first, uint32_t last)
{
    uint32_t next = first;  // above the last line sent
    bool inOrder = true;
    bool pastLast = false;  // the cache goes on past the range
    const CacheStream stream = StreamOverviewCache(group, first, [&](std::string_view piece) {
        size_t from = 0;
        while (from < piece.size() && LineNumber(piece.substr(from)) < next)
            from = NextLine(piece, from);
        size_t to = from;
        // A piece was read whole under the reader gate, in the rewriter's
        // order: when its first and last lines bound a part of the range,
        // the lines between need no look.
        const size_t lastLine = LastLineStart(piece);
        if (from < piece.size() && lastLine >= from && piece.back() == '\n') {
            const uint32_t lastNumber = LineNumber(piece.substr(lastLine));
            if (lastNumber <= last && lastNumber >= LineNumber(piece.substr(from))) {
                next = lastNumber + 1;
                to = piece.size();
            }
        }
        while (to < piece.size() && inOrder && !pastLast) {
            const uint32_t number = LineNumber(piece.substr(to));
            pastLast = number > last;
            inOrder = number >= next;
            if (pastLast || !inOrder)
                break;
            next = number + 1;
            to = NextLine(piece, to);
        }
        if (to > from) {
            out.Flush();
            out.Append(piece.substr(from, to - from));
        }
        return inOrder && !pastLast && next <= last;
    });
    ++(stream.used ? overCacheHits : overCacheMisses);
    // The numbers up to where the cache was read through that it lacks are
    // gone; past the block's end the history serves.
    if (inOrder && pastLast)
        next = last + 1;
    else if (inOrder && stream.whole)
        next = std::max(next, std::min(stream.cacheEnd, last) + 1);
    return next;
}

// "number" blank and the value of field `name` of the slot's article
// (overview field `field`, or a header of the stored article when -1);
// nothing when the article is gone.
void AppendHeaderField(Batch& out, StoreWindow& window, uint32_t slot, uint32_t number, int field, const char* name)
{
    char* line = out.Room();
    char* value = std::to_chars(line, line + kNumberRoom, number).ptr;
    *value++ = ' ';
    size_t length = 0;
    if (field < 0) {
        int found = ArticleHeaderValue(slot, name, value, kMaxRecord - 2);
        if (found < 0)
            return;
        length = static_cast<size_t>(found);
    } else {
        uint64_t storeKey = 0;
        uint32_t recordLength = 0;
        if (!SeenGetOverview(slot, &storeKey, &recordLength) || recordLength > kMaxRecord ||
            !window.Read(storeKey, value, recordLength) ||
            !RecordIsSlots(slot, storeKey, std::string_view(value, recordLength), 0))
            return;
        std::string_view found = OverviewField(std::string_view(value, recordLength), field);
        std::memmove(value, found.data(), found.size());
        length = found.size();
    }
    std::memcpy(value + length, "\r\n", 2);
    out.Commit(static_cast<size_t>(value - line) + length + 2);
}

// The status line (in parts), a line per live article from `first` to
// `last` by append(out, slot, number), and the end line; 412 without a group.
template <typename Append>
int TransmitLiveLines(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last,
                      std::initializer_list<std::string_view> status, Append append)
{
    if (!GroupValidateGroup(selection)) {
        Respond(ctx, 412);
        return 0;
    }
    Batch out(ctx);
    for (std::string_view part : status)
        out.Append(part);
    ForEachLive(selection->group, first, last, [&](uint32_t slot, uint32_t number) { append(out, slot, number); });
    out.Append(".\r\n");
    out.Flush();
    return 1;
}

}  // namespace

int GroupTransmitArticle(ClientContext* ctx, GroupSelection* selection)
{
    return TransmitCurrent(ctx, selection, TransmitArticle, true);
}

int GroupTransmitArticleHeader(ClientContext* ctx, GroupSelection* selection)
{
    return TransmitCurrent(ctx, selection, TransmitHeader, false);
}

int GroupTransmitArticleBody(ClientContext* ctx, GroupSelection* selection)
{
    return TransmitCurrent(ctx, selection, TransmitArticleBody, false);
}

int GroupTransmitXpath(ClientContext* ctx, GroupSelection* selection)
{
    return TransmitCurrent(ctx, selection, TransmitXpath, false);
}

int GroupTransmitArticleStat(ClientContext* ctx, GroupSelection* selection, uint32_t number)
{
    if (!GroupValidateGroup(selection)) {
        Respond(ctx, 412);
        return 0;
    }
    uint32_t slot = 0, found = 0;
    if (GroupFindArticle(number, &slot, selection->group, &found)) {
        if (ArticleGetMessageID(ctx, slot)) {
            Answer223(ctx, number);
            return 1;
        }
        GroupToastArticle(selection->group, number);
    }
    Respond(ctx, 423);
    return 0;
}

int GroupNextArticle(ClientContext* ctx, GroupSelection* selection)
{
    return Step(ctx, selection, GroupFindNextArticle, 421);
}

int GroupPrevArticle(ClientContext* ctx, GroupSelection* selection)
{
    return Step(ctx, selection, GroupFindPrevArticle, 422);
}

int GroupTransmitOverview(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last)
{
    if (!GroupValidateGroup(selection)) {
        Respond(ctx, 412);
        return 0;
    }
    uint32_t g = selection->group;
    Batch out(ctx);
    out.Append("224 Overview information follows\r\n");
    const uint32_t start = groupArray[g].start;  // packed record: copy before binding a reference
    first = std::max(first, start);
    first = SendCachedLines(out, g, first, last);
    if (first <= last) {
        OverviewRun run(out);
        ForEachLive(g, first, last, [&](uint32_t slot, uint32_t number) { run.Add(slot, number); });
    }
    out.Append(".\r\n");
    out.Flush();
    return 1;
}

int GroupTransmitXHeader(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last,
                         const char* header)
{
    if (!GroupValidateGroup(selection)) {
        Respond(ctx, 412);
        return 0;
    }
    constexpr std::string_view status = "221 Overview information follows\r\n";
    SendData(ctx, status.data(), status.size());
    ForEachLive(selection->group, first, last,
                [&](uint32_t slot, uint32_t number) { TransmitXHeader(ctx, slot, number, header); });
    return SendData(ctx, ".\r\n", 3);
}

int GroupHasArticles(const GroupSelection* selection, uint32_t first, uint32_t last)
{
    if (!GroupValidateGroup(selection) || first > last)
        return 0;
    uint32_t slot = 0, found = 0;
    return GroupFindArticle(first, &slot, selection->group, &found) ||
           (GroupFindNextArticle(first, &slot, selection->group, &found) && found <= last);
}

int GroupTransmitHeaderField(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last,
                             const char* name)
{
    // The header's name with its colon, for the stored article.
    char header[kMaxHeaderName + 2];
    std::snprintf(header, sizeof header, "%s:", name);
    int field = OverviewFieldIndex(name);
    StoreWindow window;
    return TransmitLiveLines(ctx, selection, first, last, {"225 Headers follow\r\n"},
                             [&](Batch& out, uint32_t slot, uint32_t number) {
                                 AppendHeaderField(out, window, slot, number, field, header);
                             });
}

int GroupTransmitListgroup(ClientContext* ctx, GroupSelection* selection, uint32_t first, uint32_t last,
                           const char* summary)
{
    return TransmitLiveLines(ctx, selection, first, last, {"211 ", summary, "\r\n"},
                             [](Batch& out, uint32_t, uint32_t number) { out.AppendNumber(number, "\r\n"); });
}

int GroupTransmitSlotDump(ClientContext* ctx, GroupSelection* selection)
{
    if (!GroupValidateGroup(selection)) {
        Respond(ctx, 412);
        return 0;
    }
    const GroupRecord& record = groupArray[selection->group];
    char head[160];
    int n = std::snprintf(head, sizeof head, "200\r\nstart=%u,end=%u,ocachelen=%u,ocacheblen=%u,cstart=%u,cend=%u\r\n",
                          record.start, record.end, record.ocachelen, record.ocacheblen, record.cstart, record.cend);
    SendData(ctx, head, static_cast<size_t>(n));
    ForEachLive(selection->group, selection->low, selection->high, [&](uint32_t slot, uint32_t number) {
        TransmitXpath(ctx, slot, number);
        char line[16];
        SendData(ctx, line, static_cast<size_t>(std::snprintf(line, sizeof line, "%u\r\n", number)));
    });
    SendData(ctx, ".\r\n", 3);
    return 1;
}

int GroupList(ClientContext* ctx, const char* pattern)
{
    constexpr std::string_view status = "215 heres what I got\r\n";
    SendData(ctx, status.data(), status.size());
    if (ActiveTransmit(ctx->transport, pattern))
        return 1;
    // Gathered first: nothing is written while the name index is locked.
    std::string list;
    std::optional<Wildmat> wildmat;
    if (pattern != nullptr)
        wildmat.emplace(pattern);
    ForEachGroup([&](const char* name, const GroupRecord& record) {
        if (wildmat && !wildmat->Matches(name))
            return;
        char numbers[32];
        int n = std::snprintf(numbers, sizeof numbers, " %u %u y\r\n", record.end, record.start);
        list.append(name).append(numbers, static_cast<size_t>(n));
    });
    list += ".\r\n";
    return SendData(ctx, list.data(), list.size());
}

// Article acceptance: the module's settings and the insertion pipeline that
// checks a received article, numbers it, stores it with its overview record
// and records its location in the history, all under csArtFile.
#include "article/article.h"

#include <sys/uio.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <strings.h>

#include "access/filter.h"
#include "access/incoming.h"
#include "access/match.h"
#include "article/article_internal.h"
#include "article/article_key.h"
#include "article/cancel_check.h"
#include "article/control_message.h"
#include "article/header.h"
#include "article/store.h"
#include "date/parsedate.h"
#include "feed/queue.h"
#include "groups/groupdb.h"
#include "history/history.h"
#include "platform/failure_burst.h"
#include "platform/process.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"

int honorSupersedes = 1;
int MaxArticleAge = 7;
int transitMode = 0;
const char* ControlMessagePattern = "newgroup*,rmgroup*,checkgroups*";

namespace {

int logFilterRejects = 0;                // log refusals by the external filter
const char* my_path_name = "";           // HostPathIdentifier followed by "!"
uint32_t my_path_name_len = 0;
int slaveMode = 0;                       // numbering taken from the article's Xref:

// History entries keep these offsets and lengths in 16 and 8 bits.
constexpr uint32_t kMaxRecordOffset = 0xFFFF;
constexpr uint32_t kMaxMessageIdLength = 0xFF;
constexpr uint32_t kXrefSize = 8192;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kYearSeconds = 31536000;

// Work buffers of the locked section: the Control: value and then the Xref:
// line; the overview record of the article being inserted.
char ov[kXrefSize];
char overview[kMaxRecordOffset + 1];

std::unique_ptr<MatchExpression> mhIncomingFilter;
FailureBurst articleWriteFailures;

enum class OverviewResult { kOk, kMissing, kTooLong };

void ReadPathName()
{
    const char* identifier = ConfigText(ConfigKey::kHostPathIdentifier);
    if (identifier == nullptr)
        FatalExit("no HostPathIdentifier specified, exiting");
    size_t length = std::strlen(identifier);
    auto* name = static_cast<char*>(std::malloc(length + 2));  // lives for the process
    std::memcpy(name, identifier, length);
    std::memcpy(name + length, "!", 2);
    my_path_name = name;
    my_path_name_len = static_cast<uint32_t>(length + 1);
}

void ReadOpMode()
{
    const char* mode = ConfigText(ConfigKey::kOpMode);
    if (mode == nullptr)
        return;
    if (strcasecmp(mode, "slave") == 0) {
        slaveMode = 1;
        LogLine("started in slave mode");
    } else if (strcasecmp(mode, "transit") == 0) {
        transitMode = 1;
        LogLine("started in transit mode");
    } else {
        LogLine("started in regular reader mode (not slave, not transit)");
    }
}

// Appends `text` to out[*used, capacity), keeping bytes 0x20-0x7F and turning
// TAB into a blank. False when it does not fit.
bool AppendFiltered(std::string_view text, char* out, uint32_t capacity, uint32_t* used)
{
    uint32_t at = *used;
    for (unsigned char byte : text) {
        if (byte == '\t')
            byte = ' ';
        else if (byte < 0x20 || byte > 0x7F)
            continue;
        if (at >= capacity)
            return false;
        out[at++] = static_cast<char>(byte);
    }
    *used = at;
    return true;
}

bool AppendRaw(std::string_view text, char* out, uint32_t capacity, uint32_t* used)
{
    if (text.size() > capacity - *used)
        return false;
    std::memcpy(out + *used, text.data(), text.size());
    *used += static_cast<uint32_t>(text.size());
    return true;
}

// One filtered header value and its TAB. kMissing when the header is absent
// or nothing of it is left after filtering.
OverviewResult AppendField(const ClientContext& c, std::string_view name, char* out, uint32_t capacity,
                           uint32_t* used)
{
    uint32_t offset = 0, length = 0;
    if (!GetHeaderRange(c, name, &offset, &length, nullptr))
        return OverviewResult::kMissing;
    uint32_t start = *used;
    if (!AppendFiltered(std::string_view(c.buffer + offset, length), out, capacity, used) ||
        !AppendRaw("\t", out, capacity, used))
        return OverviewResult::kTooLong;
    return *used - start > 1 ? OverviewResult::kOk : OverviewResult::kMissing;
}

uint32_t CountLines(const char* text, uint32_t length)
{
    uint32_t lines = 0;
    const char* end = text + length;
    for (const char* at = text; (at = static_cast<const char*>(std::memchr(at, '\n', end - at))) != nullptr; ++at)
        ++lines;
    return lines;
}

// The overview record of the article into `out`; *messageIdOffset and
// *messageIdLength locate the Message-ID field within it.
OverviewResult FormatOverview(const ClientContext& c, const char* xref, char* out, uint32_t capacity,
                              uint32_t* length, uint32_t* messageIdOffset, uint32_t* messageIdLength)
{
    uint32_t used = 0;
    for (std::string_view name : {"Subject: ", "From: ", "Date: ", "Message-ID: "}) {
        uint32_t start = used;
        OverviewResult result = AppendField(c, name, out, capacity, &used);
        if (result != OverviewResult::kOk)
            return result;
        *messageIdOffset = start;
        *messageIdLength = used - start - 1;
    }
    uint32_t offset = 0, referencesLength = 0;
    if (GetHeaderRange(c, "References: ", &offset, &referencesLength, nullptr) &&
        !AppendFiltered(std::string_view(c.buffer + offset, referencesLength), out, capacity, &used))
        return OverviewResult::kTooLong;
    const uint32_t lines = CountLines(c.buffer, c.articleLength);
    char counts[32];
    int n = std::snprintf(counts, sizeof counts, "\t%u\t%u\t", c.articleLength, lines);
    if (!AppendRaw(std::string_view(counts, static_cast<size_t>(n)), out, capacity, &used) ||
        !AppendRaw(xref, out, capacity, &used))
        return OverviewResult::kTooLong;
    *length = used;
    return OverviewResult::kOk;
}

// The pieces of the article as stored: the text with my_path_name in front
// of the Path: value and any Xref: header replaced by `xref` (removed when
// `xref` is empty).
struct StoredLayout {
    iovec pieces[6];
    int count = 0;
    int32_t growth = 0;       // d: the header block's change besides the Path: insertion
    uint32_t removedAt = 0;   // where an old Xref: header began
    uint32_t removed = 0;     // its length, 0 when there was none
};

void AddPiece(StoredLayout& layout, const char* bytes, uint32_t length)
{
    if (length != 0)
        layout.pieces[layout.count++] = {const_cast<char*>(bytes), length};
}

StoredLayout LayOut(const ClientContext& c, uint32_t pathValue, uint32_t headerEnd, std::string_view xref)
{
    StoredLayout layout;
    const char* t = c.buffer;
    const uint32_t end = c.articleLength;
    uint32_t xrefAt = 0, xrefLength = 0;
    if (GetHeaderRangeFull(c, "xref:", &xrefAt, &xrefLength, nullptr)) {
        layout.removedAt = xrefAt;
        layout.removed = xrefLength;
        const uint32_t xrefEnd = xrefAt + xrefLength;
        if (xrefAt < pathValue) {
            AddPiece(layout, t, xrefAt);
            AddPiece(layout, xref.data(), static_cast<uint32_t>(xref.size()));
            AddPiece(layout, t + xrefEnd, pathValue - xrefEnd);
            AddPiece(layout, my_path_name, my_path_name_len);
            AddPiece(layout, t + pathValue, end - pathValue);
        } else {
            AddPiece(layout, t, pathValue);
            AddPiece(layout, my_path_name, my_path_name_len);
            AddPiece(layout, t + pathValue, xrefAt - pathValue);
            AddPiece(layout, xref.data(), static_cast<uint32_t>(xref.size()));
            AddPiece(layout, t + xrefEnd, end - xrefEnd);
        }
    } else {
        const uint32_t blankLine = std::min(headerEnd + 2, end);
        AddPiece(layout, t, pathValue);
        AddPiece(layout, my_path_name, my_path_name_len);
        AddPiece(layout, t + pathValue, blankLine - pathValue);
        AddPiece(layout, xref.data(), static_cast<uint32_t>(xref.size()));
        AddPiece(layout, t + blankLine, end - blankLine);
    }
    layout.growth = static_cast<int32_t>(xref.size()) - static_cast<int32_t>(layout.removed);
    return layout;
}

// Where the Message-Id: value of a control or transit article lies in the
// stored article (CarriesOfferedId has matched it to the offered ID).
bool LocateStoredMessageId(const ClientContext& c, uint32_t pathValue, const StoredLayout& layout,
                           uint32_t* offset, uint32_t* length)
{
    uint32_t valueAt = 0, valueLength = 0;
    if (!GetHeaderRange(c, "Message-Id:", &valueAt, &valueLength, nullptr))
        return false;
    *offset = valueAt + (pathValue <= valueAt ? my_path_name_len : 0);
    if (layout.removed != 0 && layout.removedAt < valueAt)
        *offset -= layout.removed;
    *length = valueLength;
    return true;
}

// What the history entry must hold fits its 16- and 8-bit fields.
bool FitsHistoryEntry(const ClientContext& c, uint32_t overviewLength, int64_t headerLength, uint32_t messageIdOffset,
                      uint32_t messageIdLength)
{
    if (overviewLength <= kMaxRecordOffset && headerLength <= kMaxRecordOffset &&
        messageIdOffset <= kMaxRecordOffset && messageIdLength <= kMaxMessageIdLength)
        return true;
    LogFormat("%s: AddArticleToFile(): %s too large to record (header %lld, overview %u, message-id at %u, "
              "length %u)",
              c.peerName, c.messageId, static_cast<long long>(headerLength), overviewLength, messageIdOffset,
              messageIdLength);
    return false;
}

// The stored message-ID, found in the pieces just written, is the offered one.
void CheckStoredMessageId(const ClientContext& c, const iovec* pieces, int count, uint32_t offset,
                          uint32_t length)
{
    char stored[kMessageIdSize];
    uint32_t copied = 0;
    length = std::min<uint32_t>(length, kMaxMessageIdLength);
    for (int i = 0; i < count && copied < length; ++i) {
        const auto* bytes = static_cast<const char*>(pieces[i].iov_base);
        auto size = static_cast<uint32_t>(pieces[i].iov_len);
        if (offset >= size) {
            offset -= size;
            continue;
        }
        uint32_t take = std::min(size - offset, length - copied);
        std::memcpy(stored + copied, bytes + offset, take);
        copied += take;
        offset = 0;
    }
    stored[copied] = '\0';
    if (std::strcmp(stored, c.messageId) != 0)
        LogFormat("[DEBUG] message id mismatch in %s, check the article to see if its funky", c.messageId);
}

// The header whose value the history entry will point at names the offered
// message-ID: the overview's "Message-ID: " for a numbered article, else the
// first "Message-Id:". Retrieval checks that ID against the entry's key, so
// an article offered under another ID would be stored and numbered but never
// served. An article without the header passes here and is refused later,
// as it always was.
bool CarriesOfferedId(const ClientContext& c)
{
    const bool plain = c.isControl == 0 && transitMode == 0;
    uint32_t at = 0, length = 0;
    if (!GetHeaderRange(c, plain ? "Message-ID: " : "Message-Id:", &at, &length, nullptr))
        return true;
    ArticleKey key = 0;
    if (GetArticleKeyOfText(std::string_view(c.buffer + at, length), &key) && key == c.articleKey)
        return true;
    // The value is the peer's: shown cut short and with control bytes masked.
    char shown[kMaxMessageIdLength + 1];
    const uint32_t n = std::min<uint32_t>(length, kMaxMessageIdLength);
    for (uint32_t i = 0; i < n; ++i) {
        const auto byte = static_cast<unsigned char>(c.buffer[at + i]);
        shown[i] = byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?';
    }
    shown[n] = '\0';
    LogFormat("%s: AddArticleToFile(): offered as %s but its Message-ID is %s, refused", c.peerName, c.messageId,
              shown);
    return false;
}

// The article was already seen: counted as refused rather than rejected
// (the caller's refusal answer adds the reject back).
void CountDuplicate(const ClientContext& c)
{
    if (c.incomingEntry != nullptr) {
        ++c.incomingEntry->refuses;
        --c.incomingEntry->rejects;
    }
}

// The store could not take the article: its history entry goes again, so
// that the peer's later offer is taken rather than refused as a duplicate.
int DeferArticle(uint32_t slot)
{
    if (articleWriteFailures.Failed())
        LogLine("article: Write failed, disk failure?");
    ForgetSeen(slot);
    return kArticleDeferred;
}

// What the checks before storage found: where the header ends, where the
// Path: value starts, and the store that takes the article.
struct CheckedArticle {
    uint32_t headerEnd = 0;
    uint32_t pathValue = 0;
    uint32_t store = 0;
};

// The checks before anything is recorded: the external filter, the history,
// the message-ID, the incoming filter, control messages, the header end,
// Date:, Path: and a store whose selection matches. False refuses the article.
bool PassesChecks(ClientContext& c, CheckedArticle* checked)
{
    ov[0] = '\0';
    int code = ExternalFilterCheck(&c);
    if (code != 335) {
        if (logFilterRejects != 0)
            LogFormat("external filter rejected %s from %s with response: %u", c.messageId, c.peerName,
                      static_cast<unsigned>(code));
        return false;
    }
    if (CheckSeen(c.articleKey)) {
        CountDuplicate(c);
        return false;
    }
    c.isControl = GetHeader(c, "Control: ", ov, 300) > 0 ? 1 : 0;
    if (!CarriesOfferedId(c))
        return false;
    if (mhIncomingFilter != nullptr && CheckMatch(c, mhIncomingFilter.get()) == 0)
        return false;
    if (c.isControl)
        ProcessControlMessage(c, ov);
    checked->headerEnd = FindHeaderEnd(c);
    if (checked->headerEnd == 0) {
        LogLine("no header term");
        return false;
    }
    if (!CheckArticleDate(&c))
        return false;
    uint32_t pathLength = 0;
    if (!GetHeaderRange(c, "Path: ", &checked->pathValue, &pathLength, nullptr)) {
        LogFormat("%s: AddArticleToFile(): no path line found", c.peerName);
        return false;
    }
    const int store = FindArtStore(c);
    if (store < 0) {
        LogLine("no store found");
        return false;
    }
    checked->store = static_cast<uint32_t>(store);
    return true;
}

// The article's history slots, its stored layout and what its history entry
// records about the stored record.
struct Placement {
    uint32_t slot = 0;
    uint32_t superseded = 0xFFFFFFFF;
    int superseding = 0;
    StoredLayout layout;
    uint32_t overviewLength = 0;
    int64_t headerLength = 0;
    uint32_t messageIdOffset = 0;
    uint32_t messageIdLength = 0;
};

// Claims the history slot, handles Supersedes:, numbers the article in its
// groups (building the Xref line in ov), formats its overview record and lays
// out the stored text. False refuses the article; its placeholder stays.
bool NumberAndLayOut(ClientContext& c, const CheckedArticle& checked, Placement* p)
{
    p->slot = AddSeen(c.articleKey, 0, 0, 0, 0, 0, 0,
                      static_cast<uint8_t>(GetStoreExpirationPriority(checked.store)));
    // From here on the placeholder entry stays, so peers do not offer it again.
    ov[0] = '\0';
    p->superseding = CheckSupersedes(c, ov, &p->superseded);
    const bool plain = c.isControl == 0 && transitMode == 0;
    if (!p->superseding && plain) {
        int numbered = slaveMode ? UpdateGroupDatabaseSlave(&c, p->slot, ov, sizeof ov)
                                 : UpdateGroupDatabase(&c, p->slot, ov, sizeof ov);
        if (!numbered)
            return false;
    }
    const std::string_view xref = plain ? std::string_view(ov, strnlen(ov, sizeof ov)) : std::string_view();
    if (plain && FormatOverview(c, ov, overview, sizeof overview, &p->overviewLength, &p->messageIdOffset,
                                &p->messageIdLength) != OverviewResult::kOk)
        return false;
    p->layout = LayOut(c, checked.pathValue, checked.headerEnd, xref);
    if (!plain && !LocateStoredMessageId(c, checked.pathValue, p->layout, &p->messageIdOffset, &p->messageIdLength))
        return false;
    p->headerLength = int64_t{checked.headerEnd} + my_path_name_len + p->layout.growth;
    return FitsHistoryEntry(c, p->overviewLength, p->headerLength, p->messageIdOffset, p->messageIdLength);
}

void RecordPlace(uint32_t slot, const ClientContext& c, uint64_t storeKey, uint32_t articleBytes, const Placement& p)
{
    UpdateSeen(slot, c.articleKey, storeKey, articleBytes, static_cast<uint16_t>(p.overviewLength),
               static_cast<uint16_t>(p.headerLength), static_cast<uint16_t>(p.messageIdOffset),
               static_cast<uint8_t>(p.messageIdLength));
}

// One gather write of the overview record and the article to the store, then
// the record's place into the history entry (and the superseded one's). 1
// stored, kArticleDeferred when the store failed.
int WriteAndRecord(const ClientContext& c, uint32_t store, const Placement& p)
{
    StoreCheckAndWrap(store);
    const uint64_t storeKey = GetStoreKey(store);
    iovec pieces[7];
    int count = 0;
    if (p.overviewLength != 0)
        pieces[count++] = {overview, p.overviewLength};
    std::copy(p.layout.pieces, p.layout.pieces + p.layout.count, pieces + count);
    count += p.layout.count;
    const uint32_t written = WriteToStoreV(store, pieces, count);
    if (written == 0)
        return DeferArticle(p.slot);
    const uint32_t articleBytes = written - p.overviewLength;
    RecordPlace(p.slot, c, storeKey, articleBytes, p);
    if (p.superseding)
        RecordPlace(p.superseded, c, storeKey, articleBytes, p);
    CheckStoredMessageId(c, pieces, count, p.messageIdOffset, p.messageIdLength);
    return 1;
}

// One insertion; the caller holds csArtFile. 1 stored, 0 refused,
// kArticleDeferred when the store failed.
int InsertArticle(ClientContext& c)
{
    CheckedArticle checked;
    if (!PassesChecks(c, &checked))
        return 0;
    Placement placement;
    if (!NumberAndLayOut(c, checked, &placement))
        return 0;
    return WriteAndRecord(c, checked.store, placement);
}

}  // namespace

int ArticleInit()
{
    csArtFile();  // created here, before any thread can insert
    logFilterRejects = ConfigNumber(ConfigKey::kLogFilterRejects);
    honorSupersedes = ConfigNumber(ConfigKey::kHonorSupersedes);
    ReadPathName();
    MaxArticleAge = ConfigNumber(ConfigKey::kMaxArticleAge);
    ReadOpMode();
    // Nothing works without the group database: stop here (GroupInit logged why).
    if (!GroupInit()) {
        LogLine("group database not opened, exiting");
        FatalExit("group database not opened, exiting");
    }
    ControlMessageInit();
    CancelCheckInit();
    ControlMessagePattern = ConfigText(ConfigKey::kControlMessagePatterns);
    return 1;
}

int AddArticleToFile(ClientContext* c)
{
    {
        CsLock lock(csArtFile());
        try {
            const int inserted = InsertArticle(*c);
            if (inserted != 1)
                return inserted;
        } catch (const ConnectionClosed&) {
            throw;
        } catch (...) {
            LogLine("Exception occurred in AddArticleToFile()");
            return 0;
        }
    }
    if (const uint32_t deferred = articleWriteFailures.Succeeded()) [[unlikely]]
        LogFormat("article: stored again after %u failed writes", deferred);
    EnqueueForOutgoing(c);
    return 1;
}

int CheckArticleDate(ClientContext* c)
{
    constexpr uint32_t kDateSize = 81;
    char date[kDateSize + 1];
    int32_t found = GetHeader(*c, "Date: ", date, kDateSize);
    if (found <= 0 || static_cast<uint32_t>(found) >= kDateSize) {
        LogFormat("%s:AddArticleToFile(): invalid or no date line", c->peerName);
        return 0;
    }
    const uint32_t parsed = parsedate(std::string_view(date), nullptr);
    const int64_t now = std::time(nullptr);
    const int64_t t = parsed == kBadDate ? -1 : int64_t{parsed};
    c->futureSeconds = t > now ? static_cast<int32_t>(std::min<int64_t>(t - now, INT32_MAX)) : 0;
    const int64_t age = now - t;
    if (t <= 5 || age <= 0 || age <= int64_t{MaxArticleAge} * kSecondsPerDay || age >= kYearSeconds)
        return 1;
    LogFormat("%s: AddArticleToFile(): article too old (%u days old)", c->peerName,
              static_cast<unsigned>(age / kSecondsPerDay));
    return 0;
}

int WriteOverview(uint32_t store, ClientContext* c, uint32_t* messageIdOffset, uint32_t* messageIdLength,
                  const char* xref)
{
    uint32_t length = 0;
    if (FormatOverview(*c, xref, overview, sizeof overview, &length, messageIdOffset, messageIdLength) !=
        OverviewResult::kOk)
        return 0;
    return WriteToStore(store, overview, length) == length ? 1 : 0;
}

int InnoculateHistory(ClientContext* c)
{
    CsLock lock(csArtFile());
    try {
        if (CheckSeen(c->articleKey)) {
            CountDuplicate(*c);
            return 0;
        }
        AddSeen(c->articleKey, 0, 0, 0, 0, 0, 0, 0);
    } catch (const ConnectionClosed&) {
        throw;
    } catch (...) {
    }
    return 1;
}

int SetIncomingFilter(const char* text)
{
    std::unique_ptr<MatchExpression> compiled;
    if (text[0] != '\0' && std::strcmp(text, "*") != 0) {
        compiled = CompileMatchString(text);
        if (compiled == nullptr)
            return 0;
    }
    CsLock lock(csArtFile());
    mhIncomingFilter = std::move(compiled);
    return 1;
}

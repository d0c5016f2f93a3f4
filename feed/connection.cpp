// Outgoing feed connections. The connect thread hands the socket to the I/O
// library; from then on ConnRead, ConnWriteComplete and ConnError run on its
// worker, while the wake functions also run on the threads that queue
// articles. The site's lock serialises everything that touches a site's
// queues, slots and idle list; the peer's bytes are untrusted and every copy
// taken from them is bounded.
#include "feed/connection.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "article/article_key.h"
#include "article/retrieval.h"
#include "article/store.h"
#include "control/scheduler.h"
#include "corvask/corvask.h"
#include "feed/queue.h"
#include "feed/site.h"
#include "history/history.h"
#include "platform/file_io.h"
#include "platform/process.h"
#include "platform/tls_relay.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"
#include "server/stats.h"

std::atomic<unsigned> feedRetrySeconds{60};

namespace {

constexpr uint32_t kBatchLimit = 1785;           // a "check" batch grows while shorter than this
constexpr uint32_t kMaxUnterminated = 64 * 1024;  // peer bytes without a line end before we give up
constexpr uint32_t kMaxHeldInput = 4 * 1024 * 1024;  // answers waiting for transmit queue room
constexpr uint32_t kRequeueIdSize = 256;
constexpr int kTooManyErrorsBase = 10;
constexpr char kQuit[] = "quit\r\n";
constexpr char kModeStream[] = "mode stream\r\n";
constexpr char kArticleTail[] = "\r\n.\r\n";

void ConnError(AioHandle* handle, void* context);
int ConnRead(AioHandle* handle, void* context, char* data, int length);
void ConnWriteComplete(AioBuffer* buffer, void* context);

// --- idle list and states (site lock held) ---

bool OnIdleList(const Site* site, const Connection* connection)
{
    for (const Connection* c = site->idleConnections; c != nullptr; c = c->nextIdle)
        if (c == connection)
            return true;
    return false;
}

void RemoveIdle(Site* site, Connection* connection)
{
    for (Connection** link = &site->idleConnections; *link != nullptr; link = &(*link)->nextIdle) {
        if (*link == connection) {
            *link = connection->nextIdle;
            connection->nextIdle = nullptr;
            return;
        }
    }
}

void AppendIdle(Site* site, Connection* connection)
{
    Connection** link = &site->idleConnections;
    while (*link != nullptr)
        link = &(*link)->nextIdle;
    *link = connection;
    connection->nextIdle = nullptr;
}

void ChangeStateF(Connection* connection, int32_t state,
                  uint32_t line = __builtin_LINE())  // the caller's line; clang 14 lacks std::source_location
{
    Site* site = connection->site;
    if (state == kConnIdle && !OnIdleList(site, connection)) {
        connection->nextIdle = site->idleConnections;
        site->idleConnections = connection;
    } else if (state != kConnIdle && connection->state == kConnIdle) {
        RemoveIdle(site, connection);
    }
    connection->state = state;
    connection->lastChangeLine = line;
}

// --- writing ---

// Writes prefix, text and, with a prefix, CR LF; the caller keeps the
// text shorter than a buffer.
bool WriteText(Connection* connection, std::string_view text, std::string_view prefix = {})
{
    AioBuffer* buffer = GetAIOBuffer(connection->aio);
    if (buffer == nullptr)
        return false;
    char* out = buffer->data;
    out += prefix.copy(out, prefix.size());
    out += text.copy(out, text.size());
    if (!prefix.empty()) {
        *out++ = '\r';
        *out++ = '\n';
    }
    return WriteAIOBuffer(buffer, static_cast<uint32_t>(out - buffer->data)) != 0;
}

void WriteQuit(Connection* connection)
{
    if (connection->quitSent)
        return;
    connection->quitSent = 1;
    RemoveIdle(connection->site, connection);
    WriteText(connection, kQuit);
}

// Where a connection would go idle: one told to end quits instead, so that
// it does not linger on the idle list of a site that no longer wants it.
void GoIdle(Connection* connection)
{
    if (connection->disconnectRequested)
        WriteQuit(connection);
    else
        ChangeStateF(connection, kConnIdle);
}

bool QueueEmpty(const char* read, const char* write)
{
    return read >= write;
}

bool HasWork(const Site* site)
{
    return !QueueEmpty(site->articleQRead, site->articleQWrite) ||
           !QueueEmpty(site->transmitQRead, site->transmitQWrite) || site->readFile || site->filesPending ||
           site->writeFileUsed;
}

// The article queue's records, reloaded from the queue files once empty.
bool FillArticleQueue(Site* site)
{
    if (!QueueEmpty(site->articleQRead, site->articleQWrite))
        return true;
    site->articleQRead = site->articleQWrite = site->articleQ;
    return FeedQueueReadFile(site) != 0;
}

// The NUL-ended record at `read`; a last record without its NUL ends at
// `write`.
std::string_view RecordAt(const char* read, const char* write)
{
    const void* nul = std::memchr(read, '\0', static_cast<size_t>(write - read));
    const char* end = nul != nullptr ? static_cast<const char*>(nul) : write;
    return {read, static_cast<size_t>(end - read)};
}

const char* PastRecord(std::string_view record, const char* write)
{
    const char* next = record.data() + record.size() + 1;
    return next < write ? next : write;
}

void ResetTransmitQueue(Site* site)
{
    site->transmitQRead = site->transmitQWrite = site->transmitQ;
    site->transmitQ[0] = '\0';
}

// 0 when the transmission could not be started; 1 otherwise, also when the
// article is not there (nothing sent, state unchanged).
int TransmitArticleByIDAsync(Connection* connection, std::string_view id)
{
    char requested[kMessageIdSize];
    if (id.size() >= sizeof requested)
        return 1;
    id.copy(requested, id.size());
    requested[id.size()] = '\0';
    ArticleKey key = 0;
    uint32_t index = 0;
    uint64_t storeKey = 0, base = 0;
    uint32_t offset = 0, length = 0;
    if (!GetArticleIDFromString(requested, nullptr, &key) || !SeenGetEntry(key, &index) ||
        !SeenGetArticle(index, &storeKey, &offset, &length))
        return 1;
    int file = GetStoreHandleAndOffset(storeKey, &base);
    if (file < 0)
        return 1;
    // A record that is not this article's is gone. Two ids sharing one
    // history key: say so on the console.
    char stored[kMessageIdSize];
    if (!ArticleGetMessageIDBuf(stored, index))
        return 1;
    if (std::strcmp(stored, requested) != 0) {
        std::printf("mismatch %s!=%s\n", stored, requested);
        std::fflush(stdout);
    }
    AioBuffer* buffer = GetAIOBuffer(connection->aio);
    if (buffer == nullptr)
        return 0;
    auto* parts = reinterpret_cast<AioTransmitBuffers*>(buffer->data);
    char* text = buffer->data + sizeof(AioTransmitBuffers);
    const uint32_t room = buffer->size - static_cast<uint32_t>(sizeof(AioTransmitBuffers));
    uint32_t headLength = 0;
    if (connection->streaming)
        headLength = static_cast<uint32_t>(std::snprintf(text, room, "takethis %s\r\n", requested));
    std::memcpy(text + headLength, kArticleTail, sizeof kArticleTail - 1);
    *parts = AioTransmitBuffers{text, headLength, text + headLength, sizeof kArticleTail - 1};
    if (!AIOTransmitBuffer(buffer, file, base + offset, length))
        return 0;
    ++connection->outstanding;
    ChangeStateF(connection, headLength != 0 ? kConnStreaming : kConnArticleSent);
    return 1;
}

// 1 when an "ihave" was started.
int SiteWriteIhave(Connection* connection)
{
    Site* site = connection->site;
    CsLock lock(site->lock);
    if (connection->disconnectRequested) {
        WriteQuit(connection);
        return 0;
    }
    while (FillArticleQueue(site)) {
        std::string_view id = RecordAt(site->articleQRead, site->articleQWrite);
        const char* next = PastRecord(id, site->articleQWrite);
        if (id.size() >= kMessageIdSize) {
            LogFormat("message-id of %zu bytes in the queue of %s skipped", id.size(), site->name.c_str());
            site->articleQRead = const_cast<char*>(next);
            continue;
        }
        id.copy(connection->currentId, id.size());
        connection->currentId[id.size()] = '\0';
        if (!WriteText(connection, id, "ihave "))
            return 0;  // the connection is closing; another one offers the id
        site->articleQRead = const_cast<char*>(next);
        ++connection->outstanding;
        ChangeStateF(connection, kConnIhaveSent);
        return 1;
    }
    GoIdle(connection);
    return 0;
}

// Sends what the peer asked for; false when the write could not start.
bool SendWanted(Connection* connection, int& started)
{
    Site* site = connection->site;
    while (!QueueEmpty(site->transmitQRead, site->transmitQWrite)) {
        std::string_view id = RecordAt(site->transmitQRead, site->transmitQWrite);
        if (!TransmitArticleByIDAsync(connection, id))
            return false;
        site->transmitQRead = const_cast<char*>(PastRecord(id, site->transmitQWrite));
        if (connection->state == kConnStreaming)
            started = 1;
        if (QueueEmpty(site->transmitQRead, site->transmitQWrite)) {
            ResetTransmitQueue(site);
            break;
        }
        if (started)
            break;
    }
    return true;
}

// Writes one batch of "check" lines; 1 when it went out.
int WriteCheckBatch(Connection* connection)
{
    Site* site = connection->site;
    if (!FillArticleQueue(site))
        return 0;
    AioBuffer* buffer = GetAIOBuffer(connection->aio);
    if (buffer == nullptr)
        return 0;
    char* const batchStart = site->articleQRead;
    uint32_t used = 0;
    int32_t lines = 0;
    while (used < kBatchLimit && !QueueEmpty(site->articleQRead, site->articleQWrite)) {
        std::string_view id = RecordAt(site->articleQRead, site->articleQWrite);
        const size_t lineLength = id.size() + 8;  // "check " id CR LF
        if (used + lineLength > buffer->size) {
            if (used != 0)
                break;
            LogFormat("message-id of %zu bytes in the queue of %s skipped", id.size(), site->name.c_str());
        } else {
            std::memcpy(buffer->data + used, "check ", 6);
            id.copy(buffer->data + used + 6, id.size());
            std::memcpy(buffer->data + used + 6 + id.size(), "\r\n", 2);
            used += static_cast<uint32_t>(lineLength);
            ++lines;
        }
        site->articleQRead = const_cast<char*>(PastRecord(id, site->articleQWrite));
    }
    if (!WriteAIOBuffer(buffer, used)) {
        site->articleQRead = batchStart;
        return 0;
    }
    ChangeStateF(connection, kConnStreaming);
    connection->outstanding += lines;
    if (QueueEmpty(site->articleQRead, site->articleQWrite))
        site->articleQRead = site->articleQWrite = site->articleQ;
    return 1;
}

// 1 when something was started.
int SiteWriteStream(Connection* connection)
{
    Site* site = connection->site;
    CsLock lock(site->lock);
    if (connection->disconnectRequested) {
        WriteQuit(connection);
        return 0;
    }
    if (!QueueEmpty(site->transmitQRead, site->transmitQWrite)) {
        int started = 0;
        if (!SendWanted(connection, started))
            return 0;
        if (started || connection->state != kConnIdle)
            return started;
    }
    return WriteCheckBatch(connection);
}

int LetWrite(Connection* connection)
{
    return connection->streaming ? SiteWriteStream(connection) : SiteWriteIhave(connection);
}

// Lets the first idle connection write; one that found nothing to do stays
// on the list, at the front or moved to the end. Site lock held; true when
// it took work.
bool WakeFirstIdle(Site* site, bool backToEnd)
{
    Connection* connection = site->idleConnections;
    LetWrite(connection);
    // Leaving the idle state (or quitting) took it off the list.
    if (connection->state != kConnIdle || connection->quitSent)
        return true;
    if (backToEnd) {
        RemoveIdle(site, connection);
        AppendIdle(site, connection);
    }
    return false;
}

// --- opening ---

void SpawnConnectThread(void* argument);

// A connection told to end before it was connected gives its slot back.
bool AbandonIfAsked(Connection* connection)
{
    Site* site = connection->site;
    CsLock lock(site->lock);
    if (!connection->disconnectRequested)
        return false;
    for (Connection*& slot : site->connection)
        if (slot == connection)
            slot = nullptr;
    delete connection;
    return true;
}

void RetryLater(Connection* connection)
{
    ScheduleCallback(feedRetrySeconds.load(), 0, SpawnConnectThread, connection);
}

void Connector(Connection* connection)
{
    if (AbandonIfAsked(connection))
        return;
    Site* site = connection->site;
    std::string host;
    std::string caFile;
    int port;
    bool tls;
    {
        CsLock lock(site->lock);
        host = site->hostname;
        port = site->port;
        tls = site->tls != 0;
        caFile = site->tlsCAFile;
    }
    int socket = ConnectToHost(host.c_str(), port);
    std::string problem;
    if (socket >= 0 && tls)
        socket = TlsClientRelay(socket, host.c_str(), caFile.empty() ? nullptr : caFile.c_str(), &problem);
    if (socket < 0) {
        if (!problem.empty())
            LogFormat("feed %s: %s", site->name.c_str(), problem.c_str());
        RetryLater(connection);
        return;
    }
    {
        CsLock lock(site->lock);
        ChangeStateF(connection, kConnConnected);
    }
    if (RegisterHandleForAIO(socket, ConnError, ConnRead, ConnWriteComplete, connection, &connection->aio) ==
        nullptr) {
        CloseFile(socket);
        {
            CsLock lock(site->lock);
            ChangeStateF(connection, kConnConnecting);
        }
        RetryLater(connection);
    }
}

// A site without a host name has nothing to connect to yet: it is looked
// at again after the delay without a thread.
void SpawnConnectThread(void* argument)
{
    auto* connection = static_cast<Connection*>(argument);
    bool named;
    {
        CsLock lock(connection->site->lock);
        named = !connection->site->hostname.empty();
    }
    if (!named) {
        if (!AbandonIfAsked(connection))
            RetryLater(connection);
        return;
    }
    if (!StartThread("feed connect", [connection] { Connector(connection); }))
        RetryLater(connection);
}

// --- responses ---

enum class Outcome { kNext, kHoldBack, kClose };

// Queues the id again in a queue file (never in memory, where it would be
// offered again at once). Takes csSiteList before the site's lock.
void Requeue(Connection* connection, const char* id)
{
    Site* site = connection->site;
    if (id[0] == '\0')
        return;
    CsLock list(csSiteList());
    CsLock lock(site->lock);
    if (!site->requeuesAllowed)
        return;
    int32_t realtime = site->realtime;
    site->realtime = 0;
    if (EnqueueForSite(site, id, static_cast<uint32_t>(std::strlen(id))))
        ++site->requeues;
    site->realtime = realtime;
}

// The id of a "431" line, "<" through ">" with at least two characters in
// between; one longer than the copy area is dropped with a log line.
void RequeueFromLine(Connection* connection, std::string_view line)
{
    size_t open = line.find('<');
    size_t close = open == std::string_view::npos ? open : line.find('>', open);
    if (close == std::string_view::npos || close - open < 3)
        return;
    size_t length = close - open + 1;
    if (length >= kRequeueIdSize) {
        LogFormat("message-id of %zu bytes from %s not requeued", length, connection->site->name.c_str());
        return;
    }
    char id[kRequeueIdSize];
    line.substr(open, length).copy(id, length);
    id[length] = '\0';
    Requeue(connection, id);
}

// Site lock held.
void SendAfterGoAhead(Connection* connection)
{
    Site* site = connection->site;
    bool sent = TransmitArticleByIDAsync(connection, connection->currentId) != 0 &&
                connection->state == kConnArticleSent;
    if (sent)
        return;
    ++site->missing;
    if (WriteText(connection, kArticleTail)) {
        ++connection->outstanding;  // its 235 or 437 is answered like any article's
        ChangeStateF(connection, kConnArticleSent);
    }
}

// The answers that end an offer with nothing more than a count or a requeue.
enum class Requeued { kNo, kIdInLine, kCurrentId };

struct OfferAnswer {
    int code;
    std::atomic<uint32_t> Site::*siteCounter;  // null: not counted
    std::atomic<uint32_t>* total;
    Requeued requeue;
};

constexpr OfferAnswer kOfferAnswers[] = {
    {235, &Site::accepts, &total_accept, Requeued::kNo},
    {239, &Site::accepts, &total_accept, Requeued::kNo},
    {431, nullptr, nullptr, Requeued::kIdInLine},
    {435, &Site::refused, &total_refuse, Requeued::kNo},
    {436, nullptr, nullptr, Requeued::kCurrentId},
    {437, &Site::rejected, &total_reject, Requeued::kNo},
    {438, &Site::refused, &total_refuse, Requeued::kNo},
    {439, &Site::rejected, &total_reject, Requeued::kNo},
};

const OfferAnswer* FindOfferAnswer(int code)
{
    for (const OfferAnswer& answer : kOfferAnswers) {
        if (answer.code == code)
            return &answer;
    }
    return nullptr;
}

void TakeOfferAnswer(Connection* connection, const OfferAnswer& answer, std::string_view line)
{
    --connection->outstanding;
    if (answer.siteCounter != nullptr) {
        ++(connection->site->*answer.siteCounter);
        ++*answer.total;
    }
    if (answer.requeue == Requeued::kIdInLine)
        RequeueFromLine(connection, line);
    else if (answer.requeue == Requeued::kCurrentId)
        Requeue(connection, connection->currentId);
}

// "500"/"501": false once the errors outnumber a quarter of the answers by
// more than a few.
bool CountCommandError(Connection* connection)
{
    Site* site = connection->site;
    --connection->outstanding;
    ++connection->errors;
    ++site->commandErrors;
    if (connection->errors <= static_cast<uint32_t>(connection->responses / 4 + kTooManyErrorsBase))
        return true;
    LogFormat("too many errors received from %s (%s), disconnecting (will disconnect and retry in 60 "
              "seconds)",
              site->hostname.c_str(), site->name.c_str());
    return false;
}

// After an answer that ends an offer: an ihave connection offers the next id.
Outcome OfferNext(Connection* connection)
{
    if (!connection->streaming)
        SiteWriteIhave(connection);
    return Outcome::kNext;
}

// The answers with more to them than a count.
Outcome HandleOtherResponse(Connection* connection, int code, std::string_view line)
{
    Site* site = connection->site;
    switch (code) {
    case 238:
        if (!SiteQForTransmit(site, line.data(), static_cast<uint32_t>(line.size())))
            return Outcome::kHoldBack;
        --connection->outstanding;
        SiteWakeConnection(site);
        return OfferNext(connection);
    case 335: {
        --connection->outstanding;
        CsLock lock(site->lock);
        SendAfterGoAhead(connection);
        return Outcome::kNext;
    }
    case 480:
        LogFormat("480 (access denied) received from %s (%s), disconnecting (will retry in 60 seconds)",
                  site->hostname.c_str(), site->name.c_str());
        return Outcome::kClose;
    case 500:
    case 501:
        return CountCommandError(connection) ? OfferNext(connection) : Outcome::kClose;
    default:
        if (!connection->quitSent)  // the answer to our "quit" needs no line
            LogFormat("%.*s", static_cast<int>(line.size()), line.data());
        return OfferNext(connection);
    }
}

Outcome HandleResponse(Connection* connection, int code, std::string_view line)
{
    ++connection->responses;
    const OfferAnswer* answer = FindOfferAnswer(code);
    if (answer == nullptr)
        return HandleOtherResponse(connection, code, line);
    TakeOfferAnswer(connection, *answer, line);
    return OfferNext(connection);
}

// Greeting and "mode stream" answer; false closes.
bool HandleOpening(Connection* connection, int code)
{
    Site* site = connection->site;
    CsLock lock(site->lock);
    if (connection->state == kConnConnected) {
        if (code < 200 || code > 203)
            return false;
        if (site->doStreaming) {
            ChangeStateF(connection, kConnModeStream);
            WriteText(connection, kModeStream);
            return true;
        }
    } else if (code == 203) {
        connection->streaming = 1;
    }
    GoIdle(connection);
    SiteWakeConnection(site);
    return true;
}

// The leading number; a line cut after its CR starts with the LF.
int ResponseCode(std::string_view line)
{
    size_t start = line.find_first_not_of(" \t\n");
    int code = 0;
    if (start != std::string_view::npos)
        std::from_chars(line.data() + start, line.data() + line.size(), code);
    return code;
}

bool Offering(int32_t state)
{
    return state == kConnIdle || state == kConnStreaming || state == kConnIhaveSent ||
           state == kConnArticleSent;
}

enum class Pass { kDone, kHeld, kClose };

// Handles the complete lines at the front of `rest`; `consumed` ends past the
// last line handled.
Pass HandleLines(Connection* connection, std::string_view rest, size_t& consumed)
{
    consumed = 0;
    for (;;) {
        size_t cr = rest.find('\r', consumed);
        if (cr == std::string_view::npos)
            return Pass::kDone;
        std::string_view line = rest.substr(consumed, cr - consumed);
        const size_t next = cr + (cr + 1 < rest.size() && rest[cr + 1] == '\n' ? 2 : 1);
        const int code = ResponseCode(line);
        const int32_t state = connection->state;
        if (state == kConnConnected || state == kConnModeStream) {
            if (!HandleOpening(connection, code))
                return Pass::kClose;
        } else if (Offering(state)) {
            Outcome outcome = HandleResponse(connection, code, line);
            if (outcome == Outcome::kClose)
                return Pass::kClose;
            if (outcome == Outcome::kHoldBack)
                return Pass::kHeld;
        } else {
            std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
            std::fflush(stdout);
        }
        consumed = next;
    }
}

bool TooLong(const Connection* connection, size_t unterminated)
{
    if (unterminated <= kMaxUnterminated)
        return false;
    LogFormat("more than %u bytes without a line end from %s (%s), disconnecting", kMaxUnterminated,
              connection->site->hostname.c_str(), connection->site->name.c_str());
    return true;
}

// Lines held back for a full transmit queue are kept by the connection, not
// left in the read buffer: a held line there would wait for more data from
// the peer, which may never come when it was the peer's last answer.
int HandleHeldInput(Connection* connection)
{
    size_t consumed = 0;
    Pass pass = HandleLines(connection, connection->heldInput, consumed);
    if (pass == Pass::kClose)
        return -1;
    connection->heldInput.erase(0, consumed);
    if (pass == Pass::kDone)
        return TooLong(connection, connection->heldInput.size()) ? -1 : 0;
    if (connection->heldInput.size() > kMaxHeldInput) {
        LogFormat("more than %u bytes of answers held back from %s (%s), disconnecting", kMaxHeldInput,
                  connection->site->hostname.c_str(), connection->site->name.c_str());
        return -1;
    }
    return 0;
}

int ConnRead(AioHandle*, void* context, char* data, int length)
{
    auto* connection = static_cast<Connection*>(context);
    if (!connection->heldInput.empty()) {
        connection->heldInput.append(data, static_cast<size_t>(length));
        return HandleHeldInput(connection) < 0 ? -1 : length;
    }
    std::string_view rest(data, static_cast<size_t>(length));
    size_t consumed = 0;
    switch (HandleLines(connection, rest, consumed)) {
    case Pass::kClose:
        return -1;
    case Pass::kHeld:
        connection->heldInput.assign(rest.substr(consumed));
        return length;
    case Pass::kDone:
        break;
    }
    return TooLong(connection, rest.size() - consumed) ? -1 : static_cast<int>(consumed);
}

// Site lock held.
void AfterWrite(Connection* connection)
{
    Site* site = connection->site;
    if (connection->quitSent)
        return;
    switch (connection->state) {
    case kConnStreaming:
        if (connection->disconnectRequested) {
            WriteQuit(connection);
            return;
        }
        ChangeStateF(connection, kConnIdle);
        SiteWakeConnection(site);
        break;
    case kConnModeStream:
    case kConnIhaveSent:
    case kConnArticleSent:
        break;
    default:
        SiteWakeConnection(site);
        break;
    }
}

// A write finished: the site's transmit queue, which all its connections
// fill and drain, may have room for lines any of them held back. Handled
// without the site's lock (a requeue must not be holding it); connections
// are only deleted on this thread, so the ones collected stay valid.
void ConnWriteComplete(AioBuffer*, void* context)
{
    auto* connection = static_cast<Connection*>(context);
    Site* site = connection->site;
    Connection* holding[kSiteSlots];
    int count = 0;
    {
        CsLock lock(site->lock);
        AfterWrite(connection);
        for (Connection* c : site->connection)
            if (c != nullptr && !c->heldInput.empty() && !c->quitSent && c->aio != nullptr)
                holding[count++] = c;
    }
    for (int i = 0; i < count; ++i)
        if (HandleHeldInput(holding[i]) < 0)
            AIOClose(holding[i]->aio);
}

void ConnError(AioHandle*, void* context)
{
    auto* connection = static_cast<Connection*>(context);
    Site* site = connection->site;
    bool requested;
    int others = 0;
    {
        CsLock lock(site->lock);
        ChangeStateF(connection, kConnClosed);
        for (Connection*& slot : site->connection) {
            if (slot == connection)
                slot = nullptr;
            else if (slot != nullptr)
                ++others;
        }
        RemoveIdle(site, connection);
        requested = connection->disconnectRequested != 0;
        delete connection;
    }
    if (!requested && !(site->deleted && others == 0))
        SiteConnect(site, 1);
}

}  // namespace

int FeedConnectionInit()
{
    feedRetrySeconds = static_cast<unsigned>(ConfigNumber(ConfigKey::kFeedRetryDelay, 1));
    return 1;
}

int SiteConnect(Site* site, int delayed)
{
    auto* connection = new Connection;
    connection->site = site;
    {
        CsLock lock(site->lock);
        Connection** free = nullptr;
        for (Connection*& slot : site->connection) {
            if (slot == nullptr) {
                free = &slot;
                break;
            }
        }
        if (free == nullptr) {
            delete connection;
            return 0;
        }
        *free = connection;
        ChangeStateF(connection, kConnConnecting);
    }
    if (delayed)
        RetryLater(connection);
    else
        SpawnConnectThread(connection);
    return 1;
}

// A connection already told to end is passed over, so that lowering the
// count by n tells n different connections.
int SiteDisconnect(Site* site)
{
    CsLock lock(site->lock);
    for (Connection* c = site->idleConnections; c != nullptr; c = c->nextIdle) {
        if (!c->disconnectRequested) {
            c->disconnectRequested = 1;
            WriteQuit(c);
            return 1;
        }
    }
    for (int i = kSiteSlots - 1; i >= 0; --i) {
        Connection* connection = site->connection[i];
        if (connection != nullptr && !connection->disconnectRequested) {
            connection->disconnectRequested = 1;
            return 1;
        }
    }
    return 0;
}

int SiteWakeConnection(Site* site)
{
    CsLock lock(site->lock);
    if (!HasWork(site) || site->idleConnections == nullptr)
        return 0;
    return WakeFirstIdle(site, false) ? 1 : 0;
}

int SiteWriteOnConnection(Site* site)
{
    CsLock lock(site->lock);
    int tried = 0;
    while (HasWork(site) && site->idleConnections != nullptr) {
        tried = 1;
        if (!WakeFirstIdle(site, true))
            break;
    }
    return tried;
}

// The checks of a reader's post. One pass over the header lines finds the
// headers that matter and refuses malformed lines; the values are then
// checked one by one, the groups against the group database and the
// Message-ID against the history.
#include "article/post_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "article/article.h"
#include "article/article_key.h"
#include "date/parsedate.h"
#include "groups/groupdb.h"
#include "history/history.h"

namespace {

constexpr uint32_t kMaxMessageId = 250;
constexpr uint32_t kMaxGroupName = 255;
constexpr int64_t kSecondsPerDay = 86400;

// The headers a post is checked for; each may appear once.
enum Known {
    kFrom,
    kNewsgroups,
    kSubject,
    kMessageId,
    kDate,
    kPath,
    kApproved,
    kControl,
    kSupersedes,
    kReferences,
    kInjectionInfo,
    kInjectionDate,
    kXref,
    kKnownCount
};
constexpr std::string_view kKnownNames[kKnownCount] = {
    "From",    "Newsgroups", "Subject",    "Message-ID",     "Date",           "Path", "Approved",
    "Control", "Supersedes", "References", "Injection-Info", "Injection-Date", "Xref"};

struct Header {
    bool present = false;
    uint32_t line = 0;       // start of its first line
    uint32_t lineEnd = 0;    // past the CR LF of its last line
    std::string_view value;  // blanks trimmed at both ends
};

struct Scan {
    Header known[kKnownCount];
    uint32_t headerLength = 0;
    bool blankLine = false;
};

bool Refuse(char (&reason)[kPostReasonSize], const char* format, ...) __attribute__((format(printf, 2, 3)));
bool Refuse(char (&reason)[kPostReasonSize], const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof reason, format, args);
    va_end(args);
    return false;
}

bool IsBlank(char b)
{
    return b == ' ' || b == '\t' || b == '\r' || b == '\n';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char Lower(char b)
{
    return b >= 'A' && b <= 'Z' ? static_cast<char>(b + ('a' - 'A')) : b;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

// Every LF has a CR before it and every CR a LF after it; no NUL.
bool CheckLineEnds(std::string_view post, char (&reason)[kPostReasonSize])
{
    if (post.find('\0') != std::string_view::npos)
        return Refuse(reason, "NUL byte in the article");
    for (size_t at = post.find('\n'); at != std::string_view::npos; at = post.find('\n', at + 1))
        if (at == 0 || post[at - 1] != '\r')
            return Refuse(reason, "bare LF in the article");
    for (size_t at = post.find('\r'); at != std::string_view::npos; at = post.find('\r', at + 1))
        if (at + 1 < post.size() && post[at + 1] != '\n')
            return Refuse(reason, "bare CR in the article");
    if (!post.empty() && post.back() == '\r')
        return Refuse(reason, "bare CR in the article");
    return true;
}

// A header line starts a field: a name of visible ASCII, a colon and a
// blank. The field's slot when it is one of the known headers, kKnownCount
// when not, -1 when the line is malformed.
int FieldOf(std::string_view line)
{
    size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon + 1 >= line.size() || line[colon + 1] != ' ')
        return -1;
    for (size_t i = 0; i < colon; ++i)
        if (line[i] < 33 || line[i] > 126)
            return -1;
    for (int k = 0; k < kKnownCount; ++k)
        if (EqualsNoCase(line.substr(0, colon), kKnownNames[k]))
            return k;
    return kKnownCount;
}

// Closes the known header that ends at `end` (past its last CR LF).
void CloseHeader(std::string_view post, Header* header, uint32_t end)
{
    if (header == nullptr)
        return;
    header->lineEnd = end;
    std::string_view whole = post.substr(header->line, end - header->line);
    header->value = Trim(whole.substr(whole.find(':') + 1));
}

// One pass over the header lines (line ends already checked).
bool ScanHeader(std::string_view post, Scan* scan, char (&reason)[kPostReasonSize])
{
    Header* open = nullptr;
    bool inField = false;
    uint32_t lines = 0, at = 0;
    while (at < post.size()) {
        size_t lf = post.find('\n', at);
        const uint32_t end = lf == std::string_view::npos ? static_cast<uint32_t>(post.size()) : lf - 1;
        const uint32_t next = lf == std::string_view::npos ? end : static_cast<uint32_t>(lf + 1);
        std::string_view line = post.substr(at, end - at);
        if (line.empty()) {
            scan->blankLine = true;
            break;
        }
        if (line.size() > kMaxHeaderLine)
            return Refuse(reason, "header line longer than %u bytes", kMaxHeaderLine);
        if (++lines > kMaxHeaderLines)
            return Refuse(reason, "more than %u header lines", kMaxHeaderLines);
        if (line[0] == ' ' || line[0] == '\t') {
            if (!inField)
                return Refuse(reason, "malformed header line");
        } else {
            CloseHeader(post, open, at);
            const int field = FieldOf(line);
            if (field < 0)
                return Refuse(reason, "malformed header line");
            inField = true;
            open = field < kKnownCount ? &scan->known[field] : nullptr;
            if (open != nullptr && open->present)
                return Refuse(reason, "duplicate %s header", kKnownNames[field].data());
            if (open != nullptr)
                *open = Header{true, at, 0, {}};
        }
        at = next;
    }
    CloseHeader(post, open, at);
    scan->headerLength = at;
    if (at > kMaxPostHeader)
        return Refuse(reason, "header longer than %u bytes", kMaxPostHeader);
    return true;
}

bool IsGroupNameByte(char b)
{
    return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '+' || b == '-' ||
           b == '_';
}

// Components of letters, digits, "+", "-" and "_" joined by single dots.
bool IsValidGroupName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxGroupName || name.front() == '.' || name.back() == '.')
        return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (!IsGroupNameByte(name[i]) && !(name[i] == '.' && name[i - 1] != '.'))
            return false;
    return true;
}

// Each group named: well-formed, open to posting when carried; notes the
// first moderated one and whether any is carried.
bool CheckGroups(std::string_view value, bool approved, PostFacts* facts, char (&reason)[kPostReasonSize])
{
    uint32_t count = 0, carried = 0;
    for (size_t start = 0; start <= value.size();) {
        size_t comma = std::min(value.find(',', start), value.size());
        std::string_view name = Trim(value.substr(start, comma - start));
        start = comma + 1;
        if (!IsValidGroupName(name))
            return Refuse(reason, "malformed Newsgroups header");
        if (++count > kMaxCrossposts + 1)
            return Refuse(reason, "more than %u newsgroups", kMaxCrossposts + 1);
        char copy[kMaxGroupName + 1];
        std::memcpy(copy, name.data(), name.size());
        copy[name.size()] = '\0';
        const char flag = GetGroupPostInfo(copy);
        if (flag == 'n')
            return Refuse(reason, "posting to %.64s is not allowed", copy);
        if (flag == 'm' && !approved && facts->moderated.empty())
            facts->moderated = name;
        carried += flag != '\0' ? 1 : 0;
    }
    if (carried == 0 && !facts->control)
        return Refuse(reason, "no newsgroup carried here");
    return true;
}

// Path entries of host-name characters joined by "!"; a reader may not
// claim an injection of its own.
bool CheckPath(std::string_view value, char (&reason)[kPostReasonSize])
{
    if (value.find("POSTED") != std::string_view::npos)
        return Refuse(reason, "forged Path header");
    for (size_t start = 0; start <= value.size();) {
        size_t bang = std::min(value.find('!', start), value.size());
        std::string_view entry = value.substr(start, bang - start);
        if (entry.empty() ||
            entry.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_:") !=
                std::string_view::npos)
            return Refuse(reason, "malformed Path header");
        start = bang + 1;
    }
    return true;
}

bool CheckDate(std::string_view value, char (&reason)[kPostReasonSize])
{
    const uint32_t parsed = parsedate(value, nullptr);
    if (parsed == kBadDate || parsed == 0)
        return Refuse(reason, "malformed Date header");
    const int64_t now = std::time(nullptr);
    if (int64_t{parsed} > now + kSecondsPerDay)
        return Refuse(reason, "Date header more than a day ahead");
    if (now - int64_t{parsed} > int64_t{MaxArticleAge} * kSecondsPerDay)
        return Refuse(reason, "Date header older than %d days", MaxArticleAge);
    return true;
}

// "cancel <id>" or a group control message the control queue takes.
bool CheckControl(std::string_view value, char (&reason)[kPostReasonSize])
{
    size_t space = std::min(value.find_first_of(" \t"), value.size());
    std::string_view verb = value.substr(0, space);
    if (EqualsNoCase(verb, "cancel")) {
        if (IsValidMessageId(Trim(value.substr(space))))
            return true;
        return Refuse(reason, "malformed Control header");
    }
    for (std::string_view known : {"newgroup", "rmgroup", "checkgroups"})
        if (EqualsNoCase(verb, known))
            return true;
    return Refuse(reason, "unsupported control message %.*s", static_cast<int>(std::min<size_t>(verb.size(), 40)),
                  verb.data());
}

bool CheckMessageId(std::string_view value, char (&reason)[kPostReasonSize])
{
    ArticleKey key = 0;
    if (!IsValidMessageId(value) || !GetArticleKeyOfText(value, &key))
        return Refuse(reason, "malformed Message-ID header");
    if (CheckSeen(key))
        return Refuse(reason, "duplicate Message-ID %.*s", static_cast<int>(value.size()), value.data());
    return true;
}

bool CheckRequired(const Scan& scan, char (&reason)[kPostReasonSize])
{
    for (int k : {kFrom, kNewsgroups, kSubject})
        if (!scan.known[k].present || scan.known[k].value.empty())
            return Refuse(reason, "missing %s header", kKnownNames[k].data());
    if (FromAddress(scan.known[kFrom].value).empty())
        return Refuse(reason, "malformed From header");
    for (int k : {kInjectionInfo, kInjectionDate, kXref})
        if (scan.known[k].present)
            return Refuse(reason, "%s header not allowed in a post", kKnownNames[k].data());
    return true;
}

// The values of the optional headers that completion or the pipeline use.
bool CheckOptional(const Scan& scan, char (&reason)[kPostReasonSize])
{
    const Header* known = scan.known;
    if (known[kMessageId].present && !CheckMessageId(known[kMessageId].value, reason))
        return false;
    if (known[kDate].present && !CheckDate(known[kDate].value, reason))
        return false;
    if (known[kPath].present && !CheckPath(known[kPath].value, reason))
        return false;
    if (known[kControl].present && !CheckControl(known[kControl].value, reason))
        return false;
    if (known[kSupersedes].present && !IsValidMessageId(known[kSupersedes].value))
        return Refuse(reason, "malformed Supersedes header");
    return true;
}

}  // namespace

bool CheckPost(std::string_view post, PostFacts* facts, char (&reason)[kPostReasonSize])
{
    reason[0] = '\0';
    Scan scan;
    if (post.empty())
        return Refuse(reason, "empty article");
    if (!CheckLineEnds(post, reason) || !ScanHeader(post, &scan, reason) || !CheckRequired(scan, reason) ||
        !CheckOptional(scan, reason))
        return false;
    *facts = PostFacts{};
    const Header& path = scan.known[kPath];
    facts->messageId = scan.known[kMessageId].value;
    facts->path = path.value;
    facts->pathLine = path.line;
    facts->pathLineLength = path.present ? path.lineEnd - path.line : 0;
    facts->headerLength = scan.headerLength;
    facts->blankLine = scan.blankLine;
    facts->hasDate = scan.known[kDate].present;
    facts->control = scan.known[kControl].present;
    return CheckGroups(scan.known[kNewsgroups].value, scan.known[kApproved].present, facts, reason);
}

std::string_view FromAddress(std::string_view value)
{
    std::string_view address = value;
    if (size_t open = value.find('<'); open != std::string_view::npos) {
        size_t close = value.find('>', open);
        if (close == std::string_view::npos)
            return {};
        address = value.substr(open + 1, close - open - 1);
    } else {
        address = value.substr(0, std::min(value.find_first_of(" \t\r\n("), value.size()));
        // "a@b (name)": only a comment may follow the bare address.
        std::string_view rest = Trim(value.substr(address.size()));
        if (!rest.empty() && rest.front() != '(')
            return {};
    }
    size_t at = address.rfind('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == address.size())
        return {};
    for (char b : address.substr(0, at))
        if (b < 33 || b > 126 || b == '<' || b == '>' || b == '(' || b == ')')
            return {};
    std::string_view domain = address.substr(at + 1);
    if (domain.front() == '.' || domain.back() == '.' || domain.find("..") != std::string_view::npos ||
        domain.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") !=
            std::string_view::npos)
        return {};
    return address;
}

bool IsValidMessageId(std::string_view text)
{
    if (text.size() < 5 || text.size() > kMaxMessageId || text.front() != '<' || text.back() != '>')
        return false;
    std::string_view inner = text.substr(1, text.size() - 2);
    size_t at = inner.find('@');
    if (at == 0 || at == std::string_view::npos || at + 1 == inner.size() || inner.find('@', at + 1) != inner.npos)
        return false;
    for (char b : inner)
        if (b < 33 || b > 126 || b == '<' || b == '>')
            return false;
    return true;
}

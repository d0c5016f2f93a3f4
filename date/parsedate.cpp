// Date parser. The lexer turns the text into number, word and character
// tokens; a recursive-descent parser over the date grammar makes the choices
// of a shift-preferring LALR(1) parser (it takes the longer form whenever the
// next token allows it and never backs up); the conversion turns the fields
// into seconds. All parse state lives on the caller's stack.
#include "date/parsedate.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <optional>
#include <span>

namespace {

enum class Tok : uint8_t {
    End,
    Char,  // any other character; value is the byte
    DayWord,
    DaylightZone,
    AmPm,
    MonthWord,
    MonthUnit,
    SecondUnit,
    SignedNumber,
    Number,
    ZoneWord,
};

struct Token {
    Tok kind;
    int32_t value;
};

enum Meridian { kAm = 0, kPm = 1, k24Hour = 2 };
enum DstMode { kDstOn = 0, kDstOff = 1, kDstMaybe = 2 };

struct WordEntry {
    std::string_view name;
    Tok kind;
    int32_t value;
};

constexpr WordEntry MonthDayTable[] = {
    {"january", Tok::MonthWord, 1},   {"february", Tok::MonthWord, 2}, {"march", Tok::MonthWord, 3},
    {"april", Tok::MonthWord, 4},     {"may", Tok::MonthWord, 5},      {"june", Tok::MonthWord, 6},
    {"july", Tok::MonthWord, 7},      {"august", Tok::MonthWord, 8},   {"september", Tok::MonthWord, 9},
    {"october", Tok::MonthWord, 10},  {"november", Tok::MonthWord, 11}, {"december", Tok::MonthWord, 12},
    {"sunday", Tok::DayWord, 0},      {"monday", Tok::DayWord, 0},     {"tuesday", Tok::DayWord, 0},
    {"wednesday", Tok::DayWord, 0},   {"thursday", Tok::DayWord, 0},   {"friday", Tok::DayWord, 0},
    {"saturday", Tok::DayWord, 0},
};

constexpr WordEntry UnitsTable[] = {
    {"year", Tok::MonthUnit, 12},     {"month", Tok::MonthUnit, 1},  {"week", Tok::SecondUnit, 604800},
    {"day", Tok::SecondUnit, 86400},  {"hour", Tok::SecondUnit, 3600}, {"minute", Tok::SecondUnit, 60},
    {"min", Tok::SecondUnit, 60},     {"second", Tok::SecondUnit, 1}, {"sec", Tok::SecondUnit, 1},
};

constexpr Tok kStd = Tok::ZoneWord;
constexpr Tok kDst = Tok::DaylightZone;
constexpr WordEntry TimezoneTable[] = {
    {"gmt", kStd, 0},     {"ut", kStd, 0},      {"utc", kStd, 0},     {"cut", kStd, 0},
    {"z", kStd, 0},       {"wet", kStd, 0},     {"bst", kDst, 0},     {"nst", kStd, 210},
    {"ndt", kDst, 210},   {"ast", kStd, 240},   {"adt", kDst, 240},   {"est", kStd, 300},
    {"edt", kDst, 300},   {"cst", kStd, 360},   {"cdt", kDst, 360},   {"mst", kStd, 420},
    {"mdt", kDst, 420},   {"pst", kStd, 480},   {"pdt", kDst, 480},   {"yst", kStd, 540},
    {"ydt", kDst, 540},   {"akst", kStd, 540},  {"akdt", kDst, 540},  {"hst", kStd, 600},
    {"hast", kStd, 600},  {"hadt", kDst, 600},  {"ces", kDst, -60},   {"cest", kDst, -60},
    {"mezt", kDst, -60},  {"mez", kStd, -60},   {"cet", kStd, -60},   {"met", kStd, -60},
    {"eet", kStd, -120},  {"msk", kStd, -180},  {"msd", kDst, -180},  {"wast", kStd, -480},
    {"hkt", kStd, -480},  {"cct", kStd, -480},  {"wadt", kDst, -480}, {"jst", kStd, -540},
    {"kst", kStd, -540},  {"kdt", kStd, -540},  {"cast", kStd, -570}, {"cadt", kDst, -570},
    {"east", kStd, -600}, {"eadt", kDst, -600}, {"nzst", kStd, -720}, {"nzdt", kDst, -720},
};
static_assert(std::size(MonthDayTable) == 19 && std::size(UnitsTable) == 9 && std::size(TimezoneTable) == 48);

constexpr int DaysNormal[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int DaysLeap[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int kMinYear = 1970;
constexpr int kMaxYear = 2038;
constexpr size_t kMaxWord = 19;

// Fields start as "not given" (-1) so today's date is looked up only when a
// text leaves it out.
struct ParseState {
    std::string_view text;
    size_t pos = 0;
    Token tok{Tok::End, 0};  // the one token of look-ahead
    int year = -1, month = -1, day = -1;
    int hour = 0, minutes = 0, seconds = 0;
    Meridian meridian = k24Hour;
    int timezone = 0;  // minutes west of GMT; used only when a zone was given
    DstMode dstMode = kDstMaybe;
    int64_t relSeconds = 0, relMonth = 0;
    int haveDate = 0, haveTime = 0;
    bool haveRel = false;
};

// --- lexical analysis

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The byte at the read position; 0 past the end of the text.
unsigned char Current(const ParseState& s) { return s.pos < s.text.size() ? s.text[s.pos] : 0; }


// Skips a comment, which may nest; false when a NUL, a CR or a byte of 128
// or more (escaped or not) breaks it.
bool SkipComment(ParseState& s)
{
    size_t depth = 0;
    for (;;) {
        unsigned char c = Current(s);
        bool escaped = c == '\\';
        if (escaped) {
            ++s.pos;
            c = Current(s);
        }
        if (c == '\0' || c == '\r' || c >= 0x80)
            return false;
        ++s.pos;
        if (escaped)
            continue;
        if (c == '(')
            ++depth;
        else if (c == ')' && --depth == 0)
            return true;
    }
}

// Decimal digits; a value beyond 32 bits stays at the largest one, so an
// overlong number can never come out as a small valid one.
int LexDigits(ParseState& s)
{
    int64_t value = 0;
    for (unsigned char c; IsDigit(c = Current(s)); ++s.pos)
        value = std::min<int64_t>(value * 10 + (c - '0'), INT_MAX);
    return static_cast<int>(value);
}

// Words are never empty; testing the first letter first spares most
// comparisons of whole words.
bool SameStart(std::string_view a, std::string_view b, size_t length)
{
    return a[0] == b[0] && a.substr(0, length) == b.substr(0, length);
}

bool SameWord(std::string_view a, std::string_view b) { return a.size() == b.size() && SameStart(a, b, a.size()); }

std::optional<Token> FindWord(std::span<const WordEntry> table, std::string_view word)
{
    for (const WordEntry& e : table)
        if (SameWord(e.name, word))
            return Token{e.kind, e.value};
    return std::nullopt;
}

Token LookupWord(std::string_view word)
{
    // Three letters, or three and a dot, name a month or day by its start.
    bool abbreviated = word.size() == 3 || (word.size() == 4 && word[3] == '.');
    for (const WordEntry& e : MonthDayTable)
        if (abbreviated ? SameStart(e.name, word, 3) : SameWord(e.name, word))
            return {e.kind, e.value};
    if (auto t = FindWord(TimezoneTable, word))
        return *t;
    if (auto t = FindWord(UnitsTable, word))
        return *t;
    if (word.size() >= 2 && word.back() == 's')
        if (auto t = FindWord(UnitsTable, word.substr(0, word.size() - 1)))
            return *t;
    char bare[kMaxWord];
    size_t n = 0;
    for (char c : word)
        if (c != '.')
            bare[n++] = c;
    std::string_view undotted(bare, n);
    if (undotted == "am" || undotted == "pm")
        return {Tok::AmPm, undotted == "pm"};
    if (n != word.size())
        if (auto t = FindWord(TimezoneTable, undotted))
            return *t;
    return {Tok::ZoneWord, 0};  // an unknown word counts as GMT
}

Token LexWord(ParseState& s)
{
    char word[kMaxWord];
    size_t n = 0;
    for (unsigned char c; IsLetter(c = Current(s)) || c == '.'; ++s.pos)
        if (n < kMaxWord)
            word[n++] = static_cast<char>(c == '.' ? c : c | 0x20);
    return LookupWord({word, n});
}

Token Lex(ParseState& s)
{
    for (;;) {
        unsigned char c = Current(s);
        if (IsSpace(c)) {
            ++s.pos;
        } else if (c == '(') {
            if (!SkipComment(s))
                return {Tok::Char, '?'};  // no production takes it
        } else if (c == '+' || c == '-') {
            ++s.pos;
            if (IsDigit(Current(s))) {
                int value = LexDigits(s);
                return {Tok::SignedNumber, c == '-' ? -value : value};
            }
        } else if (IsDigit(c)) {
            return {Tok::Number, LexDigits(s)};
        } else if (IsLetter(c)) {
            return LexWord(s);
        } else if (c == '\0' || c >= 0x80) {
            return {Tok::End, 0};  // the position stays, so the end repeats
        } else {
            ++s.pos;
            return {Tok::Char, c};
        }
    }
}

// --- grammar

Token Take(ParseState& s)
{
    Token t = s.tok;
    s.tok = Lex(s);
    return t;
}

bool At(const ParseState& s, Tok kind) { return s.tok.kind == kind; }
bool AtChar(const ParseState& s, char c) { return At(s, Tok::Char) && s.tok.value == c; }

bool TakeIf(ParseState& s, Tok kind, int& value)
{
    if (!At(s, kind))
        return false;
    value = Take(s).value;
    return true;
}

bool TakeChar(ParseState& s, char c)
{
    if (!AtChar(s, c))
        return false;
    Take(s);
    return true;
}

// +hhmm or -hhmm as minutes west of GMT (a plus sign is east).
bool TakeOffset(ParseState& s, int& west)
{
    int signedValue = Take(s).value;
    int n = signedValue < 0 ? -signedValue : signedValue;
    if (n > 9999 || n % 100 >= 60)
        return false;
    int minutes = n / 100 * 60 + n % 100;
    west = signedValue > 0 ? -minutes : minutes;
    return true;
}

bool AtZone(const ParseState& s)
{
    return At(s, Tok::ZoneWord) || At(s, Tok::DaylightZone) || At(s, Tok::SignedNumber);
}

bool TakeZone(ParseState& s, int& west)
{
    s.dstMode = kDstOff;
    if (At(s, Tok::SignedNumber))
        return TakeOffset(s, west);
    bool daylight = At(s, Tok::DaylightZone);
    west = Take(s).value;
    if (daylight) {
        s.dstMode = kDstOn;
        return true;
    }
    // Only a GMT-like word may carry a numeric offset.
    return !At(s, Tok::SignedNumber) || (west == 0 && TakeOffset(s, west));
}

Meridian TakeClock(ParseState& s)
{
    int value;
    return TakeIf(s, Tok::AmPm, value) ? static_cast<Meridian>(value) : k24Hour;
}

// A time may be followed by a zone, which then is the text's zone.
bool EndTime(ParseState& s)
{
    ++s.haveTime;
    return !AtZone(s) || TakeZone(s, s.timezone);
}

// hh:mm or hh:mm:ss, then a clock word or a numeric zone.
bool TakeClockTime(ParseState& s, int hour)
{
    Take(s);
    int minutes, seconds = 0;
    if (!TakeIf(s, Tok::Number, minutes) || (TakeChar(s, ':') && !TakeIf(s, Tok::Number, seconds)))
        return false;
    s.hour = hour;
    s.minutes = minutes;
    s.seconds = seconds;
    if (At(s, Tok::SignedNumber)) {
        s.meridian = k24Hour;
        s.dstMode = kDstOff;
        if (!TakeOffset(s, s.timezone))
            return false;
    } else {
        s.meridian = TakeClock(s);
    }
    return EndTime(s);
}

// month/day, month/day/year, or year/month/day when the first is above 100.
bool TakeSlashDate(ParseState& s, int first)
{
    Take(s);
    int second, third;
    if (!TakeIf(s, Tok::Number, second))
        return false;
    ++s.haveDate;
    if (!TakeChar(s, '/')) {
        s.month = first;
        s.day = second;
        return true;
    }
    if (!TakeIf(s, Tok::Number, third))
        return false;
    bool yearFirst = first > 100;
    s.year = yearFirst ? first : third;
    s.month = yearFirst ? second : first;
    s.day = yearFirst ? third : second;
    return true;
}

// "7 Dec" or "7 Dec 1999".
bool TakeDayMonthDate(ParseState& s, int day)
{
    s.day = day;
    s.month = Take(s).value;
    TakeIf(s, Tok::Number, s.year);  // the year may be left out
    ++s.haveDate;
    return true;
}

// "Dec 7" or "Dec 7, 1999".
bool TakeMonthDate(ParseState& s)
{
    s.month = Take(s).value;
    ++s.haveDate;
    return TakeIf(s, Tok::Number, s.day) && (!TakeChar(s, ',') || TakeIf(s, Tok::Number, s.year));
}

// "Tue, 7 Dec 1999": a day name needs the comma and the full date.
bool TakeDayNameDate(ParseState& s)
{
    Take(s);
    ++s.haveDate;
    return TakeChar(s, ',') && TakeIf(s, Tok::Number, s.day) && TakeIf(s, Tok::MonthWord, s.month) &&
           TakeIf(s, Tok::Number, s.year);
}

bool TakeRelative(ParseState& s, int count)
{
    Token unit = s.tok;
    if (unit.kind != Tok::SecondUnit && unit.kind != Tok::MonthUnit)
        return false;
    Take(s);
    s.haveRel = true;
    int64_t& sum = unit.kind == Tok::SecondUnit ? s.relSeconds : s.relMonth;
    return !__builtin_add_overflow(sum, int64_t{count} * unit.value, &sum);
}

bool TakeNumberItem(ParseState& s)
{
    int n = Take(s).value;
    if (AtChar(s, ':'))
        return TakeClockTime(s, n);
    if (AtChar(s, '/'))
        return TakeSlashDate(s, n);
    if (At(s, Tok::MonthWord))
        return TakeDayMonthDate(s, n);
    if (At(s, Tok::SecondUnit) || At(s, Tok::MonthUnit))
        return TakeRelative(s, n);
    // "1700" is hhmm; "5" alone, as in "5 pm", is an hour.
    s.hour = n >= 100 ? n / 100 : n;
    s.minutes = n >= 100 ? n % 100 : 0;
    s.seconds = 0;
    s.meridian = TakeClock(s);
    return EndTime(s);
}

bool TakeItem(ParseState& s)
{
    switch (s.tok.kind) {
    case Tok::Number:
        return TakeNumberItem(s);
    case Tok::MonthWord:
        return TakeMonthDate(s);
    case Tok::DayWord:
        return TakeDayNameDate(s);
    case Tok::SignedNumber:
        return TakeRelative(s, Take(s).value);
    default:
        return false;
    }
}

bool ParseText(ParseState& s)
{
    s.tok = Lex(s);
    while (!At(s, Tok::End))
        if (!TakeItem(s))
            return false;
    return true;
}

// --- conversion

// Exact for 1970-2038, the only years converted.
bool IsLeap(int year) { return year % 4 == 0; }

// Two-digit years 00-69 are 2000-2069 and 70-99 are 1970-1999; full years
// before 1970 move a century on.
int NormaliseYear(int year)
{
    if (year < 100)
        year += 1900;
    return year < kMinYear ? year + 100 : year;
}

std::optional<int> ToSeconds(int hour, int minutes, int seconds, Meridian meridian)
{
    if (minutes < 0 || minutes > 59 || seconds < 0 || seconds > 61)
        return std::nullopt;
    if (meridian == k24Hour) {
        if (hour < 0 || hour > 23)
            return std::nullopt;
    } else {
        if (hour < 1 || hour > 12)
            return std::nullopt;
        hour = hour % 12 + (meridian == kPm ? 12 : 0);
    }
    return (hour * 60 + minutes) * 60 + seconds;
}

// The local zone's offset east of GMT at t. Only times near 1970-2038 come
// here, which the C library always splits.
long LocalOffset(time_t t)
{
    struct tm local {};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
}

// west is the zone in minutes west of GMT; with kDstMaybe the local zone
// and its daylight rules apply instead.
std::optional<int64_t> Convert(int month, int day, int year, int hour, int minutes, int seconds, Meridian meridian,
                               DstMode dstMode, int west)
{
    if (year < kMinYear || year > kMaxYear || month < 1 || month > 12)
        return std::nullopt;
    const int* lengths = IsLeap(year) ? DaysLeap : DaysNormal;
    if (day < 1 || day > lengths[month - 1])
        return std::nullopt;
    std::optional<int> timeOfDay = ToSeconds(hour, minutes, seconds, meridian);
    if (!timeOfDay)
        return std::nullopt;
    int64_t days = day - 1 + (year - kMinYear) * 365 + (year - 1969) / 4;
    for (int m = 0; m < month - 1; ++m)
        days += lengths[m];
    int64_t wall = days * 86400 + *timeOfDay;
    if (dstMode == kDstMaybe) {
        // The offset in force at the moment itself: guessed from the wall
        // clock read as GMT, then taken at the guess. Unlike mktime this
        // makes no system call to check the zone file.
        int64_t guess = wall - LocalOffset(wall);
        return wall - LocalOffset(guess);
    }
    return wall + west * 60 - (dstMode == kDstOn ? 3600 : 0);
}

// The offset from start to the same local day and time months later, so the
// local wall-clock time stays across a change of daylight time and whatever
// zone the text named; none when the target month lacks that day or lies
// outside 1970-2038.
std::optional<int64_t> RelativeMonth(int64_t start, int64_t months)
{
    time_t t = start;
    struct tm local;
    if (months < -12 * kMaxYear || months > 12 * kMaxYear || !localtime_r(&t, &local))
        return std::nullopt;
    int64_t m = 12 * (local.tm_year + int64_t{1900}) + local.tm_mon + months;
    if (m < 12 * kMinYear || m >= 12 * (kMaxYear + 1))
        return std::nullopt;
    std::optional<int64_t> future = Convert(static_cast<int>(m % 12) + 1, local.tm_mday, static_cast<int>(m / 12),
                                            local.tm_hour, local.tm_min, local.tm_sec, k24Hour, kDstMaybe, 0);
    if (!future)
        return std::nullopt;
    return *future - start;
}

// The moment the text names before relative offsets: its date and time;
// now, for a text of offsets only; else today's local midnight.
std::optional<int64_t> StartTime(ParseState& s, const TimeInfo& now)
{
    bool given = s.haveDate > 0 || s.haveTime > 0;
    if (!given && s.haveRel)
        return now.time;
    struct tm today {};
    if ((!given || s.year < 0 || s.month < 0) && !localtime_r(&now.time, &today))
        return std::nullopt;
    if (!given)
        return now.time - ((today.tm_hour * 60 + today.tm_min) * 60 + today.tm_sec);
    if (s.year < 0)
        s.year = today.tm_year + 1900;
    if (s.month < 0) {
        s.month = today.tm_mon + 1;
        s.day = today.tm_mday;
    }
    std::optional<int64_t> start = Convert(s.month, s.day, NormaliseYear(s.year), s.hour, s.minutes, s.seconds,
                                           s.meridian, s.dstMode, s.timezone);
    if (!start || *start < 0 || *start > INT_MAX)
        return std::nullopt;
    return start;
}

// Kept apart so a reader sees the zone of the hour it read; recomputing
// twice at once is harmless, both threads store the same values.
std::atomic<time_t> LastTime{0};
std::atomic<int> LastTzone{0};

}  // namespace

int GetTimeInfo(TimeInfo* info)
{
    time_t now = time(nullptr);
    info->time = now;
    info->usec = 0;
    if (now - LastTime.load(std::memory_order_acquire) > 3600) {
        struct tm local, gmt;
        if (!localtime_r(&now, &local) || !gmtime_r(&now, &gmt))
            return -1;
        int days = gmt.tm_yday - local.tm_yday;
        int hours = days >= 2 ? -24 : days >= -1 ? days * 24 : 24;  // a year ends between the two
        LastTzone.store((hours + gmt.tm_hour - local.tm_hour) * 60 + gmt.tm_min - local.tm_min,
                        std::memory_order_relaxed);
        LastTime.store(now, std::memory_order_release);
    }
    info->tzone = LastTzone.load(std::memory_order_relaxed);
    return 0;
}

uint32_t parsedate(std::string_view text, const TimeInfo* now)
{
    TimeInfo current;
    if (now == nullptr) {
        if (GetTimeInfo(&current) != 0)
            return kBadDate;
        now = &current;
    }
    ParseState s;
    s.text = text;
    if (!ParseText(s) || s.haveTime > 1 || s.haveDate > 1)
        return kBadDate;
    std::optional<int64_t> start = StartTime(s, *now);
    if (!start || __builtin_add_overflow(*start, s.relSeconds, &*start))
        return kBadDate;
    if (s.relMonth != 0) {
        std::optional<int64_t> offset = RelativeMonth(*start, s.relMonth);
        if (!offset)
            return kBadDate;
        *start += *offset;
    }
    // Past either end of 32 bits is no date rather than a wrapped one.
    if (*start < 0 || *start > int64_t{kBadDate})
        return kBadDate;
    return *start == kBadDate ? 0 : static_cast<uint32_t>(*start);
}

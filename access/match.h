// Match expressions: operator-written conditions over an article's groups,
// path and headers, compiled once and evaluated per article by the feeds,
// the incoming filter, the store selection and the external filter.
//
// An expression is a list of tokens. Newsgroup patterns decide: the first
// group of the article that a pattern matches accepts it; "!pattern" passes
// the group over, "~pattern" rejects the article. "$" tokens are gates that
// must hold when they are reached: $C (control message), $G/$I/$S/$A with
// < or > and a number (groups-1, path elements-1, length, seconds in the
// future), $H["name"]=value, and $P=value, which rejects an article whose
// path names the value. "&,X,Y" and "|,X,Y" combine the next two tokens.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct ClientContext;

inline constexpr uint32_t kMatchKindMask = 0xFF;
inline constexpr uint32_t kMatchOpMask = 0x0F000000;
inline constexpr uint32_t kMatchOr = 0x1000000;
inline constexpr uint32_t kMatchAnd = 0x2000000;
inline constexpr uint32_t kMatchPattern = 0x3000000;
inline constexpr uint32_t kMatchGreater = 0x4000000;
inline constexpr uint32_t kMatchLess = 0x5000000;
inline constexpr uint32_t kMatchNegate = 0x10000000;
inline constexpr uint32_t kMatchPoison = 0x20000000;

// Node kinds (flags & kMatchKindMask).
enum MatchKind : uint32_t {
    kKindOperator = 0,  // & and |, and the empty expression
    kKindGroup = 1,
    kKindPath = 2,
    kKindControl = 3,
    kKindPathCount = 4,
    kKindGroupCount = 5,
    kKindSize = 7,
    kKindFuture = 8,
    kKindHeader = 9,
};

struct MatchNode {
    uint32_t flags = 0;
    std::string pattern;     // pattern or value text
    std::string headerName;  // header of a $H test
    int32_t number = 0;      // operand of a < or > test
    std::unique_ptr<MatchNode> next;
    std::unique_ptr<MatchNode> left;
    std::unique_ptr<MatchNode> right;

    MatchNode() = default;
    MatchNode(const MatchNode&) = delete;
    MatchNode& operator=(const MatchNode&) = delete;
    // Frees the chain after this node in a loop rather than one nested call
    // per node.
    ~MatchNode();
};

struct MatchExpression {
    std::unique_ptr<MatchNode> head;
};

// Splits an expression into tokens the way the compiler reads it: each call
// skips leading bytes of `delimiters`, returns the bytes up to the next one
// and consumes that delimiter. A NUL ends the text.
class MatchTokenizer {
public:
    explicit MatchTokenizer(std::string_view text);
    std::optional<std::string_view> Next(std::string_view delimiters);

private:
    std::string_view text_;
    size_t pos_ = 0;
};

// Compiles an expression. A text without tokens gives a single empty node,
// which matches nothing. Any token that does not parse refuses the whole
// text: the result is null, and callers keep what they had.
std::unique_ptr<MatchExpression> CompileMatchString(std::string_view text);

// & and | inside one another deeper than this do not parse, so compiling,
// evaluating and freeing an expression stay within a small stack.
inline constexpr int kMaxMatchNesting = 64;

// One node from one token; & and | read their two operands from `tokens`.
// Null when the token, or an operand, does not parse. `depth` counts the &
// and | tokens this one is an operand of.
std::unique_ptr<MatchNode> ParseNodeString(std::string_view token, MatchTokenizer& tokens, int depth = 0);

// 1 when the article in `c` (with its match data prepared) matches; a null
// expression matches nothing. Read-only: any number of threads may evaluate
// one expression at once.
int CheckMatch(const ClientContext& c, const MatchExpression* expression);

// Evaluates the chain from `first` over the article's groups; *abort, shared
// by all levels, once set makes the evaluation fail.
int MatchArticle(const ClientContext& c, const MatchNode* first, int* abort);

// 1 when StringMatch(value, element) holds for an element of a NUL-separated
// list ended by an empty element.
int MatchHeader(const char* value, const char* list);

// 1 when the value of header `headerName` (folded lines included, bytes below
// 32 left out), taken as the pattern, matches `value`; 0 when absent.
int MatchHeaderSpec(const char* value, std::string_view headerName, const ClientContext& c);

// Fills newsgroupList/newsgroupCount and pathList/pathCount from the
// article's Newsgroups: and Path: headers. 0 when either header is missing.
int PrepareForMatch(ClientContext& c);

// Releases the lists made by PrepareForMatch. Returns 1.
int FreeMatchData(ClientContext& c);

// Match expressions: compilation into a node chain and evaluation per article.
#include "access/match.h"

#include <cstdlib>
#include <cstring>

#include "access/wildcard.h"
#include "article/header.h"
#include "server/client_context.h"

namespace {

constexpr std::string_view kFirstDelimiters = ",\r\n\t";
constexpr std::string_view kChainDelimiters = " ,\n";
constexpr std::string_view kOperandDelimiters = ",";

inline uint32_t Kind(const MatchNode& n) { return n.flags & kMatchKindMask; }
inline uint32_t Operation(const MatchNode& n) { return n.flags & kMatchOpMask; }

// Parses the `$` form after the `$` (at token[i]); null when it is malformed.
std::unique_ptr<MatchNode> ParseTest(std::unique_ptr<MatchNode> node, std::string_view token, size_t i)
{
    const char letter = i < token.size() ? token[i++] : '\0';
    bool numeric = true;
    switch (letter) {
    case 'A': node->flags |= kKindFuture; break;
    case 'G': node->flags |= kKindGroupCount; break;
    case 'I': node->flags |= kKindPathCount; break;
    case 'S': node->flags |= kKindSize; break;
    case 'C':
        node->flags |= kKindControl;
        return node;
    case 'P':
        node->flags = kMatchPattern | kKindPath;  // no prefix applies to $P
        numeric = false;
        break;
    case 'H': {
        if (token.substr(i, 2) != "[\"")
            return nullptr;
        size_t close = token.find('"', i + 2);
        if (close == std::string_view::npos || close + 1 >= token.size() || token[close + 1] != ']')
            return nullptr;
        node->headerName = token.substr(i + 2, close - i - 2);
        node->flags |= kKindHeader;
        numeric = false;
        i = close + 2;
        break;
    }
    default:
        numeric = false;
        break;
    }
    const char op = i < token.size() ? token[i] : '\0';
    if (op == '<' || op == '>') {
        // $P has no number to compare: its value would be lost.
        if (Kind(*node) == kKindPath)
            return nullptr;
        node->flags |= op == '<' ? kMatchLess : kMatchGreater;
        numeric = true;
    } else if (op != '=') {
        return nullptr;
    }
    std::string operand(token.substr(i + 1));
    if (numeric)
        node->number = std::atoi(operand.c_str());
    else
        node->pattern = std::move(operand);
    return node;
}

int FieldCompare(const ClientContext& c, const MatchNode& node)
{
    const bool greater = Operation(node) == kMatchGreater;
    auto compare = [greater](auto field, auto number) { return greater ? field > number : field < number; };
    switch (Kind(node)) {
    case kKindPathCount: return compare(static_cast<int32_t>(c.pathCount), node.number);
    case kKindGroupCount: return compare(static_cast<int32_t>(c.newsgroupCount), node.number);
    case kKindSize: return compare(c.articleLength, static_cast<uint32_t>(node.number));
    case kKindFuture: return compare(c.futureSeconds, node.number);
    default: return 0;
    }
}

// Value of a gate node (anything but a group pattern or $P).
int GateValue(const ClientContext& c, const MatchNode& node)
{
    switch (Operation(node)) {
    case kMatchOr:
    case kMatchAnd: {
        // Each operand has its own abort flag: a failing left gate must not
        // silence the right operand of an or.
        int abort = 0;
        int value = MatchArticle(c, node.left.get(), &abort);
        bool evaluateRight = Operation(node) == kMatchOr ? value == 0 : value != 0;
        if (evaluateRight) {
            abort = 0;
            value = MatchArticle(c, node.right.get(), &abort);
        }
        return value;
    }
    case 0:
        if (Kind(node) == kKindControl)
            return c.isControl != 0;
        if (Kind(node) == kKindHeader)
            return MatchHeaderSpec(node.pattern.c_str(), node.headerName, c);
        return 0;
    case kMatchGreater:
    case kMatchLess: return FieldCompare(c, node);
    default: return 0;
    }
}

// Runs the chain for one group: 1 when it accepts the group. Every node but
// a group pattern gives the same answer for every group, and one that held
// for an earlier group let the article on (else the evaluation would have
// ended), so the first *passedNodes nodes are not tested again: an article
// with many groups must not pay for its path and headers once per group.
int MatchGroup(const ClientContext& c, const MatchNode* node, const char* group, int* abort, size_t* passedNodes)
{
    int result = 0;
    for (size_t index = 0; node != nullptr; node = node->next.get(), ++index) {
        result = 0;
        if (Kind(*node) == kKindGroup) {
            if (!StringMatch(group, node->pattern.c_str()))
                continue;
            if (node->flags & kMatchPoison)
                *abort = 1;
            return (node->flags & kMatchNegate) ? 0 : 1;
        }
        if (index < *passedNodes) {
            result = Kind(*node) == kKindPath ? 0 : 1;
            continue;
        }
        if (Kind(*node) == kKindPath) {
            if (MatchHeader(node->pattern.c_str(), c.pathList)) {
                *abort = 1;
                return 0;
            }
            *passedNodes = index + 1;
            continue;
        }
        int value = GateValue(c, *node);
        if (node->flags & kMatchNegate)
            value = !value;
        if (!value || (node->flags & kMatchPoison)) {
            *abort = 1;
            return 0;
        }
        *passedNodes = index + 1;
        result = 1;
    }
    return result;
}

// A NUL-separated list: value bytes above 32 only, `separator` ends names.
char* BuildList(const char* value, uint32_t length, char separator, uint32_t* count)
{
    char* list = new char[length + 10];
    uint32_t n = 0;
    *count = 0;
    for (uint32_t i = 0; i < length; ++i) {
        const auto b = static_cast<signed char>(value[i]);
        if (b < 33)
            continue;
        if (b == separator) {
            list[n++] = '\0';
            ++*count;
        } else {
            list[n++] = b;
        }
    }
    list[n] = '\0';
    list[n + 1] = '\0';
    return list;
}

char* HeaderList(const ClientContext& c, std::string_view name, char separator, uint32_t* count)
{
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!GetHeaderRange(c, name, &offset, &length, nullptr))
        return nullptr;
    return BuildList(c.buffer + offset, length, separator, count);
}

}  // namespace

MatchTokenizer::MatchTokenizer(std::string_view text) : text_(text.substr(0, text.find('\0'))) {}

std::optional<std::string_view> MatchTokenizer::Next(std::string_view delimiters)
{
    while (pos_ < text_.size() && delimiters.find(text_[pos_]) != std::string_view::npos)
        ++pos_;
    if (pos_ >= text_.size())
        return std::nullopt;
    size_t start = pos_;
    while (pos_ < text_.size() && delimiters.find(text_[pos_]) == std::string_view::npos)
        ++pos_;
    std::string_view token = text_.substr(start, pos_ - start);
    if (pos_ < text_.size())
        ++pos_;
    return token;
}

std::unique_ptr<MatchExpression> CompileMatchString(std::string_view text)
{
    auto expression = std::make_unique<MatchExpression>();
    MatchTokenizer tokens(text);
    std::optional<std::string_view> token = tokens.Next(kFirstDelimiters);
    if (!token) {
        expression->head = std::make_unique<MatchNode>();
        return expression;
    }
    std::unique_ptr<MatchNode>* tail = &expression->head;
    for (; token; token = tokens.Next(kChainDelimiters)) {
        *tail = ParseNodeString(*token, tokens);
        if (!*tail)
            return nullptr;
        tail = &(*tail)->next;
    }
    return expression;
}

MatchNode::~MatchNode()
{
    std::unique_ptr<MatchNode> rest = std::move(next);
    while (rest)
        rest = std::move(rest->next);
}

std::unique_ptr<MatchNode> ParseNodeString(std::string_view token, MatchTokenizer& tokens, int depth)
{
    auto node = std::make_unique<MatchNode>();
    size_t i = 0;
    for (int prefixes = 0; prefixes < 2 && i < token.size(); ++prefixes, ++i) {
        if (token[i] == '!')
            node->flags |= kMatchNegate;
        else if (token[i] == '~')
            node->flags |= kMatchPoison;
        else
            break;
    }
    const char first = i < token.size() ? token[i] : '\0';
    if (first == '|' || first == '&') {
        if (depth >= kMaxMatchNesting)
            return nullptr;
        node->flags |= first == '|' ? kMatchOr : kMatchAnd;
        for (auto* operand : {&node->left, &node->right}) {
            std::optional<std::string_view> next = tokens.Next(kOperandDelimiters);
            if (!next || !(*operand = ParseNodeString(*next, tokens, depth + 1)))
                return nullptr;
        }
        return node;
    }
    if (first != '$') {
        node->flags |= kMatchPattern | kKindGroup;
        node->pattern = token.substr(i);
        return node;
    }
    return ParseTest(std::move(node), token, i + 1);
}

int CheckMatch(const ClientContext& c, const MatchExpression* expression)
{
    if (expression == nullptr)
        return 0;
    int abort = 0;
    return MatchArticle(c, expression->head.get(), &abort);
}

int MatchArticle(const ClientContext& c, const MatchNode* first, int* abort)
{
    if (*abort || c.newsgroupList == nullptr)
        return 0;
    int result = 0;
    size_t passedNodes = 0;
    for (const char* group = c.newsgroupList; *group != '\0' && !*abort; group += std::strlen(group) + 1) {
        result = MatchGroup(c, first, group, abort, &passedNodes);
        if (result == 1)
            break;
    }
    return result == 1 && !*abort ? 1 : 0;
}

int MatchHeader(const char* value, const char* list)
{
    if (list == nullptr)
        return 0;
    for (const char* element = list; *element != '\0'; element += std::strlen(element) + 1)
        if (StringMatch(value, element))
            return 1;
    return 0;
}

int MatchHeaderSpec(const char* value, std::string_view headerName, const ClientContext& c)
{
    uint32_t offset = 0;
    uint32_t length = 0;
    if (!GetHeaderRange(c, headerName, &offset, &length, nullptr))
        return 0;
    // Reused per thread so that evaluation allocates only for a longer value.
    thread_local std::string copy;
    copy.clear();
    for (uint32_t i = 0; i < length; ++i)
        if (static_cast<signed char>(c.buffer[offset + i]) >= 32)
            copy.push_back(c.buffer[offset + i]);
    return StringMatch(value, copy.c_str());
}

int PrepareForMatch(ClientContext& c)
{
    FreeMatchData(c);
    c.newsgroupList = HeaderList(c, "Newsgroups:", ',', &c.newsgroupCount);
    if (c.newsgroupList == nullptr)
        return 0;
    c.pathList = HeaderList(c, "Path:", '!', &c.pathCount);
    return c.pathList != nullptr ? 1 : 0;
}

int FreeMatchData(ClientContext& c)
{
    delete[] c.newsgroupList;
    delete[] c.pathList;
    c.newsgroupList = nullptr;
    c.pathList = nullptr;
    return 1;
}

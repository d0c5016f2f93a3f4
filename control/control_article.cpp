// Parsing of queued control messages. The files come from the network, so
// every step refuses what it does not understand instead of guessing.
#include "control/control_article.h"

#include <algorithm>
#include <cctype>

namespace {

constexpr size_t kMaxGroupName = 250;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string> Words(std::string_view text)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        size_t start = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        if (i > start)
            words.emplace_back(text.substr(start, i - start));
    }
    return words;
}

// "Name <addr>" or "addr (Name)" or a bare address: the address.
std::string SenderAddress(std::string_view from)
{
    size_t open = from.rfind('<');
    if (open != std::string_view::npos) {
        size_t close = from.find('>', open);
        if (close == std::string_view::npos)
            return {};
        return Lower(TrimBlanks(from.substr(open + 1, close - open - 1)));
    }
    std::vector<std::string> words = Words(from);
    return words.empty() || words[0].find('@') == std::string::npos ? std::string() : Lower(words[0]);
}

// Cuts the header block into headers; continuation lines stay in the value.
bool SplitHeaders(std::string_view block, std::vector<ControlHeader>* headers, std::string* error)
{
    size_t offset = 0;
    while (offset < block.size()) {
        size_t end = block.find("\r\n", offset);
        while (end != std::string_view::npos && end + 2 < block.size() && IsBlank(block[end + 2]))
            end = block.find("\r\n", end + 2);
        if (end == std::string_view::npos)
            end = block.size();
        std::string_view line = block.substr(offset, end - offset);
        size_t colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos || line.substr(0, colon).find_first_of(" \t") != std::string_view::npos) {
            *error = "header line without a name and colon";
            return false;
        }
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && IsBlank(value.front()))
            value.remove_prefix(1);
        headers->push_back({line.substr(0, colon), value});
        offset = end + 2;
    }
    return true;
}

}  // namespace

bool ParseControlArticle(std::string_view text, ControlArticle* article, std::string* error)
{
    *article = ControlArticle{};
    size_t separator = text.find("\r\n\r\n");
    if (separator == std::string_view::npos) {
        *error = "no empty line after the headers";
        return false;
    }
    article->body = text.substr(separator + 4);
    if (!SplitHeaders(text.substr(0, separator), &article->headers, error))
        return false;
    const ControlHeader* control = FindControlHeader(*article, "Control");
    std::vector<std::string> words = control != nullptr ? Words(control->value) : std::vector<std::string>();
    if (words.empty()) {
        *error = "no Control: header";
        return false;
    }
    article->type = Lower(words[0]);
    article->args.assign(words.begin() + 1, words.end());
    const ControlHeader* from = FindControlHeader(*article, "From");
    article->sender = from != nullptr ? SenderAddress(from->value) : std::string();
    if (article->sender.empty()) {
        *error = "no sender address in From:";
        return false;
    }
    return true;
}

const ControlHeader* FindControlHeader(const ControlArticle& article, std::string_view name)
{
    for (const ControlHeader& header : article.headers) {
        if (header.name.size() == name.size() &&
            std::equal(name.begin(), name.end(), header.name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
            return &header;
    }
    return nullptr;
}

std::string UnfoldToText(std::string_view wire, bool dotStuffed)
{
    std::string out;
    out.reserve(wire.size());
    bool lineStart = true;
    for (size_t i = 0; i < wire.size(); ++i) {
        char c = wire[i];
        if (c == '\r' && i + 1 < wire.size() && wire[i + 1] == '\n')
            continue;
        if (dotStuffed && lineStart && c == '.' && i + 1 < wire.size() && wire[i + 1] == '.') {
            lineStart = false;
            continue;
        }
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

bool ValidGroupName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxGroupName || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string_view::npos)
        return false;
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '+' || c == '-' || c == '_';
    });
}

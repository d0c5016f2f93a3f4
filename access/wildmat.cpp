// Wildmats: the elements are split once, so a listing matches each name
// against ready NUL-terminated patterns, from the last element back.
#include "access/wildmat.h"

#include "access/wildcard.h"

Wildmat::Wildmat(std::string_view text)
{
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view element = text.substr(0, comma);
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        bool negated = element.starts_with('!');
        if (negated)
            element.remove_prefix(1);
        if (!element.empty())
            elements_.push_back({negated, std::string(element)});
    }
}

bool Wildmat::Matches(const char* name) const
{
    for (auto element = elements_.rbegin(); element != elements_.rend(); ++element)
        if (StringMatch(name, element->pattern.c_str()))
            return !element->negated;
    return false;
}

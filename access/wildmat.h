// Wildmats of the reader commands (LIST ACTIVE, LIST NEWSGROUPS, NEWNEWS):
// a comma-separated list of wildcards, each may start with "!" to exclude
// what it matches. A name is taken when the last wildcard that matches it
// is not negated; when none matches it is not taken.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class Wildmat {
public:
    // Splits `text` at its commas; empty elements are dropped.
    explicit Wildmat(std::string_view text);
    // Whether `name` is taken; each element goes through StringMatch.
    bool Matches(const char* name) const;

private:
    struct Element {
        bool negated;
        std::string pattern;
    };
    std::vector<Element> elements_;
};

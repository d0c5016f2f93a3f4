// A queued control message taken apart: its headers as they stand in the
// file (folded lines kept), its body, and the command of its Control:
// header with the sender's address.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct ControlHeader {
    std::string_view name;   // without the colon
    std::string_view value;  // after the colon and its blanks, up to the last line's CR LF
};

struct ControlArticle {
    std::vector<ControlHeader> headers;
    std::string_view body;          // wire form: CR LF line ends, dot-stuffed
    std::string type;               // the Control: word, in lower case
    std::vector<std::string> args;  // the words after it
    std::string sender;             // From:'s address, in lower case
};

// Takes apart the article `text` (wire form, as the control queue holds
// it). Refuses, with the reason in *error, an article without a header/body
// separator, a header line without a colon, and one without a Control: or
// From: header or an address in From:. The views point into `text`.
bool ParseControlArticle(std::string_view text, ControlArticle* article, std::string* error);

// The first header of that name (case ignored), or null.
const ControlHeader* FindControlHeader(const ControlArticle& article, std::string_view name);

// A header value or body as plain text: CR LF become LF, and in a body the
// doubled dot at a line start goes.
std::string UnfoldToText(std::string_view wire, bool dotStuffed);

// Whether `name` is usable as a newsgroup name: dot-separated non-empty
// components of letters, digits, '+', '-' and '_', at most 250 bytes.
bool ValidGroupName(std::string_view name);

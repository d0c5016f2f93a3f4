// The checks of a reader's post: run on the posting connection before the
// post is queued (a refusal is answered 441 with the reason), and again by
// the injector before it completes the post into an article.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Room for a refusal reason, NUL included.
inline constexpr size_t kPostReasonSize = 320;

// Physical header lines longer than this (CR LF not counted) are refused.
inline constexpr uint32_t kMaxHeaderLine = 998;
// At most this many header lines (continuations included).
inline constexpr uint32_t kMaxHeaderLines = 1000;
// The header block of a post may take this many bytes: the completed header
// has to fit the history entry's 16-bit header length.
inline constexpr uint32_t kMaxPostHeader = 60000;

// What the checks found out about a post that passed them; the views point
// into the checked text.
struct PostFacts {
    std::string_view messageId;   // the poster's Message-ID, empty when none
    std::string_view path;        // the poster's Path value, empty when none
    uint32_t pathLine = 0;        // where the Path: line starts
    uint32_t pathLineLength = 0;  // its length, CR LF included; 0 when none
    uint32_t headerLength = 0;    // header lines up to the blank line (CR LF included)
    bool blankLine = false;       // a blank line ends the header (a body may follow)
    bool hasDate = false;
    bool control = false;
    std::string_view moderated;  // first moderated group, when not Approved
};

// Checks `post` (wire form, dot-stuffed, without the final CR LF "." CR LF)
// against the rules for a reader's post: well-formed header lines, no NUL,
// no bare CR or LF, a valid From, Subject and Newsgroups, at least one group
// carried here and none closed to posting, at most kMaxCrossposts + 1
// groups, a well-formed Message-ID not seen yet, a Date that is not too old
// or too far ahead, no injection or Xref header and no forged Path. True
// with `facts` filled when it passes; else false with the reason in `reason`.
bool CheckPost(std::string_view post, PostFacts* facts, char (&reason)[kPostReasonSize]);

// The address of a From value ("name <a@b>", "a@b (name)" or "a@b"):
// local@domain with a plain domain; empty when there is none.
std::string_view FromAddress(std::string_view value);

// True when `text` is a message-ID as posts and control messages may give
// it: "<left@right>", at most 250 bytes of visible ASCII, one "@".
bool IsValidMessageId(std::string_view text);

#include "article/header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server/client_context.h"

namespace {

// An article as it sits in the receive buffer: text, then the end marker.
struct Received {
    std::string storage;
    ClientContext c;
    explicit Received(const std::string& text) : storage(text + "\r\n.\r\n")
    {
        c.buffer = storage.data();
        c.articleLength = static_cast<uint32_t>(text.size());
    }
};

const std::string kArticle =
    "Path: a!b\r\n"
    "SUBJECT: hello\r\n"
    "Message-ID:<1@x>\r\n"
    "Date:    \tMon, 1 Jan 2001\r\n"
    "Keywords:   \r\n"
    "Summary: a\r\n\tb\r\n  c\r\n"
    "\r\n"
    "Body-Header: no\r\n";

std::string Value(const Received& r, const char* name, uint32_t size = 200)
{
    std::string out(size + 1, '\xff');
    int32_t n = GetHeader(r.c, name, out.data(), size);
    out.resize(std::strlen(out.c_str()));
    return std::to_string(n) + ":" + out;
}

}  // namespace

TEST(GetHeader, NamesBlanksFoldingAndBody)
{
    Received r(kArticle);
    EXPECT_EQ(Value(r, "subject: "), "5:hello");
    EXPECT_EQ(Value(r, "path:"), "3:a!b");
    // The blank in the name must be present; without one the spaces are skipped.
    EXPECT_EQ(Value(r, "Message-ID: "), "0:");
    EXPECT_EQ(Value(r, "message-id:"), "5:<1@x>");
    // Spaces after the name go, a tab belongs to the value.
    EXPECT_EQ(Value(r, "Date:"), "16:\tMon, 1 Jan 2001");
    EXPECT_EQ(Value(r, "Keywords:"), "0:");
    // Folded: joined without separator, span counts the raw bytes.
    EXPECT_EQ(Value(r, "Summary: "), "10:abc");
    EXPECT_EQ(Value(r, "Body-Header:"), "0:");
    EXPECT_EQ(Value(r, "Missing:"), "0:");
    // A name that occurs inside a line is not a header.
    EXPECT_EQ(Value(r, "b\r\nSUB"), "0:");
}

TEST(GetHeader, Truncation)
{
    std::string date(100, 'd');
    Received r("From: x\r\nDate: " + date + "\r\n\r\nbody");
    EXPECT_EQ(Value(r, "Date: ", 81), "81:" + date.substr(0, 81));
    Received exact("Date: " + date.substr(0, 81) + "\r\n\r\n");
    EXPECT_EQ(Value(exact, "Date: ", 81), "81:" + date.substr(0, 81));
    Received folded("Subject: a\r\n\tb\r\n\r\n");
    EXPECT_EQ(Value(folded, "Subject: ", 1), "1:a");
    EXPECT_EQ(Value(folded, "Subject: ", 2), "5:ab");
}

TEST(GetHeaderFromBuf, StaysInsideAHeaderBlockWithNothingAfterIt)
{
    // Exactly sized heap copies: any read past the length is caught by ASan.
    auto exact = [](const std::string& text) {
        auto block = std::make_unique<char[]>(text.size());
        std::memcpy(block.get(), text.data(), text.size());
        return block;
    };
    char out[64];
    std::string header = "From: a@b\r\nSubject: last";
    auto block = exact(header);
    EXPECT_EQ(GetHeaderFromBuf(block.get(), "subject: ", out, 63, static_cast<uint32_t>(header.size())), 4);
    EXPECT_STREQ(out, "last");
    std::string folded = "Subject: a\r\n\t";
    block = exact(folded);
    EXPECT_EQ(GetHeaderFromBuf(block.get(), "Subject: ", out, 63, static_cast<uint32_t>(folded.size())), 4);
    EXPECT_STREQ(out, "a");
    std::string nameOnly = "X: y\r\nSubject:";
    block = exact(nameOnly);
    EXPECT_EQ(GetHeaderFromBuf(block.get(), "Subject:", out, 63, static_cast<uint32_t>(nameOnly.size())), 0);
    EXPECT_EQ(GetHeaderFromBuf(block.get(), "Subject:", out, 63, 0), 0);
}

TEST(FindHeaderEnd, EndsOfTheText)
{
    EXPECT_EQ(FindHeaderEnd(Received("A: b\r\n\r\nbody").c), 4u);
    EXPECT_EQ(FindHeaderEnd(Received("A: b\r\nno empty line").c), 0u);
    EXPECT_EQ(FindHeaderEnd(Received("\r\n\r\nA: b").c), 0u);
    // Empty body: the header end is the last CR LF, closed by the end marker.
    EXPECT_EQ(FindHeaderEnd(Received("A: b\r\nC: d\r\n").c), 10u);
    EXPECT_EQ(FindHeaderEnd(Received("").c), 0u);
    // Near misses before the blank line are passed over.
    EXPECT_EQ(FindHeaderEnd(Received("A: b\r\n\rC: d\n\r\nE: f\r\n\r\nbody\r\n\r\n").c), 18u);
    EXPECT_EQ(FindHeaderEnd(Received("A: b\r\n\r").c), 0u);
}

TEST(GetHeaderRange, RawRangesAndFlags)
{
    Received r(kArticle);
    uint32_t offset = 0;
    uint32_t length = 0;
    int folded = -1;
    ASSERT_EQ(GetHeaderRange(r.c, "message-id:", &offset, &length, &folded), 1);
    EXPECT_EQ(r.storage.substr(offset, length), "<1@x>");
    EXPECT_EQ(folded, 0);
    ASSERT_EQ(GetHeaderRange(r.c, "Summary: ", &offset, &length, &folded), 1);
    EXPECT_EQ(r.storage.substr(offset, length), "a\r\n\tb\r\n  c");
    EXPECT_EQ(folded, 1);
    ASSERT_EQ(GetHeaderRangeFull(r.c, "summary:", &offset, &length, &folded), 1);
    EXPECT_EQ(r.storage.substr(offset, length), "Summary: a\r\n\tb\r\n  c\r\n");
    EXPECT_EQ(folded, 1);
    EXPECT_EQ(GetHeaderRange(r.c, "Body-Header:", &offset, &length, &folded), 0);
    EXPECT_EQ(GetHeaderRangeFull(r.c, "Body-Header:", &offset, &length, &folded), 0);
    // Callers that do not care whether the value is folded pass no flag.
    ASSERT_EQ(GetHeaderRange(r.c, "summary:", &offset, &length, nullptr), 1);
    EXPECT_EQ(r.storage.substr(offset, length), "a\r\n\tb\r\n  c");
    ASSERT_EQ(GetHeaderRangeFull(r.c, "Message-ID:", &offset, &length, nullptr), 1);
    EXPECT_EQ(r.storage.substr(offset, length), "Message-ID:<1@x>\r\n");

    // The last header of an article with an empty body.
    Received empty("Path: x\r\nXref: host 1:2\r\n");
    ASSERT_EQ(GetHeaderRangeFull(empty.c, "xref:", &offset, &length, &folded), 1);
    EXPECT_EQ(empty.storage.substr(offset, length), "Xref: host 1:2\r\n");
    ASSERT_EQ(GetHeaderRange(empty.c, "xref:", &offset, &length, &folded), 1);
    EXPECT_EQ(empty.storage.substr(offset, length), "host 1:2");

    // A header line without a line end is not a header.
    Received cut("Path: x\r\nXref: host");
    EXPECT_EQ(GetHeaderRange(cut.c, "Xref:", &offset, &length, &folded), 0);
    EXPECT_EQ(GetHeaderRangeFull(cut.c, "Xref:", &offset, &length, &folded), 0);
}

TEST(GetHeader, LoneLineBreaksAtEveryAlignment)
{
    for (const char* lineBreak : {"\r", "\n"}) {
        for (size_t k = 1; k < 20; ++k) {
            std::string value(k, 'v');
            value[k / 2] = '\x80';  // high bytes are not line breaks
            Received r("X: " + value + lineBreak + "Y: w\r\n\r\n");
            EXPECT_EQ(Value(r, "x: "), std::to_string(k) + ":" + value) << k;
            EXPECT_EQ(Value(r, "y: "), "1:w") << k;
        }
    }
}

// The reception path indexes an article's header lines once; every lookup
// must then find what the walk finds, in the awkward cases too: bare CR and
// LF line ends, folded lines, a name at the very end, no blank line, more
// lines than the index holds, and a text that changed (the index is then
// not used).
TEST(IndexHeaderLines, LookupsFindWhatTheWalkFinds)
{
    std::string many;
    for (int i = 0; i < 60; ++i)
        many += "X-Line-" + std::to_string(i) + ": v\r\n";
    const std::string texts[] = {
        kArticle,
        "Path: a\rSubject: cr\nFrom: lf\r\n\r\nSubject: body",
        "Subject: one\r\n two\r\nPath: p\r\n",
        "Path: x\r\nSubject:",
        "\r\n\r\nSubject: only in the body",
        many + "Subject: past the index\r\n\r\nbody",
        "Subject: a\r\nSubject: b\r\n\r\n",
    };
    const char* names[] = {"Path: ", "Subject:", "Subject: ", "From: ", "Summary:", "X-Line-59: ", "Keywords:"};
    for (const std::string& text : texts) {
        Received r(text);
        std::vector<std::string> walked;
        for (const char* name : names) {
            uint32_t offset = 0, length = 0;
            int folded = 0;
            const int found = GetHeaderRange(r.c, name, &offset, &length, &folded);
            walked.push_back(Value(r, name) + "|" + std::to_string(found) + ":" + std::to_string(offset) + ":" +
                             std::to_string(length) + ":" + std::to_string(folded));
        }
        IndexHeaderLines(r.c);
        for (size_t i = 0; i < std::size(names); ++i) {
            uint32_t offset = 0, length = 0;
            int folded = 0;
            const int found = GetHeaderRange(r.c, names[i], &offset, &length, &folded);
            EXPECT_EQ(Value(r, names[i]) + "|" + std::to_string(found) + ":" + std::to_string(offset) + ":" +
                          std::to_string(length) + ":" + std::to_string(folded),
                      walked[i])
                << text << " / " << names[i];
        }
    }
    // An index of another length is not used: the lookup walks the text.
    Received r("Subject: a\r\nPath: p\r\n\r\n");
    IndexHeaderLines(r.c);
    r.c.articleLength = 8;
    EXPECT_EQ(Value(r, "Path: "), "0:");
    ForgetHeaderLines(r.c);
    EXPECT_EQ(r.c.headerLineCount, 0u);
}

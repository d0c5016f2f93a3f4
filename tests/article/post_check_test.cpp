// The pure parts of the post checks: From addresses, message-IDs, and what
// the checks find out about a control message's header.
#include "article/post_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PostCheck, FromAddressTakesTheAddressOfEveryCommonForm)
{
    EXPECT_EQ(FromAddress("Jane Doe <jane@example.org>"), "jane@example.org");
    EXPECT_EQ(FromAddress("\"Doe, Jane\" <jane@mail.example.org>"), "jane@mail.example.org");
    EXPECT_EQ(FromAddress("jane@example.org (Jane Doe)"), "jane@example.org");
    EXPECT_EQ(FromAddress("jane+news@example.org"), "jane+news@example.org");
    for (const char* bad :
         {"jane", "jane@", "@example.org", "Jane <jane@example.org", "jane@exa mple.org", "jane@.example.org",
          "jane@example..org", "jane@example.org.", "<ja ne@example.org>", "jane@exa<mple.org", ""})
        EXPECT_TRUE(FromAddress(bad).empty()) << bad;
}

TEST(PostCheck, MessageIdsNeedOneAtSignBetweenAngleBracketsAndVisibleAscii)
{
    EXPECT_TRUE(IsValidMessageId("<a@b>"));
    EXPECT_TRUE(IsValidMessageId("<1700000000.2a.0123456789abcdef@news.example.org>"));
    EXPECT_TRUE(IsValidMessageId("<" + std::string(200, 'x') + "@" + std::string(47, 'y') + ">"));
    EXPECT_FALSE(IsValidMessageId("<" + std::string(200, 'x') + "@" + std::string(48, 'y') + ">"));
    for (const char* bad :
         {"a@b", "<ab>", "<@b>", "<a@>", "<a@b@c>", "<a b@c>", "<a<b@c>", "<a@b>x", "<a@\x7f>", "<a\t@b>", ""})
        EXPECT_FALSE(IsValidMessageId(bad)) << bad;
}

// A control message needs no carried group; the facts locate the Path: line
// that completion replaces and the end of the header.
TEST(PostCheck, FactsOfAPassingControlMessage)
{
    const std::string post =
        "From: admin@example.org\r\nPath: gateway.example!not-for-mail\r\nNewsgroups: new.group\r\n"
        "Subject: cmsg newgroup new.group\r\nControl: newgroup new.group\r\n\r\nbody\r\n";
    PostFacts facts;
    char reason[kPostReasonSize];
    ASSERT_TRUE(CheckPost(post, &facts, reason)) << reason;
    EXPECT_TRUE(facts.control);
    EXPECT_TRUE(facts.messageId.empty());
    EXPECT_FALSE(facts.hasDate);
    EXPECT_EQ(facts.path, "gateway.example!not-for-mail");
    EXPECT_EQ(post.substr(facts.pathLine, facts.pathLineLength), "Path: gateway.example!not-for-mail\r\n");
    EXPECT_TRUE(facts.blankLine);
    EXPECT_EQ(post.substr(facts.headerLength, 8), "\r\nbody\r\n");

    const std::string headersOnly = post.substr(0, post.find("\r\n\r\n"));
    ASSERT_TRUE(CheckPost(headersOnly, &facts, reason)) << reason;
    EXPECT_FALSE(facts.blankLine);
    EXPECT_EQ(facts.headerLength, headersOnly.size());
}

}  // namespace

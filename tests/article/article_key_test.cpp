#include "article/article_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "server/client_context.h"

TEST(ArticleKey, ReproducesReferenceKeys)
{
    std::ifstream in(VERDALIX_TESTDATA_DIR "/article-keys.tsv");
    ASSERT_TRUE(in) << "reference keys missing";
    std::string line;
    int rows = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string id;
        size_t hashed = 0;
        uint64_t key = 0;
        fields >> id >> hashed >> key;
        ArticleKey got = 1;
        char out[kMessageIdSize];
        std::string command = "ihave " + id + "\r\n";
        EXPECT_EQ(GetArticleIDFromString(command.c_str(), out, &got), 1) << id;
        EXPECT_EQ(got, key) << id;
        EXPECT_EQ(std::string(out), id);
        EXPECT_EQ(hashed, id.size() - 1);
        ++rows;
    }
    EXPECT_EQ(rows, 10);
}

TEST(ArticleKey, StopRules)
{
    ArticleKey key = 77;
    char out[kMessageIdSize];
    // No "<" before the first control byte: the key is left alone.
    EXPECT_EQ(GetArticleIDFromString("article\r\n<a@b>", out, &key), 0);
    EXPECT_EQ(key, 77u);
    EXPECT_EQ(GetArticleIDFromString("x\xc3<a@b>", out, &key), 0);
    EXPECT_EQ(key, 77u);
    EXPECT_EQ(GetArticleIDFromString("stat <>", out, &key), 0);
    EXPECT_EQ(key, 0u);
    EXPECT_STREQ(out, "<>");

    // No ">": the key of the bytes before the LF, result 0.
    ArticleKey closed = 0;
    ArticleKey open = 0;
    EXPECT_EQ(GetArticleIDFromString("<a@b>", nullptr, &closed), 1);
    EXPECT_EQ(GetArticleIDFromString("cancel <a@b\nrest", out, &open), 0);
    EXPECT_EQ(open, closed);
    EXPECT_STREQ(out, "<a@b\n");
    // A bare value without line end stops at its NUL.
    EXPECT_EQ(GetArticleIDFromString("<a@b", out, &open), 0);
    EXPECT_EQ(open, closed);

    // Case matters, and the top bit is always clear.
    ArticleKey upper = 0;
    EXPECT_EQ(GetArticleIDFromString("<A@b>", nullptr, &upper), 1);
    EXPECT_NE(upper, closed);
    EXPECT_EQ(upper >> 63, 0u);
}

TEST(ArticleKey, LongIdsAreCutAt255Bytes)
{
    ClientContext c;
    std::string line = "article <" + std::string(300, 'x') + ">\r\n";
    c.buffer = line.data();
    // messageId sits before pathValue; a copy beyond 257 bytes would clobber it.
    c.pathValue = reinterpret_cast<char*>(0x1234);
    EXPECT_EQ(GetArticleID(c), 0);
    EXPECT_EQ(std::strlen(c.messageId), 256u);
    EXPECT_EQ(c.pathValue, reinterpret_cast<char*>(0x1234));
    ArticleKey expect = hash(reinterpret_cast<const unsigned char*>(line.data() + 8), 255, 0xFEFEBAD1) & ~(1ULL << 63);
    EXPECT_EQ(c.articleKey, expect);

    std::string fits = "article <" + std::string(253, 'y') + ">";
    c.buffer = fits.data();
    EXPECT_EQ(GetArticleID(c), 1);
    EXPECT_EQ(std::strlen(c.messageId), 255u);
}

TEST(ArticleKey, KeyOfBoundedTextAgreesWithTheCopyingParser)
{
    for (const std::string& text : std::initializer_list<std::string>{"<a@b>", "<a@b> (comment)", "  <x.y@z>\tmore", "<" + std::string(254, 'q') + ">",
                             "<" + std::string(253, 'q') + ">"}) {
        ArticleKey copied = 0, bounded = 0;
        ASSERT_EQ(GetArticleIDFromString(text.c_str(), nullptr, &copied), 1) << text;
        ASSERT_EQ(GetArticleKeyOfText(text, &bounded), 1) << text;
        EXPECT_EQ(bounded, copied) << text;
    }
    // Nothing past the view is read, and only a closed ID counts.
    ArticleKey key = 5;
    const std::string whole = "<a@b>";
    EXPECT_EQ(GetArticleKeyOfText(std::string_view(whole).substr(0, 4), &key), 0);
    for (const std::string& text : std::initializer_list<std::string>{"", "<>", "<a", "<a\n>", "x\r<a@b>", "\xc3<a@b>", "<" + std::string(255, 'q') + ">"})
        EXPECT_EQ(GetArticleKeyOfText(text, &key), 0) << text;
    EXPECT_EQ(key, 5u);
}

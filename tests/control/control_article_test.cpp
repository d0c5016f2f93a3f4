#include "control/control_article.h"

#include <gtest/gtest.h>

#include <string>

#include "control/pgp_verify.h"

namespace {

TEST(ControlArticle, CommandSenderAndFoldedHeaders)
{
    std::string text = "Path: a!b\r\nFrom: \"Admin, Hier\" <Admin@Example.ORG>\r\ncontrol:  NewGroup  ex.new\r\n"
                       "\tmoderated\r\nX-Long: one\r\n two\r\n\r\nbody\r\n";
    ControlArticle a;
    std::string error;
    ASSERT_TRUE(ParseControlArticle(text, &a, &error)) << error;
    EXPECT_EQ(a.type, "newgroup");
    EXPECT_EQ(a.args, (std::vector<std::string>{"ex.new", "moderated"}));
    EXPECT_EQ(a.sender, "admin@example.org");
    ASSERT_NE(FindControlHeader(a, "x-long"), nullptr);
    EXPECT_EQ(FindControlHeader(a, "x-long")->value, "one\r\n two");
    EXPECT_EQ(a.body, "body\r\n");
    EXPECT_EQ(FindControlHeader(a, "X-Missing"), nullptr);

    ASSERT_TRUE(ParseControlArticle("From: admin@example.org (Admin)\r\nControl: rmgroup x\r\n\r\n", &a, &error));
    EXPECT_EQ(a.sender, "admin@example.org");
}

TEST(ControlArticle, RefusalsSayWhy)
{
    const std::pair<const char*, const char*> cases[] = {
        {"Control: newgroup x\r\nFrom: a@b\r\n", "no empty line after the headers"},
        {"Control: newgroup x\r\nno colon\r\nFrom: a@b\r\n\r\n", "header line without a name and colon"},
        {": empty name\r\n\r\n", "header line without a name and colon"},
        {"From: a@b\r\nControl:   \r\n\r\n", "no Control: header"},
        {"Control: newgroup x\r\nFrom: Someone\r\n\r\n", "no sender address in From:"},
        {"Control: newgroup x\r\nFrom: Someone <a@b\r\n\r\n", "no sender address in From:"},
    };
    for (const auto& [text, why] : cases) {
        ControlArticle a;
        std::string error;
        EXPECT_FALSE(ParseControlArticle(text, &a, &error)) << text;
        EXPECT_EQ(error, why) << text;
    }
}

TEST(ControlArticle, GroupNames)
{
    for (const char* name : {"alt.test", "comp.lang.c++", "a-b_c.x1", "x"})
        EXPECT_TRUE(ValidGroupName(name)) << name;
    for (const char* name : {"", ".alt", "alt.", "alt..test", "alt test", "alt/test", "alt\ttest", "a*b"})
        EXPECT_FALSE(ValidGroupName(name)) << name;
    EXPECT_FALSE(ValidGroupName(std::string(251, 'a')));
}

TEST(ControlSignature, SignedTextFollowsTheHeaderList)
{
    std::string text = "From: Admin <admin@example.org>\r\nSubject: cmsg newgroup ex.new\r\n"
                       "Control: newgroup ex.new\r\nX-PGP-Sig: 2.6.3i Subject,Control,Sender,From\r\n"
                       "\tiQCVAwUBNb\r\n\tABCdef==\r\n\t=kQ1x\r\nX-Folded: a\r\n b\r\n\r\n"
                       "line one\r\n..dotted\r\n\r\nlast\r\n";
    ControlArticle a;
    std::string error, signedText, signature;
    ASSERT_TRUE(ParseControlArticle(text, &a, &error)) << error;
    ASSERT_TRUE(RebuildSignedText(a, &signedText, &signature, &error)) << error;
    EXPECT_EQ(signedText, "X-Signed-Headers: Subject,Control,Sender,From\n"
                          "Subject: cmsg newgroup ex.new\nControl: newgroup ex.new\nSender: \n"
                          "From: Admin <admin@example.org>\n\nline one\n.dotted\n\nlast\n");
    EXPECT_EQ(signature, "-----BEGIN PGP SIGNATURE-----\nVersion: 2.6.3i\n\niQCVAwUBNb\nABCdef==\n=kQ1x\n"
                         "-----END PGP SIGNATURE-----\n");
}

TEST(ControlSignature, FoldedSignedHeadersKeepTheirLines)
{
    std::string text = "From: a@b\r\nControl: newgroup x\r\nX-Folded: a\r\n b\r\n"
                       "X-PGP-Sig: 1 X-Folded sig\r\n\r\n";
    ControlArticle a;
    std::string error, signedText, signature;
    ASSERT_TRUE(ParseControlArticle(text, &a, &error));
    ASSERT_TRUE(RebuildSignedText(a, &signedText, &signature, &error));
    EXPECT_EQ(signedText, "X-Signed-Headers: X-Folded\nX-Folded: a\n b\n\n");
}

TEST(ControlSignature, UnusableSignatureHeaders)
{
    ControlArticle a;
    std::string error, signedText, signature;
    ASSERT_TRUE(ParseControlArticle("From: a@b\r\nControl: newgroup x\r\n\r\n", &a, &error));
    EXPECT_FALSE(RebuildSignedText(a, &signedText, &signature, &error));
    EXPECT_EQ(error, "no X-PGP-Sig header");
    ASSERT_TRUE(ParseControlArticle("From: a@b\r\nControl: newgroup x\r\nX-PGP-Sig: 2.6 From\r\n\r\n", &a, &error));
    EXPECT_FALSE(RebuildSignedText(a, &signedText, &signature, &error));
    EXPECT_EQ(error, "X-PGP-Sig header without version, header list and signature");
    // Without a keyring nothing is run.
    ASSERT_TRUE(ParseControlArticle("From: a@b\r\nControl: newgroup x\r\nX-PGP-Sig: 2.6 From sig\r\n\r\n", &a, &error));
    SignatureCheck check = VerifyControlSignature(a, "/no/such/gpgv", "", "/tmp");
    EXPECT_FALSE(check.good);
    EXPECT_EQ(check.reason, "no ControlKeyring set");
    check = VerifyControlSignature(a, "/no/such/gpgv", "/tmp/keyring.gpg", "/tmp");
    EXPECT_FALSE(check.good);
    EXPECT_EQ(check.reason, "cannot run /no/such/gpgv");
}

}  // namespace

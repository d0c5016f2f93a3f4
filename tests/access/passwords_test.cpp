// The password file: the lines it takes and the ones it leaves out (logged),
// checks of right and wrong passwords, the rights letters, hashes made for
// it, and a changed file read again at the next check.
#include "access/passwords.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "access/incoming.h"
#include "server/log.h"
#include "support/server_harness.h"
#include "support/unit_config.h"

using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;
using verdalix_test::WriteFile;

namespace {

class Passwords : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeTempDir();
        verdalix_test::UseConfigText("LogDirectory = " + dir_ + "\nPasswordFile = " + File() + "\n");
        console_init();
    }
    std::string File() const { return dir_ + "/passwords"; }
    std::string LogText() const { return ReadFile(dir_ + "/verdalix.log"); }

    std::string dir_;
};

std::string Bcrypt(const std::string& password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    EXPECT_NE(crypt_gensalt_rn("$2b$", 5, nullptr, 0, setting, sizeof setting), nullptr);
    crypt_data work{};
    return crypt_r(password.c_str(), setting, &work);
}

TEST_F(Passwords, HashesAreSaltedAndCheckedWithTheirRights)
{
    const std::string alice = HashPassword("wonder land");
    ASSERT_TRUE(alice.starts_with("$y$")) << alice;
    EXPECT_NE(HashPassword("wonder land"), alice) << "each hash has a salt of its own";
    ASSERT_TRUE(WriteFile(File(), "# readers\n\nalice:" + alice + ":rp\n" + "bob:" + Bcrypt("builder") + ":f   \n" +
                                      "carol:" + HashPassword("c") + ":\n"));
    PasswordsInit();
    EXPECT_EQ(CheckPassword("alice", "wonder land"), kRightRead | kRightPost);
    EXPECT_EQ(CheckPassword("bob", "builder"), kRightFeed);
    EXPECT_EQ(CheckPassword("carol", "c"), 0u) << "a login without rights of its own";
    EXPECT_FALSE(CheckPassword("alice", "wonder"));
    EXPECT_FALSE(CheckPassword("alice", "wonder land "));
    EXPECT_FALSE(CheckPassword("Alice", "wonder land")) << "names are compared exactly";
    EXPECT_FALSE(CheckPassword("nobody", "wonder land"));
    EXPECT_FALSE(CheckPassword("alice", ""));
    EXPECT_FALSE(CheckPassword("", ""));
}

TEST_F(Passwords, LinesItCannotUseAreLoggedAndLeftOut)
{
    const std::string good = HashPassword("pw");
    ASSERT_TRUE(WriteFile(File(), "nocolon\n"  // line 1
                                  "dave:" +
                                      good +
                                      "\n"  // line 2: no rights field
                                      ":" +
                                      good +
                                      ":r\n"  // line 3: no name
                                      "erin:" +
                                      good +
                                      ":rx\n"                                        // line 4: unknown right
                                      "frank:$1$abcdefgh$012345678901234567890:r\n"  // line 5: MD5
                                      "gina:plaintext:r\n"                           // line 6: no hash at all
                                      "hank:" +
                                      good +
                                      ":r\n"  // line 7: taken
                                      "hank:" +
                                      HashPassword("other") + ":rpf\n"  // line 8: repeated name
                          ));
    PasswordsInit();
    const std::string log = LogText();
    for (int line : {1, 2, 3, 4, 5, 6, 8})
        EXPECT_NE(log.find("line " + std::to_string(line) + ":"), std::string::npos) << line << "\n" << log;
    EXPECT_EQ(log.find("line 7:"), std::string::npos) << log;
    EXPECT_NE(log.find("too weak"), std::string::npos) << log;
    EXPECT_FALSE(CheckPassword("erin", "pw"));
    EXPECT_FALSE(CheckPassword("frank", "pw"));
    EXPECT_EQ(CheckPassword("hank", "pw"), kRightRead) << "the first line of a name counts";
    EXPECT_FALSE(CheckPassword("hank", "other"));
}

TEST_F(Passwords, AChangedFileIsReadAgainAtTheNextCheck)
{
    ASSERT_TRUE(WriteFile(File(), "ivan:" + HashPassword("one") + ":r\n"));
    EXPECT_EQ(CheckPassword("ivan", "one"), kRightRead);
    EXPECT_FALSE(CheckPassword("judy", "two"));

    // Replaced by a new file under the same name, as an editor saves it.
    ASSERT_TRUE(WriteFile(File() + ".new", "judy:" + HashPassword("two") + ":p\n"));
    ASSERT_EQ(std::rename((File() + ".new").c_str(), File().c_str()), 0);
    EXPECT_EQ(CheckPassword("judy", "two"), kRightPost);
    EXPECT_FALSE(CheckPassword("ivan", "one")) << "a user taken out of the file can no longer log in";

    // Gone: nobody logs in, and the reason is logged.
    ASSERT_EQ(std::remove(File().c_str()), 0);
    EXPECT_FALSE(CheckPassword("judy", "two"));
    EXPECT_NE(LogText().find("cannot read it"), std::string::npos);
}

TEST(PasswordsUnset, NoFileOffersNoLogins)
{
    verdalix_test::UseConfigText("");
    EXPECT_FALSE(PasswordsConfigured());
    EXPECT_FALSE(CheckPassword("anyone", "anything"));
}

}  // namespace

// Shared set-up of the reader-side tests: the group database fixture with an
// article store, articles stored, recorded in the history and numbered in a
// group as the acceptance pipeline leaves them, and a client connection
// whose output the test reads back.
#pragma once

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "article/article_key.h"
#include "article/store.h"
#include "groups/group_fixture.h"
#include "platform/unique_fd.h"

namespace group_test {

// A client context on one end of a socket pair; Take() returns what was
// written to it since the last call. Answers must fit the socket buffer.
class Connection {
public:
    Connection()
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ours_.reset(fds[0]);
        theirs_.reset(fds[1]);
        ctx.transport.fd = theirs_.get();
        ctx.peerName = "reader.test";
        std::strcpy(ctx.peerAddress, "127.0.0.1:4000");
        line_.resize(1024);
        ctx.buffer = line_.data();
    }
    std::string Take()
    {
        std::string text;
        char buffer[8192];
        for (ssize_t n; (n = ::recv(ours_.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
    // Puts `command` into the context's buffer as the command loop leaves a
    // line (NUL where its CR LF was) and runs `handler` on it.
    template <typename Handler>
    std::string Run(Handler handler, const std::string& command)
    {
        std::memcpy(line_.data(), command.data(), command.size());
        std::memcpy(line_.data() + command.size(), "\0\n\0", 3);
        ctx.used = static_cast<uint32_t>(command.size() + 2);
        EXPECT_EQ(handler(&ctx, line_.data(), static_cast<uint32_t>(command.size() + 2)), 1) << command;
        return Take();
    }
    ClientContext ctx;

private:
    UniqueFd ours_, theirs_;
    std::string line_;
};

struct Posted {
    uint32_t number;
    uint32_t slot;
    ArticleKey key;
    std::string messageId;
    std::string article;  // as stored: header, empty line, body
};

class StoredGroupTest : public GroupTest {
protected:
    static constexpr uint32_t kStore = 1;
    static constexpr uint32_t kGroup = 0;

    void SetUp() override
    {
        GroupTest::SetUp();
        ArtStoreInit();
        ASSERT_NE(BuildArtStore(kStore, dir_.c_str(), "*", 3, 100), nullptr);
        ASSERT_EQ(CreateGroup("alt.test", kGroup, 1, 1, "y"), 1);
    }
    void TearDown() override
    {
        StoreSyncAndClose();
        GroupTest::TearDown();
    }

    static std::string OverviewOf(const std::string& id, const std::string& subject)
    {
        return subject + "\tme@example\tTue, 8 Dec 2026 03:00:00 GMT\t" + id + "\t\t120\t3\tXref: news.test\r\n";
    }

    // Stores an article with `subject` in the group and numbers it there.
    Posted Post(const std::string& id, const std::string& subject, uint32_t g = kGroup)
    {
        Posted p;
        p.messageId = id;
        p.article = "Message-ID: " + id + "\r\nSubject: " + subject + "\r\n\r\nbody of " + subject;
        std::string overview = OverviewOf(id, subject);
        StoreCheckAndWrap(kStore);
        uint64_t storeKey = GetStoreKey(kStore);
        std::string record = overview + p.article;
        EXPECT_EQ(WriteToStore(kStore, record.data(), static_cast<uint32_t>(record.size())), record.size());
        GetArticleIDFromString(id.c_str(), nullptr, &p.key);
        p.slot = AddSeen(p.key, storeKey, static_cast<uint32_t>(p.article.size()),
                         static_cast<uint16_t>(overview.size()), static_cast<uint16_t>(p.article.find("\r\n\r\n")),
                         static_cast<uint8_t>(id.size()), static_cast<uint16_t>(overview.size() + 12), 100);
        p.number = GroupAddArticle(g, p.slot, UseCount(p.slot));
        return p;
    }

    // Wraps the store and writes over the records at its start, so that the
    // articles stored so far are no longer there while their history
    // entries and group numbers stay.
    void OverwriteStore()
    {
        std::string junk(256 * 1024, 'x');
        for (uint64_t before = GetStorePosition(kStore);; before = GetStorePosition(kStore)) {
            StoreCheckAndWrap(kStore);
            if (GetStorePosition(kStore) < before)
                break;
            ASSERT_EQ(WriteToStore(kStore, junk.data(), static_cast<uint32_t>(junk.size())), junk.size());
        }
        ASSERT_EQ(WriteToStore(kStore, junk.data(), static_cast<uint32_t>(junk.size())), junk.size());
    }
};

}  // namespace group_test

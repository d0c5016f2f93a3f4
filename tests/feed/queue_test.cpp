#include "feed/queue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "access/incoming.h"
#include "control/scheduler.h"
#include "feed/queue_format.h"
#include "feed/site.h"
#include "nntp/precommit.h"
#include "server/client_context.h"
#include "server/config.h"
#include "server/log.h"
#include "support/server_harness.h"
#include "support/unit_config.h"

namespace fs = std::filesystem;

using verdalix_test::MakeTempDir;
using verdalix_test::ReadFile;
using verdalix_test::WriteFile;
using verdalix_test::UseConfigText;

namespace {

std::string Record(const std::string& id)
{
    return id + kQueueRecordEnd;
}

class FeedQueues : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeTempDir();
        Configure("FeedQueuePath = " + dir_ + "\n");
        while (siteHead != nullptr)
            SiteDelete(siteHead->name.c_str());
        curSecondCount = 1000;
    }

    void TearDown() override
    {
        LogLine(nullptr);
        ConfigClear();
        fs::remove_all(dir_);
    }

    void Configure(const std::string& settings)
    {
        UseConfigText("LogDirectory = " + dir_ + "\n" + settings);
        console_init();
        FeedInit();
        PrecommitInit();
    }

    Site* NewSite(const char* name, const char* realtime)
    {
        SiteCreate(name);
        SiteSetParameter(name, "realtime", realtime);
        return SiteFind(name);
    }

    std::string SiteDir(const Site* site) const { return dir_ + "/" + site->name; }

    std::string QFile(const Site* site, const std::string& name) const { return SiteDir(site) + "/" + name; }

    std::vector<std::string> Files(const Site* site) const { return GetQFileList(SiteDir(site)); }

    std::string LogText() const { return ReadFile(dir_ + "/verdalix.log"); }

    static int Enqueue(Site* site, const std::string& id)
    {
        return EnqueueForSite(site, id.c_str(), static_cast<uint32_t>(id.size()));
    }

    static std::string ArticleQueue(const Site* site) { return {site->articleQRead, site->articleQWrite}; }

    // What a connection does with an empty article queue.
    static int Reload(Site* site)
    {
        CsLock lock(site->lock);
        site->articleQRead = site->articleQWrite = site->articleQ;
        return FeedQueueReadFile(site);
    }

    std::string dir_;
};

}  // namespace

TEST_F(FeedQueues, NotRealtimeGoesToFilesThatRotate)
{
    Site* site = NewSite("news1", "0");
    EXPECT_EQ(Enqueue(site, "<a@x>"), 1);
    EXPECT_EQ(Enqueue(site, "<b@x>"), 1);
    EXPECT_EQ(ArticleQueue(site), "");
    EXPECT_EQ(Files(site), std::vector<std::string>{"1000.qf"});
    EXPECT_EQ(ReadFile(QFile(site, "1000.qf")), Record("<a@x>") + Record("<b@x>"));
    EXPECT_EQ(site->filesPending, 1);

    // 600 seconds on the file is still within its time; 601 closes it.
    curSecondCount = 1600;
    Enqueue(site, "<c@x>");
    EXPECT_EQ(Files(site).size(), 1u);
    curSecondCount = 1601;
    Enqueue(site, "<d@x>");
    EXPECT_EQ(Files(site), (std::vector<std::string>{"1000.qf", "1601.qf"}));
    EXPECT_EQ(ReadFile(QFile(site, "1601.qf")), Record("<d@x>"));

    // The closed file is read; the one being written is passed over.
    EXPECT_EQ(Reload(site), 1);
    EXPECT_EQ(ArticleQueue(site), Record("<a@x>") + Record("<b@x>") + Record("<c@x>"));
    EXPECT_EQ(Files(site), std::vector<std::string>{"1601.qf"});
    EXPECT_EQ(Reload(site), 0);
}

TEST_F(FeedQueues, FullMemoryQueueOverflowsToFile)
{
    Site* site = NewSite("news1", "1");
    std::string id = "<" + std::string(61, 'm') + ">";  // 64-byte records: 128 fill the queue
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(Enqueue(site, id), 1);
    EXPECT_TRUE(Files(site).empty());
    EXPECT_EQ(Enqueue(site, "<over1@x>"), 1);
    EXPECT_EQ(Enqueue(site, "<over2@x>"), 1);
    EXPECT_EQ(ArticleQueue(site).size(), kSiteQueueSize);
    EXPECT_EQ(ReadFile(QFile(site, "1000.qf")), Record("<over1@x>") + Record("<over2@x>"));

    // Once the memory queue has been taken, new articles go there again; the
    // file is read when it has been closed and the memory queue is empty.
    {
        CsLock lock(site->lock);
        site->articleQRead = site->articleQWrite = site->articleQ;
    }
    curSecondCount = 2000;
    EXPECT_EQ(Enqueue(site, "<mem@x>"), 1);
    EXPECT_EQ(ArticleQueue(site), Record("<mem@x>"));
    EXPECT_EQ(Reload(site), 1);
    EXPECT_EQ(ArticleQueue(site), Record("<over1@x>") + Record("<over2@x>"));
}

TEST_F(FeedQueues, RecordCutByChunkEndComesWholeInTheNextChunk)
{
    Site* site = NewSite("news1", "1");
    fs::create_directories(SiteDir(site));
    std::string bytes;
    for (int i = 0; i < 745; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "<%07d@>", i);  // 10 characters, 11-byte records
        bytes += Record(id);
    }
    ASSERT_EQ(bytes.size(), 8195u);
    WriteFile(QFile(site, "5.qf"), bytes);
    WriteFile(QFile(site, "7.qf"), "abc");  // too short: deleted unread
    WriteFile(QFile(site, "9.qf"), Record("<last@x>"));

    EXPECT_EQ(Reload(site), 1);
    EXPECT_EQ(ArticleQueue(site), bytes.substr(0, 744 * 11));
    EXPECT_EQ(site->curSendFileName, QFile(site, "5.qf"));
    EXPECT_NE(SiteGetConfig("news1")->find("{curSendFileName " + site->curSendFileName + "}"), std::string::npos);
    EXPECT_EQ(Reload(site), 1);
    EXPECT_EQ(ArticleQueue(site), Record("<0000744@>"));
    EXPECT_FALSE(fs::exists(QFile(site, "5.qf")));
    EXPECT_EQ(site->curSendFileName, "");

    EXPECT_EQ(Reload(site), 1);
    EXPECT_EQ(ArticleQueue(site), Record("<last@x>"));
    EXPECT_TRUE(Files(site).empty());
    EXPECT_EQ(Reload(site), 0);
}

TEST_F(FeedQueues, ChunkWithoutRecordEndIsSkipped)
{
    Site* site = NewSite("news1", "1");
    fs::create_directories(SiteDir(site));
    WriteFile(QFile(site, "1.qf"), std::string(8192, 'z') + Record("<after@x>"));
    EXPECT_EQ(Reload(site), 1);
    EXPECT_EQ(ArticleQueue(site), Record("<after@x>"));
    EXPECT_NE(LogText().find("no record end in 8192 bytes of " + QFile(site, "1.qf")),
              std::string::npos);
}

TEST_F(FeedQueues, BacklogIsPrunedAndTakenNumbersSkipped)
{
    Site* site = NewSite("news1", "0");
    SiteSetParameter("news1", "maxQFiles", "2");
    fs::create_directories(SiteDir(site));
    for (const char* name : {"1000.qf", "998.qf", "10.qf", "999.qf", "2.qf"})
        WriteFile(QFile(site, name), Record("<old@x>"));
    EXPECT_EQ(Enqueue(site, "<new@x>"), 1);
    // 1000 was taken, so the new file is 1001; the three oldest went.
    EXPECT_EQ(Files(site), (std::vector<std::string>{"999.qf", "1000.qf", "1001.qf"}));
    EXPECT_EQ(ReadFile(QFile(site, "1001.qf")), Record("<new@x>"));
    EXPECT_NE(LogText().find("backlog purge: 3 files deleted for news1"), std::string::npos);
}

TEST_F(FeedQueues, UncreatableDirectoryIsLogged)
{
    Site* site = NewSite("news1", "0");
    WriteFile(SiteDir(site), "a plain file where the directory should be");
    EXPECT_EQ(Enqueue(site, "<a@x>"), 0);
    // A plain file in the directory's place is refused before any queue
    // file is tried in it.
    EXPECT_NE(LogText().find("could not create " + SiteDir(site) + " for outgoing queue"), std::string::npos);
}

TEST_F(FeedQueues, SitesThatOfferedTheArticleOrDoNotWantItAreSkipped)
{
    Site* picky = NewSite("picky", "1");
    ASSERT_EQ(SiteSetParameter("picky", "feedspec", "comp.*"), 1);
    Site* offerer = NewSite("offerer", "1");
    Site* plain = NewSite("plain", "1");
    Site* silent = NewSite("silent", "1");
    ASSERT_EQ(SiteSetParameter("silent", "feedspec", ""), 1);

    IncomingEntry peer;
    peer.dequeue = static_cast<int32_t>(offerer->number);
    ClientContext context;
    context.incomingEntry = &peer;
    context.articleKey = 0xfeed0001;
    std::strcpy(context.messageId, "<offered@x>");
    char groups[] = "misc.test\0";
    char path[] = "a\0";
    context.newsgroupList = groups;
    context.pathList = path;
    ASSERT_EQ(AddPrecommit(&context), 1);

    EXPECT_EQ(EnqueueForOutgoing(&context), 1);
    EXPECT_EQ(ArticleQueue(plain), Record("<offered@x>"));
    EXPECT_EQ(ArticleQueue(offerer), "");
    EXPECT_EQ(offerer->dequeued, 1u);
    EXPECT_EQ(ArticleQueue(picky), "");
    EXPECT_EQ(picky->dequeued, 0u);

    // Without precommit entry every site that wants the article gets it.
    ClientContext other = context;
    other.articleKey = 0xfeed0002;
    std::strcpy(other.messageId, "<direct@x>");
    char comp[] = "comp.lang.c\0";
    other.newsgroupList = comp;
    EnqueueForOutgoing(&other);
    EXPECT_EQ(ArticleQueue(offerer), Record("<direct@x>"));
    EXPECT_EQ(ArticleQueue(picky), Record("<direct@x>"));
    // An empty feedspec wants nothing.
    EXPECT_EQ(ArticleQueue(silent), "");
    ReleasePrecommits(&context);
}

TEST_F(FeedQueues, NoQueuePathDisablesFeeding)
{
    Configure("");
    EXPECT_NE(LogText().find("feeding disabled, no FeedQueuePath in configuration file"), std::string::npos);
    Site* site = NewSite("news1", "1");
    ClientContext context;
    std::strcpy(context.messageId, "<a@x>");
    EnqueueForOutgoing(&context);
    EXPECT_EQ(ArticleQueue(site), "");
    EXPECT_EQ(site->dequeued, 0u);
}

TEST_F(FeedQueues, TransmitQueueOverflowIsLoggedAndRetried)
{
    Site* site = NewSite("news1", "1");
    EXPECT_EQ(SiteQForTransmit(site, "238 no id here", 14), 1);
    EXPECT_EQ(site->transmitQWrite, site->transmitQ);

    std::string line = "238 <" + std::string(93, 't') + ">";  // 99 bytes, 96-byte records
    uint32_t length = static_cast<uint32_t>(line.size());
    int queued = 0;
    while (SiteQForTransmit(site, line.data(), length))
        ++queued;
    EXPECT_EQ(queued, 85);  // accepted while at most 8188 - 99 bytes are used
    EXPECT_EQ(site->transmitQWrite - site->transmitQ, 85 * 96);
    EXPECT_EQ(*site->transmitQWrite, '\0');
    EXPECT_EQ(site->transmitQOverflows, 1u);
    EXPECT_NE(LogText().find("TransmitQ overflow for news1"), std::string::npos);
    EXPECT_EQ(SiteQForTransmit(site, line.data(), length), 0);
    EXPECT_EQ(site->transmitQOverflows, 2u);

    // Once records have been sent, the rest moves to the front and the line fits.
    {
        CsLock lock(site->lock);
        site->transmitQRead += 96;
    }
    std::string other = "238 <" + std::string(92, 'u') + ">\r\n";
    ASSERT_EQ(SiteQForTransmit(site, other.data(), static_cast<uint32_t>(other.size())), 1);
    EXPECT_EQ(site->transmitQRead, site->transmitQ);
    std::string queue(site->transmitQRead, site->transmitQWrite);
    EXPECT_EQ(queue.size(), 84u * 96 + 95);
    EXPECT_EQ(queue.substr(84 * 96), Record(other.substr(4, 94)));
    EXPECT_EQ(queue.substr(0, 96), Record(line.substr(4)));
}

TEST_F(FeedQueues, ShutdownWritesMemoryQueuesThatARestartReads)
{
    Site* site = NewSite("news1", "1");
    Enqueue(site, "<taken@x>");
    Enqueue(site, "<waiting@x>");
    site->articleQRead += Record("<taken@x>").size();  // already offered
    std::string line = "238 <wanted@x>";
    SiteQForTransmit(site, line.data(), static_cast<uint32_t>(line.size()));
    EXPECT_TRUE(Files(site).empty());

    EXPECT_EQ(FeedShutdown(), 1);
    EXPECT_EQ(site->realtime, 0);
    EXPECT_EQ(Files(site), std::vector<std::string>{"1000.qf"});
    EXPECT_EQ(ReadFile(QFile(site, "1000.qf")), Record("<waiting@x>") + Record("<wanted@x>"));

    // The server exits here; this test goes on, so it gives the lock back.
    site->lock.unlock();

    // The next run: the same site declared again finds them.
    Configure("FeedQueuePath = " + dir_ + "\n");
    Site* again = NewSite("news1", "1");
    EXPECT_EQ(Reload(again), 1);
    EXPECT_EQ(ArticleQueue(again), Record("<waiting@x>") + Record("<wanted@x>"));
}

// File-I/O layer: the write-all and read-all loops under short transfers and
// interruptions, the all-or-nothing append, and the fault seam by path part.
#include "platform/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/directory.h"
#include "platform/file_faults.h"
#include "platform/line_reader.h"
#include "platform/mapped_region.h"
#include "support/server_harness.h"

namespace {

using verdalix_test::ReadFile;

class FileIo : public ::testing::Test {
protected:
    void SetUp() override { dir_ = verdalix_test::MakeTempDir(); }
    void TearDown() override
    {
        SetFileFaults({});
        std::filesystem::remove_all(dir_);
    }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    UniqueFd Create(const char* name, int extra = 0) const
    {
        return OpenFile(Path(name).c_str(), O_RDWR | O_CREAT | extra);
    }
    static void Fault(const std::string& part, unsigned ops, int error, bool shortWrites = false)
    {
        SetFileFaults({FileFault{part, ops, error, shortWrites}});
    }
    std::string dir_;
};

std::string Pattern(size_t length)
{
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>('a' + i * 7 % 26);
    return text;
}

TEST_F(FileIo, ShortWritesAreCarriedOnUntilEveryByteIsWritten)
{
    const std::string head = Pattern(1001), body = Pattern(70000);
    Fault("", kFileOpWrite, 0, true);
    {
        UniqueFd fd = Create("plain");
        ASSERT_TRUE(WriteAll(fd.get(), body.data(), body.size()));
    }
    EXPECT_EQ(ReadFile(Path("plain")), body);

    UniqueFd fd = Create("vector");
    iovec pieces[3] = {{const_cast<char*>(head.data()), head.size()}, {nullptr, 0},
                       {const_cast<char*>(body.data()), body.size()}};
    ASSERT_TRUE(PwriteAllV(fd.get(), pieces, 3, 5));
    iovec again[1] = {{const_cast<char*>(head.data()), head.size()}};
    ASSERT_TRUE(PwriteAllV(fd.get(), again, 1, 5 + head.size() + body.size()));
    const std::string text = ReadFile(Path("vector"));
    EXPECT_EQ(text, std::string(5, '\0') + head + body + head);
}

TEST_F(FileIo, FaultsHitOnlyTheChosenFileAndClear)
{
    UniqueFd store = Create("0-articles.dat");
    UniqueFd other = Create("seen.dat");
    Fault("articles", kFileOpWrite, ENOSPC);
    errno = 0;
    EXPECT_FALSE(PwriteAll(store.get(), "abc", 3, 0));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(PwriteAll(other.get(), "abc", 3, 0));
    EXPECT_TRUE(SyncFileData(store.get())) << "a write fault leaves syncs alone";
    EXPECT_FALSE(AllocateFile(store.get(), 4096)) << "allocation counts as a write";

    Fault("articles", kFileOpSync | kFileOpRead, EIO);
    EXPECT_FALSE(SyncFile(store.get()));
    EXPECT_EQ(errno, EIO);
    char byte;
    EXPECT_FALSE(PreadAll(store.get(), &byte, 1, 0));
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(PreadAll(other.get(), &byte, 1, 0));

    SetFileFaults({});
    EXPECT_TRUE(PwriteAll(store.get(), "xyz", 3, 0));
    EXPECT_TRUE(SyncFile(store.get()));
    EXPECT_EQ(ReadFile(Path("0-articles.dat")), "xyz");
}

TEST_F(FileIo, FailedAppendLeavesNoTornRecord)
{
    UniqueFd fd = Create("1.qf", O_APPEND);
    ASSERT_TRUE(AppendAll(fd.get(), "<a@b>", 6));
    Fault(".qf", kFileOpWrite, ENOSPC, true);
    EXPECT_FALSE(AppendAll(fd.get(), "<torn@record>", 14));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(FileSize(fd.get()), 6);
    SetFileFaults({});
    ASSERT_TRUE(AppendAll(fd.get(), "<c@d>", 6));
    EXPECT_EQ(ReadFile(Path("1.qf")), std::string("<a@b>\0<c@d>\0", 12));
}

TEST_F(FileIo, ReadsStopAtTheEndOfTheFile)
{
    UniqueFd fd = Create("data");
    ASSERT_TRUE(WriteAll(fd.get(), "0123456789", 10));
    char buffer[16] = {};
    errno = EBADF;
    EXPECT_FALSE(PreadAll(fd.get(), buffer, 4, 8));
    EXPECT_EQ(errno, 0) << "an early end is no system error";
    EXPECT_TRUE(PreadAll(fd.get(), buffer, 4, 6));
    EXPECT_EQ(std::string(buffer, 4), "6789");
    ASSERT_EQ(::lseek(fd.get(), 3, SEEK_SET), 3);
    EXPECT_EQ(ReadAll(fd.get(), buffer, sizeof buffer), 7);
    EXPECT_EQ(std::string(buffer, 7), "3456789");

    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    UniqueFd readEnd(pipe[0]), writeEnd(pipe[1]);
    EXPECT_TRUE(SendFileRange(writeEnd.get(), fd.get(), 2, 5));
    EXPECT_EQ(ReadAll(readEnd.get(), buffer, 5), 5);
    EXPECT_EQ(std::string(buffer, 5), "23456");
    EXPECT_FALSE(SendFileRange(writeEnd.get(), fd.get(), 8, 5)) << "the file ends after 2 bytes";
}

void Ignore(int) {}

// A signal without SA_RESTART interrupts a blocked read; the loop must go on.
TEST_F(FileIo, InterruptedReadsAreRestarted)
{
    struct sigaction action {}, old {};
    action.sa_handler = Ignore;
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &old), 0);
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    UniqueFd readEnd(pipe[0]), writeEnd(pipe[1]);
    const pthread_t reader = ::pthread_self();
    std::thread writer([&] {
        for (int i = 0; i < 20; ++i) {
            ::pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        WriteAll(writeEnd.get(), "late", 4);
        writeEnd.reset();
    });
    char buffer[8] = {};
    const ssize_t got = ReadAll(readEnd.get(), buffer, sizeof buffer);
    writer.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(std::string(buffer, 4), "late");
}

TEST_F(FileIo, OpenRenameAndRemovePassTheSeam)
{
    ASSERT_TRUE(Create("log.txt"));
    Fault("posts/", kFileOpOpen, EACCES);
    EXPECT_FALSE(OpenFile((dir_ + "/posts/1.post").c_str(), O_WRONLY | O_CREAT));
    EXPECT_EQ(errno, EACCES);
    Fault("log1.txt", kFileOpRename, EIO);
    EXPECT_FALSE(RenameFile(Path("log.txt").c_str(), Path("log1.txt").c_str())) << "matched by the new name";
    EXPECT_TRUE(std::filesystem::exists(Path("log.txt")));
    EXPECT_TRUE(RenameFile(Path("log.txt").c_str(), Path("log2.txt").c_str()));
    Fault("log2", kFileOpRename, EIO);
    EXPECT_FALSE(RemoveFile(Path("log2.txt").c_str()));
    SetFileFaults({});
    EXPECT_TRUE(RemoveFile(Path("log2.txt").c_str()));
    EXPECT_FALSE(std::filesystem::exists(Path("log2.txt")));
}

TEST_F(FileIo, MappedFilesFailAtCreationNotLaterAndReportFailedFlushes)
{
    const std::string path = Path("seen.dat");
    Fault("seen.dat", kFileOpWrite, ENOSPC);
    EXPECT_EQ(CreateMappedRegion(path.c_str(), 1 << 20), nullptr) << "no room for the blocks";
    SetFileFaults({});
    auto* view = static_cast<char*>(CreateMappedRegion(path.c_str(), 1 << 20));
    ASSERT_NE(view, nullptr);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_GE(st.st_blocks * 512, 1 << 20) << "the blocks are taken up front, not left as a hole";
    view[4095] = 'x';
    Fault("seen.dat", kFileOpSync, EIO);
    EXPECT_EQ(FlushMappedRegion(view), 0);
    EXPECT_EQ(DeleteMappedRegion(view), 0) << "a failed flush keeps the view";
    SetFileFaults({});
    EXPECT_EQ(DeleteMappedRegion(view), 1);
    EXPECT_EQ(ReadFile(path)[4095], 'x');
}

TEST_F(FileIo, LinesAreSplitAtLfOrCrLfAndLongOnesCut)
{
    const std::string longLine(20000, 'x');
    const std::string text = "one\r\ntwo\n\n" + longLine + "\r\nafter\n" + std::string(5, 'y') + "\r\n" +
                             std::string(6, 'z') + "\nlast without end";
    ASSERT_TRUE(verdalix_test::WriteFile(Path("lines"), text));
    UniqueFd fd = OpenFile(Path("lines").c_str(), O_RDONLY);
    LineReader reader(fd.get(), 5);
    std::vector<std::string> lines;
    char line[6];
    while (reader.Next(line))
        lines.emplace_back(line);
    const std::vector<std::string> expected{"one", "two", "", "xxxxx", "after", "yyyyy", "zzzzz", "last "};
    EXPECT_EQ(lines, expected);

    Fault("lines", kFileOpRead, EIO);
    UniqueFd again = OpenFile(Path("lines").c_str(), O_RDONLY);
    LineReader failing(again.get(), 5);
    EXPECT_FALSE(failing.Next(line));
}

TEST(FileFaults, TextFormReadsEveryFieldAndRefusesBadLines)
{
    std::vector<FileFault> faults;
    std::string why;
    ASSERT_TRUE(ParseFileFaults("# store full\n"
                                "stores/0-articles write ENOSPC\n"
                                "\n"
                                "  seen.dat\tsync,read  EIO\r\n"
                                "* all none short\n",
                                &faults, &why))
        << why;
    ASSERT_EQ(faults.size(), 3u);
    EXPECT_EQ(faults[0].pathPart, "stores/0-articles");
    EXPECT_EQ(faults[0].ops, unsigned{kFileOpWrite});
    EXPECT_EQ(faults[0].error, ENOSPC);
    EXPECT_FALSE(faults[0].shortWrites);
    EXPECT_EQ(faults[1].pathPart, "seen.dat");
    EXPECT_EQ(faults[1].ops, unsigned{kFileOpSync | kFileOpRead});
    EXPECT_EQ(faults[1].error, EIO);
    EXPECT_EQ(faults[2].pathPart, "");
    EXPECT_EQ(faults[2].ops, 0x1Fu);
    EXPECT_EQ(faults[2].error, 0);
    EXPECT_TRUE(faults[2].shortWrites);

    const char* bad[] = {"x write", "x scribble EIO", "x write ENOMEM", "x write EIO long", "x write none",
                         "x write, EIO"};
    for (const char* line : bad) {
        EXPECT_FALSE(ParseFileFaults(std::string("ok write EIO\n") + line, &faults, &why)) << line;
        EXPECT_EQ(why.rfind("line 2: ", 0), 0u) << why;
    }
}

TEST_F(FileIo, DirectoriesPathsAndPositions)
{
    const std::string sub = Path("queue");
    EXPECT_FALSE(PathExists(sub.c_str()));
    EXPECT_FALSE(IsDirectory(sub.c_str()));
    ASSERT_TRUE(MakeDirectory(sub.c_str()));
    EXPECT_TRUE(MakeDirectory(sub.c_str()));  // already there
    EXPECT_TRUE(IsDirectory(sub.c_str()));
    EXPECT_TRUE(CanWrite(sub.c_str()));
    EXPECT_FALSE(MakeDirectory(Path("missing/queue").c_str()));

    UniqueFd file = Create("queue/1.q");
    ASSERT_TRUE(file);
    EXPECT_TRUE(PathExists(Path("queue/1.q").c_str()));
    EXPECT_FALSE(IsDirectory(Path("queue/1.q").c_str()));
    EXPECT_EQ(errno, ENOTDIR);
    ASSERT_TRUE(WriteAll(file.get(), "abcdef", 6));
    EXPECT_EQ(SeekFile(file.get(), -2, SEEK_CUR), 4);
    char tail[3] = {};
    EXPECT_EQ(ReadAll(file.get(), tail, 2), 2);
    EXPECT_STREQ(tail, "ef");

    std::string self = ExecutablePath(4096);
    EXPECT_TRUE(self.ends_with("test_platform")) << self;
    EXPECT_EQ(ExecutablePath(3), "");
    EXPECT_EQ(errno, ENAMETOOLONG);
}

}  // namespace

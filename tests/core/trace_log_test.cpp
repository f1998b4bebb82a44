// Trace text and the log writer: line format, batching, file open/close
// policy, lines kept while the file cannot be written, the cap.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "common/wait.h"
#include "core/log_writer.h"
#include "core/trace.h"

using driver::FormatLogLine;
using driver::FormatText;
using driver::LogWriter;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WaitUntil;

namespace {

constexpr int kDeadlineMs = 5000;

// True while this process holds a descriptor open on path.
bool FileIsOpen(const std::string& path) {
    std::string target = std::filesystem::weakly_canonical(path).string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        char link[PATH_MAX];
        ssize_t n = readlink(entry.path().c_str(), link, sizeof link - 1);
        if (n > 0 && std::string(link, static_cast<size_t>(n)) == target) return true;
    }
    return false;
}

bool FileHas(const std::string& path, const std::string& text) {
    return ReadFile(path).find(text) != std::string::npos;
}

TEST(Trace, TextGrowsUntilItFitsAndIsCutAt43008KeepingTheLineEnd) {
    for (size_t length : {0, 1, 2047, 2048, 2049, 6144, 6145, 30721, 43007, 43008}) {
        std::string s(length, 'x');
        if (length > 0) s.back() = 'y';
        EXPECT_EQ(FormatText("%s", s.c_str()), s) << length;
    }
    EXPECT_EQ(FormatText("%d-%s-%05u", -4, "ab", 7u), "-4-ab-00007");

    TempDir dir;
    std::string path = dir.File("trace.log");
    ASSERT_TRUE(driver::TheLog().Start(path.c_str()));
    std::string big(50000, 'm');
    driver::Logf(3, "<%s>", big.c_str());
    driver::TheLog().Stop();
    std::string log = ReadFile(path);
    const size_t stamp = sizeof("03/03/2021 14:05:09") - 1;
    ASSERT_GT(log.size(), stamp);
    EXPECT_EQ(log.substr(stamp), "   3 :<" + big.substr(0, driver::kMaxFormattedChars - 1) + "\r\n");
}

TEST(Trace, StampAndPortColumn) {
    const plat::CalendarTime t{2021, 3, 3, 14, 5, 9, 0};
    const struct {
        int port;
        const char* text;
        const char* column;
    } cases[] = {{7, "hello", "   7 :hello"}, {-1, "general", "   G :general"}, {1234, "wide", " 1234 :wide"},
                 {-2, "", "  -2 :"},        {0, nullptr, "   0 :"}};
    for (const auto& c : cases)
        EXPECT_EQ(FormatLogLine(t, c.port, c.text), std::string("03/03/2021 14:05:09") + c.column + "\r\n") << c.port;
}

TEST(LogWriter, LinesCloseTogetherShareOneWriteFileStaysOpenUnlessFlushImmediate) {
    TempDir dir;
    std::string path = dir.File("a.log");
    {
        LogWriter log;
        ASSERT_TRUE(log.Start(path.c_str()));
        auto t0 = std::chrono::steady_clock::now();
        log.Append("first\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log.Append("second\r\n");
        auto gap = std::chrono::steady_clock::now() - t0;
        ASSERT_TRUE(WaitUntil([&] { return FileHas(path, "second"); }, kDeadlineMs));
        EXPECT_EQ(ReadFile(path), "first\r\nsecond\r\n");
        // A stall of the test thread past the writer's nap proves nothing about batching.
        if (gap < std::chrono::milliseconds(50)) {
            EXPECT_EQ(log.writeCount(), 1u);
        }
        EXPECT_TRUE(FileIsOpen(path));
        log.Stop();
        EXPECT_FALSE(FileIsOpen(path));
    }
    LogWriter log;
    log.SetFlushImmediate(true);
    ASSERT_TRUE(log.Start(path.c_str()));
    for (int i = 0; i < 2; ++i) {
        std::string line = "flushed " + std::to_string(i) + "\r\n";
        log.Append(line);
        ASSERT_TRUE(WaitUntil([&] { return FileHas(path, line); }, kDeadlineMs));
        EXPECT_TRUE(WaitUntil([&] { return !FileIsOpen(path); }, kDeadlineMs));
    }
    log.Stop();
    EXPECT_EQ(ReadFile(path), "first\r\nsecond\r\nflushed 0\r\nflushed 1\r\n");
}

TEST(LogWriter, LinesWaitForAFolderThatAppearsAndKeepTheirOrder) {
    TempDir dir;
    std::string folder = dir.File("later");
    std::string path = folder + "/c.log";
    LogWriter log;
    ASSERT_TRUE(log.Start(path.c_str()));
    std::string expected;
    for (int i = 0; i < 30; ++i) {
        std::string line = "line " + std::to_string(i) + "\r\n";
        expected += line;
        log.Append(line);
        if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(150));  // failed passes
    }
    EXPECT_EQ(log.writeCount(), 0u);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    log.Append("last\r\n");  // the next wake writes everything
    expected += "last\r\n";
    ASSERT_TRUE(WaitUntil([&] { return FileHas(path, "last"); }, kDeadlineMs));
    EXPECT_EQ(ReadFile(path), expected);
    log.Stop();
}

TEST(LogWriter, StopWritesWhatIsPendingAndRestartAppends) {
    TempDir dir;
    std::string path = dir.File("d.log");
    testsupport::WriteFile(path, "older\r\n");
    LogWriter log;
    ASSERT_TRUE(log.Start(path.c_str()));
    log.Append("one\r\n");
    log.Stop();  // no wait: the last pass takes it
    EXPECT_EQ(ReadFile(path), "older\r\none\r\n");

    log.Append("while stopped\r\n");  // waits for the next start
    ASSERT_TRUE(log.Start(path.c_str()));
    log.Append("two\r\n");
    ASSERT_TRUE(WaitUntil([&] { return FileHas(path, "two"); }, kDeadlineMs));
    log.Stop();
    EXPECT_EQ(ReadFile(path), "older\r\none\r\nwhile stopped\r\ntwo\r\n");
}

// A log kept across years of restarts can pass 4 GiB; a 32-bit build must
// still open and append to it (a sparse file stands in for it).
TEST(LogWriter, AppendsToALogLargerThanFourGiB) {
    TempDir dir;
    std::string path = dir.File("big.log");
    constexpr off_t kBigBytes = off_t{5} << 30;
    static_assert(sizeof(off_t) == 8, "64-bit file offsets on every build");
    testsupport::WriteFile(path, "");
    ASSERT_EQ(truncate(path.c_str(), kBigBytes), 0);
    LogWriter log;
    ASSERT_TRUE(log.Start(path.c_str()));
    log.Append("tail\r\n");
    log.Stop();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kBigBytes + 6);
}

// The cut keeps the newest whole lines that fit: exactly those, also when a line ends right at the cut.
TEST(LogWriter, CutKeepsExactlyTheNewestWholeLinesThatFit) {
    const std::string text = "one\r\ntwo\r\nthree\r\n";  // lines of 5, 5 and 7 bytes
    const struct {
        size_t keep;
        const char* kept;
        uint64_t dropped;
    } cuts[] = {{17, "one\r\ntwo\r\nthree\r\n", 0}, {16, "two\r\nthree\r\n", 1}, {12, "two\r\nthree\r\n", 1},
                {11, "three\r\n", 2},                {7, "three\r\n", 2},             {6, "", 3},
                {0, "", 3}};
    for (const auto& cut : cuts) {
        std::string t = text;
        EXPECT_EQ(driver::DropOldestLines(t, cut.keep), cut.dropped) << cut.keep;
        EXPECT_EQ(t, cut.kept) << cut.keep;
    }
    std::string unended = "one\r\npart";
    EXPECT_EQ(driver::DropOldestLines(unended, 3), 2u);
    EXPECT_EQ(unended, "");
}

TEST(LogWriter, CapDropsOldestWholeLinesAndSaysHowMany) {
    TempDir dir;
    std::string path = dir.File("e.log");
    LogWriter log;  // not started: every line stays in memory
    const int kLines = 100000;
    const std::string pad(90, '.');
    for (int i = 0; i < kLines; ++i) log.Append("line " + std::to_string(i) + " " + pad + "\r\n");
    ASSERT_TRUE(log.Start(path.c_str()));
    ASSERT_TRUE(WaitUntil([&] { return FileHas(path, "line " + std::to_string(kLines - 1) + " "); }, kDeadlineMs));
    log.Stop();

    std::string text = ReadFile(path);
    EXPECT_LE(text.size(), LogWriter::kMaxKeptBytes + 200);
    size_t firstEnd = text.find("\r\n");
    ASSERT_NE(firstEnd, std::string::npos);
    std::string note = text.substr(0, firstEnd);
    unsigned long long dropped = 0;
    size_t mark = note.find("   G :");
    ASSERT_NE(mark, std::string::npos) << note;
    ASSERT_EQ(sscanf(note.c_str() + mark + 6, "%llu", &dropped), 1) << note;
    EXPECT_NE(note.find("trace lines were dropped"), std::string::npos) << note;
    std::string rest = text.substr(firstEnd + 2);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n') + dropped, static_cast<unsigned long long>(kLines));
    // What is left is the newest lines, whole and in order.
    EXPECT_EQ(rest.rfind("line " + std::to_string(dropped) + " ", 0), 0u) << rest.substr(0, 40);
    EXPECT_EQ(rest.substr(rest.size() - 2), "\r\n");
}

// A writer stuck on its file past the stop's wait (opening a FIFO nobody
// reads) is left to itself: the next start has a working writer, and the
// stuck one, once the FIFO opens, ends on its own and takes none of the
// new writer's lines.
TEST(LogWriter, AWriterStuckPastItsStopLeavesTheNextStartAWorkingLog) {
    TempDir dir;
    const std::string fifo = dir.File("stuck.log"), path = dir.File("next.log");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    LogWriter log;
    log.SetStopWait(100);
    ASSERT_TRUE(log.Start(fifo.c_str()));
    log.Append("for the stuck writer\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its open now waits for a reader
    log.Stop();
    EXPECT_EQ(log.strayWriters(), 1);
    ASSERT_TRUE(log.Start(path.c_str()));
    log.Append("one\r\n");
    EXPECT_TRUE(WaitUntil([&] { return FileHas(path, "one"); }, kDeadlineMs));
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // the stuck open returns
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(WaitUntil([&] { return log.strayWriters() == 0; }, kDeadlineMs));
    log.Append("two\r\n");
    EXPECT_TRUE(WaitUntil([&] { return FileHas(path, "two"); }, kDeadlineMs));
    log.Stop();
    close(reader);
    const std::string text = ReadFile(path);
    EXPECT_NE(text.find("for the stuck writer\r\n"), std::string::npos) << "left for the next writer";
    EXPECT_TRUE(text.find("one\r\n") != std::string::npos && text.find("two\r\n") != std::string::npos) << text;
}

}  // namespace

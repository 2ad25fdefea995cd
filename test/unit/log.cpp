// The server's log module, compiled in here: its globals start fresh in each
// child process a test forks, as they do in the server.
#include "../../server/log.cpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "server_harness.h"

namespace {

// Runs `body` in a child process with the log module as a new server has it;
// the child's gtest failures come back as its exit status.
template <typename F>
void inFreshProcess(F body) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(60);  // a log that deadlocks fails the test instead of hanging it
        body();
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

const std::string kTime = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})";

bool entryIs(const std::string &line, const std::string &label, const std::string &text) {
    return std::regex_match(line, std::regex("\\[" + label + "\\] " + kTime + " : " + text));
}

struct LogFile {
    fbtest::TestNames names{"log"};
    char path[512];
    LogFile() { std::snprintf(path, sizeof path, "%s", names.logFile.c_str()); }
    std::vector<std::string> read() const { return lines(fbtest::readFile(path)); }
};

TEST(Log, StartEntryAndLevelLabels) {
    LogFile f;
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 0, 9, "Share memory I/O Server"), 0);
        for (int level : {0, 1, 2, 3, 4, 9}) EXPECT_EQ(logMsg(level, "entry %d", level), 0);
        // A message's own newline does not split an error entry; without a
        // system error there is no reason to show.
        errno = EIO;
        logError("read faile at %d retVal = %d\n", 5, 11);
        errno = 0;
        logError("read faile at %d retVal = %d\n", 5, 15);
        finiLog();
        const auto l = f.read();
        ASSERT_EQ(l.size(), 9u) << fbtest::readFile(f.path);
        EXPECT_TRUE(
            entryIs(l[7], "ERROR ", R"(read faile at 5 retVal = 11 \(Input/output error\))"))
            << l[7];
        EXPECT_TRUE(entryIs(l[8], "ERROR ", "read faile at 5 retVal = 15")) << l[8];
        EXPECT_TRUE(entryIs(l[0], "INFO  ", "Share memory I/O Server Log Start")) << l[0];
        const char *labels[] = {"ERROR ", "WARN  ", "INFO  ", "DEBUG ", "DEBUG1", "DEBUG6"};
        const int levels[] = {0, 1, 2, 3, 4, 9};
        for (int i = 0; i < 6; ++i)
            EXPECT_TRUE(entryIs(l[1 + i], labels[i], "entry " + std::to_string(levels[i])))
                << l[1 + i];
    });
}

// The previous run's entries (why it ended) are kept in .1; an empty file
// does not replace them there.
TEST(Log, OpeningKeepsTheOldFileAsDotOneAndThePathBuffer) {
    LogFile f;
    const std::string previous = std::string(f.path) + ".1";
    { std::ofstream(f.path) << "old contents\n"; }
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 0, -1, nullptr), 0);
        // The banner falls back to "Server"; a negative level leaves 2.
        EXPECT_EQ(logMsg(3, "not written"), 0);
        finiLog();
        const auto l = f.read();
        ASSERT_EQ(l.size(), 1u);
        EXPECT_TRUE(entryIs(l[0], "INFO  ", "Server Log Start")) << l[0];
        EXPECT_EQ(fbtest::readFile(previous), "old contents\n");
        std::ofstream(f.path, std::ios::trunc).flush();
        ASSERT_EQ(initLog(f.path, 0, 2, nullptr), 0);
        finiLog();
        EXPECT_EQ(fbtest::readFile(previous), "old contents\n");
    });
}

TEST(Log, LevelAboveTheLogLevelIsNeitherWrittenNorCounted) {
    LogFile f;
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 2, 1, "B"), 0);  // the start entry itself is level 2
        for (int i = 0; i < 10; ++i) EXPECT_EQ(logMsg(2, "info %d", i), 0);
        EXPECT_EQ(logMsg(1, "warn"), 0);
        errno = ENOENT;
        EXPECT_EQ(logError("open %s", "x"), -1);  // written at any level
        finiLog();
        const auto l = f.read();
        ASSERT_EQ(l.size(), 2u);  // no clear: only two entries were counted
        EXPECT_TRUE(entryIs(l[0], "WARN  ", "warn")) << l[0];
        EXPECT_TRUE(entryIs(l[1], "ERROR ", R"(open x \(No such file or directory\))")) << l[1];
    });
}

// At the limit the entries move to .1 (replacing the older ones) and a new
// file starts.
TEST(Log, LimitOfThreeMovesTheEntriesToDotOneAtTheFifth) {
    LogFile f;
    const std::string previous = std::string(f.path) + ".1";
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 3, 2, "Share memory I/O Server"), 0);
        for (int i = 2; i <= 4; ++i) logMsg(2, "entry %d", i);
        const std::string full = fbtest::readFile(f.path);
        EXPECT_EQ(lines(full).size(), 4u);
        EXPECT_EQ(logMsg(2, "entry 5"), 0);
        EXPECT_EQ(fbtest::readFile(previous), full);
        auto l = f.read();
        ASSERT_EQ(l.size(), 3u);
        EXPECT_EQ(l[0], "Share memory I/O Server Log");
        EXPECT_TRUE(std::regex_match(l[1], std::regex(R"(\[INFO\] )" + kTime + " clear log")))
            << l[1];
        EXPECT_TRUE(entryIs(l[2], "INFO  ", "entry 5"));
        // The header is not counted: the file holds up to four entries again.
        for (int i = 6; i <= 8; ++i) logMsg(2, "entry %d", i);
        EXPECT_EQ(f.read().size(), 6u);
        // A dump entry writes the clear line with the six-character label.
        const std::string second = fbtest::readFile(f.path);
        char bytes[1] = {0};
        EXPECT_EQ(logMsgDump(2, bytes, 1), 0);
        EXPECT_EQ(fbtest::readFile(previous), second);
        l = f.read();
        ASSERT_GE(l.size(), 2u);
        EXPECT_TRUE(std::regex_match(l[1], std::regex(R"(\[INFO  \] )" + kTime + " clear log")))
            << l[1];
        finiLog();
    });
}

TEST(Log, DumpOfTwentyBytes) {
    LogFile f;
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 0, 3, "B"), 0);
        char data[20];
        for (int i = 0; i < 20; ++i) data[i] = static_cast<char>(0xF0 + i);
        EXPECT_EQ(logMsgDump(3, data, 20), 0);
        EXPECT_EQ(logMsgDump(4, data, 20), 0);  // above the level: nothing
        finiLog();
        const auto l = f.read();
        ASSERT_EQ(l.size(), 4u);
        EXPECT_TRUE(entryIs(l[1], "DEBUG ", "dump 20 bytes")) << l[1];
        EXPECT_EQ(l[2], "00 : F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF ");
        EXPECT_EQ(l[3], "10 : 00 01 02 03 ");
    });
}

TEST(Log, WithoutAnOpenFileEveryEntryFails) {
    LogFile f;
    inFreshProcess([&] {
        char missing[512];
        std::snprintf(missing, sizeof missing, "%s/no/such/dir/log", f.names.dir.c_str());
        EXPECT_EQ(initLog(missing, 0, 2, "B"), -1);
        EXPECT_EQ(logMsg(2, "x"), -1);
        EXPECT_EQ(logMsg(3, "suppressed"), 0);
        EXPECT_EQ(logError("x"), -1);
        char b[1] = {0};
        EXPECT_EQ(logMsgDump(1, b, 1), -1);
        ASSERT_EQ(initLog(f.path, 0, 2, "B"), 0);
        finiLog();
        EXPECT_EQ(logMsg(1, "after fini"), -1);
    });
}

// A client flooding refused requests gets one line and a count, not a log
// emptied of everything else; a link at the log path is refused, its target
// left alone.
TEST(Log, RepeatsAreCountedAndLinksRefused) {
    LogFile f;
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 5, 2, "B"), 0);
        for (int i = 0; i < 1000; ++i) logMsg(1, "request at %d refused", 7);
        errno = EIO;
        for (int i = 0; i < 3; ++i) logError("read failed");
        logMsg(1, "request at %d refused", 8);
        finiLog();
    });
    const auto l = f.read();
    ASSERT_EQ(l.size(), 6u) << fbtest::readFile(f.path);
    EXPECT_TRUE(entryIs(l[1], "WARN  ", "request at 7 refused"));
    EXPECT_TRUE(entryIs(l[2], "WARN  ", "last message repeated 999 times"));
    EXPECT_TRUE(entryIs(l[3], "ERROR ", R"(read failed \(.*\))"));
    EXPECT_TRUE(entryIs(l[4], "ERROR ", "last message repeated 2 times"));
    EXPECT_TRUE(entryIs(l[5], "WARN  ", "request at 8 refused"));

    const std::string target = f.names.path("target");
    std::ofstream(target) << "keep";
    char link[512];
    std::snprintf(link, sizeof link, "%s", f.names.path("link.log").c_str());
    ASSERT_EQ(symlink(target.c_str(), link), 0);
    inFreshProcess([&] {
        EXPECT_EQ(initLog(link, 0, 2, "B"), -1);
        EXPECT_EQ(errno, ELOOP);
        EXPECT_EQ(logMsg(1, "x"), -1);
        std::fflush(stdout);
    });
    EXPECT_EQ(fbtest::readFile(target), "keep");
}

long long fakeNowMs = 1000000;

// Two clients each alternating two refused requests (which the repeat count
// does not fold): five entries of each kind, then a count once the minute
// is over; other entries are not pushed out.
TEST(Log, RefusalsOfEachKindAreLimitedThenCounted) {
    LogFile f;
    inFreshProcess([&] {
        logClockMs = [] { return fakeNowMs; };
        ASSERT_EQ(initLog(f.path, 100, 2, "B"), 0);
        for (int i = 0; i < 1000; ++i) {
            logRefusal(1, "coil request at %d refused", 20000 + i % 2);
            logRefusal(4, "register request at %d refused", 9000 + i % 2);
        }
        logMsg(2, "still here");
        fakeNowMs += 59999;
        logService();
        logRefusal(1, "coil request at %d refused", 20000);
        fakeNowMs += 1;
        logService();
        logRefusal(1, "after the minute");
        logRefusal(-3, "odd kind");
        finiLog();
    });
    const auto l = f.read();
    ASSERT_EQ(l.size(), 16u) << fbtest::readFile(f.path);
    for (int i = 0; i < 10; ++i) {
        const int turn = i / 2 % 2;
        const std::string want = i % 2 == 0 ? "coil request at " + std::to_string(20000 + turn)
                                            : "register request at " + std::to_string(9000 + turn);
        EXPECT_TRUE(entryIs(l[1 + i], "WARN  ", want + " refused")) << l[1 + i];
    }
    EXPECT_TRUE(entryIs(l[11], "INFO  ", "still here"));
    EXPECT_TRUE(entryIs(l[12], "WARN  ", "996 more refused requests of kind 1 not logged"));
    EXPECT_TRUE(entryIs(l[13], "WARN  ", "995 more refused requests of kind 4 not logged"));
    EXPECT_TRUE(entryIs(l[14], "WARN  ", "after the minute"));
    EXPECT_TRUE(entryIs(l[15], "WARN  ", "odd kind"));
}

TEST(Log, FailedReopenAtTheLimitClosesTheLog) {
    LogFile f;
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 1, 2, "B"), 0);
        logMsg(2, "second");
        // The path buffer is the caller's: what it names at the limit counts.
        std::snprintf(f.path, sizeof f.path, "%s/gone/log", f.names.dir.c_str());
        EXPECT_EQ(logMsg(2, "third"), -1);
        EXPECT_EQ(logMsg(2, "fourth"), -1);
    });
}

// Both threads reach the limit over and over while a third reopens the
// file: every entry must land whole, never in a stream another thread has
// closed, and a reopen of the same file keeps it bounded.
TEST(Log, TwoThreadsAtTheLimitAndReopensWriteWholeEntries) {
    LogFile f;
    inFreshProcess([&] {
        ASSERT_EQ(initLog(f.path, 7, 2, "B"), 0);
        auto writer = [](int id) {
            for (int i = 0; i < 3000; ++i) logMsg(2, "thread %d entry %d", id, i);
        };
        std::thread a(writer, 1), b(writer, 2), c([] {
            for (int i = 0; i < 500; ++i) reopenLog();
        });
        a.join();
        b.join();
        c.join();
        finiLog();
        const auto l = f.read();
        ASSERT_FALSE(l.empty());
        EXPECT_LE(l.size(), 2u + 8u);
        const std::regex entry(R"(\[INFO  \] )" + kTime +
                               R"( : (thread [12] entry \d+|log file reopened))");
        const std::regex clear(R"(\[INFO\] )" + kTime + " clear log");
        for (const auto &line : l)
            EXPECT_TRUE(line == "B Log" || std::regex_match(line, entry) ||
                        std::regex_match(line, clear))
                << line;
    });
}

}  // namespace

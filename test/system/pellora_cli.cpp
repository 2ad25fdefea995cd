// pellora's command line, log file and orderly stop, against rkboard-sim.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "server_harness.h"

namespace {

const std::string kUsageBlock =
    "Norvane I/O share memory Server\n"
    "Options:\n"
    "-c confile     Specify the path for config file\n"
    "-d             Daemonize (Terminate and Stay Resident)\n"
    "-h             Display this help and exit\n"
    "-i interval    Specify the refresh interval in ms\n"
    "-v level       Print or log verbose debug information\n"
    "               0(Error), 1(Warning), 2(Info), 3(Debug)\n"
    "-s size        specify the maximum line of log file\n"
    "-l logfile     Specify the path for the log file\n";

const std::string kTime = R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4})";

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

bool entryIs(const std::string &line, const std::string &label, const std::string &text) {
    return std::regex_match(line, std::regex("\\[" + label + "\\] " + kTime + " : " + text));
}

// A board and a server started on it with `args`, ready to be stopped.
struct Running {
    explicit Running(const std::string &tag) : names(tag) {}
    void start(const std::vector<std::string> &args = {},
               const std::vector<std::string> &env = {}) {
        ASSERT_TRUE(board.start(names));
        ASSERT_TRUE(server.start(names, args, env));
        ASSERT_TRUE(server.waitReady()) << server.out() << server.err();
    }
    fbtest::TestNames names;
    fbtest::BoardSim board;
    fbtest::Server server;
};

TEST(Cli, HelpPrintsTheUsageAndMakesNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-v", "3", "-h"}, {"-d", "-i", "50", "-c", "x.conf", "-h", "-s", "3"}};
    for (const auto &args : cases) {
        fbtest::TestNames names("help");
        fbtest::Process p;
        std::vector<std::string> all = {"-l", names.logFile};
        all.insert(all.end(), args.begin(), args.end());
        ASSERT_TRUE(
            p.start(fbtest::programPath("pellora"), all,
                    {"PELLORA_SHM_NAME=" + names.shmName, "PELLORA_LOCK_FILE=" + names.lockFile,
                     "FIELDBUS_COM1=" + names.boardLink}));
        ASSERT_NE(p.wait(), -1);
        EXPECT_EQ(p.exitCode(), 0);
        EXPECT_EQ(p.out(), "\nUsage: " + fbtest::programPath("pellora") +
                               " [OPTION] [VALUE] ...\n" + kUsageBlock + "\n");
        EXPECT_EQ(p.err(), "");
        EXPECT_FALSE(fbtest::fileExists(names.logFile));
        EXPECT_FALSE(fbtest::fileExists(names.lockFile));
        EXPECT_FALSE(fbtest::regionExists(names.shmName));
    }
}

TEST(Cli, StartAndStopLinesAndTheLog) {
    Running run("stop");
    { std::ofstream(run.names.logFile) << "left from an earlier run\n"; }
    run.start();
    const auto out = lines(run.server.out());
    ASSERT_FALSE(out.empty());
    EXPECT_TRUE(std::regex_match(
        out[0],
        std::regex(R"(Share Memory I/O Server v0\.1g \(build at [A-Z][a-z]{2} [ 0-9]\d \d{4}\))")))
        << out[0];
    EXPECT_TRUE(run.server.running());
    const auto log = lines(fbtest::readFile(run.names.logFile));
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(entryIs(log[0], "INFO  ", "Share memory I/O Server Log Start")) << log[0];
    EXPECT_EQ(fbtest::readFile(run.names.logFile + ".1"), "left from an earlier run\n");

    ASSERT_TRUE(fbtest::regionExists(run.names.shmName));
    EXPECT_EQ(run.server.stop(), 0);
    EXPECT_FALSE(fbtest::regionExists(run.names.shmName));
    EXPECT_EQ(lines(run.server.out()).back(), "Stop Share Memory I/O Server");
    EXPECT_EQ(run.server.err(), "");
    const auto after = lines(fbtest::readFile(run.names.logFile));
    ASSERT_EQ(after.size(), 2u);
    EXPECT_TRUE(entryIs(after[1], "INFO  ", "Stop Share Memory I/O Server")) << after[1];
}

// Both ways a rotation tool works under a running server (the file moved
// away and SIGHUP; the file copied and truncated), then a restart: entries
// go on at the path, none behind a hole, and the previous run's stay in .1.
TEST(Cli, LogThroughRotationAndRestart) {
    Running run("rotate");
    run.start();
    const std::string log = run.names.logFile;
    fbtest::RegionMap region(run.names.shmName);
    ASSERT_TRUE(region.ok());
    // A request outside the image: the refresh thread logs its refusal.
    const auto refusalLogged = [&](int addr) {
        ioshare_request(region.get(), IOSHARE_BIT_IN, addr, 1, 2000);
        return fbtest::waitUntil(
            [&] { return fbtest::readFile(log).find(std::to_string(addr)) != std::string::npos; });
    };

    ASSERT_EQ(std::rename(log.c_str(), (log + ".moved").c_str()), 0);
    run.server.signal(SIGHUP);
    ASSERT_TRUE(fbtest::waitUntil([&] {
        return fbtest::readFile(log).find("log file reopened") != std::string::npos;
    })) << "no new file at the path";
    EXPECT_TRUE(run.server.running());
    EXPECT_TRUE(refusalLogged(20002));
    EXPECT_EQ(fbtest::readFile(log + ".moved").find("20002"), std::string::npos);

    ASSERT_EQ(truncate(log.c_str(), 0), 0);
    EXPECT_TRUE(refusalLogged(20003));
    const std::string truncated = fbtest::readFile(log);
    EXPECT_EQ(truncated.find('\0'), std::string::npos) << "a hole where the copy was";
    EXPECT_EQ(truncated.substr(0, 1), "[") << "the next entry starts the file";

    EXPECT_EQ(run.server.stop(), 0);
    const std::string previous = fbtest::readFile(log);
    EXPECT_NE(previous.find("Stop Share Memory I/O Server"), std::string::npos);
    fbtest::Server next;
    ASSERT_TRUE(next.start(run.names));
    ASSERT_TRUE(next.waitReady());
    EXPECT_EQ(fbtest::readFile(log + ".1"), previous);
    EXPECT_EQ(lines(fbtest::readFile(log)).size(), 1u);
    EXPECT_EQ(next.stop(), 0);
}

TEST(Cli, RegionNameGoneAtStopFailsTheStop) {
    Running run("unlink");
    run.start();
    ASSERT_EQ(shm_unlink(run.names.shmName.c_str()), 0);
    run.server.signal(SIGTERM);
    ASSERT_NE(run.server.wait(), -1);
    EXPECT_EQ(run.server.exitCode(), 255);
    EXPECT_EQ(run.server.err(), "shm_unlink: No such file or directory\n");
    EXPECT_EQ(run.server.out().find("Stop"), std::string::npos);
    EXPECT_EQ(lines(fbtest::readFile(run.names.logFile)).size(), 1u);
}

TEST(Cli, LogLevels) {
    struct Case {
        const char *level;
        const char *shown;  // in the start-up line
        size_t entries;     // after the stop
    } cases[] = {{"1", "1", 0}, {"0", "0", 0}, {"3", "3", 2}, {"-1", "-1", 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.level);
        Running run("level");
        run.start({"-v", c.level});
        EXPECT_NE(
            run.server.out().find("logfile = " + run.names.logFile + ", level " + c.shown + "\n"),
            std::string::npos);
        EXPECT_EQ(run.server.stop(), 0);
        EXPECT_TRUE(fbtest::fileExists(run.names.logFile));
        EXPECT_EQ(lines(fbtest::readFile(run.names.logFile)).size(), c.entries);
    }
}

TEST(Cli, UnwritableLogLeavesTheServerRunningWithoutOne) {
    Running run("nolog");
    const std::string path = run.names.path("missing/dir/pellora.log");
    run.start({"-l", path});
    EXPECT_NE(run.server.out().find("logfile = " + path + ", level 2\n"), std::string::npos);
    EXPECT_TRUE(run.server.running());
    EXPECT_EQ(run.server.stop(), 0);
    EXPECT_FALSE(fbtest::fileExists(path));
}

TEST(Cli, OptionValuesReachTheRegion) {
    struct Case {
        std::vector<std::string> args;
        int interval;
    } cases[] = {{{"-i", "0"}, 0},
                 {{"-i", "abc"}, 0},
                 {{"-i", "2500"}, 2500},
                 {{"-c", "/nonexistent.conf", "-s", "0"}, 100},
                 {{"-s", "-5", "-x"}, 100}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Running run("values");
        run.start(c.args);
        fbtest::RegionMap region(run.names.shmName);
        ASSERT_TRUE(region.ok());
        EXPECT_EQ(region.snapshot()->interval, c.interval);
        EXPECT_NE(run.server.out().find("refresh interval " + std::to_string(c.interval) + " ms\n"),
                  std::string::npos);
        EXPECT_EQ(run.server.stop(), 0);
    }
}

TEST(Cli, UnknownOptionAndMissingArgumentAreReportedAndSkipped) {
    Running run("getopt");
    run.start({"-x", "-i"});
    EXPECT_NE(run.server.err().find("invalid option -- 'x'"), std::string::npos)
        << run.server.err();
    EXPECT_NE(run.server.err().find("option requires an argument -- 'i'"), std::string::npos);
    EXPECT_EQ(run.server.stop(), 0);
}

// A path that does not fit the 512-byte buffer is refused before anything is
// made; the longest one that fits is taken.
TEST(Cli, PathLengthLimits) {
    fbtest::TestNames names("paths");
    const std::string fits = "/" + std::string(510, 'l');
    const std::string tooLong = fits + "l";
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> env;
        std::string message;
    } cases[] = {
        {{"-l", tooLong}, {}, "Log file path too long: 512 characters, at most 511\n"},
        {{},
         {"PELLORA_LOCK_FILE=" + tooLong},
         "Lock file path too long: 512 characters, at most 511\n"},
    };
    for (const Case &c : cases) {
        fbtest::Server p;
        ASSERT_TRUE(p.start(names, c.args, c.env));
        ASSERT_NE(p.wait(), -1);
        EXPECT_EQ(p.exitCode(), 255);
        EXPECT_EQ(p.out(), c.message);
        EXPECT_FALSE(fbtest::regionExists(names.shmName));
        EXPECT_FALSE(fbtest::fileExists(names.logFile));
    }
    // -h wins over an over-long -l, as it does after any other option.
    {
        fbtest::Server p;
        ASSERT_TRUE(p.start(names, {"-l", tooLong, "-h"}));
        ASSERT_NE(p.wait(), -1);
        EXPECT_EQ(p.exitCode(), 0);
        EXPECT_EQ(p.out().rfind("\nUsage: ", 0), 0u) << p.out();
        EXPECT_FALSE(fbtest::regionExists(names.shmName));
    }
    // The longest paths that fit must also be usable: the lock file is
    // opened before anything else, so they are real files in nested folders.
    std::string dir = names.dir;
    while (dir.size() < 400) {
        dir += "/" + std::string(std::min<size_t>(200, 400 - dir.size()), 'd');
        mkdir(dir.c_str(), 0755);
    }
    const std::string logFits = dir + "/" + std::string(510 - dir.size(), 'g');
    const std::string lockFits = dir + "/" + std::string(510 - dir.size(), 'k');
    ASSERT_EQ(logFits.size(), 511u);
    Running run("pathfits");
    run.start({"-l", logFits}, {"PELLORA_LOCK_FILE=" + lockFits});
    EXPECT_NE(
        run.server.out().find("logfile = " + logFits + ", level 2\nlockfile = " + lockFits + "\n"),
        std::string::npos);
    EXPECT_TRUE(fbtest::fileExists(logFits));
    EXPECT_EQ(run.server.stop(), 0);
}

}  // namespace

namespace {

// Real-time mode: granted or refused by the system, the server cycles either
// way and the log says which; a value that is no priority is ignored.
TEST(Cli, RealTimePriorityGrantedOrRefusedTheServerCycles) {
    const struct {
        const char *value;
        const char *logged;  // one of these '|'-separated texts
    } cases[] = {{"20", "SCHED_FIFO priority 20|real-time priority 20 refused"},
                 {"100", "is not a priority from 1 to 99: ignored"},
                 {"x", "is not a priority from 1 to 99: ignored"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        Running run("realtime");
        run.start({"-i", "20"}, {std::string("PELLORA_RT_PRIORITY=") + c.value});
        const size_t before = run.board.trace().size();
        EXPECT_TRUE(fbtest::waitUntil([&] { return run.board.trace().size() >= before + 10; }));
        const std::string log = fbtest::readFile(run.names.logFile);
        const std::string texts = c.logged;
        const size_t bar = texts.find('|');
        const bool found = log.find(texts.substr(0, bar)) != std::string::npos ||
                           (bar != std::string::npos &&
                            log.find(texts.substr(bar + 1)) != std::string::npos);
        EXPECT_TRUE(found) << log;
        EXPECT_EQ(run.server.stop(), 0);
    }
}

}  // namespace

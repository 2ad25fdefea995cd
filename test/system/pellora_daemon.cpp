// pellora's daemon mode, its lock file against second instances, and its
// console on a real terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exec_wrapper.h"
#include "ioshare.h"
#include "pty_pair.h"
#include "server_harness.h"

namespace {

using fbtest::BoardSim;
using fbtest::Server;
using fbtest::TestNames;

// Fields 6 (session) and 7 (controlling terminal) of /proc/<pid>/stat, and
// the state letter; false once the process is gone.
bool procStat(pid_t pid, char *state, long *session, long *tty) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream rest(text.substr(close + 2));
    long ppid = 0, pgrp = 0;
    rest >> *state >> ppid >> pgrp >> *session >> *tty;
    return static_cast<bool>(rest);
}

bool gone(pid_t pid) {
    char state = 0;
    long session = 0, tty = 0;
    return !procStat(pid, &state, &session, &tty) || state == 'Z';
}

pid_t lockHolder(const std::string &lockFile) {
    const std::string text = fbtest::readFile(lockFile);
    const auto end = text.find('\0');
    if (end == std::string::npos || end + 1 != text.size()) return -1;
    return static_cast<pid_t>(std::atol(text.c_str()));
}

int count482(const BoardSim &board) {
    int n = 0;
    for (const auto &t : board.trace()) n += t.function == 3 && t.address == 482;
    return n;
}

TEST(PelloraDaemon, DetachesHoldsTheLockAndStopsInOrder) {
    TestNames names("daemon");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    Server parent;
    ASSERT_TRUE(parent.start(names, {"-d"}));
    ASSERT_NE(parent.wait(5000), -1) << "the parent ends at once";
    EXPECT_EQ(parent.exitCode(), 0);

    pid_t pid = -1;
    ASSERT_TRUE(fbtest::waitUntil([&] { return (pid = lockHolder(names.lockFile)) > 0; }))
        << "lock file holds the pid in decimal and one zero byte";
    EXPECT_NE(pid, parent.pid());
    char state = 0;
    long session = 0, tty = -1;
    ASSERT_TRUE(procStat(pid, &state, &session, &tty));
    EXPECT_EQ(session, pid) << "a session of its own";
    EXPECT_EQ(tty, 0) << "no controlling terminal";
    EXPECT_TRUE(fbtest::regionExists(names.shmName));

    // SIGHUP, a rotation's signal, reopens the log and nothing more.
    ASSERT_EQ(kill(pid, SIGHUP), 0);
    ASSERT_TRUE(fbtest::waitUntil([&] {
        return fbtest::readFile(names.logFile).find("log file reopened") != std::string::npos;
    }));
    EXPECT_FALSE(gone(pid));
    const ioshareHealth *health = ioshare_health_open(names.shmName.c_str());
    ASSERT_NE(health, nullptr);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    ASSERT_TRUE(fbtest::waitUntil([&] { return gone(pid); }, 10000));
    EXPECT_FALSE(fbtest::regionExists(names.shmName)) << "region unlinked at the orderly stop";
    ioshareHealth h{};
    EXPECT_EQ(ioshare_health_read(health, &h), 0);
    EXPECT_EQ(h.state, static_cast<uint32_t>(IOSHARE_STATE_STOPPED));
    ioshare_health_close(health);
    EXPECT_NE(fbtest::readFile(names.logFile).find("Stop Share Memory I/O Server"),
              std::string::npos);
}

class SecondInstance : public ::testing::TestWithParam<bool> {};

// A second start, interactive or daemon, is refused at the lock before it
// clears the running server's region, empties its log or talks to its board.
TEST_P(SecondInstance, IsRefusedWithoutDisturbingTheFirst) {
    const bool daemon = GetParam();
    TestNames names(daemon ? "second-d" : "second-i");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    Server first;
    ASSERT_TRUE(first.start(names));
    ASSERT_TRUE(first.waitReady());
    fbtest::RegionMap region(names.shmName);
    ASSERT_TRUE(region.ok());
    pthread_mutex_lock(&region->mutex);
    region->auxArea[7] = 0x5A;  // a client's own mark
    pthread_mutex_unlock(&region->mutex);
    const std::string logBefore = fbtest::readFile(names.logFile);
    const int idReads = count482(board);

    Server second;
    ASSERT_TRUE(
        second.start(names, daemon ? std::vector<std::string>{"-d"} : std::vector<std::string>{}));
    ASSERT_NE(second.wait(5000), -1);
    EXPECT_EQ(second.exitCode(), 255);
    EXPECT_NE(second.out().find("Create lockfile " + names.lockFile + " failed"), std::string::npos)
        << second.out();

    EXPECT_TRUE(first.running());
    EXPECT_EQ(region->auxArea[7], 0x5A);
    EXPECT_EQ(region->boardId, 0x0C2A);
    EXPECT_EQ(fbtest::readFile(names.logFile).substr(0, logBefore.size()), logBefore);
    EXPECT_EQ(count482(board), idReads) << "the board was not asked again";
    EXPECT_EQ(lockHolder(names.lockFile), first.pid());
    EXPECT_EQ(first.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, SecondInstance, ::testing::Bool());

TEST(PelloraLock, StaleLockOfAKilledServerIsTakenOver) {
    TestNames names("stale");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    {
        Server killed;
        ASSERT_TRUE(killed.start(names));
        ASSERT_TRUE(killed.waitReady());
        killed.signal(SIGKILL);
        killed.wait();
    }
    ASSERT_TRUE(fbtest::fileExists(names.lockFile));
    Server next;
    ASSERT_TRUE(next.start(names));
    ASSERT_TRUE(next.waitReady());
    EXPECT_TRUE(fbtest::waitUntil([&] { return lockHolder(names.lockFile) == next.pid(); }));
    EXPECT_EQ(next.stop(), 0);
}

TEST(PelloraLock, UnopenableLockFileRefusesTheStart) {
    TestNames names("nolock");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    const std::string lock = names.path("missing-dir/pellora.pid");
    Server server;
    ASSERT_TRUE(server.start(names, {}, {"PELLORA_LOCK_FILE=" + lock}));
    ASSERT_NE(server.wait(5000), -1);
    EXPECT_EQ(server.exitCode(), 255);
    EXPECT_NE(server.out().find("Lockfile " + lock + " open failed"), std::string::npos)
        << server.out();
    EXPECT_FALSE(fbtest::regionExists(names.shmName));
}

// pellora with a pseudo-terminal as its terminal.
struct TerminalServer {
    pid_t pid = -1;
    int master = -1;
    std::string seen;

    // `starve` leaves the child too little address space for a thread's
    // stack, so that the refresh thread cannot be created.
    bool start(const TestNames &names, const termios &settings, bool starve = false) {
        termios t = settings;
        std::vector<std::string> argv =
            fbtest::programArgv(fbtest::programPath("pellora"), {"-l", names.logFile});
        std::vector<char *> cargv = fbtest::cArgv(argv);
        pid = forkpty(&master, nullptr, &t, nullptr);
        if (pid < 0) return false;
        if (pid == 0) {
            setenv("PELLORA_SHM_NAME", names.shmName.c_str(), 1);
            setenv("PELLORA_LOCK_FILE", names.lockFile.c_str(), 1);
            setenv("FIELDBUS_COM1", names.boardLink.c_str(), 1);
            if (starve) {
                const rlimit stack{1L << 30, 1L << 30};
                const rlimit space{512L << 20, 512L << 20};
                setrlimit(RLIMIT_STACK, &stack);
                setrlimit(RLIMIT_AS, &space);
            }
            execv(cargv[0], cargv.data());
            _exit(127);
        }
        return true;
    }
    bool waitFor(const std::string &text, int ms = 5000) {
        return fbtest::waitUntil(
            [&] {
                const auto got = fbtest::readFor(master, 4096, 20);
                seen.append(got.begin(), got.end());
                return seen.find(text) != std::string::npos;
            },
            ms);
    }
    int exitStatus() {
        int status = 0;
        fbtest::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    ~TerminalServer() {
        if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (master >= 0) close(master);
    }
};

termios cookedTerminal() {
    termios cooked{};
    int m = -1, sl = -1;  // a new pty's own defaults: canonical, echo, CR to NL
    if (openpty(&m, &sl, nullptr, nullptr, nullptr) == 0) {
        tcgetattr(sl, &cooked);
        close(sl);
        close(m);
    }
    return cooked;
}

class Console : public ::testing::TestWithParam<bool> {};

// The console on a real terminal: echo, help, exit or SIGTERM, and the
// terminal's settings back exactly as they were.
TEST_P(Console, ServesCommandsAndRestoresTheTerminal) {
    const bool bySignal = GetParam();
    TestNames names(bySignal ? "console-t" : "console-x");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    const termios cooked = cookedTerminal();
    ASSERT_NE(cooked.c_lflag & ICANON, 0u);
    TerminalServer server;
    ASSERT_TRUE(server.start(names, cooked));
    ASSERT_TRUE(server.waitFor("Share memory I/O Server>"));
    termios during{};
    ASSERT_EQ(tcgetattr(server.master, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);

    fbtest::writeAll(server.master, "help\r", 5);
    EXPECT_TRUE(server.waitFor("help : Help information")) << server.seen;
    EXPECT_NE(server.seen.find("Share memory I/O Server>help"), std::string::npos)
        << "typed bytes echoed";
    fbtest::writeAll(server.master, "bogus\r", 6);
    EXPECT_TRUE(server.waitFor("command bogus is not recognized !!!")) << server.seen;

    if (bySignal)
        kill(server.pid, SIGTERM);
    else
        fbtest::writeAll(server.master, "exit\r", 5);
    EXPECT_TRUE(server.waitFor("Stop Share Memory I/O Server")) << server.seen;
    termios after{};
    ASSERT_EQ(tcgetattr(server.master, &after), 0);
    EXPECT_EQ(after.c_lflag, cooked.c_lflag);
    EXPECT_EQ(after.c_iflag, cooked.c_iflag);
    EXPECT_EQ(after.c_cc[VMIN], cooked.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], cooked.c_cc[VTIME]);
    EXPECT_EQ(server.exitStatus(), 0);
    EXPECT_FALSE(fbtest::regionExists(names.shmName));
}

INSTANTIATE_TEST_SUITE_P(ExitAndSigterm, Console, ::testing::Bool());

class ConsoleStalled : public ::testing::TestWithParam<bool> {};

// A Ctrl-S at the console, then a paste of commands whose answers the
// terminal is never read for: "exit" (after the paste) or SIGTERM still
// stop the server in order.
TEST_P(ConsoleStalled, CtrlSAndAFullTerminalCannotHoldTheServer) {
    const bool bySignal = GetParam();
    TestNames names(bySignal ? "stalled-t" : "stalled-x");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    TerminalServer server;
    ASSERT_TRUE(server.start(names, cookedTerminal()));
    ASSERT_TRUE(server.waitFor("Share memory I/O Server>"));
    termios during{};
    ASSERT_EQ(tcgetattr(server.master, &during), 0);
    EXPECT_EQ(during.c_iflag & IXON, 0u) << "output flow control off";

    std::string paste = "\x13\r";                      // Ctrl-S, then Enter: an unknown line
    for (int i = 0; i < 1500; ++i) paste += "help\r";  // far more answer than the terminal holds
    if (!bySignal) paste += "exit\r";
    std::thread typist([&] {
        try {
            fbtest::writeAll(server.master, paste.data(), paste.size());
        } catch (const std::exception &) {
            // the server ended before the last bytes were typed
        }
    });
    if (bySignal) {
        typist.join();
        kill(server.pid, SIGTERM);
    }
    EXPECT_EQ(server.exitStatus(), 0) << "the server stopped, nobody reading its terminal";
    if (!bySignal) typist.join();
    EXPECT_FALSE(fbtest::regionExists(names.shmName));
}

INSTANTIATE_TEST_SUITE_P(ExitAndSigterm, ConsoleStalled, ::testing::Bool());

// A datagram socket standing in for the service manager.
struct Manager {
    int fd = -1;
    std::string path;
    explicit Manager(const std::string &where) : path(where) {
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            throw std::runtime_error("bind");
    }
    ~Manager() { close(fd); }
    // The next notice within `ms`, with the time it came; "" when none.
    std::string next(int ms, long long *when = nullptr) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return "";
        char buf[512];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (when != nullptr) *when = fbtest::monoMs();
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    // Waits for a notice starting with `prefix`; the time it came, or -1.
    long long waitFor(const std::string &prefix, int ms) {
        const long long end = fbtest::monoMs() + ms;
        for (long long now; (now = fbtest::monoMs()) < end;) {
            long long when = 0;
            if (next(static_cast<int>(end - now), &when).rfind(prefix, 0) == 0) return when;
        }
        return -1;
    }
};

// Ready once the board is known and the cycle runs, a status line with the
// board, and the watchdog's notice only while cycles complete: a client
// holding the mutex stalls the cycle and the notices stop, until it lets go.
TEST(ServiceManager, ReadyStatusAndWatchdogWhileCyclesComplete) {
    TestNames names("notify");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    Manager manager(names.path("notify"));
    Server server;
    ASSERT_TRUE(server.start(names, {"-i", "20"},
                             {"NOTIFY_SOCKET=" + manager.path, "WATCHDOG_USEC=1000000"}));
    const std::string ready = manager.next(10000);
    EXPECT_EQ(ready.rfind("READY=1\nSTATUS=board 0C2A, ", 0), 0u) << ready;
    ASSERT_NE(manager.waitFor("WATCHDOG=1", 5000), -1);
    ASSERT_NE(manager.waitFor("WATCHDOG=1", 5000), -1);

    fbtest::RegionMap region(names.shmName);
    ASSERT_TRUE(region.ok());
    ASSERT_EQ(pthread_mutex_lock(&region->mutex), 0);
    const long long held = fbtest::monoMs();
    long long lastPing = held;
    for (long long when = 0; fbtest::monoMs() < held + 4000;) {
        if (manager.next(100, &when) == "WATCHDOG=1") lastPing = when;
    }
    pthread_mutex_unlock(&region->mutex);
    EXPECT_LT(lastPing - held, 2500) << "notices went on while the cycle stood still";
    EXPECT_NE(manager.waitFor("WATCHDOG=1", 5000), -1) << "notices resume with the cycle";
    EXPECT_NE(manager.waitFor("STATUS=board 0C2A", 10000), -1);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(manager.waitFor("STOPPING=1", 2000), -1);
}

// The watchdog's SIGABRT ends the server like any process, although the
// server catches the C library's own aborts inside its calls on the mutex.
TEST(ServiceManager, WatchdogAbortEndsTheServer) {
    TestNames names("abort");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    const rlimit noCore{0, 0};
    ASSERT_EQ(setrlimit(RLIMIT_CORE, &noCore), 0);
    Server server;
    ASSERT_TRUE(server.start(names, {"-i", "20"}));
    ASSERT_TRUE(server.waitReady());
    server.signal(SIGABRT);
    EXPECT_NE(server.wait(), -1);
    EXPECT_EQ(server.termSignal(), SIGABRT) << server.err();
    // What an ended server leaves, cleared as its service's next start would.
    shm_unlink(names.shmName.c_str());
    shm_unlink((names.shmName + IOSHARE_HEALTH_SUFFIX).c_str());
}

// A server still looking for its board is up: ready, and its status says so.
TEST(ServiceManager, ReadyWithoutABoard) {
    TestNames names("notifynb");
    BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "none"}));
    Manager manager(names.path("notify"));
    Server server;
    ASSERT_TRUE(server.start(names, {}, {"NOTIFY_SOCKET=" + manager.path}));
    const std::string ready = manager.next(10000);
    EXPECT_EQ(ready.rfind("READY=1\nSTATUS=no board answering, ", 0), 0u) << ready;
    EXPECT_EQ(server.stop(), 0);
}

// A refresh thread that cannot be created ends the start, and the console
// gives the terminal its settings back on the way out.
TEST(Console, FailedThreadStartRestoresTheTerminal) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers need more address space than the test leaves";
#endif
    if (fbtest::underEmulator()) GTEST_SKIP() << "the emulator reserves its own address space";
    TestNames names("nothread");
    BoardSim board;
    ASSERT_TRUE(board.start(names));
    const termios cooked = cookedTerminal();
    TerminalServer server;
    ASSERT_TRUE(server.start(names, cooked, true));
    EXPECT_TRUE(server.waitFor("error create thread")) << server.seen;
    EXPECT_EQ(server.exitStatus(), 255);
    termios after{};
    ASSERT_EQ(tcgetattr(server.master, &after), 0);
    EXPECT_EQ(after.c_lflag, cooked.c_lflag);
}

}  // namespace

// The daemon step and the lock file, each case in child processes of its own
// (a lock belongs to a process, and the daemon step ends its caller).
#include "daemon.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "log.h"
#include "pty_pair.h"

namespace {

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/daemon-test-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
        path = tmpl;
    }
    ~TempDir() {
        chmod(path.c_str(), 0755);
        const std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "cannot remove %s\n", path.c_str());
    }
    std::string path;
};

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string pidText(pid_t pid) {
    return std::to_string(pid) + std::string(1, '\0');
}

// One line (up to '\n') from fd, or what came of it by the deadline.
std::string readLine(int fd, int timeoutMs = 10000) {
    std::string line;
    const long long end = fbtest::monoMs() + timeoutMs;
    char c = 0;
    while (fbtest::monoMs() < end) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        if (read(fd, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

// Exit status of a child, or -1 when it did not end in time or was killed.
int waitExit(pid_t pid, int timeoutMs = 10000) {
    const long long end = fbtest::monoMs() + timeoutMs;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (fbtest::monoMs() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        poll(nullptr, 0, 5);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Process id of the holder of a write lock on path, 0 when it is free.
pid_t lockHolder(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return 0;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    const int r = fcntl(fd, F_GETLK, &fl);
    close(fd);
    return r == 0 && fl.l_type != F_UNLCK ? fl.l_pid : 0;
}

// A child process running `body`, with its standard output on a pipe and a
// second pipe for reports; `go` is closed by release() to let it end.
class Child {
  public:
    explicit Child(const std::function<int(int report, int go)> &body) {
        int out[2], rep[2], go[2];
        if (pipe(out) || pipe(rep) || pipe(go)) throw std::runtime_error("pipe");
        std::fflush(nullptr);
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            close(rep[0]);
            close(go[1]);
            const int code = body(rep[1], go[0]);
            std::fflush(nullptr);
            _exit(code);
        }
        close(out[1]);
        close(rep[1]);
        close(go[0]);
        out_ = out[0];
        report_ = rep[0];
        go_ = go[1];
    }
    ~Child() {
        release();
        if (pid > 0) waitExit(pid, 5000);
        close(out_);
        close(report_);
    }
    void proceed() {
        if (write(go_, "g", 1) != 1) ADD_FAILURE() << "child gone";
    }
    void release() {
        if (go_ >= 0) close(go_);
        go_ = -1;
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    std::string report() { return readLine(report_); }
    // Everything written on standard output, once every writer has ended.
    std::string output() {
        const auto all = fbtest::readFor(out_, 1 << 20, 10000);
        return std::string(all.begin(), all.end());
    }
    int finish() {
        const int status = waitExit(pid);
        pid = -1;
        return status;
    }

    pid_t pid = -1;

  private:
    int out_ = -1;
    int report_ = -1;
    int go_ = -1;
};

void sendReport(int fd, const std::string &line) {
    const std::string l = line + "\n";
    if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(4);
}

// Blocks until the test says go on (proceed() or release()).
void waitGo(int go) {
    char c;
    if (read(go, &c, 1) < 0) _exit(5);
}

std::string retAndPid(int ret) {
    return std::to_string(ret) + " " + std::to_string(getpid());
}

// A holder that takes the lock in interactive mode and keeps it until released.
Child holder(const std::string &lock) {
    return Child([lock](int report, int go) {
        sendReport(report, retAndPid(initDaemon(0, lock.c_str())));
        waitGo(go);
        return 0;
    });
}

TEST(Daemon, InteractiveLockHoldsPidAndOneZeroByte) {
    TempDir dir;
    const std::string lock = dir.path + "/x.pid";
    Child h = holder(lock);
    ASSERT_EQ(h.report(), "0 " + std::to_string(h.pid));
    EXPECT_EQ(readFile(lock), pidText(h.pid));
    EXPECT_EQ(lockHolder(lock), h.pid);
    struct stat st {};
    ASSERT_EQ(stat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u & ~0022u) << "created 0644 (less the umask)";
    const pid_t pid = h.pid;
    h.release();
    EXPECT_EQ(h.finish(), 0);
    EXPECT_EQ(readFile(lock), pidText(pid)) << "the file outlives the server";
}

enum class Second { interactive, daemon, claim };

void PrintTo(Second s, std::ostream *os) {
    *os << (s == Second::interactive ? "interactive" : s == Second::daemon ? "daemon" : "claim");
}

class DaemonSecondInstance : public testing::TestWithParam<Second> {};

TEST_P(DaemonSecondInstance, IsRefusedAndLeavesTheFileAlone) {
    TempDir dir;
    const std::string lock = dir.path + "/second.pid";
    Child h = holder(lock);
    ASSERT_EQ(h.report(), "0 " + std::to_string(h.pid));

    const Second kind = GetParam();
    Child second([&](int report, int) {
        int ret = 0;
        if (kind == Second::claim) {
            ret = claimLockFile(lock.c_str());
        } else {
            ret = initDaemon(kind == Second::daemon, lock.c_str());
        }
        sendReport(report, std::to_string(ret));
        return 7;
    });
    EXPECT_EQ(second.report(), "-1");
    EXPECT_EQ(second.output(), "\nCreate lockfile " + lock + " failed\nLockfile " + lock +
                                   " is held by process " + std::to_string(h.pid) +
                                   ": a server runs already\n");
    // In daemon mode the parent has already ended with 0 by the time its
    // child is refused; otherwise the refused process itself goes on.
    EXPECT_EQ(second.finish(), kind == Second::daemon ? 0 : 7);
    EXPECT_EQ(readFile(lock), pidText(h.pid));
    EXPECT_EQ(lockHolder(lock), h.pid);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DaemonSecondInstance,
                         testing::Values(Second::interactive, Second::daemon, Second::claim),
                         [](const auto &info) {
                             std::ostringstream s;
                             PrintTo(info.param, &s);
                             return s.str();
                         });

enum class Stale { killedHolder, longerLeftover };

void PrintTo(Stale s, std::ostream *os) {
    *os << (s == Stale::killedHolder ? "killed holder" : "leftover");
}

class DaemonStaleFile : public testing::TestWithParam<Stale> {};

TEST_P(DaemonStaleFile, IsTakenOverAndRewritten) {
    TempDir dir;
    const std::string lock = dir.path + "/stale.pid";
    if (GetParam() == Stale::killedHolder) {
        Child old = holder(lock);
        ASSERT_EQ(old.report(), "0 " + std::to_string(old.pid));
        kill(old.pid, SIGKILL);
        EXPECT_EQ(old.finish(), -1);
    } else {
        std::ofstream(lock, std::ios::binary) << std::string("4194303999999") + '\0' + "leftover";
    }
    Child h = holder(lock);
    ASSERT_EQ(h.report(), "0 " + std::to_string(h.pid));
    EXPECT_EQ(readFile(lock), pidText(h.pid)) << "emptied before the id is written";
}

INSTANTIATE_TEST_SUITE_P(Files, DaemonStaleFile,
                         testing::Values(Stale::killedHolder, Stale::longerLeftover),
                         [](const auto &info) {
                             return std::string(info.param == Stale::killedHolder
                                                    ? "KilledHolder"
                                                    : "LongerLeftover");
                         });

struct OpenCase {
    const char *name;
    int mode;  // 0 interactive, 1 daemon, 2 claim
    bool unwritableDir;
    bool link;  // the path is a symbolic link to an existing file
};

void PrintTo(const OpenCase &c, std::ostream *os) {
    *os << c.name;
}

class DaemonOpenFailure : public testing::TestWithParam<OpenCase> {};

// The open fails before any fork: the calling process itself gets -1.
TEST_P(DaemonOpenFailure, ReportsTheFileAndFails) {
    TempDir dir;
    std::string lock = dir.path + "/missing/x.pid";
    if (GetParam().unwritableDir) {
        lock = dir.path + "/ro/x.pid";
        ASSERT_EQ(mkdir((dir.path + "/ro").c_str(), 0555), 0);
        ASSERT_EQ(chmod(dir.path.c_str(), 0755), 0);
    }
    const OpenCase c = GetParam();
    const std::string target = dir.path + "/target";
    if (c.link) {
        lock = dir.path + "/link.pid";
        std::ofstream(target) << "keep";
        ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
    }
    Child child([&](int report, int) {
        // Permissions do not stop root: run as an ordinary user then.
        if (c.unwritableDir && geteuid() == 0) {
            const passwd *nobody = getpwnam("nobody");
            if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
                return 9;
        }
        const int ret =
            c.mode == 2 ? claimLockFile(lock.c_str()) : initDaemon(c.mode, lock.c_str());
        sendReport(report, retAndPid(ret));
        return 0;
    });
    EXPECT_EQ(child.report(), "-1 " + std::to_string(child.pid));
    EXPECT_EQ(child.output(),
              "Lockfile " + lock + " open failed\n" +
                  (c.link ? "Lockfile " + lock + " is a symbolic link: refused\n" : ""));
    EXPECT_EQ(child.finish(), 0);
    if (c.link) {
        EXPECT_EQ(readFile(target), "keep") << "the link's target is left alone";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DaemonOpenFailure,
                         testing::Values(OpenCase{"MissingDirInteractive", 0, false, false},
                                         OpenCase{"MissingDirDaemon", 1, false, false},
                                         OpenCase{"UnwritableDirInteractive", 0, true, false},
                                         OpenCase{"UnwritableDirDaemon", 1, true, false},
                                         OpenCase{"UnwritableDirClaim", 2, true, false},
                                         OpenCase{"SymlinkInteractive", 0, false, true},
                                         OpenCase{"SymlinkDaemon", 1, false, true},
                                         OpenCase{"SymlinkClaim", 2, false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Daemon, NullOrEmptyPathFailsSilently) {
    Child child([](int report, int) {
        std::string r;
        for (const char *path : {static_cast<const char *>(nullptr), ""}) {
            r += std::to_string(initDaemon(0, path)) + std::to_string(initDaemon(1, path)) +
                 std::to_string(claimLockFile(path));
        }
        sendReport(report, retAndPid(0) + " " + r);
        return 0;
    });
    EXPECT_EQ(child.report(), "0 " + std::to_string(child.pid) + " -1-1-1-1-1-1");
    EXPECT_EQ(child.output(), "");
    EXPECT_EQ(child.finish(), 0);
}

// What the daemon finds about itself, one report line. (It must not open the
// lock file: closing any descriptor of it would drop its lock.)
std::string daemonState() {
    char cwd[256] = "";
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    const mode_t mask = umask(022);
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
    std::ostringstream s;
    s << "sid=" << (getsid(0) == getpid()) << " pgrp=" << (getpgrp() == getpid())
      << " tty=" << (tty >= 0) << " std=" << isatty(0) << isatty(1) << isatty(2) << " cwd=" << cwd
      << " umask=" << mask;
    return s.str();
}

// Started from a shell whose mask is 0, the daemon still denies group and
// others writing (022, printed in decimal).
constexpr const char *kDetached = "sid=1 pgrp=1 tty=0 std=000 cwd=/ umask=18";

// The would-be daemon starts as a session leader on a terminal of its own,
// so that detaching from it is visible. The test keeps `master` open.
pid_t startOnTerminal(int &master, const std::function<int()> &body) {
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(master);
        if (login_tty(slave) != 0) _exit(2);
        _exit(body());
    }
    close(slave);
    return pid;
}

class DaemonMode : public testing::TestWithParam<int> {};

// The parent ends with 0 while the daemon runs on, detached, holding the lock.
TEST_P(DaemonMode, ParentExitsAtOnceAndChildRunsDetached) {
    const int logLevel = GetParam();
    TempDir dir;
    const std::string lock = dir.path + "/d.pid";
    std::string logPath = dir.path + "/d.log";
    int rep[2], go[2];
    ASSERT_EQ(pipe(rep), 0);
    ASSERT_EQ(pipe(go), 0);
    int master = -1;
    const pid_t parent = startOnTerminal(master, [&] {
        close(rep[0]);
        close(go[1]);
        if (open("/dev/tty", O_RDWR | O_NOCTTY) < 0) return 3;  // must start on a terminal
        initLog(logPath.data(), 0, logLevel, "T");
        umask(0);
        const int ret = initDaemon(1, lock.c_str());
        sendReport(rep[1],
                   std::to_string(ret) + " " + std::to_string(getpid()) + " " + daemonState());
        waitGo(go[0]);
        return 0;
    });
    close(rep[1]);
    close(go[0]);

    // The parent's status comes while the daemon is still waiting for `go`.
    EXPECT_EQ(waitExit(parent), 0);
    const std::string line = readLine(rep[0]);
    const size_t space = line.find(' ', line.find(' ') + 1);
    ASSERT_NE(space, std::string::npos) << line;
    const pid_t daemonPid = std::atoi(line.c_str() + line.find(' ') + 1);
    EXPECT_EQ(line.substr(0, 2), "0 ");
    EXPECT_NE(daemonPid, parent);
    EXPECT_EQ(line.substr(space + 1), kDetached);
    EXPECT_EQ(kill(daemonPid, 0), 0) << "the daemon runs on after its parent's end";
    EXPECT_EQ(lockHolder(lock), daemonPid);
    EXPECT_EQ(readFile(lock), pidText(daemonPid));

    const std::string log = readFile(logPath);
    const bool logged = log.find("[DEBUG1] ") != std::string::npos &&
                        log.find(" : Parent exit\n") != std::string::npos;
    EXPECT_EQ(logged, logLevel >= 4) << log;

    close(go[1]);
    close(rep[0]);
    close(master);
    const long long gone = fbtest::monoMs() + 10000;
    while (lockHolder(lock) != 0 && fbtest::monoMs() < gone) poll(nullptr, 0, 5);
    EXPECT_EQ(lockHolder(lock), 0);
}

INSTANTIATE_TEST_SUITE_P(LogLevels, DaemonMode, testing::Values(3, 4));

// The early claim and the daemon step of one process do not refuse each
// other; the claim keeps others out in between; releasing frees both.
class DaemonClaim : public testing::TestWithParam<int> {};

TEST_P(DaemonClaim, ThenInitDaemonTakesTheLockOver) {
    const int daemonFlag = GetParam();
    TempDir dir;
    const std::string lock = dir.path + "/c.pid";
    std::ofstream(lock, std::ios::binary) << "old";
    // Repeated: a claim still held at the fork would refuse the child only
    // when the parent has not ended yet.
    for (int round = 0; round < (daemonFlag ? 20 : 1); ++round) {
        Child first([&](int report, int go) {
            sendReport(report, retAndPid(claimLockFile(lock.c_str())));
            waitGo(go);
            sendReport(report, retAndPid(initDaemon(daemonFlag, lock.c_str())));
            waitGo(go);
            releaseLockFile();
            sendReport(report, "released");
            waitGo(go);
            return 0;
        });
        ASSERT_EQ(first.report(), "0 " + std::to_string(first.pid));
        EXPECT_EQ(readFile(lock), round ? "" : "old") << "the claim writes nothing";
        EXPECT_EQ(lockHolder(lock), first.pid);
        if (round == 0) {
            Child other([&](int report, int) {
                sendReport(report, std::to_string(initDaemon(0, lock.c_str())));
                return 0;
            });
            EXPECT_EQ(other.report(), "-1");
            EXPECT_EQ(other.finish(), 0);
        }
        first.proceed();
        const std::string after = first.report();
        ASSERT_EQ(after.substr(0, 2), "0 ") << "round " << round;
        const pid_t owner = std::atoi(after.c_str() + 2);
        EXPECT_EQ(owner == first.pid, daemonFlag == 0);
        EXPECT_EQ(lockHolder(lock), owner);
        EXPECT_EQ(readFile(lock), pidText(owner));
        // The stop's last step lets go of the lock while the process lives.
        first.proceed();
        EXPECT_EQ(first.report(), "released");
        EXPECT_EQ(lockHolder(lock), 0);
        EXPECT_EQ(readFile(lock), pidText(owner));
        first.release();
        EXPECT_EQ(first.finish(), 0);
        // The daemon ends on its own: wait for its lock to go.
        const long long end = fbtest::monoMs() + 10000;
        while (lockHolder(lock) != 0 && fbtest::monoMs() < end) poll(nullptr, 0, 5);
        std::ofstream(lock, std::ios::binary | std::ios::trunc);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DaemonClaim, testing::Values(0, 1));

}  // namespace

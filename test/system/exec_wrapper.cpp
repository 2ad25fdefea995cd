// Tests start the project's programs from FIELDBUS_BIN_DIR and rely on the
// started pid being the program: its exit status, its signal handlers and its
// output must be those of the program, in a native build and in a cross build
// where it runs under the emulator. This binary plays the program itself when
// FBTEST_CHILD_ROLE is set.
#include "exec_wrapper.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pty_pair.h"

extern char **environ;

namespace {

constexpr const char *kSelf = FIELDBUS_BIN_DIR "/system_exec_wrapper";
constexpr int kTermExit = 42;

void onTerm(int) {
    _exit(kTermExit);
}

// Runs before GoogleTest's main when started as a child; never returns then.
int childRole() {
    const char *role = std::getenv("FBTEST_CHILD_ROLE");
    if (role == nullptr) return 0;
    if (std::strcmp(role, "print") == 0) {
        std::printf("child-output %d\n", static_cast<int>(sizeof(void *)));
        std::fflush(stdout);
        _exit(7);
    }
    if (std::strcmp(role, "wait") == 0) {
        std::signal(SIGTERM, onTerm);
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;) pause();
    }
    _exit(99);
}
[[maybe_unused]] const int kRole = childRole();

int waitStatus(pid_t pid) {
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

// A started child; one that a failed assertion left running is killed.
struct Child {
    pid_t pid = -1;
    int out = -1;  // read end of the child's standard output
    int reap() {
        const int status = waitStatus(pid);
        pid = -1;
        return status;
    }
    ~Child() {
        if (out >= 0) close(out);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitStatus(pid);
        }
    }
};

void startSelf(const char *role, Child &c) {
    std::vector<std::string> argv = fbtest::programArgv(kSelf);
    std::vector<char *> cargv = fbtest::cArgv(argv);
    std::vector<std::string> env{std::string("FBTEST_CHILD_ROLE=") + role};
    for (char **e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    std::vector<char *> cenv = fbtest::cArgv(env);
    int fds[2];
    if (pipe(fds) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(fds[1]);
    c.pid = pid;
    c.out = fds[0];
}

// Reads the child's output until `want` appears, end of file, or 30 s (the
// emulator is slow to start).
std::string readUntil(int fd, const std::string &want) {
    std::string got;
    char buf[256];
    const long long deadline = fbtest::monoMs() + 30000;
    while (got.find(want) == std::string::npos && fbtest::monoMs() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST(ExecWrapper, ChildKeepsItsExitStatusAndOutput) {
    Child c;
    startSelf("print", c);
    ASSERT_GT(c.pid, 0);
    const std::string out = readUntil(c.out, "\n");
    // The child is built for the same target as this test.
    EXPECT_EQ(out, "child-output " + std::to_string(sizeof(void *)) + "\n");
    const int status = c.reap();
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(ExecWrapper, SignalsReachTheProgramItself) {
    struct Case {
        int sig;
        bool handled;
    };
    for (const Case k : {Case{SIGTERM, true}, Case{SIGKILL, false}}) {
        Child c;
        startSelf("wait", c);
        ASSERT_GT(c.pid, 0);
        ASSERT_NE(readUntil(c.out, "ready\n").find("ready\n"), std::string::npos);
        ASSERT_EQ(kill(c.pid, k.sig), 0);
        const int status = c.reap();
        if (k.handled) {
            ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
            EXPECT_EQ(WEXITSTATUS(status), kTermExit);
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
            EXPECT_EQ(WTERMSIG(status), k.sig);
        }
    }
}

TEST(ExecWrapper, ShellCommandLineRunsTheProgram) {
    const std::string cmd = "FBTEST_CHILD_ROLE=print " + fbtest::execWrapperCommand() + kSelf;
    FILE *f = popen(cmd.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, f) != nullptr;
    const int status = pclose(f);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::string(line), "child-output " + std::to_string(sizeof(void *)) + "\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

}  // namespace

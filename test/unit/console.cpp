// The console driven through a real terminal: a child process runs it with a
// pseudo-terminal as its controlling terminal and standard input and output;
// the test types on the master side and reads exactly what the console writes.
#include "console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "pty_pair.h"

namespace {

// The terminal turns "\n" into "\r\n" on output (ONLCR).
std::string onTerm(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string visible(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out.size() > 200 ? out.substr(0, 200) + "..." : out;
}

std::string helpText(const std::string &prompt) {
    return onTerm("\ninteractive console command\nexit : Stop " + prompt +
                  "\nhelp : Help information\n");
}

volatile int childRunFlag = 1;
void stopChild(int) {
    childRunFlag = 0;
}

// Marker written after finiConsole, so the test sees the console's last
// bytes exactly.
constexpr const char *kEnd = "<END>";

// What the child does: the server's run loop around the console, waiting on
// standard input instead of sleeping so that long lines go through quickly.
// Every non-zero result of consoleService is reported as one byte.
[[noreturn]] void runConsole(const char *name, int report) {
    signal(SIGTERM, stopChild);
    initConsole(name);
    while (childRunFlag) {
        pollfd pfd{0, POLLIN, 0};
        poll(&pfd, 1, 20);
        const int result = consoleService(const_cast<int *>(&childRunFlag));
        if (result != 0) {
            const char r = static_cast<char>(result);
            if (write(report, &r, 1) != 1) _exit(3);
        }
    }
    finiConsole();
    std::printf("%s", kEnd);
    std::fflush(stdout);
    _exit(0);
}

class ConsoleChild {
  public:
    explicit ConsoleChild(const char *name) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        tcgetattr(slave_, &before);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::fflush(nullptr);  // nothing of the test's own output may reach the child
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            close(master_);
            if (login_tty(slave_) != 0) _exit(2);
            runConsole(name, fds[1]);
        }
        close(fds[1]);
        report_ = fds[0];
        reader_ = std::thread([this] { readLoop(); });
    }

    ~ConsoleChild() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        stop_ = true;
        reader_.join();
        close(report_);
        close(slave_);
        close(master_);
    }

    void type(const std::string &s) { fbtest::writeAll(master_, s.data(), s.size()); }

    // The next bytes the console writes must be exactly `want`.
    testing::AssertionResult next(const std::string &want, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return out_.size() >= pos_ + want.size(); });
        const std::string got = out_.substr(pos_, want.size());
        if (got != want) {
            return testing::AssertionFailure()
                   << "expected \"" << visible(want) << "\"\n     got \""
                   << visible(out_.substr(pos_)) << "\"";
        }
        pos_ += want.size();
        return testing::AssertionSuccess();
    }

    // Waits for the child's end; its exit status, or -1.
    int finish(int timeoutMs = 10000) {
        const long long end = fbtest::monoMs() + timeoutMs;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (fbtest::monoMs() > end) return -1;
            poll(nullptr, 0, 5);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Everything the child reported, once it has ended.
    std::string reports() {
        std::string all;
        char buf[64];
        ssize_t n;
        while ((n = read(report_, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
        return all;
    }

    void terminate() { kill(pid_, SIGTERM); }
    termios current() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }

    termios before{};

  private:
    void readLoop() {
        while (!stop_) {
            pollfd pfd{master_, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            out_.append(buf, static_cast<size_t>(n));
            cv_.notify_all();
        }
    }

    int master_ = -1;
    int slave_ = -1;
    int report_ = -1;
    pid_t pid_ = -1;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable cv_;
    std::string out_;
    size_t pos_ = 0;
};

void expectSameSettings(const termios &a, const termios &b) {
    EXPECT_EQ(a.c_iflag, b.c_iflag);
    EXPECT_EQ(a.c_oflag, b.c_oflag);
    EXPECT_EQ(a.c_cflag, b.c_cflag);
    EXPECT_EQ(a.c_lflag, b.c_lflag);
    EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
    EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
    EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
}

// Ends a session with "exit" and checks that nothing else was written.
void typeExit(ConsoleChild &c) {
    c.type("exit\r");
    EXPECT_TRUE(c.next("exit" + onTerm("\n") + kEnd));
    EXPECT_EQ(c.finish(), 0);
}

struct PromptCase {
    const char *label;
    const char *name;
    std::string prompt;
};

constexpr const char *kName63 = "N12345678901234567890123456789012345678901234567890123456789012";
constexpr const char *kName64 = "N123456789012345678901234567890123456789012345678901234567890123";

void PrintTo(const PromptCase &c, std::ostream *os) {
    *os << c.label;
}

class ConsolePrompt : public testing::TestWithParam<PromptCase> {};

TEST_P(ConsolePrompt, IsTheNameOrTheDefault) {
    ConsoleChild c(GetParam().name);
    ASSERT_TRUE(c.next(GetParam().prompt + ">"));
    c.type("help\r");
    EXPECT_TRUE(c.next("help" + helpText(GetParam().prompt) + GetParam().prompt + ">"));
    typeExit(c);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ConsolePrompt,
    testing::Values(PromptCase{"Null", nullptr, "KD3V"},
                    PromptCase{"Server", "Share memory I/O Server", "Share memory I/O Server"},
                    PromptCase{"Empty", "", ""}, PromptCase{"Length63", kName63, kName63},
                    PromptCase{"Length64", kName64, "KD3V"}),
    [](const auto &info) { return std::string(info.param.label); });

enum class Stop { byExit, bySigterm };

void PrintTo(Stop s, std::ostream *os) {
    *os << (s == Stop::byExit ? "exit" : "SIGTERM");
}

class ConsoleTerminal : public testing::TestWithParam<Stop> {};

TEST_P(ConsoleTerminal, RawWhileRunningAndRestoredExactlyAtTheEnd) {
    ConsoleChild c("T");
    ASSERT_TRUE(c.next("T>"));

    const termios during = c.current();
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(during.c_lflag | ICANON | ECHO | ISIG, c.before.c_lflag | ICANON | ECHO | ISIG)
        << "only the three local modes change";
    EXPECT_EQ(during.c_cc[VMIN], 0);
    EXPECT_EQ(during.c_cc[VTIME], 0);
    EXPECT_EQ(during.c_iflag & IXON, 0u)
        << "output flow control off: Ctrl-S cannot stop the server";
    EXPECT_EQ(during.c_iflag | IXON, c.before.c_iflag | IXON)
        << "input translation (CR to LF) stays";
    EXPECT_EQ(during.c_oflag, c.before.c_oflag);

    if (GetParam() == Stop::byExit) {
        typeExit(c);
    } else {
        c.terminate();
        EXPECT_TRUE(c.next(onTerm("\n") + kEnd));
        EXPECT_EQ(c.finish(), 0);
    }
    expectSameSettings(c.current(), c.before);
    EXPECT_EQ(c.reports(), "");
}

INSTANTIATE_TEST_SUITE_P(Stops, ConsoleTerminal, testing::Values(Stop::byExit, Stop::bySigterm),
                         [](const auto &info) {
                             return std::string(info.param == Stop::byExit ? "Exit" : "Sigterm");
                         });

struct LineCase {
    const char *what;     // also the test's name
    std::string typed;    // before Enter
    std::string echoed;   // what the console echoes of it
    std::string answer;   // after the echo, before the next prompt
    std::string results;  // consoleService results other than 0
};

void PrintTo(const LineCase &c, std::ostream *os) {
    *os << c.what;
}

class ConsoleLine : public testing::TestWithParam<LineCase> {};

TEST_P(ConsoleLine, EchoAnswerAndResult) {
    const LineCase &t = GetParam();
    ConsoleChild c("P");
    ASSERT_TRUE(c.next("P>"));
    c.type(t.typed + "\r");
    EXPECT_TRUE(c.next(t.echoed + t.answer + "P>")) << t.what;
    // The line is gone: the next command is read afresh.
    c.type("help\r");
    EXPECT_TRUE(c.next("help" + helpText("P") + "P>"));
    typeExit(c);
    EXPECT_EQ(c.reports(), t.results) << t.what;
}

std::string unknown(const std::string &line) {
    return onTerm("\ncommand " + line + " is not recognized !!!") + helpText("P");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConsoleLine,
    testing::Values(
        LineCase{"Help", "help", "help", helpText("P"), ""},
        LineCase{"EnterAlone", "", "", onTerm("\n"), ""},
        LineCase{"UnknownWord", "status", "status", unknown("status"), "\xff"},
        LineCase{"CaseMatters", "Help", "Help", unknown("Help"), "\xff"},
        LineCase{"LeadingBlank", " help", " help", unknown(" help"), "\xff"},
        LineCase{"TrailingBlank", "exit ", "exit ", unknown("exit "), "\xff"},
        LineCase{"EscBracketDelDropped", "he\x1b[l\x7fp", "help", helpText("P"), ""},
        LineCase{"ArrowKeyLeavesItsLetter", "\x1b[Ahelp", "Ahelp", unknown("Ahelp"), "\xff"},
        LineCase{"InterruptCharIsAByte", "\x03", "\x03", unknown("\x03"), "\xff"},
        LineCase{"NulIsNoEnter", std::string("exi\0t", 5), "exi^@t", unknown("exi^@t"), "\xff"},
        LineCase{"BackspaceIsStored", "helq\bp", "helq\bp", unknown("helq\bp"), "\xff"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(Console, LineFeedEndsALineLikeEnter) {
    ConsoleChild c("P");
    ASSERT_TRUE(c.next("P>"));
    c.type("help\n");
    EXPECT_TRUE(c.next("help" + helpText("P") + "P>"));
    typeExit(c);
}

TEST(Console, PartLineWaitsForMoreBytes) {
    ConsoleChild c("P");
    ASSERT_TRUE(c.next("P>"));
    c.type("he");
    ASSERT_TRUE(c.next("he"));
    c.type("lp\r");
    EXPECT_TRUE(c.next("lp" + helpText("P") + "P>"));
    typeExit(c);
}

class ConsoleLongLine : public testing::TestWithParam<size_t> {};

TEST_P(ConsoleLongLine, IsCutToItsFirst8191Bytes) {
    std::string line;
    for (size_t i = 0; i < GetParam(); ++i) line += static_cast<char>('a' + i % 26);
    ConsoleChild c("P");
    ASSERT_TRUE(c.next("P>"));
    c.type(line + "\r");
    // Every byte is echoed, also those that overwrite the last position.
    ASSERT_TRUE(c.next(line));
    EXPECT_TRUE(c.next(unknown(line.substr(0, 8191)) + "P>"));
    c.type("help\r");
    EXPECT_TRUE(c.next("help" + helpText("P") + "P>"));
    typeExit(c);
    EXPECT_EQ(c.reports(), "\xff");
}

INSTANTIATE_TEST_SUITE_P(Lengths, ConsoleLongLine, testing::Values(8190, 8191, 8192, 8193, 20000));

// Standard input that is no terminal: a pipe that stays open and empty must
// not stop the run loop.
TEST(Console, PipeWithoutInputDoesNotBlock) {
    int in[2], done[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(done, O_CLOEXEC), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        initConsole("P");
        int flag = 1;
        for (int i = 0; i < 5; ++i) consoleService(&flag);
        if (write(done[1], "D", 1) != 1) _exit(3);
        while (flag) {
            pollfd pfd{0, POLLIN, 0};
            poll(&pfd, 1, 20);
            consoleService(&flag);
        }
        finiConsole();
        _exit(0);
    }
    close(in[0]);
    close(done[1]);
    const auto got = fbtest::readFor(done[0], 1, 10000);
    EXPECT_EQ(got.size(), 1u) << "consoleService blocked on an empty pipe";
    fbtest::writeAll(in[1], "exit\n", 5);
    int status = -1;
    const long long end = fbtest::monoMs() + 10000;
    while (waitpid(pid, &status, WNOHANG) == 0 && fbtest::monoMs() < end) poll(nullptr, 0, 5);
    if (fbtest::monoMs() >= end) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(in[1]);
    close(done[0]);
}

}  // namespace

// quorvat as a user runs it: the real program against a scripted Modbus/TCP
// device on 127.0.0.1; printed values, messages and exit statuses.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "exec_wrapper.h"
#include "pty_pair.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Outcome {
    std::string out;
    int status = -1;  // exit status, or -1 when it had to be killed
};

// Runs quorvat with args; kills it if it has not ended within 10 s.
Outcome quorvat(const std::vector<std::string> &args) {
    auto argv = fbtest::programArgv(FIELDBUS_BIN_DIR "/quorvat", args);
    auto cargv = fbtest::cArgv(argv);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    Outcome r;
    const long long deadline = fbtest::monoMs() + 10000;
    char buf[4096];
    for (;;) {
        pollfd p{pipeFds[0], POLLIN, 0};
        const long long left = deadline - fbtest::monoMs();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = read(pipeFds[0], buf, sizeof buf);
        if (n <= 0) break;
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// A device on 127.0.0.1 that takes one connection, records the request and
// answers with a fixed frame (or stays silent, or hangs up).
struct Device {
    enum Mode { Answer, Silent, HangUp };
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    Bytes request;
    std::atomic<bool> accepted{false};
    std::thread thread;
    Device(Mode mode, Bytes answer = {}) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(lfd, 4);
        socklen_t len = sizeof sa;
        getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
        port = ntohs(sa.sin_port);
        thread = std::thread([this, mode, answer] {
            pollfd p{lfd, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1) return;
            const int c = accept(lfd, nullptr, nullptr);
            accepted = true;
            request = fbtest::readFor(c, 12, 2000);
            if (mode == Answer && !request.empty()) fbtest::writeAll(c, answer);
            if (mode != HangUp) fbtest::readFor(c, 1, 3000);  // until the program closes
            close(c);
        });
    }
    // Waits for the device's one exchange and returns the request it saw.
    const Bytes &finish() {
        if (!thread.joinable()) return request;
        if (!accepted) {  // no program came: connect once so the thread ends
            const int nudge = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(port));
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(nudge, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
            close(nudge);
        }
        thread.join();
        return request;
    }
    ~Device() {
        finish();
        close(lfd);
    }
    std::string portText() const { return std::to_string(port); }
};

// A port on 127.0.0.1 on which nothing listens.
std::string deadPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return std::to_string(ntohs(sa.sin_port));
}

const std::string kUsage =
    "Maruvo oSpan utility v15\n"
    "function : quorvat\n"
    "Send MODBUS/TCP command and wait resopnse from a serial module\n"
    "Usage: quorvat ip tcp_port netid command addr count timeout\n"
    "Example 1:quorvat 192.168.0.1 502 1 1 1 2 100\n"
    "Send command FC01 to the module netid 1 at 192.168.0.1:502 and wait response\n"
    "Example 2:quorvat 192.168.0.1 502 1 3 1 2 100\n"
    "Send command FC03 to the module netid 1 at 192.168.0.1:502 and wait response\n";

TEST(Quorvat, WrongArgumentsPrintTheUsageAndFail) {
    const std::vector<std::vector<std::string>> cases = {
        {"127.0.0.1", "502", "1", "3", "1", "2"},
        {"127.0.0.1", "502", "1", "3", "1", "2", "100", "extra"},
        {"127.0.0.1", "502", "1", "0", "1", "2", "100"},
        {"127.0.0.1", "502", "1", "5", "1", "2", "100"},
        {"127.0.0.1", "502", "1", "x", "1", "2", "100"},
        {"127.0.0.1", "502", "1", "-3", "1", "2", "100"},
        {"127.0.0.1", "99999999", "1", "3", "1", "2", "100"},
        {"127.0.0.1", "65536", "1", "3", "1", "2", "100"},
        {"127.0.0.1", "0", "1", "3", "1", "2", "100"},
        {"127.0.0.1", "-502", "1", "3", "1", "2", "100"},
        {"127.0.0.1", "http", "1", "3", "1", "2", "100"},
        {"127.0.0.1", "502x", "1", "3", "1", "2", "100"},
    };
    for (const auto &args : cases) {
        const Outcome r = quorvat(args);
        EXPECT_EQ(r.out, kUsage) << ::testing::PrintToString(args);
        EXPECT_EQ(r.status, 255);
    }
}

TEST(Quorvat, PrintsTheFirstValueOfEachReadWithoutANewline) {
    struct Case {
        const char *function;
        Bytes request, answer;
        std::string printed;
    };
    const Case cases[] = {
        {"3",
         {0, 0, 0, 0, 0, 6, 1, 3, 0, 1, 0, 2},
         {0, 0, 0, 0, 0, 7, 1, 3, 4, 0x12, 0x34, 0, 0},
         "4660"},
        {"4",
         {0, 0, 0, 0, 0, 6, 1, 4, 0, 1, 0, 2},
         {0, 0, 0, 0, 0, 7, 1, 4, 4, 0xFF, 0xFE, 0, 0},
         "65534"},
        {"1", {0, 0, 0, 0, 0, 6, 1, 1, 0, 1, 0, 2}, {0, 0, 0, 0, 0, 4, 1, 1, 1, 0x01}, "1"},
        {"2", {0, 0, 0, 0, 0, 6, 1, 2, 0, 1, 0, 2}, {0, 0, 0, 0, 0, 4, 1, 2, 1, 0xF3}, "243"},
    };
    for (const Case &c : cases) {
        Device dev(Device::Answer, c.answer);
        const Outcome r = quorvat({"127.0.0.1", dev.portText(), "1", c.function, "1", "2", "1000"});
        EXPECT_EQ(r.out, c.printed) << "function " << c.function;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dev.finish(), c.request);
    }
}

TEST(Quorvat, FailuresReportTheirCodeAndExit255) {
    struct Case {
        const char *name;
        Device::Mode mode;
        Bytes answer;
        std::vector<std::string> tail;  // netid command addr count timeout
        std::string printed;
    };
    const Case cases[] = {
        {"silent device",
         Device::Silent,
         {},
         {"1", "3", "1", "2", "100"},
         "Module at COM1 error 15 !!!\n"},
        {"exception",
         Device::Answer,
         {0, 0, 0, 0, 0, 3, 1, 0x83, 2},
         {"1", "3", "1", "2", "1000"},
         "Module at COM1 return error code 2 !!!\n"},
        {"exception code above 127",
         Device::Answer,
         {0, 0, 0, 0, 0, 3, 1, 0x81, 0x90},
         {"1", "1", "1", "2", "1000"},
         "Module at COM1 return error code 144 !!!\n"},
        {"another protocol",
         Device::Answer,
         {0, 0, 0, 1, 0, 5, 1, 3, 2, 0, 1},
         {"1", "3", "1", "1", "1000"},
         "Module at COM1 error 12 !!!\n"},
        {"hang-up",
         Device::HangUp,
         {},
         {"1", "3", "1", "2", "1000"},
         "Module at COM1 error -1 !!!\n"},
        {"timeout keeps its low 16 bits",
         Device::Silent,
         {},
         {"1", "4", "0", "1", "65636"},
         "Module at COM1 error 15 !!!\n"},
    };
    for (const Case &c : cases) {
        Device dev(c.mode, c.answer);
        std::vector<std::string> args{"127.0.0.1", dev.portText()};
        args.insert(args.end(), c.tail.begin(), c.tail.end());
        const Outcome r = quorvat(args);
        EXPECT_EQ(r.out, c.printed) << c.name;
        EXPECT_EQ(r.status, 255) << c.name;
    }
}

TEST(Quorvat, CountBeyondItsBufferIsRefusedBeforeSending) {
    Device dev(Device::Silent);
    // 513 registers or 8193 coils would not fit the 1024-byte answer buffer.
    EXPECT_EQ(quorvat({"127.0.0.1", dev.portText(), "1", "3", "0", "513", "100"}).out,
              "Module at COM1 error 20 !!!\n");
    EXPECT_TRUE(dev.finish().empty());
    Device dev2(Device::Silent);
    const Outcome r = quorvat({"127.0.0.1", dev2.portText(), "1", "1", "0", "8193", "100"});
    EXPECT_EQ(r.out, "Module at COM1 error 20 !!!\n");
    EXPECT_EQ(r.status, 255);
}

TEST(Quorvat, LargestCountThatFitsIsRead) {
    Bytes answer{0, 0, 0, 0, 0x04, 0x03, 1, 3, 0};  // 512 registers: 1024 data bytes
    answer.resize(9 + 1024, 0);
    answer[9] = 0xAB;
    answer[10] = 0xCD;
    Device dev(Device::Answer, answer);
    const Outcome r = quorvat({"127.0.0.1", dev.portText(), "1", "3", "0", "512", "1000"});
    EXPECT_EQ(r.out, "43981");
    EXPECT_EQ(r.status, 0);
}

TEST(Quorvat, RefusedConnectionAndOverlongAddress) {
    const std::string port = deadPort();
    Outcome r = quorvat({"127.0.0.1", port, "1", "3", "1", "2", "100"});
    EXPECT_EQ(r.out, "connect to 127.0.0.1:" + port + " sock failed!\n");
    EXPECT_EQ(r.status, 255);

    // A listener whose backlog is full never completes the handshake: the
    // time-out bounds the connect as well.
    const int full = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(full, 0), 0);
    socklen_t len = sizeof sa;
    getsockname(full, reinterpret_cast<sockaddr *>(&sa), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        fillers.push_back(c);
    }
    const std::string fullPort = std::to_string(ntohs(sa.sin_port));
    r = quorvat({"127.0.0.1", fullPort, "1", "3", "1", "2", "300"});
    EXPECT_EQ(r.out, "connect to 127.0.0.1:" + fullPort + " sock failed!\n");
    EXPECT_EQ(r.status, 255) << "ended by its time-out, not killed";
    for (int c : fillers) close(c);
    close(full);

    r = quorvat({std::string(64, '1'), "502", "1", "3", "1", "2", "100"});
    EXPECT_EQ(r.out, "ip too long! at most 63 characters\n");
    EXPECT_EQ(r.status, 255);
}

}  // namespace

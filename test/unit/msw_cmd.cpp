// Command strings on COM ports, over a real pseudo-terminal with a scripted
// module on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "msw.h"
#include "pty_pair.h"
#include "sio.h"

namespace {

using fbtest::PtyPair;

constexpr char kPort = 11;
const std::string A123(123, 'A'), A124(124, 'A'), A249(249, 'A'), A250(250, 'A'), A251(251, 'A');

bool waitPending(int slave, int n) {
    for (const long long end = fbtest::monoMs() + 5000; fbtest::monoMs() < end; usleep(500)) {
        int waiting = -1;
        if (ioctl(slave, FIONREAD, &waiting) == 0 && waiting == n) return true;
    }
    return false;
}

std::string readLine(int master) {
    std::string line;
    while (line.empty() || line.back() != '\r') {
        const auto b = fbtest::readFor(master, 1, 5000);
        if (b.empty()) break;
        line += static_cast<char>(b[0]);
    }
    return line;
}

// What the module does: take one command line (or, without one, wait until
// the port has discarded the stale input the test left), hold, then write
// the pieces; each later piece goes out only once the reader has taken the
// previous one and `gapMs` more have passed.
struct Script {
    bool command = true;
    std::vector<std::string> pieces;
    int holdMs = 0;
    int gapMs = 0;
};

class ComCmd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Set_Com_Device(kPort, pty.path.c_str()), 0);
        ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 0), 0);
        // Pure polling first (VMIN 0, VTIME 0), as the raw exchange leaves a
        // port: a call that failed to set its own timer would then come back
        // at once instead of blocking for good.
        WORD unused = 0;
        ASSERT_EQ(Send_Receive(kPort, nullptr, 0, result, 0, 0, &unused), 0);
        std::memset(result, 'X', sizeof result);
    }
    void TearDown() override {
        if (module.joinable()) module.join();
        Close_Com(kPort);
        Set_Com_Device(kPort, nullptr);
        Set_Com_RS485(kPort, 0, 0, 0);
    }
    void play(Script s) {
        module = std::thread([this, s] {
            if (s.command) command = readLine(pty.master);
            if (!s.command) waitPending(pty.slave, 0);
            usleep(static_cast<useconds_t>(s.holdMs) * 1000);
            for (size_t i = 0; i < s.pieces.size(); ++i) {
                if (i > 0 && waitPending(pty.slave, 0))
                    usleep(static_cast<useconds_t>(s.gapMs) * 1000);
                fbtest::writeAll(pty.master, s.pieces[i].data(), s.pieces[i].size());
            }
        });
    }
    void finish() { module.join(); }
    // Stale bytes waiting on the port before a call.
    void stale(const std::string &bytes) {
        fbtest::writeAll(pty.master, bytes.data(), bytes.size());
        ASSERT_TRUE(waitPending(pty.slave, static_cast<int>(bytes.size())));
    }
    // Everything written to the module so far; a marker line written last
    // proves that nothing else went out.
    std::string wire(size_t n) {
        EXPECT_EQ(Send_Cmd(kPort, "z", 0), 0);
        const auto b = fbtest::readFor(pty.master, n + 2, 5000);
        return {b.begin(), b.end()};
    }
    cc_t vtime() {
        termios t{};
        tcgetattr(pty.slave, &t);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        return t.c_cc[VTIME];
    }

    PtyPair pty;
    std::thread module;
    std::string command;
    char result[251];
    WORD wT = 7777;
};

TEST_F(ComCmd, SendCmdLimitsAndLines) {
    const struct {
        std::string cmd;
        WORD cs, code;
        std::string line;
    } cases[] = {{"abc", 1, 0, "abc26\r"},    {"abc", 0, 0, "abc\r"}, {"ab\r\ncd", 0, 0, "ab\r"},
                 {A250, 0, 0, A250 + "\r"},   {A251, 0, 1, ""},       {A251, 1, 1, ""},
                 {A123, 1, 0, A123 + "3B\r"}, {A124, 1, 65535, ""},   {A250, 1, 65535, ""}};
    for (const auto &c : cases) {
        EXPECT_EQ(Send_Cmd(kPort, c.cmd.c_str(), c.cs), c.code) << c.cmd.size() << " cs " << c.cs;
        EXPECT_EQ(wire(c.line.size()), c.line + "z\r") << c.cmd.size() << " cs " << c.cs;
    }
}

TEST_F(ComCmd, BadOrUnopenedPortGivesTwoBeforeAnythingElse) {
    for (const char port : {char(0), char(51), char(200), char(12)}) {
        EXPECT_EQ(Send_Cmd(port, A251.c_str(), 0), 2);
        EXPECT_EQ(Receive_Cmd(port, result, 1, 0), 2);
        EXPECT_EQ(Send_Receive_Cmd(port, A251.c_str(), result, 1, 1, &wT), 2);
        EXPECT_EQ(wT, 7777);
    }
}

TEST_F(ComCmd, SendReceiveRemovesOnlyTheFinalCr) {
    const struct {
        std::string cmd;
        WORD cs;
        std::string answer, wire;
        WORD code;
        std::string got;
        int left = 0;  // bytes after the answer, left in the driver
    } cases[] = {{"abc", 0, "abc\r", "abc\r", 0, "abc"},
                 {"abc", 1, "abc26\r", "abc26\r", 0, "abc26"},
                 {"abc", 1, "abc27\r", "abc26\r", 65535, "abc27\r"},
                 {"abc", 1, "xyz6b\r", "abc26\r", 65535, "xyz6b\r"},
                 {"a\rb", 0, "\r", "a\r", 0, ""},
                 {"q", 1, "\r", "q71\r", 65535, "\r"},
                 {A250, 0, A249 + "\r", A250 + "\r", 0, A249},
                 {"q", 0, A250 + "YZ\r", "q\r", 0, A250, 3},
                 {A123, 1, "okDA\r", A123 + "3B\r", 0, "okDA"}};
    // Every case twice, the second time through an adapter that echoes: the
    // command line comes back first, and is no answer.
    const size_t n = std::size(cases);
    for (size_t k = 0; k < 2 * n; ++k) {
        const auto &c = cases[k % n];
        const bool echo = k >= n;
        if (k == n) {
            ASSERT_EQ(Close_Com(kPort), 0);
            ASSERT_EQ(Set_Com_RS485(kPort, FIELDBUS_RS485_ECHO, 0, 0), 0);
            ASSERT_EQ(Open_Com(kPort, 9600, 8, 0, 0), 0);
        }
        play({true, {(echo ? c.wire : "") + c.answer}});
        EXPECT_EQ(Send_Receive_Cmd(kPort, c.cmd.c_str(), result, 20, c.cs, &wT), c.code);
        finish();
        EXPECT_EQ(command, c.wire);
        EXPECT_EQ(std::string(result), c.got) << c.answer;
        EXPECT_TRUE(waitPending(pty.slave, c.left)) << c.answer;
    }
}

TEST_F(ComCmd, SendReceiveRefusesLongCommandsUnwritten) {
    EXPECT_EQ(Send_Receive_Cmd(kPort, A251.c_str(), result, 1, 0, &wT), 1);
    EXPECT_EQ(wT, 7777);
    EXPECT_EQ(Send_Receive_Cmd(kPort, A124.c_str(), result, 1, 1, &wT), 65535);
    EXPECT_EQ(result[0], '\0');
    EXPECT_EQ(wire(0), "z\r");
}

TEST_F(ComCmd, SilentModuleGivesFifteenAfterTheTimerWithEmptyAnswer) {
    for (const WORD cs : {0, 1}) {
        std::memset(result, 'X', sizeof result);
        const long long start = fbtest::monoMs();
        EXPECT_EQ(Receive_Cmd(kPort, result, 3, cs), 15);
        EXPECT_GE(fbtest::monoMs() - start, 250);
        EXPECT_EQ(result[0], '\0');
        std::memset(result, 'X', sizeof result);
        EXPECT_EQ(Send_Receive_Cmd(kPort, "ping", result, 3, cs, &wT), 15);
        EXPECT_EQ(result[0], '\0');
        EXPECT_GE(wT, 250);
    }
}

TEST_F(ComCmd, PartialLineBeforeSilenceIsKeptTerminated) {
    play({true, {"ab"}});
    EXPECT_EQ(Send_Receive_Cmd(kPort, "ping", result, 2, 0, &wT), 15);
    finish();
    EXPECT_STREQ(result, "ab");
    stale("old");
    play({false, {"abc"}});
    EXPECT_EQ(Receive_Cmd(kPort, result, 2, 1), 15);
    EXPECT_STREQ(result, "abc");
}

TEST_F(ComCmd, SlowByteWithinTheGapIsWaitedFor) {
    play({true, {"ab", "c\r"}, 0, 150});
    EXPECT_EQ(Send_Receive_Cmd(kPort, "ping", result, 20, 0, &wT), 0);
    finish();
    EXPECT_STREQ(result, "abc");
    stale("old");
    play({false, {"abc", "26\r"}, 0, 150});
    EXPECT_EQ(Receive_Cmd(kPort, result, 20, 1), 0);
    EXPECT_STREQ(result, "abc26\r") << "kept as received";
}

TEST_F(ComCmd, ReceiveWithoutChecksumReturnsAfterTheFirstRead) {
    stale("stale\r");
    play({false, {"ab", "c\r"}, 0, 50});
    EXPECT_EQ(Receive_Cmd(kPort, result, 20, 0), 0);
    EXPECT_STREQ(result, "ab") << "stale input must have been discarded";
    finish();
    ASSERT_TRUE(waitPending(pty.slave, 2)) << "the rest stays in the driver";
    EXPECT_EQ(Receive_Cmd(kPort, result, 1, 0), 15) << "and is discarded by the next call";
}

TEST_F(ComCmd, InputWaitingBeforeTheCommandIsDiscarded) {
    stale("stale\r");
    play({true, {"fresh\r"}});
    EXPECT_EQ(Send_Receive_Cmd(kPort, "ping", result, 20, 0, &wT), 0);
    EXPECT_STREQ(result, "fresh");
}

// The answer to a command that timed out comes while the next one would be
// under way: it is waited out and discarded, and the next command gets its
// own answer.
TEST_F(ComCmd, LateAnswerIsNotTakenForTheNextCommand) {
    module = std::thread([this] {
        command = readLine(pty.master);
        usleep(180000);
        fbtest::writeAll(pty.master, "late\r", 5);
        if (readLine(pty.master) == "second\r") fbtest::writeAll(pty.master, "fresh\r", 6);
    });
    EXPECT_EQ(Send_Receive_Cmd(kPort, "first", result, 1, 0, &wT), 15);
    EXPECT_EQ(Send_Receive_Cmd(kPort, "second", result, 20, 0, &wT), 0);
    EXPECT_STREQ(result, "fresh");
}

TEST_F(ComCmd, ReadTimerTakesTheLowByteOfTheTimeOut) {
    for (const WORD timeOut : {10, 300}) {
        stale("old");
        play({false, {"x"}});
        EXPECT_EQ(Receive_Cmd(kPort, result, timeOut, 0), 0);
        finish();
        EXPECT_EQ(vtime(), timeOut & 0xFF) << timeOut;
    }
    EXPECT_EQ(Receive_Cmd(kPort, result, 256, 0), 15);
    EXPECT_EQ(vtime(), 0);
}

TEST_F(ComCmd, ElapsedTimeIsInMilliseconds) {
    play({true, {"ok\r"}, 150});
    const long long start = fbtest::monoMs();
    EXPECT_EQ(Send_Receive_Cmd(kPort, "ping", result, 20, 0, &wT), 0);
    const long long took = fbtest::monoMs() - start;
    EXPECT_GE(wT, 150);
    EXPECT_LE(wT, took + 2);
}

TEST_F(ComCmd, FailedReadOrWriteIsNeverSuccess) {
    const int writeOnly = open(pty.path.c_str(), O_WRONLY | O_NOCTTY);
    const int readOnly = open(pty.path.c_str(), O_RDONLY | O_NOCTTY);
    const int port = _fd[kPort - 1];
    _fd[kPort - 1] = writeOnly;
    EXPECT_EQ(Receive_Cmd(kPort, result, 1, 0), 65535);
    EXPECT_EQ(Receive_Cmd(kPort, result, 1, 1), 65535);
    EXPECT_EQ(result[0], '\0');
    _fd[kPort - 1] = readOnly;
    EXPECT_EQ(Send_Cmd(kPort, "abc", 1), 65535);
    EXPECT_EQ(Send_Receive_Cmd(kPort, "abc", result, 1, 0, &wT), 65535);
    _fd[kPort - 1] = port;
    _sio_trim(writeOnly);
    _sio_trim(readOnly);
    close(writeOnly);
    close(readOnly);
}

}  // namespace

// Module command protocol: line building and checking, and the senders and
// readers on a real pseudo-terminal with the test playing the module.
#include "q5m.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "pty_pair.h"
#include "sio.h"

namespace {

using fbtest::PtyPair;

std::string text(const std::vector<unsigned char> &v) {
    return {v.begin(), v.end()};
}

// Waits until exactly n bytes wait on the line's side of the pair.
bool waitPending(int slave, int n) {
    for (const long long end = fbtest::monoMs() + 5000; fbtest::monoMs() < end; usleep(500)) {
        int waiting = -1;
        if (ioctl(slave, FIONREAD, &waiting) == 0 && waiting == n) return true;
    }
    return false;
}

TEST(Q5mBuild, LinesEndAtFirstLineEndWithChecksumBeforeCr) {
    const struct {
        std::string cmd, line;
        bool checksum;
    } cases[] = {{"abc", "abc26\r", true},   {"abc\r\n", "abc26\r", true},
                 {"abc\n", "abc26\r", true}, {"\xFF\xFF", "\xFF\xFF\x46\x45\r", true},
                 {"", "00\r", true},         {"ab\rcd", "abC3\r", true},
                 {"abc", "abc\r", false},    {"ab\ncd", "ab\r", false},
                 {"", "\r", false}};
    for (const auto &c : cases) {
        std::string buf(c.line.size() + 8, '#');
        char *got = c.checksum ? _q5m_gum_chksum(&buf[0], c.cmd.c_str())
                               : _q5m_gum_cr(&buf[0], c.cmd.c_str());
        EXPECT_EQ(got, &buf[0]);
        EXPECT_EQ(buf.substr(0, c.line.size() + 2), c.line + '\0' + '#') << c.cmd;
    }
}

TEST(Q5mCheck, ExactUppercaseChecksumBeforeLineEnd) {
    const struct {
        const char *line;
        int want;
    } cases[] = {
        // clang-format off
        {"xyz6B\r", 0}, {"xyz6b\r", -1}, {"xyz6B", 0}, {"xyz6B\n", 0}, {"xyz6C\r", -1},
        {"xyZ6B\r", -1}, {"abc26\rjunk", 0}, {"xyz6B\rxyz6C", 0}, {"x\nyz6B\r", -1},
        {"\xFF\xFF\x46\x45\r", 0}, {"00\r", 0}, {"0\r", -1}, {"", -1}, {"\r", -1}, {"6B", -1},
        // clang-format on
    };
    for (const auto &c : cases) EXPECT_EQ(_q5m_chksum(c.line), c.want) << c.line;
}

TEST(Q5mCheck, ShortLineNeverTakesItsChecksumFromBeforeTheString) {
    // Taking the digits from str[-1] and str[0] would make "E" check out:
    // 0x45 - 'B' - 'E' = 0xBE.
    const char buf[] = "BE";
    EXPECT_EQ(_q5m_chksum(buf + 1), -1);
}

class Q5mLine : public ::testing::Test {
  protected:
    // A read timer of 2 s, so that a fault ends in a failure, not a hang.
    void SetUp() override {
        ASSERT_GT(fd, 0);
        sio_set_timer(fd, 0, 20);
    }
    void TearDown() override {
        if (fd > 0) sio_close(fd);
    }
    // The module's bytes, in the driver before the call that reads them.
    void answer(const std::string &bytes) {
        fbtest::writeAll(pty.master, bytes.data(), bytes.size());
        ASSERT_TRUE(waitPending(pty.slave, static_cast<int>(bytes.size())));
    }
    std::string sent(size_t n) { return text(fbtest::readFor(pty.master, n, 2000)); }

    PtyPair pty;
    int fd = sio_open(pty.path.c_str(), B9600, CS8, 0, 0);
    char rbuf[300];
};

TEST_F(Q5mLine, ChecksumReadersRefuseWrongOrLowerCaseDigits) {
    const struct {
        const char *answer;
        int want;
    } cases[] = {{"abc26\r", 6}, {"abc27\r", -1}, {"xyz6b\r", -1}, {"xyz6B\r", 6}, {"\r", -1}};
    for (const auto &c : cases) {
        answer(c.answer);
        EXPECT_EQ(q5m_readt_cs(fd, rbuf, 250, nullptr), c.want) << c.answer;
        EXPECT_STREQ(rbuf, c.answer) << "the line stays, terminated, as received";
        answer(c.answer);
        EXPECT_EQ(q5m_read_cs(fd, rbuf, 250), c.want) << c.answer;
    }
}

TEST_F(Q5mLine, LineReaderStopsAtCrOrRmaxAndLeavesTheRestInTheDriver) {
    answer("abc\rabC3ef");
    std::fill(std::begin(rbuf), std::end(rbuf), '#');
    EXPECT_EQ(q5m_readt(fd, rbuf, 250, nullptr), 4);
    EXPECT_STREQ(rbuf, "abc\r");
    EXPECT_EQ(q5m_readt_cs(fd, rbuf, 4, nullptr), 4) << "a full buffer ends the line";
    EXPECT_EQ(std::string(rbuf, 6), std::string("abC3\0#", 6));
    EXPECT_EQ(q5m_read(fd, rbuf, 250), 2);
    EXPECT_STREQ(rbuf, "ef");
}

TEST_F(Q5mLine, LineReadersEndWithZeroWhenTheTimerRunsOut) {
    sio_set_timer(fd, 0, 1);
    answer("ab");
    std::fill(std::begin(rbuf), std::end(rbuf), '#');
    EXPECT_EQ(q5m_readt_cs(fd, rbuf, 250, nullptr), 0) << "a time-out is no checksum failure";
    EXPECT_EQ(std::string(rbuf, 3), "ab#");
    EXPECT_EQ(q5m_readt(fd, rbuf, 250, nullptr), 0);
}

TEST_F(Q5mLine, OneReadMembersTakeWhatHasArrived) {
    sio_set_timer(fd, 0, 0);
    EXPECT_EQ(q5m_read(fd, rbuf, 250), 0);
    EXPECT_STREQ(rbuf, "");
    EXPECT_EQ(q5m_read_cs(fd, rbuf, 250), -1) << "an empty read carries no checksum";
    answer("ab");
    EXPECT_EQ(q5m_read(fd, rbuf, 250), 2);
    EXPECT_STREQ(rbuf, "ab");
    answer("abc26");
    EXPECT_EQ(q5m_read_cs(fd, rbuf, 250), 5) << "a partial line is checked as it stands";
    answer("abc2");
    EXPECT_EQ(q5m_read_cs(fd, rbuf, 250), -1);
    EXPECT_STREQ(rbuf, "abc2");
}

TEST_F(Q5mLine, SendMembersWriteThenRead) {
    answer("abc26\rok\r");
    __tod_t t = -1;
    EXPECT_EQ(q5m_send_readt_cs(fd, "abc", rbuf, 250, &t), 6);
    EXPECT_STREQ(rbuf, "abc26\r");
    EXPECT_GE(t, 0);
    EXPECT_EQ(q5m_send_read(fd, "xyz", rbuf, 250), 3);
    EXPECT_STREQ(rbuf, "ok\r");
    EXPECT_EQ(sent(9), "abc26\rxyz") << "q5m_send_read adds no CR";
    answer("xyz6B\r");
    EXPECT_EQ(q5m_send_read_cs(fd, "q", rbuf, 250), 6);
    answer("abc\r");
    EXPECT_EQ(q5m_send_readt(fd, "q\r", rbuf, 250, nullptr), 4);
    EXPECT_EQ(sent(6), "q71\rq\r");
}

TEST_F(Q5mLine, ElapsedTimeIsInMicroseconds) {
    std::thread module([this] {
        fbtest::readFor(pty.master, 5, 2000);
        usleep(60000);
        fbtest::writeAll(pty.master, "ok\r", 3);
    });
    __tod_t t = -1;
    const long long start = fbtest::monoMs();
    EXPECT_EQ(q5m_send_readt(fd, "ping\r", rbuf, 250, &t), 3);
    const long long took = fbtest::monoMs() - start;
    module.join();
    EXPECT_GE(t, 60000);
    EXPECT_LE(t, (took + 2) * 1000);
}

TEST_F(Q5mLine, RefusalsComeBeforeAnythingIsSentOrRead) {
    answer("ab\r");
    std::fill(std::begin(rbuf), std::end(rbuf), '#');
    EXPECT_EQ(q5m_send_read_cs(fd, std::string(125, 'A').c_str(), rbuf, 250), -1);
    EXPECT_EQ(q5m_read(fd, rbuf, -1), -1);
    EXPECT_EQ(q5m_readt_cs(fd, rbuf, -5, nullptr), -1);
    EXPECT_EQ(q5m_send_read(fd, "x", rbuf, -1), -1);
    EXPECT_EQ(rbuf[0], '#');
    EXPECT_EQ(q5m_readt(fd, rbuf, 250, nullptr), 3);
    EXPECT_EQ(q5m_send(fd, "z"), 0);
    EXPECT_EQ(sent(1), "z");
}

TEST_F(Q5mLine, FailedReadsAndWritesGiveMinusOne) {
    const int writeOnly = open(pty.path.c_str(), O_WRONLY | O_NOCTTY);
    const int readOnly = open(pty.path.c_str(), O_RDONLY | O_NOCTTY);
    ASSERT_GE(writeOnly, 0);
    ASSERT_GE(readOnly, 0);
    EXPECT_EQ(q5m_readt(writeOnly, rbuf, 250, nullptr), -1);
    EXPECT_EQ(q5m_readt_cs(writeOnly, rbuf, 250, nullptr), -1);
    EXPECT_EQ(q5m_read(writeOnly, rbuf, 250), -1);
    EXPECT_EQ(q5m_send(readOnly, "abc\r"), -1);
    answer("ok\r");
    EXPECT_EQ(q5m_send_readt_cs(readOnly, "abc", rbuf, 250, nullptr), -1);
    EXPECT_EQ(q5m_send_read(readOnly, "abc", rbuf, 250), -1);
    EXPECT_EQ(q5m_readt(fd, rbuf, 250, nullptr), 3) << "nothing is read after a failed write";
    close(writeOnly);
    close(readOnly);
}

}  // namespace

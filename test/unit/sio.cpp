// The serial registry over real pseudo-terminals.
#include "sio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "pty_pair.h"

namespace {

using fbtest::PtyPair;

termios attrs(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

bool sameTermios(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

int entries() {
    int n = 0;
    for (sio *e = sio_list; e != nullptr; e = e->next) ++n;
    return n;
}

TEST(Sio, OpenLeavesRawSettingsAndKeepsUnnamedInputFlags) {
    PtyPair pty;
    termios before = attrs(pty.slave);
    before.c_iflag |= IXANY | INPCK | ISTRIP | ICRNL | IXON;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);

    const int fd = sio_open(pty.path.c_str(), B115200, CS8, 0, 0);
    ASSERT_GT(fd, 0);
    const termios t = attrs(fd);
    EXPECT_EQ(cfgetispeed(&t), B115200);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IXON | IXOFF), 0u);
    EXPECT_EQ(t.c_iflag & (IXANY | INPCK | ISTRIP), static_cast<tcflag_t>(IXANY | INPCK | ISTRIP));
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VEOF], 4);
    EXPECT_EQ(t.c_cc[VINTR], 0);
    EXPECT_EQ(t.c_cc[VSTART], 0);

    EXPECT_EQ(sio_close(fd), 0);
    EXPECT_TRUE(sameTermios(attrs(pty.slave), before)) << "settings found at open come back";
    EXPECT_EQ(sio_list, nullptr);
}

struct Framing {
    tcflag_t data, parity, stop;
    bool ok;
    tcflag_t parenb, parodd, cstopb;
};

class SioFraming : public ::testing::TestWithParam<Framing> {};

TEST_P(SioFraming, AcceptsOnlyListedCodes) {
    const Framing f = GetParam();
    PtyPair pty;
    const termios before = attrs(pty.slave);
    const int fd = sio_open(pty.path.c_str(), B9600, f.data, f.parity, f.stop);
    if (!f.ok) {
        EXPECT_EQ(fd, 0);
        EXPECT_EQ(sio_list, nullptr) << "a refused open leaves no entry";
        EXPECT_TRUE(sameTermios(attrs(pty.slave), before)) << "a refused open restores the device";
        return;
    }
    ASSERT_GT(fd, 0);
    // A pseudo-terminal forces CS8 without parity on the device, so the
    // framing is read from the settings the registry applies.
    ASSERT_NE(sio_list, nullptr);
    const termios t = *sio_list->options;
    EXPECT_EQ(attrs(fd).c_cflag & CSTOPB, f.cstopb);
    EXPECT_EQ(t.c_cflag & CSIZE, f.data);
    EXPECT_EQ(t.c_cflag & PARENB, f.parenb);
    EXPECT_EQ(t.c_cflag & PARODD, f.parodd);
    EXPECT_EQ(t.c_cflag & CSTOPB, f.cstopb);
    EXPECT_EQ(sio_close(fd), 0);
}

INSTANTIATE_TEST_SUITE_P(Codes, SioFraming,
                         ::testing::Values(Framing{CS8, 0, 0, true, 0, 0, 0},
                                           Framing{CS7, 1, 0, true, PARENB, PARODD, 0},
                                           Framing{CS7, 2, 2, true, PARENB, 0, CSTOPB},
                                           Framing{CS5, 0, 2, true, 0, 0, CSTOPB},
                                           Framing{CS8, 3, 0, false, 0, 0, 0},
                                           Framing{CS8, 0, 1, false, 0, 0, 0},
                                           Framing{CS8, 0, 3, false, 0, 0, 0}));

// A second open of a registered path is one more user of its descriptor:
// its settings apply at once, a refused one (bad codes) touches nothing,
// and only the last close restores the settings found by the first open.
TEST(Sio, SecondOpenSharesTheDescriptorUntilTheLastClose) {
    PtyPair pty;
    const termios before = attrs(pty.slave);
    const int fd1 = sio_open(pty.path.c_str(), B9600, CS8, 0, 0);
    ASSERT_GT(fd1, 0);
    const int fd2 = sio_open(pty.path.c_str(), B19200, CS7, 2, 0);
    EXPECT_EQ(fd2, fd1);
    EXPECT_EQ(entries(), 1);
    EXPECT_EQ(cfgetospeed(&static_cast<const termios &>(attrs(fd1))), B19200);
    const termios shared = attrs(fd1);
    const tcflag_t badCodes[][2] = {{3, 0}, {0, 1}};  // parity, stop
    for (const auto &bad : badCodes) {
        EXPECT_EQ(sio_open(pty.path.c_str(), B9600, CS8, bad[0], bad[1]), 0);
        EXPECT_NE(fcntl(fd1, F_GETFD), -1) << "a refused open leaves the shared descriptor";
        EXPECT_EQ(_sio_device(pty.path.c_str()), fd1);
        EXPECT_TRUE(sameTermios(attrs(fd1), shared));
    }
    EXPECT_EQ(sio_close(fd1), 0);
    EXPECT_NE(fcntl(fd1, F_GETFD), -1) << "one user left";
    EXPECT_TRUE(sameTermios(attrs(fd1), shared));
    EXPECT_EQ(sio_close(fd1), 0);
    EXPECT_EQ(fcntl(fd1, F_GETFD), -1);
    EXPECT_TRUE(sameTermios(attrs(pty.slave), before));
    EXPECT_EQ(_sio_device(pty.path.c_str()), 0);
}

TEST(Sio, OpenOfMissingDeviceFails) {
    EXPECT_EQ(sio_open("/nonexistent/tty", B9600, CS8, 0, 0), 0);
    EXPECT_EQ(sio_list, nullptr);
}

TEST(Sio, TrimKeepsListOrder) {
    // Three descriptors that need not be terminals: the registry is keyed by number.
    int fds[3];
    for (int &fd : fds) fd = dup(1);
    for (int fd : fds) ASSERT_NE(_sio_follow(fd), nullptr);
    EXPECT_EQ(entries(), 3);
    EXPECT_EQ(_sio_follow(fds[1]), _sio_follow(fds[1])) << "lookup, not a second entry";
    EXPECT_EQ(entries(), 3);
    EXPECT_EQ(_sio_trim(fds[0]), 0);
    ASSERT_NE(sio_list, nullptr);
    EXPECT_EQ(sio_list->fd, fds[1]);
    EXPECT_EQ(_sio_trim(fds[2]), 0);
    EXPECT_EQ(sio_list->next, nullptr);
    EXPECT_EQ(_sio_trim(12345), -1);
    EXPECT_EQ(_sio_trim(fds[1]), 0);
    EXPECT_EQ(sio_list, nullptr);
    EXPECT_EQ(_sio_trim(fds[1]), -1);
    for (int fd : fds) close(fd);
}

TEST(Sio, UnnamedEntriesAreSkippedAndNeverApplyEmptySettings) {
    PtyPair pty;
    termios before = attrs(pty.slave);
    before.c_cflag |= CS8;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
    before = attrs(pty.slave);
    // The test's own slave descriptor was never opened through the registry.
    sio_set_timer(pty.slave, 0, 7);
    ASSERT_NE(sio_list, nullptr);
    EXPECT_EQ(sio_list->name, nullptr);
    EXPECT_EQ(_sio_device(pty.path.c_str()), 0);
    const termios t = attrs(pty.slave);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 7);
    EXPECT_EQ(t.c_cflag, before.c_cflag) << "only the timer changed";
    EXPECT_EQ(t.c_lflag, before.c_lflag);
    EXPECT_EQ(_sio_trim(pty.slave), 0);
}

TEST(Sio, CanonAndNoncanToggleOnlyTheirFlags) {
    PtyPair pty;
    const int fd = sio_open(pty.path.c_str(), B9600, CS8, 0, 0);
    ASSERT_GT(fd, 0);
    sio_set_canon(fd);
    termios t = attrs(fd);
    EXPECT_NE(t.c_iflag & ICRNL, 0u);
    EXPECT_NE(t.c_lflag & ICANON, 0u);
    EXPECT_EQ(t.c_lflag & ECHO, 0u);
    sio_set_noncan(fd);
    t = attrs(fd);
    EXPECT_EQ(t.c_iflag & ICRNL, 0u);
    EXPECT_EQ(t.c_lflag & ICANON, 0u);
    EXPECT_EQ(sio_close(fd), 0);
}

TEST(Sio, SetBaudWritesOneCarriageReturnAtTheNewSpeed) {
    PtyPair pty;
    const int fd = sio_open(pty.path.c_str(), B9600, CS8, 0, 0);
    ASSERT_GT(fd, 0);
    ASSERT_EQ(sio_set_baud(fd, B38400), 0);
    EXPECT_EQ(cfgetospeed(&sio_list->options[0]), B38400);
    EXPECT_EQ(cfgetospeed(&static_cast<const termios &>(attrs(fd))), B38400);
    const auto got = fbtest::readFor(pty.master, 2, 300);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], 0x0D);
    EXPECT_EQ(sio_close(fd), 0);
}

TEST(Sio, BadSpeedClosesAndForgetsTheDescriptor) {
    PtyPair pty;
    const int fd = sio_open(pty.path.c_str(), B9600, CS8, 0, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(sio_set_baud(fd, static_cast<speed_t>(0x7FFF)), -1);
    EXPECT_EQ(sio_list, nullptr);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor closed";
    EXPECT_EQ(sio_open(pty.path.c_str(), static_cast<speed_t>(0x7FFF), CS8, 0, 0), 0);
    EXPECT_EQ(sio_list, nullptr);
}

TEST(Sio, NeverRegistersDescriptorZero) {
    PtyPair pty;
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);
    const int fd = sio_open(pty.path.c_str(), B9600, CS8, 0, 0);
    dup2(savedStdin, 0);
    close(savedStdin);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(_sio_device(pty.path.c_str()), fd);
    EXPECT_EQ(sio_close(fd), 0);
}

}  // namespace

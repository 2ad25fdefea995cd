// COM port table and raw exchange over real pseudo-terminals.
#include "msw.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "modbus.h"
#include "modbus_script.h"
#include "pty_pair.h"
#include "rs485.h"
#include "sio.h"

namespace {

using fbtest::PtyPair;

struct OpenCase {
    int port;
    DWORD baud;
    int data, parity, stop;
    WORD want;
};

class OpenComArgs : public ::testing::TestWithParam<OpenCase> {};

// Checks come in a fixed order: port, rate, data bits, parity, stop bits.
TEST_P(OpenComArgs, FirstFailingCheckDecides) {
    const OpenCase c = GetParam();
    PtyPair pty;
    if (c.port >= 1 && c.port <= 50) {
        ASSERT_EQ(Set_Com_Device(static_cast<char>(c.port), pty.path.c_str()), 0);
    }
    EXPECT_EQ(Open_Com(static_cast<char>(c.port), c.baud, static_cast<char>(c.data),
                       static_cast<char>(c.parity), static_cast<char>(c.stop)),
              c.want);
    if (c.want == 0) {
        EXPECT_EQ(Close_Com(static_cast<char>(c.port)), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenComArgs,
    ::testing::Values(OpenCase{0, 9600, 8, 0, 0, 2}, OpenCase{51, 9600, 8, 0, 0, 2},
                      OpenCase{-1, 9600, 8, 0, 0, 2}, OpenCase{51, 300, 9, 5, 1, 2},
                      OpenCase{1, 300, 8, 0, 0, 3}, OpenCase{1, 230400, 8, 0, 0, 3},
                      OpenCase{1, 300, 9, 0, 0, 3}, OpenCase{1, 9600, 9, 0, 0, 1},
                      OpenCase{1, 9600, 4, 0, 0, 1}, OpenCase{1, 9600, 8, 3, 0, 1},
                      OpenCase{1, 9600, 8, 0, 1, 1}, OpenCase{1, 9600, 8, 0, 3, 1},
                      OpenCase{1, 1200, 5, 1, 2, 0}, OpenCase{50, 115200, 8, 2, 0, 0}));

TEST(ComPaths, DefaultsAndOverrides) {
    EXPECT_STREQ(Get_Com_Device(1), "/dev/ttyO1");
    EXPECT_STREQ(Get_Com_Device(5), "/dev/ttyO5");
    EXPECT_STREQ(Get_Com_Device(6), "/dev/ttyS4");
    EXPECT_STREQ(Get_Com_Device(7), "/dev/ttyS5");
    EXPECT_STREQ(Get_Com_Device(50), "/dev/ttyS48");
    EXPECT_EQ(Get_Com_Device(0), nullptr);
    EXPECT_EQ(Get_Com_Device(51), nullptr);

    setenv("FIELDBUS_COM9", "/tmp/board9", 1);
    EXPECT_STREQ(Get_Com_Device(9), "/tmp/board9");
    EXPECT_EQ(Set_Com_Device(9, "/tmp/other"), 0);
    EXPECT_STREQ(Get_Com_Device(9), "/tmp/other") << "the call outranks the environment";
    EXPECT_EQ(Set_Com_Device(9, nullptr), 0);
    EXPECT_STREQ(Get_Com_Device(9), "/tmp/board9");
    unsetenv("FIELDBUS_COM9");
    EXPECT_STREQ(Get_Com_Device(9), "/dev/ttyS7");
    EXPECT_EQ(Set_Com_Device(0, "/x"), 2);
}

TEST(ComPorts, OpenStoresDescriptorAndCloseRestoresDevice) {
    PtyPair pty;
    termios before{};
    tcgetattr(pty.slave, &before);
    setenv("FIELDBUS_COM1", pty.path.c_str(), 1);
    ASSERT_EQ(Open_Com(1, 115200, 8, 0, 0), 0);
    ASSERT_GT(_fd[0], 0);
    EXPECT_EQ(_sio_device(pty.path.c_str()), _fd[0]);
    termios t{};
    tcgetattr(_fd[0], &t);
    EXPECT_EQ(cfgetospeed(&t), B115200);
    EXPECT_EQ(Close_Com(1), 0);
    EXPECT_EQ(_fd[0], 0);
    termios after{};
    tcgetattr(pty.slave, &after);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_lflag, before.c_lflag);

    ASSERT_EQ(Open_Com(1, 115200, 8, 0, 0), 0);
    const int fd = _fd[0];
    EXPECT_EQ(Open_Com(1, 9600, 8, 0, 0), 0) << "re-open reconfigures the same descriptor";
    EXPECT_EQ(_fd[0], fd);
    EXPECT_EQ(Close_Com(1), 0);
    unsetenv("FIELDBUS_COM1");
}

TEST(ComPorts, MissingDeviceAndUnopenedPorts) {
    ASSERT_EQ(Set_Com_Device(3, "/nonexistent/tty"), 0);
    EXPECT_EQ(Open_Com(3, 9600, 8, 0, 0), 2);
    EXPECT_EQ(_fd[2], 0);
    // An unopened port names no device: nothing acts on descriptor 0.
    EXPECT_EQ(Close_Com(3), 2);
    EXPECT_EQ(Close_Com(0), 2);
    EXPECT_EQ(Close_Com(51), 2);
    char buf[4];
    WORD wT = 777;
    EXPECT_EQ(Send_Receive(3, buf, 1, buf, 4, 10, &wT), 2);
    EXPECT_EQ(Send_Receive(0, buf, 1, buf, 4, 10, &wT), 2);
    EXPECT_EQ(wT, 777) << "elapsed time is not written on a refused port";
}

class Exchange : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Set_Com_Device(2, pty.path.c_str()), 0);
        ASSERT_EQ(Open_Com(2, 115200, 8, 0, 0), 0);
    }
    void TearDown() override { Close_Com(2); }
    PtyPair pty;
    char out[64] = {};
    WORD wT = 0;
};

TEST_F(Exchange, CollectsExactlyTheAskedLengthAndLeavesTheRest) {
    char req[] = {1, 2, 3};
    std::thread peer([&] {
        const auto got = fbtest::readFor(pty.master, 3, 2000);
        EXPECT_EQ(got, (std::vector<unsigned char>{1, 2, 3}));
        fbtest::writeAll(pty.master, "ABCDEFGH", 8);
    });
    EXPECT_EQ(Send_Receive(2, req, 3, out, 5, 3000, &wT), 5);
    peer.join();
    EXPECT_EQ(std::string(out, 5), "ABCDE");
    EXPECT_LT(wT, 3000);
    // The rest stays on the line for a receive-only call.
    EXPECT_EQ(Send_Receive(2, nullptr, 0, out, 3, 500, &wT), 3);
    EXPECT_EQ(std::string(out, 3), "FGH");
    termios t{};
    tcgetattr(_fd[1], &t);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(Exchange, TimeOutReturnsWhatArrivedAfterMoreThanTheTimeOut) {
    char req[] = {9};
    fbtest::drain(pty.master);
    std::thread peer([&] {
        fbtest::readFor(pty.master, 1, 2000);
        fbtest::writeAll(pty.master, "xy", 2);
    });
    const long long t0 = fbtest::monoMs();
    EXPECT_EQ(Send_Receive(2, req, 1, out, 10, 150, &wT), 2);
    const long long took = fbtest::monoMs() - t0;
    peer.join();
    EXPECT_EQ(std::string(out, 2), "xy");
    EXPECT_GT(wT, 150);
    EXPECT_GE(took, 150);
}

TEST_F(Exchange, ZeroTimeOutStillWaitsForTheClockToMove) {
    EXPECT_EQ(Send_Receive(2, nullptr, 0, out, 4, 0, &wT), 0);
    EXPECT_GE(wT, 1);
}

TEST_F(Exchange, SendOnlyWritesAndReadsNothing) {
    fbtest::writeAll(pty.master, "zz", 2);
    char req[] = {'o', 'k'};
    wT = 999;
    EXPECT_EQ(Send_Receive(2, req, 2, out, 0, 100, &wT), 0);
    EXPECT_LT(wT, 100);
    EXPECT_EQ(fbtest::readFor(pty.master, 2, 1000), (std::vector<unsigned char>{'o', 'k'}));
}

TEST_F(Exchange, StaleInputIsDiscardedBeforeAWriteButKeptWithoutOne) {
    fbtest::writeAll(pty.master, "old", 3);
    // Let the bytes reach the slave's input queue before the flush.
    ASSERT_EQ(Send_Receive(2, nullptr, 0, out, 1, 1000, &wT), 1);
    EXPECT_EQ(out[0], 'o');
    char req[] = {'q'};
    std::thread peer([&] {
        fbtest::readFor(pty.master, 1, 2000);
        fbtest::writeAll(pty.master, "new", 3);
    });
    EXPECT_EQ(Send_Receive(2, req, 1, out, 3, 2000, &wT), 3);
    peer.join();
    EXPECT_EQ(std::string(out, 3), "new");
}

TEST_F(Exchange, FailedWriteReports65535) {
    const int fd = _fd[1];
    const int saved = dup(fd);
    close(fd);  // the table now names a dead descriptor
    char req[] = {1};
    wT = 999;
    EXPECT_EQ(Send_Receive(2, req, 1, out, 4, 100, &wT), 65535);
    EXPECT_LT(wT, 100);
    dup2(saved, fd);
    close(saved);
}

// A vanished device is a failed exchange at once, for the masters, the
// slave collection and the command strings alike; a slave that polls the
// dead port again waits out its time-out before it hears so again.
class HungUp : public ::testing::TestWithParam<const char *> {};

TEST_P(HungUp, FailsTheExchangeAtOnce) {
    PtyPair pty;
    ASSERT_EQ(Set_Com_Device(2, pty.path.c_str()), 0);
    ASSERT_EQ(Open_Com(2, 115200, 8, 0, 0), 0);
    if (std::string(GetParam()) == "far end closed") {
        close(pty.master);
        pty.master = -1;
    } else if (ioctl(pty.slave, TIOCVHANGUP) != 0) {  // as when an adapter is unplugged
        Close_Com(2);
        GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
    }
    char out[8];
    char req[] = {1, 3, 0, 0, 0, 1};
    WORD wT = 0;
    EXPECT_EQ(Send_Receive(2, nullptr, 0, out, 8, 60000, &wT), 65535);
    EXPECT_LT(wT, 60000);
    EXPECT_EQ(Send_Receive(2, req, sizeof req, out, 8, 60000, &wT), 65535);
    EXPECT_LT(wT, 60000);
    char cBuf[8] = {};
    EXPECT_EQ(modbusRequest(2, 1, 3, 0, 1, cBuf, sizeof cBuf, 60000, nullptr), 11);
    char line[251];
    EXPECT_EQ(Receive_Cmd(2, line, 200, 0), 65535);
    EXPECT_EQ(Receive_Cmd(2, line, 200, 1), 65535);
    EXPECT_EQ(Send_Receive(2, nullptr, 0, out, 4, 100, &wT), 65535);
    EXPECT_GT(wT, 100) << "a known dead port is not polled in a spin";
    int function = 0, addr = 0, count = 0;
    EXPECT_EQ(modbusRead(2, 1, &function, cBuf, sizeof cBuf, &addr, &count, 50), -11);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(modbusRead(2, 1, &function, cBuf, sizeof cBuf, &addr, &count, 50), -11);
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50))
        << "a slave loop on a dead port is not let spin";
    EXPECT_EQ(Close_Com(2), 0);
    Set_Com_Device(2, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HungUp, ::testing::Values("far end closed", "terminal hung up"),
                         [](const auto &info) {
                             return std::string(info.param[0] == 'f' ? "FarEndClosed"
                                                                     : "TerminalHungUp");
                         });

// Only a terminal is a COM port: a path naming anything else is refused and
// left exactly as it was.
struct DeviceKind {
    const char *name;
    WORD want;
};

class ComDevice : public ::testing::TestWithParam<DeviceKind> {};

TEST_P(ComDevice, OnlyATerminalOpens) {
    const std::string kind = GetParam().name;
    PtyPair pty;
    const std::string dir = ::testing::TempDir();
    std::string path = pty.path;
    int fifoReader = -1;
    if (kind == "file") {
        path = dir + "/fbtest-com-file-" + std::to_string(getpid());
        FILE *f = std::fopen(path.c_str(), "w");
        std::fputs("precious", f);
        std::fclose(f);
    } else if (kind == "fifo") {
        path = dir + "/fbtest-com-fifo-" + std::to_string(getpid());
        unlink(path.c_str());
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        fifoReader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    } else if (kind == "null") {
        path = "/dev/null";
    }
    ASSERT_EQ(Set_Com_Device(12, path.c_str()), 0);
    EXPECT_EQ(Open_Com(12, 9600, 8, 0, 0), GetParam().want);
    EXPECT_EQ(sio_open(path.c_str(), B9600, CS8, 0, 0) != 0, GetParam().want == 0);
    if (GetParam().want == 0) {
        EXPECT_EQ(sio_close(_sio_device(path.c_str())), 0);
        EXPECT_EQ(Close_Com(12), 0);
    } else {
        EXPECT_EQ(_fd[11], 0);
        EXPECT_EQ(_sio_device(path.c_str()), 0);
        char req[] = {1, 6, 0, 1, 0, 1};
        WORD wT = 0;
        EXPECT_EQ(Send_Receive(12, req, sizeof req, req, 6, 10, &wT), 2);
    }
    if (kind == "file") {
        std::ifstream in(path);
        std::string content((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(content, "precious");
        unlink(path.c_str());
    }
    if (kind == "fifo") {
        char c;
        EXPECT_LE(read(fifoReader, &c, 1), 0) << "nothing was written into the FIFO";
        close(fifoReader);
        unlink(path.c_str());
    }
    Set_Com_Device(12, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ComDevice,
                         ::testing::Values(DeviceKind{"pty", 0}, DeviceKind{"file", 2},
                                           DeviceKind{"fifo", 2}, DeviceKind{"null", 2}),
                         [](const auto &info) { return std::string(info.param.name); });

// Two port numbers on one device share its descriptor: closing one leaves
// the other working, and the device gets its own settings back only when the
// last one closes.
TEST(ComPorts, TwoPortsOnOneDeviceShareItUntilTheLastCloses) {
    PtyPair pty;
    termios before{};
    tcgetattr(pty.slave, &before);
    ASSERT_EQ(Set_Com_Device(20, pty.path.c_str()), 0);
    ASSERT_EQ(Set_Com_Device(21, pty.path.c_str()), 0);
    ASSERT_EQ(Open_Com(20, 9600, 8, 0, 0), 0);
    ASSERT_EQ(Open_Com(21, 19200, 8, 0, 0), 0);
    ASSERT_EQ(Open_Com(21, 19200, 8, 0, 0), 0) << "opening a port again is no new user";
    ASSERT_EQ(_fd[19], _fd[20]);
    const int fd = _fd[19];
    termios shared{};
    tcgetattr(fd, &shared);
    EXPECT_EQ(cfgetospeed(&shared), B19200) << "the later open's settings are in force";

    EXPECT_EQ(Close_Com(20), 0);
    EXPECT_NE(fcntl(fd, F_GETFD), -1) << "port 21 still has its descriptor";
    char req[] = {'p'};
    char out[2] = {};
    WORD wT = 0;
    std::thread peer([&] {
        fbtest::readFor(pty.master, 1, 2000);
        fbtest::writeAll(pty.master, "ok", 2);
    });
    EXPECT_EQ(Send_Receive(21, req, 1, out, 2, 2000, &wT), 2);
    peer.join();
    termios still{};
    tcgetattr(pty.slave, &still);
    EXPECT_EQ(still.c_lflag & ICANON, 0u) << "not restored while port 21 is open";

    EXPECT_EQ(Close_Com(21), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    termios after{};
    tcgetattr(pty.slave, &after);
    EXPECT_EQ(after.c_lflag, before.c_lflag) << "settings from before the first open";
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    Set_Com_Device(20, nullptr);
    Set_Com_Device(21, nullptr);
}

// The line as the RS-485 code drives it, on an injected clock: a
// pseudo-terminal has neither the kernel's RS-485 mode nor modem lines.
struct FakeLine {
    static inline long long clockUs, drainedAt, releasedAt;
    static inline int modeError, rtsError;  // errno of TIOCSRS485 and the modem lines; 0: they work
    static inline int farEnd;  // what the far end has received shows when the line drains
    static inline std::vector<std::string> log;

    static std::string str(long long v) { return std::to_string(v); }
    static int result(int e) { return (errno = e) != 0 ? -1 : 0; }
    static int getMode(int, serial_rs485 *c) {
        log.push_back("get");
        *c = serial_rs485{};
        c->delay_rts_before_send = c->delay_rts_after_send = 9;
        return 0;
    }
    static int setMode(int, serial_rs485 *c) {
        log.push_back("set " + str(c->flags) + " " + str(c->delay_rts_before_send) + " " +
                      str(c->delay_rts_after_send));
        return result(modeError);
    }
    static int setRts(int, bool high) {
        log.push_back(std::string("rts ") + (high ? "high @" : "low @") +
                      str(releasedAt = clockUs));
        return result(rtsError);
    }
    // The frame's last stop bit leaves 4 ms after the call.
    static int drain(int) {
        const auto far = static_cast<long long>(fbtest::readFor(farEnd, 5, 2000).size());
        log.push_back("drain @" + str(clockUs) + " far " + str(far));
        drainedAt = clockUs += 4000;
        return 0;
    }
    static long long now() { return clockUs; }
    static void sleepUntil(long long t) { clockUs = std::max(clockUs, t); }
};
const fieldbus::rs485::LineCalls kFakeLine{FakeLine::getMode, FakeLine::setMode,
                                           FakeLine::setRts,  FakeLine::drain,
                                           FakeLine::now,     FakeLine::sleepUntil};

struct Rs485Case {
    const char *name;
    const char *env;           // FIELDBUS_COM<n>_RS485; null: unset
    int flags, before, after;  // Set_Com_RS485 unless flags < 0
    int modeError, rtsError;
    WORD open;
    int err;                       // errno after a refused open
    std::vector<std::string> log;  // at Open_Com, around one frame, at Close_Com
};

// Each case on its own port number: a call's settings stay with the port.
TEST(ComRs485, DirectionAtOpenAroundEachFrameAndAtClose) {
    constexpr int kOn = FIELDBUS_RS485_ON, kLow = FIELDBUS_RS485_RTS_LOW;
    // clang-format off
    const std::vector<Rs485Case> cases = {
        {"plain port: no call reaches the line", nullptr, -1, 0, 0, 0, 0, 0, 0, {}},
        {"echo only", nullptr, FIELDBUS_RS485_ECHO, 0, 0, 0, 0, 0, 0, {}},
        {"kernel mode, put back at close", nullptr, kOn, 0, 0, 0, 0, 0, 0,
         {"get", "set 3 0 0", "set 0 9 9"}},
        {"kernel mode, RTS low, delays rounded up to ms", nullptr, kOn | kLow, 100, 1500, 0, 0, 0,
         0, {"get", "set 5 1 2", "set 0 9 9"}},
        {"RTS from here", nullptr, kOn, 300, 700, ENOTTY, 0, 0, 0,
         {"get", "set 3 1 1", "rts low @0", "rts high @0", "drain @300 far 5", "rts low @5000"}},
        {"RTS low from here", nullptr, kOn | kLow, 0, 0, EINVAL, 0, 0, 0,
         {"get", "set 5 0 0", "rts high @0", "rts low @0", "drain @0 far 5", "rts high @4000"}},
        {"neither: refused", nullptr, kOn, 0, 0, ENOTTY, EIO, 2, EIO,
         {"get", "set 3 0 0", "rts low @0"}},
        {"environment", " on,before=2000 , RTS-low", -1, 0, 0, 0, 0, 0, 0,
         {"get", "set 5 2 0", "set 0 9 9"}},
        {"call outranks environment", "on", FIELDBUS_RS485_ECHO, 0, 0, 0, 0, 0, 0, {}},
        {"environment not understood", "on,after=soon", -1, 0, 0, 0, 0, 2, EINVAL, {}},
    };
    // clang-format on
    const fieldbus::rs485::LineCalls *system = fieldbus::rs485::useLineCalls(&kFakeLine);
    char port = 30;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        ASSERT_EQ(Set_Com_Device(port, pty.path.c_str()), 0);
        const std::string var = "FIELDBUS_COM" + std::to_string(port) + "_RS485";
        if (c.env != nullptr) setenv(var.c_str(), c.env, 1);
        if (c.flags >= 0) {
            ASSERT_EQ(Set_Com_RS485(port, c.flags, c.before, c.after), 0);
        }
        FakeLine::clockUs = 0;
        FakeLine::modeError = c.modeError;
        FakeLine::rtsError = c.rtsError;
        FakeLine::farEnd = pty.master;
        FakeLine::log.clear();
        FakeLine::drainedAt = -1;
        EXPECT_EQ(Open_Com(port, 115200, 8, 0, 0), c.open);
        if (c.open == 0) {
            char frame[] = "12345";
            WORD wT = 0;
            EXPECT_EQ(Send_Receive(port, frame, 5, frame, 0, 100, &wT), 0);
            EXPECT_EQ(Close_Com(port), 0);
        } else {
            EXPECT_EQ(errno, c.err);
            EXPECT_EQ(_fd[port - 1], 0);
            EXPECT_EQ(_sio_device(pty.path.c_str()), 0) << "nothing left open";
        }
        EXPECT_EQ(FakeLine::log, c.log);
        if (FakeLine::drainedAt >= 0) {
            // RTS goes back no earlier than the line has drained and the
            // delay after has passed, and no later than 1 ms beyond.
            EXPECT_GE(FakeLine::releasedAt - FakeLine::drainedAt, c.after);
            EXPECT_LE(FakeLine::releasedAt - FakeLine::drainedAt, c.after + 1000);
        }
        unsetenv(var.c_str());
        Set_Com_Device(port++, nullptr);
    }
    fieldbus::rs485::useLineCalls(system);

    // The real calls on a pseudo-terminal: neither works, and Open_Com says so.
    PtyPair pty;
    ASSERT_EQ(Set_Com_Device(port, pty.path.c_str()), 0);
    ASSERT_EQ(Set_Com_RS485(port, FIELDBUS_RS485_ON, 0, 0), 0);
    EXPECT_EQ(Open_Com(port, 9600, 8, 0, 0), 2);
    EXPECT_EQ(errno, ENOTTY);
    Set_Com_Device(port, nullptr);
}

TEST(ComRs485, RefusedSettings) {
    const int kOn = FIELDBUS_RS485_ON,
              kCalls[][4] = {{0, kOn, 0, 0},   {51, kOn, 0, 0},     {40, 8, 0, 0},
                             {40, -1, 0, 0},   {40, 2, 0, 0},       {40, 4, 0, 10},
                             {40, kOn, -1, 0}, {40, kOn, 0, 100001}};
    for (const auto &a : kCalls)
        EXPECT_EQ(Set_Com_RS485(static_cast<char>(a[0]), a[1], a[2], a[3]), 2)
            << a[1] << " " << a[3];
    EXPECT_EQ(Set_Com_RS485(40, kOn | FIELDBUS_RS485_ECHO, 100000, 0), 0);
    for (const char *bad : {"on,after=100001", "on,after=0000001", "on,after=", "on,after=-5",
                            "on,,echo", "on,", "rts-low", "echo,before=10", "on echo", "yes"}) {
        fieldbus::rs485::Settings s;
        EXPECT_FALSE(fieldbus::rs485::parse(bad, &s)) << bad;
    }
}

// Through an adapter that echoes, the raw exchange hands on only what the
// far end sent, however the echo comes (or does not); a far end that does
// not echo is heard all the same, even when its answer begins as the
// request did and does not fit in one call.
TEST(ComRs485, EchoIsTakenOutOfTheRawExchange) {
    fbtest::ComOnPty com(41);
    com.echoing();
    const struct {
        std::string first, second;  // what comes back, in two bursts with a pause between
        WORD room;                  // of the exchange
        const char *got, *rest;     // its bytes, and a receive-only call's after it
    } cases[] = {
        {"ABCDEFxyz", "", 3, "xyz", ""}, {"ABCDEF", "", 3, "", ""},     {"ABXY", "", 2, "AB", "XY"},
        {"ABC", "DEFxyz", 3, "xyz", ""}, {"ABCD", "xyz", 3, "xyz", ""}, {"ABCD", "", 3, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first + " " + c.second);
        std::thread far([&] {
            fbtest::readFor(com.pty.master, 6, 2000);
            fbtest::writeAll(com.pty.master, c.first.data(), c.first.size());
            int left = 1;
            for (long long end = fbtest::monoMs() + 3000; left != 0 && fbtest::monoMs() < end;)
                if (ioctl(com.pty.slave, FIONREAD, &left) != 0 || left != 0) usleep(1000);
            usleep(30000);  // the port has taken the first burst: a pause
            fbtest::writeAll(com.pty.master, c.second.data(), c.second.size());
        });
        char req[] = "ABCDEF", out[16];
        WORD wT = 0;
        EXPECT_EQ(std::string(out, Send_Receive(41, req, 6, out, c.room, 300, &wT)), c.got);
        far.join();
        EXPECT_EQ(std::string(out, Send_Receive(41, nullptr, 0, out, 4, 100, &wT)), c.rest);
    }
}

}  // namespace

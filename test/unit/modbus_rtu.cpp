// Modbus RTU master and slave over real pseudo-terminals: frames on the wire,
// answer checks, time-outs, address filtering, and the mended faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "modbus.h"
#include "modbus_pdu.h"
#include "modbus_script.h"
#include "modbus_slave_loop.h"

namespace {

using namespace fbtest;

constexpr char kPort = 7;

struct MasterCase {
    const char *name;
    char function;
    WORD addr, count;
    Bytes data;     // cBuf before the call
    Bytes request;  // expected on the wire, CRC excluded
    Bytes answer;   // written back by the far end (empty: silence)
    int expected;
    Bytes cBuf;  // cBuf afterwards (first bytes)
};

// Every answer below is complete or ends the exchange by time-out; 60 ms
// keeps the shorter ones quick.
constexpr WORD kTimeout = 60;

TEST(RtuMaster, ExchangesOnTheWire) {
    const std::vector<MasterCase> cases = {
        {"read coils",
         1,
         0x0102,
         10,
         {0, 0},
         {1, 1, 1, 2, 0, 10},
         withCrc({1, 1, 2, 0xA5, 0x03}),
         0,
         {0xA5, 0x03}},
        {"read inputs count 0",
         2,
         0,
         0,
         {0xEE},
         {1, 2, 0, 0, 0, 0},
         withCrc({1, 2, 1, 0x01}),
         0,
         {0x01}},
        {"read holding",
         3,
         0x6B,
         2,
         {0, 0, 0, 0},
         {1, 3, 0, 0x6B, 0, 2},
         withCrc({1, 3, 4, 0x12, 0x34, 0xAB, 0xCD}),
         0,
         {0x12, 0x34, 0xAB, 0xCD}},
        {"read input registers",
         4,
         8,
         1,
         {0, 0},
         {1, 4, 0, 8, 0, 1},
         withCrc({1, 4, 2, 0x00, 0x2A}),
         0,
         {0x00, 0x2A}},
        {"write coil echo",
         5,
         0xAC,
         0,
         {0x80},
         {1, 5, 0, 0xAC, 0xFF, 0},
         withCrc({1, 5, 0, 0xAC, 0xFF, 0}),
         0,
         {0x80}},
        {"write register echo",
         6,
         1,
         0,
         {0x00, 0x03},
         {1, 6, 0, 1, 0, 3},
         withCrc({1, 6, 0, 1, 0, 3}),
         0,
         {0, 3}},
        {"write coils echo",
         15,
         0x13,
         10,
         {0xCD, 0x01},
         {1, 15, 0, 0x13, 0, 10, 2, 0xCD, 0x01},
         withCrc({1, 15, 0, 0x13, 0, 10}),
         0,
         {0xCD, 0x01}},
        {"write registers echo",
         16,
         1,
         2,
         {0, 0x0A, 1, 2},
         {1, 16, 0, 1, 0, 2, 4, 0, 0x0A, 1, 2},
         withCrc({1, 16, 0, 1, 0, 2}),
         0,
         {0, 0x0A, 1, 2}},
        {"exception after full time-out",
         3,
         0,
         2,
         {0xEE, 0xEE},
         {1, 3, 0, 0, 0, 2},
         withCrc({1, 0x83, 2}),
         13,
         {2, 0xEE}},
        {"CRC bytes exchanged",
         3,
         0,
         1,
         {0xEE, 0xEE},
         {1, 3, 0, 0, 0, 1},
         [] {
             Bytes b = withCrc({1, 3, 2, 0, 1});
             std::swap(b[5], b[6]);
             return b;
         }(),
         12,
         {0xEE, 0xEE}},
        {"echo of another address",
         6,
         1,
         0,
         {0, 3},
         {1, 6, 0, 1, 0, 3},
         withCrc({1, 6, 0, 2, 0, 3}),
         12,
         {0, 3}},
        {"echo of another value",
         5,
         1,
         0,
         {1},
         {1, 5, 0, 1, 0xFF, 0},
         withCrc({1, 5, 0, 1, 0, 0}),
         12,
         {1}},
        // Checked but short: the second register never came, cBuf stays.
        {"short read answer",
         3,
         0,
         2,
         {0xEE, 0xEE, 0xEE, 0xEE},
         {1, 3, 0, 0, 0, 2},
         withCrc({1, 3, 4, 0x12, 0x34}),
         12,
         {0xEE, 0xEE, 0xEE, 0xEE}},
        {"short coil answer",
         1,
         0,
         16,
         {0xEE, 0xEE},
         {1, 1, 0, 0, 0, 16},
         withCrc({1, 1, 2, 0x55}),
         12,
         {0xEE, 0xEE}},
        {"short echo", 6, 1, 0, {0, 3}, {1, 6, 0, 1, 0, 3}, withCrc({1, 6, 0, 1, 0}), 12, {0, 3}},
        {"no answer", 4, 0, 1, {0xEE, 0xEE}, {1, 4, 0, 0, 0, 1}, {}, 15, {0xEE, 0xEE}},
        // A counted answer ends where its own fields say: a stray byte behind
        // it is not taken into it.
        {"identification, first part, a stray byte behind",
         0x2B,
         0,
         0,
         {0x0E, 1, 0},
         {1, 0x2B, 0x0E, 1, 0},
         [] {
             Bytes b = withCrc({1, 0x2B, 0x0E, 1, 0x81, 0xFF, 2, 2, 0, 1, 'V', 1, 2, 'P', 'C'});
             b.push_back(0x55);
             return b;
         }(),
         0,
         {0x0E, 1, 0x81, 0xFF, 2, 2, 0, 1, 'V', 1, 2, 'P', 'C', 0xEE}},
    };
    ComOnPty com(kPort);
    // Every case twice, the second time through an adapter that echoes: the
    // request comes back first and is no answer (a write's is the same bytes).
    for (size_t k = 0; k < 2 * cases.size(); ++k) {
        const auto &c = cases[k % cases.size()];
        const bool echo = k >= cases.size();
        if (k == cases.size()) com.echoing();
        SCOPED_TRACE(std::string(c.name) + (echo ? ", echoed" : ""));
        drain(com.pty.master);
        const Bytes wire = withCrc(c.request);
        Bytes back = echo ? wire : Bytes{};
        back.insert(back.end(), c.answer.begin(), c.answer.end());
        OneExchange far(com.pty.master, wire.size(), back);
        Bytes buf = c.data;
        buf.resize(16, 0xEE);
        WORD wT = 0xFFFF;
        const int rc = modbusRequest(kPort, 1, c.function, c.addr, c.count,
                                     reinterpret_cast<char *>(buf.data()), 16, kTimeout, &wT);
        EXPECT_EQ(hexOf(far.request()), hexOf(wire));
        EXPECT_EQ(rc, c.expected);
        if (!c.cBuf.empty()) {
            EXPECT_EQ(hexOf(Bytes(buf.begin(), buf.begin() + static_cast<long>(c.cBuf.size()))),
                      hexOf(c.cBuf));
        }
        // Silence ends only by time-out.
        if (c.expected == 15) {
            EXPECT_GT(wT, kTimeout);
        }
    }
}

TEST(RtuMaster, Function70HandsOnDataAndCrc) {
    ComOnPty com(kPort);
    const Bytes answer = withCrc({1, 70, 4, 1, 2, 3, 4});
    OneExchange far(com.pty.master, 5, answer);
    char buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(modbusRequest(kPort, 1, 70, 4, 0, buf, 8, kTimeout, nullptr), 0);
    EXPECT_EQ(hexOf(far.request()), hexOf(withCrc({1, 70, 4})));
    EXPECT_EQ(hexOf(Bytes(buf, buf + 7)), hexOf(Bytes(answer.begin() + 3, answer.end())) + "EE ");
}

TEST(RtuMaster, LargestReadAnswerArrivesWhole) {
    ComOnPty com(kPort);
    Bytes answer{1, 3, static_cast<unsigned char>(2042 & 0xFF)};
    for (int i = 0; i < 2042; ++i) answer.push_back(static_cast<unsigned char>(i * 13));
    answer = withCrc(answer);
    ASSERT_EQ(answer.size(), 2047u);
    OneExchange far(com.pty.master, 8, answer);
    std::vector<char> buf(2048, 0);
    WORD wT = 0;
    ASSERT_EQ(modbusRequest(kPort, 1, 3, 0, 1021, buf.data(), 2048, 5000, &wT), 0);
    // A complete answer ends the wait: the expected length is exact.
    EXPECT_LT(wT, 5000);
    EXPECT_EQ(std::memcmp(buf.data(), answer.data() + 3, 2042), 0);
}

// Refusals before the exchange: nothing goes on the wire.
TEST(RtuMaster, RefusalsSendNothing) {
    struct Case {
        const char *name;
        char port, function;
        WORD addr, count, bufLen;
        int expected;
    };
    const std::vector<Case> cases = {
        {"function 7", kPort, 7, 0, 1, 16, 1},
        {"fn70 sub 1", kPort, 70, 1, 0, 16, 1},
        {"fn15 17 coils from 2 bytes", kPort, 15, 0, 17, 2, 20},
        {"fn3 1022 registers", kPort, 3, 0, 1022, 4096, 20},
        {"fn3 answer beyond wBufLen", kPort, 3, 0, 8, 15, 20},
        {"fn1 answer beyond wBufLen", kPort, 1, 0, 17, 2, 20},
        // Port numbers that name no open device: a failed exchange.
        {"port 0", 0, 3, 0, 1, 16, 11},
        {"port 51", 51, 3, 0, 1, 16, 11},
        {"port not open", 8, 3, 0, 1, 16, 11},
    };
    ComOnPty com(kPort);
    std::vector<char> buf(4096, 0x11);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(modbusRequest(c.port, 1, c.function, c.addr, c.count, buf.data(), c.bufLen, 50,
                                nullptr),
                  c.expected);
        EXPECT_TRUE(readFor(com.pty.master, 1, 20).empty());
        EXPECT_EQ(buf[0], 0x11);
    }
}

struct SlaveCase {
    const char *name;
    char netId;
    Bytes incoming;
    WORD bufLen;
    int expected;
    int function, addr, count;
    Bytes data;
};

TEST(RtuSlave, RequestsAsTheyArrive) {
    const Bytes read10 = withCrc({1, 3, 0, 0, 0, 10});
    Bytes noisy{0x00, 0x42};
    noisy.insert(noisy.end(), read10.begin(), read10.end());
    const auto then = [](Bytes a, const Bytes &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Bytes twice = then(read10, read10);
    Bytes badCrc = read10;
    badCrc[7] ^= 1;
    Bytes longNoise{1, 0x41};  // our address and a function without a layout
    longNoise.resize(3000, 0x55);
    const Bytes afterRequest = then(withCrc({2, 3, 0, 0, 0, 10}), read10);
    const Bytes afterAnswer = then(withCrc({2, 3, 4, 1, 1, 0, 1}), read10);
    const Bytes afterBroadcast = then(withCrc({0, 6, 0, 1, 0, 3}), read10);
    const std::vector<SlaveCase> cases = {
        {"read holding", 1, read10, 16, 0, 3, 0, 10, {}},
        {"other slave", 2, read10, 16, -15, 0, 0, 0, {}},
        {"any slave", 0, read10, 16, 0, 3, 0, 10, {}},
        {"write register", 1, withCrc({1, 6, 0, 5, 0x12, 0x34}), 16, 2, 6, 5, 1, {0x12, 0x34}},
        {"fn16 byte count > wBufLen",
         1,
         withCrc({1, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4}),
         3,
         -12,
         16,
         0,
         0,
         {}},
        {"fn16 byte count = wBufLen",
         1,
         withCrc({1, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4}),
         4,
         4,
         16,
         1,
         2,
         {1, 2, 3, 4}},
        {"fn15 coils",
         1,
         withCrc({1, 15, 0, 0x13, 0, 10, 2, 0xCD, 0x01}),
         16,
         2,
         15,
         0x13,
         10,
         {0xCD, 0x01}},
        // The CRC checks, yet the byte count claims 4 data bytes of which 2 came.
        {"fn16 claims more than arrived",
         1,
         withCrc({1, 16, 0, 1, 0, 2, 4, 1, 2}),
         64,
         -15,
         0,
         0,
         0,
         {}},
        {"fn70 hands out the CRC", 1, withCrc({1, 70, 4, 9, 8, 7}), 64, 6, 70, 0x0409, 0x0807, {}},
        {"fn70 five bytes never complete", 1, withCrc({1, 70, 4}), 64, -15, 0, 0, 0, {}},
        {"function 7", 1, withCrc({1, 7, 0, 0, 0, 0}), 16, -1, 7, 0, 0, {}},
        // Passed over in the same burst: noise, other slaves' traffic, a
        // broadcast (no request for a read/reply slave), a failed CRC.
        {"noise before the request", 1, noisy, 16, 0, 3, 0, 10, {}},
        {"another slave's request, then ours", 1, afterRequest, 16, 0, 3, 0, 10, {}},
        {"another slave's answer, then ours", 1, afterAnswer, 16, 0, 3, 0, 10, {}},
        {"a broadcast, then ours", 1, afterBroadcast, 16, 0, 3, 0, 10, {}},
        {"ours with a bad CRC, then ours", 1, then(badCrc, read10), 16, 0, 3, 0, 10, {}},
        {"noise longer than a frame, then ours", 1, then(longNoise, read10), 16, 0, 3, 0, 10, {}},
        // Collection stops at the end of the first: the second is the next one.
        {"two requests in one attempt", 1, twice, 16, 0, 3, 0, 10, {}},
        {"the second of the two", 1, {}, 16, 0, 3, 0, 10, {}},
        {"silence", 1, {}, 16, -15, 0, 0, 0, {}},
    };
    ComOnPty com(kPort);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        drain(com.pty.master);
        if (!c.incoming.empty()) writeAll(com.pty.master, c.incoming);
        char buf[64];
        std::memset(buf, 0xEE, sizeof buf);
        int function = -99, addr = -99, count = -99;
        const int rc = modbusRead(kPort, c.netId, &function, buf, c.bufLen, &addr, &count, 20);
        EXPECT_EQ(rc, c.expected);
        if (rc >= 0) {
            EXPECT_EQ(function, c.function);
            EXPECT_EQ(addr, c.addr);
            EXPECT_EQ(count, c.count);
            if (!c.data.empty()) {
                EXPECT_EQ(hexOf(Bytes(buf, buf + rc)), hexOf(c.data));
            }
        } else {
            // A request to us that is refused still says its function.
            EXPECT_EQ(function, rc == -1 || rc == -12 ? c.function : -99);
            EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xEE);
        }
    }
}

// A slave that answers after the time-out: its late answer must not be taken
// for the next request, even one of the same function and quantity. The master
// lets the line fall silent before it sends again.
TEST(RtuMaster, LateAnswerIsNotTakenForTheNextRequest) {
    ComOnPty com(kPort);
    constexpr WORD kShort = 50;
    const Bytes first = withCrc({1, 3, 0, 0, 0, 1});
    const Bytes second = withCrc({1, 3, 0, 5, 0, 1});
    std::thread slave([&] {
        if (readFor(com.pty.master, first.size(), 3000) != first) return;
        // Late: well after the master gave up on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(kShort + 40));
        writeAll(com.pty.master, withCrc({1, 3, 2, 0xAA, 0xAA}));
        if (readFor(com.pty.master, second.size(), 3000) != second) return;
        writeAll(com.pty.master, withCrc({1, 3, 2, 0x05, 0x05}));
    });
    char buf[2] = {0, 0};
    const int firstRc = modbusRequest(kPort, 1, 3, 0, 1, buf, 2, kShort, nullptr);
    EXPECT_TRUE(firstRc == 15 || firstRc == 0);  // 0 only on a machine slower than the slave
    buf[0] = buf[1] = 0;
    EXPECT_EQ(modbusRequest(kPort, 1, 3, 5, 1, buf, 2, 500, nullptr), 0);
    EXPECT_EQ(hexOf(Bytes(buf, buf + 2)), "05 05 ");
    slave.join();
}

// Silence ends a frame: the start of a write the line left unfinished is
// dropped, even where, run on into the next request, its CRC would check.
TEST(RtuSlave, SilenceEndsAFrame) {
    const Bytes next = withCrc({1, 6, 0, 5, 0x12, 0x34});
    // A write of one register whose data and CRC would be next's first four bytes.
    Bytes start;
    for (int x = 0; x < 65536 && start.empty(); ++x) {
        const Bytes p{1, 16, static_cast<unsigned char>(x >> 8), static_cast<unsigned char>(x), 0,
                      1, 2};
        const Bytes f = withCrc({p[0], p[1], p[2], p[3], p[4], p[5], p[6], next[0], next[1]});
        if (f[9] == next[2] && f[10] == next[3]) start = p;
    }
    ASSERT_FALSE(start.empty());
    ComOnPty com(kPort);
    char buf[8];
    int f = 0, a = 0, n = 0;
    // In one burst the two are that write (and the rest is noise).
    Bytes burst = start;
    burst.insert(burst.end(), next.begin(), next.end());
    writeAll(com.pty.master, burst);
    EXPECT_EQ(modbusRead(kPort, 1, &f, buf, 8, &a, &n, 20), 2);
    EXPECT_EQ(f, 16);
    EXPECT_EQ(modbusRead(kPort, 1, &f, buf, 8, &a, &n, 20), -15);
    // With the line silent in between, the start goes and the request is whole.
    writeAll(com.pty.master, start);
    EXPECT_EQ(modbusRead(kPort, 1, &f, buf, 8, &a, &n, 20), -15);
    writeAll(com.pty.master, next);
    EXPECT_EQ(modbusRead(kPort, 1, &f, buf, 8, &a, &n, 20), 2);
    EXPECT_EQ(f, 6);
    EXPECT_EQ(a, 5);
}

// A master on a shared bus asks slave 2, which answers, then this slave, 5 ms
// apart: the register-map server and a read/reply loop answer every request.
TEST(RtuSlave, AnswersEveryRequestOnASharedBus) {
    const Bytes toOther = withCrc({2, 3, 0, 0, 0, 2});
    const Bytes theirs = withCrc({2, 3, 4, 1, 1, 0, 1});
    const Bytes toUs = withCrc({1, 3, 0, 0, 0, 2});
    const Bytes ours = withCrc({1, 3, 4, 0x10, 0x00, 0x10, 0x01});
    for (bool serve : {true, false}) {
        SCOPED_TRACE(serve ? "modbusServe" : "modbusRead/modbusReply");
        ComOnPty com(kPort);
        auto slave = serve ? std::make_unique<SlaveLoop>(kPort, modbusServe)
                           : std::make_unique<SlaveLoop>(kPort, modbusRead, modbusReply);
        int answered = 0;
        for (int i = 0; i < 10; ++i) {
            writeAll(com.pty.master, toOther);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            writeAll(com.pty.master, theirs);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            writeAll(com.pty.master, toUs);
            answered += readFor(com.pty.master, ours.size(), 500) == ours;
        }
        EXPECT_EQ(answered, 10);
    }
}

// A slave behind an adapter that echoes: its own answer coming back is no
// request (for a write it is the request's very bytes), neither alone nor
// with the next request right behind it.
TEST(RtuSlave, AnswersThroughAnEchoingAdapter) {
    ComOnPty com(kPort);
    com.echoing();
    const Bytes write = withCrc({1, 6, 0, 5, 0x12, 0x34});
    Bytes echoAndNext = write;
    for (unsigned char b : withCrc({1, 3, 0, 7, 0, 1})) echoAndNext.push_back(b);
    char buf[8];
    int function = 0, addr = 0, count = 0;
    writeAll(com.pty.master, write);
    ASSERT_EQ(modbusRead(kPort, 1, &function, buf, 8, &addr, &count, 200), 2);
    for (const Bytes &back : {write, echoAndNext}) {
        ASSERT_EQ(modbusReply(kPort, 1, 6, buf, 0, 5, 0), 0);
        ASSERT_EQ(readFor(com.pty.master, write.size(), 1000), write);
        writeAll(com.pty.master, back);
        const int rc = modbusRead(kPort, 1, &function, buf, 8, &addr, &count, 50);
        EXPECT_EQ(rc, back == write ? -15 : 0);
    }
    EXPECT_EQ(function, 3);
    EXPECT_EQ(addr, 7);
}

TEST(RtuSlave, Replies) {
    struct Case {
        const char *name;
        char port;
        int function;
        Bytes data;
        WORD bufLen, addr;
        int expected;
        Bytes wire;  // without CRC; empty: nothing sent
    };
    const std::vector<Case> cases = {
        {"fn3 4 bytes", kPort, 3, {1, 2, 3, 4}, 4, 0, 0, {9, 3, 4, 1, 2, 3, 4}},
        {"fn1 1 byte", kPort, 1, {0x05}, 1, 0, 0, {9, 1, 1, 0x05}},
        {"fn6 echo", kPort, 6, {0x12, 0x34}, 0, 5, 0, {9, 6, 0, 5, 0x12, 0x34}},
        {"fn15 quantity", kPort, 15, {0, 10}, 0, 0x13, 0, {9, 15, 0, 0x13, 0, 10}},
        {"fn70 raw", kPort, 70, {4, 1, 2, 3, 4}, 5, 0, 0, {9, 70, 4, 1, 2, 3, 4}},
        {"function 7", kPort, 7, {0, 0}, 0, 0, 1, {}},
        {"exception of fn3", kPort, 0x83, {2}, 0, 0, 0, {9, 0x83, 2}},
        {"exception of a function not handled", kPort, 0x87, {1}, 0, 0, 0, {9, 0x87, 1}},
        {"no function with bit 7", kPort, 0x180, {1}, 0, 0, 1, {}},
        {"too long", kPort, 3, {0, 0}, 2044, 0, 20, {}},
        {"port 51", 51, 3, {1, 2}, 2, 0, 11, {}},
        {"port not open", 8, 3, {1, 2}, 2, 0, 11, {}},
    };
    ComOnPty com(kPort);
    std::vector<char> buf(4096, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::copy(c.data.begin(), c.data.end(), buf.begin());
        EXPECT_EQ(modbusReply(c.port, 9, c.function, buf.data(), c.bufLen, c.addr, 0), c.expected);
        const Bytes want = c.wire.empty() ? Bytes{} : withCrc(c.wire);
        EXPECT_EQ(hexOf(readFor(com.pty.master, want.empty() ? 1 : want.size(),
                                want.empty() ? 30 : 1000)),
                  hexOf(want));
    }
}

}  // namespace

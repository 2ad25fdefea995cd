// The register-map server against hostile and good requests, in RTU over a
// pseudo-terminal and in TCP over loopback: the answer (or its absence), the
// result, the map changed only where a good write points, and the next good
// request still answered.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <string>

#include "modbus.h"
#include "modbus_script.h"
#include "net.h"
#include "net_private.h"

namespace {

using namespace fbtest;

constexpr char kPort = 13;
constexpr int kGuard = 8;  // points on each side of every array that must never change

// A map whose arrays sit inside larger ones, guarded on both sides.
struct GuardedMap {
    std::array<unsigned char, 10 + 2 * kGuard> coils{}, discrete{};
    std::array<unsigned short, 10 + 2 * kGuard> holding{}, input{};
    fieldbusMap map{};
    GuardedMap() {
        for (size_t i = 0; i < coils.size(); ++i) {
            coils[i] = static_cast<unsigned char>(i % 2);
            discrete[i] = static_cast<unsigned char>(i % 3 == 0);
            holding[i] = static_cast<unsigned short>(0x1000 + i);
            input[i] = static_cast<unsigned short>(0x2000 + i);
        }
        map = {100,
               10,
               200,
               10,
               300,
               10,
               400,
               10,
               coils.data() + kGuard,
               discrete.data() + kGuard,
               holding.data() + kGuard,
               input.data() + kGuard};
    }
    bool guardsIntact() const {
        for (int i = 0; i < kGuard; ++i) {
            for (size_t at : {static_cast<size_t>(i), coils.size() - 1 - static_cast<size_t>(i)}) {
                if (coils[at] != at % 2 || discrete[at] != (at % 3 == 0) ||
                    holding[at] != 0x1000 + at || input[at] != 0x2000 + at)
                    return false;
            }
        }
        return true;
    }
};

struct Case {
    const char *name;
    Bytes request;  // body: unit, function, data
    int expected;   // result of the serve call
    Bytes answer;   // body of the answer; empty: none
    bool tcpOnly = false;
    Bytes tcpHeaderLength = {};  // TCP: a header length other than the body's
};

// Malformed requests that have broken other slaves (byte counts beyond the frame, quantity
// against byte count, bare function codes, ...) and their neighbours, shared by both framings.
std::vector<Case> cases() {
    return {
        {"read holding", {1, 3, 0x01, 0x2C, 0, 2}, 3, {1, 3, 4, 0x10, 0x08, 0x10, 0x09}},
        {"read coils across a byte", {1, 1, 0, 100, 0, 10}, 1, {1, 1, 2, 0xAA, 0x02}},
        {"write registers",
         {1, 16, 0x01, 0x31, 0, 2, 4, 0xAB, 0xCD, 0x12, 0x34},
         16,
         {1, 16, 0x01, 0x31, 0, 2}},
        {"write registers one beyond",
         {1, 16, 0x01, 0x35, 0, 2, 4, 0xAB, 0xCD, 0x12, 0x34},
         0x90,
         {1, 0x90, 2}},
        {"write coils", {1, 15, 0, 101, 0, 3, 1, 0x05}, 15, {1, 15, 0, 101, 0, 3}},
        {"unknown function", {1, 0x2B, 0x0E, 1, 0}, 0xAB, {1, 0xAB, 1}},
        {"bare unknown function", {1, 7}, 0x87, {1, 0x87, 1}},
        {"range starts below", {1, 3, 0x01, 0x2B, 0, 2}, 0x83, {1, 0x83, 2}},
        {"range ends beyond", {1, 4, 0x01, 0x99, 0, 2}, 0x84, {1, 0x84, 2}},
        {"single coil beyond", {1, 5, 0, 110, 0xFF, 0}, 0x85, {1, 0x85, 2}},
        {"quantity 0", {1, 3, 0x01, 0x2C, 0, 0}, 0x83, {1, 0x83, 3}},
        {"quantity above the limit", {1, 1, 0, 100, 0x07, 0xD1}, 0x81, {1, 0x81, 3}},
        {"fn16 quantity against byte count",
         {1, 16, 0x01, 0x2C, 0, 2, 2, 0, 1},
         0x90,
         {1, 0x90, 3}},
        {"fn15 coils with too small a byte count",
         {1, 15, 0, 100, 0, 10, 1, 0xFF},
         0x8F,
         {1, 0x8F, 3}},
        {"single coil value not ON or OFF", {1, 5, 0, 100, 0x12, 0x34}, 0x85, {1, 0x85, 3}},
        {"another slave", {2, 3, 0x01, 0x2C, 0, 1}, -15, {}},
        // Dropped: the frame never completes (RTU) or disagrees with its header (TCP).
        {"byte count beyond the frame", {1, 16, 0x01, 0x2C, 0, 1, 10, 0, 1}, -15, {}},
        {"bare function code", {1, 3}, -15, {}},
        {"MBAP length shorter than sent", {1, 3, 0x01, 0x2C, 0, 1}, -15, {}, true, {0, 4}},
        {"MBAP length longer than sent", {1, 3, 0x01, 0x2C, 0, 1}, -15, {}, true, {0, 8}},
    };
}

// The map after every good write of the table, compared point by point.
void expectWrites(const GuardedMap &m) {
    EXPECT_EQ(m.map.holding[5], 0xABCD);
    EXPECT_EQ(m.map.holding[6], 0x1234);
    EXPECT_EQ(m.map.coils[1], 1);
    EXPECT_EQ(m.map.coils[2], 0);
    EXPECT_EQ(m.map.coils[3], 1);
    EXPECT_EQ(m.map.coils[0], 0);  // untouched: preset (kGuard + 0) % 2
    EXPECT_TRUE(m.guardsIntact());
}

TEST(MapServer, ExceptionRulesOverRtu) {
    ComOnPty com(kPort);
    GuardedMap m;
    const Bytes good = {1, 4, 0x01, 0x90, 0, 1};
    for (const Case &c : cases()) {
        if (c.tcpOnly) continue;
        SCOPED_TRACE(c.name);
        drain(com.pty.master);
        writeAll(com.pty.master, withCrc(c.request));
        EXPECT_EQ(modbusServe(kPort, 1, &m.map, 30), c.expected);
        const Bytes want = c.answer.empty() ? Bytes{} : withCrc(c.answer);
        EXPECT_EQ(hexOf(readFor(com.pty.master, want.empty() ? 1 : want.size(),
                                want.empty() ? 20 : 1000)),
                  hexOf(want));
        // The next good request is answered.
        writeAll(com.pty.master, withCrc(good));
        EXPECT_EQ(modbusServe(kPort, 1, &m.map, 30), 4);
        EXPECT_EQ(hexOf(readFor(com.pty.master, 7, 1000)), hexOf(withCrc({1, 4, 2, 0x20, 0x08})));
    }
    // Noise alone is dropped; a broadcast write is applied without an answer,
    // and two requests sent right behind it in the same burst are answered.
    writeAll(com.pty.master, Bytes{0x55, 0xAA, 0x01});
    EXPECT_EQ(modbusServe(kPort, 1, &m.map, 20), -15);
    Bytes burst = withCrc({0, 6, 0x01, 0x2E, 0x0B, 0xAD});
    for (int i = 0; i < 2; ++i)
        for (unsigned char b : withCrc(good)) burst.push_back(b);
    writeAll(com.pty.master, burst);
    EXPECT_EQ(modbusServe(kPort, 1, &m.map, 30), 6);
    EXPECT_TRUE(readFor(com.pty.master, 1, 30).empty());
    EXPECT_EQ(m.map.holding[2], 0x0BAD);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(modbusServe(kPort, 1, &m.map, 30), 4);
        EXPECT_EQ(hexOf(readFor(com.pty.master, 7, 1000)), hexOf(withCrc({1, 4, 2, 0x20, 0x08})));
    }
    expectWrites(m);
}

TEST(MapServer, ExceptionRulesOverTcp) {
    GuardedMap m;
    const int listener = Open_Socket(0, 0, 0);
    ASSERT_GT(listener, 0);
    ASSERT_EQ(Listen_Socket(listener), 0);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(connectManager[listener].fd, reinterpret_cast<sockaddr *>(&sa), &len);
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    const int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto mbap = [](const Bytes &body, Bytes length) {
        if (length.empty())
            length = {static_cast<unsigned char>(body.size() >> 8),
                      static_cast<unsigned char>(body.size())};
        Bytes f = {0x00, 0x2A, 0, 0, length[0], length[1]};
        f.insert(f.end(), body.begin(), body.end());
        return f;
    };
    // The serve call returns -15 until the request has come (the first call
    // may only accept the client).
    auto serve = [&](WORD timeout) {
        const long long deadline = monoMs() + 2000;
        int rc;
        do rc = modbusServeE(listener, 1, &m.map, timeout);
        while (rc == -15 && monoMs() < deadline && timeout > 20);
        return rc;
    };
    const Bytes good = {1, 4, 0x01, 0x90, 0, 1};
    for (const Case &cs : cases()) {
        SCOPED_TRACE(cs.name);
        writeAll(c, mbap(cs.request, cs.tcpHeaderLength));
        EXPECT_EQ(cs.expected == -15 ? modbusServeE(listener, 1, &m.map, 100) : serve(100),
                  cs.expected);
        const Bytes want = cs.answer.empty() ? Bytes{} : mbap(cs.answer, {});
        EXPECT_EQ(hexOf(readFor(c, want.empty() ? 1 : want.size(), want.empty() ? 20 : 1000)),
                  hexOf(want));
        writeAll(c, mbap(good, {}));
        EXPECT_EQ(serve(100), 4);
        EXPECT_EQ(hexOf(readFor(c, 11, 1000)), hexOf(mbap({1, 4, 2, 0x20, 0x08}, {})));
    }
    expectWrites(m);
    close(c);
    Close_Socket(listener);
}

}  // namespace

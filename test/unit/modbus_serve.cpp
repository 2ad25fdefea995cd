// The register-map server against hostile and good requests, in RTU and ASCII
// over a pseudo-terminal and in TCP over loopback: the answer (or its
// absence), the result, the map changed only where a good write points, and
// the next good request still answered.
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

#include "malformed_requests.h"
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
};

// The identity this process reports: vendor and product code of 120 bytes
// each, so that the three basic objects do not fit one answer.
const std::string kVendor(120, 'v'), kProduct(120, 'p');

void setIdentity() {
    static const int set = [] {
        const std::string tooLong(245, 'x');
        EXPECT_EQ(fieldbusSetIdentity(nullptr, tooLong.c_str(), nullptr), -1);
        return fieldbusSetIdentity(kVendor.c_str(), kProduct.c_str(), "r-1");
    }();
    ASSERT_EQ(set, 0);
    EXPECT_EQ(fieldbusSetIdentity("other", nullptr, nullptr), -1) << "set once per process";
}

// Requests whose answers depend on the map, then the malformed requests every
// register-map slave answers alike.
std::vector<Case> cases() {
    // Objects 0 and 1 fill the answer: object 2 follows in the next one.
    Bytes firstPart = {1, 0x2B, 0x0E, 1, 0x81, 0xFF, 2, 2, 0, 120};
    firstPart.insert(firstPart.end(), kVendor.begin(), kVendor.end());
    firstPart.insert(firstPart.end(), {1, 120});
    firstPart.insert(firstPart.end(), kProduct.begin(), kProduct.end());
    const Bytes revision = {1, 0x2B, 0x0E, 1, 0x81, 0, 0, 1, 2, 3, 'r', '-', '1'};
    std::vector<Case> all = {
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
        // 0x100A AND 0x00F2, OR 0x0025 where the AND mask is 0: 0x0007.
        {"mask write",
         {1, 0x16, 0x01, 0x2E, 0x00, 0xF2, 0x00, 0x25},
         0x16,
         {1, 0x16, 0x01, 0x2E, 0x00, 0xF2, 0x00, 0x25}},
        // Register 308 written, then 307-309 read: the new value among them.
        {"read/write",
         {1, 0x17, 0x01, 0x33, 0, 3, 0x01, 0x34, 0, 1, 2, 0xBE, 0xEF},
         0x17,
         {1, 0x17, 6, 0x10, 0x0F, 0xBE, 0xEF, 0x10, 0x11}},
        // The write is inside, the read is not: nothing is written.
        {"read/write reading beyond",
         {1, 0x17, 0x01, 0x35, 0, 2, 0x01, 0x2C, 0, 1, 2, 0xDE, 0xAD},
         0x97,
         {1, 0x97, 2}},
        {"identification, first part", {1, 0x2B, 0x0E, 1, 0}, 0x2B, firstPart},
        {"identification, the rest", {1, 0x2B, 0x0E, 1, 2}, 0x2B, revision},
        {"range starts below", {1, 3, 0x01, 0x2B, 0, 2}, 0x83, {1, 0x83, 2}},
        {"range ends beyond", {1, 4, 0x01, 0x99, 0, 2}, 0x84, {1, 0x84, 2}},
        {"single coil beyond", {1, 5, 0, 110, 0xFF, 0}, 0x85, {1, 0x85, 2}},
        {"another slave", {2, 3, 0x01, 0x2C, 0, 1}, -15, {}},
    };
    for (const MalformedRequest &m : malformedRequests())
        all.push_back({m.name, m.request, m.answer[1], m.answer});
    return all;
}

// The map after every good write of the table, compared point by point.
void expectWrites(const GuardedMap &m) {
    EXPECT_EQ(m.map.holding[5], 0xABCD);
    EXPECT_EQ(m.map.holding[6], 0x1234);
    EXPECT_EQ(m.map.holding[2], 0x0007);
    EXPECT_EQ(m.map.holding[8], 0xBEEF);
    EXPECT_EQ(m.map.holding[0], 0x1000 + kGuard);  // the refused read/write wrote nothing
    EXPECT_EQ(m.map.coils[1], 1);
    EXPECT_EQ(m.map.coils[2], 0);
    EXPECT_EQ(m.map.coils[3], 1);
    EXPECT_EQ(m.map.coils[0], 0);  // untouched: preset (kGuard + 0) % 2
    EXPECT_TRUE(m.guardsIntact());
}

// One framing of the server: how a body goes out and its answer comes back.
struct Framing {
    virtual ~Framing() = default;
    virtual void send(const Bytes &body) = 0;
    virtual int serve(bool answered) = 0;       // the serve call's result
    virtual Bytes wire(const Bytes &body) = 0;  // a body as it is on the wire
    virtual Bytes read(size_t n, int timeoutMs) = 0;
};

// Every case, each followed by a good request that must be answered.
void runCases(Framing &f, GuardedMap &m) {
    setIdentity();
    const Bytes good = {1, 4, 0x01, 0x90, 0, 1};
    for (const Case &c : cases()) {
        SCOPED_TRACE(c.name);
        f.send(c.request);
        EXPECT_EQ(f.serve(c.expected != -15), c.expected);
        const Bytes want = c.answer.empty() ? Bytes{} : f.wire(c.answer);
        EXPECT_EQ(hexOf(f.read(want.empty() ? 1 : want.size(), want.empty() ? 20 : 1000)),
                  hexOf(want));
        f.send(good);
        EXPECT_EQ(f.serve(true), 4);
        const Bytes answer = f.wire({1, 4, 2, 0x20, 0x08});
        EXPECT_EQ(hexOf(f.read(answer.size(), 1000)), hexOf(answer));
    }
    expectWrites(m);
}

struct Serial : Framing {
    Serial(GuardedMap &m, bool ascii) : m(m), ascii(ascii) {}
    void send(const Bytes &body) override {
        drain(com.pty.master);
        writeAll(com.pty.master, wire(body));
    }
    int serve(bool) override { return (ascii ? modbusServeA : modbusServe)(kPort, 1, &m.map, 30); }
    Bytes wire(const Bytes &body) override {
        if (!ascii) return withCrc(body);
        std::string text(2 * body.size() + 5, '\0');
        Bytes copy = body;
        BinToAsc(text.data(), reinterpret_cast<char *>(copy.data()), static_cast<int>(copy.size()));
        return textBytes(text);
    }
    Bytes read(size_t n, int timeoutMs) override { return readFor(com.pty.master, n, timeoutMs); }
    ComOnPty com{kPort};
    GuardedMap &m;
    bool ascii;
};

TEST(MapServer, ExceptionRulesOverRtu) {
    GuardedMap m;
    Serial rtu(m, false);
    runCases(rtu, m);
    // Noise alone is dropped; a broadcast write is applied without an answer,
    // and two requests sent right behind it in the same burst are answered.
    writeAll(rtu.com.pty.master, Bytes{0x55, 0xAA, 0x01});
    EXPECT_EQ(modbusServe(kPort, 1, &m.map, 20), -15);
    const Bytes good = {1, 4, 0x01, 0x90, 0, 1};
    Bytes burst = withCrc({0, 6, 0x01, 0x2F, 0x0B, 0xAD});
    for (int i = 0; i < 2; ++i)
        for (unsigned char b : withCrc(good)) burst.push_back(b);
    writeAll(rtu.com.pty.master, burst);
    EXPECT_EQ(modbusServe(kPort, 1, &m.map, 30), 6);
    EXPECT_TRUE(readFor(rtu.com.pty.master, 1, 30).empty());
    EXPECT_EQ(m.map.holding[3], 0x0BAD);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(modbusServe(kPort, 1, &m.map, 30), 4);
        EXPECT_EQ(hexOf(readFor(rtu.com.pty.master, 7, 1000)),
                  hexOf(withCrc({1, 4, 2, 0x20, 0x08})));
    }
}

TEST(MapServer, ExceptionRulesOverAscii) {
    GuardedMap m;
    Serial ascii(m, true);
    runCases(ascii, m);
}

struct Tcp : Framing {
    explicit Tcp(GuardedMap &m) : m(m) {
        listener = Open_Socket(0, 0, 0);
        EXPECT_EQ(Listen_Socket(listener), 0);
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(connectManager[listener].fd, reinterpret_cast<sockaddr *>(&sa), &len);
        c = socket(AF_INET, SOCK_STREAM, 0);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        const int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~Tcp() override {
        close(c);
        Close_Socket(listener);
    }
    void send(const Bytes &body) override { writeAll(c, wire(body)); }
    // The serve call returns -15 until the request has come (the first call
    // may only accept the client).
    int serve(bool answered) override {
        const long long deadline = monoMs() + 2000;
        int rc;
        do rc = modbusServeE(listener, 1, &m.map, 100);
        while (rc == -15 && answered && monoMs() < deadline);
        return rc;
    }
    // The header's length counts every byte of the body, whatever it says.
    Bytes wire(const Bytes &body) override {
        Bytes f = {0x00,
                   0x2A,
                   0,
                   0,
                   static_cast<unsigned char>(body.size() >> 8),
                   static_cast<unsigned char>(body.size())};
        f.insert(f.end(), body.begin(), body.end());
        return f;
    }
    Bytes read(size_t n, int timeoutMs) override { return readFor(c, n, timeoutMs); }
    GuardedMap &m;
    int listener = -1, c = -1;
};

TEST(MapServer, ExceptionRulesOverTcp) {
    GuardedMap m;
    Tcp tcp(m);
    runCases(tcp, m);
}

}  // namespace

// Modbus ASCII: text conversion, and master and slave over real
// pseudo-terminals.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "modbus.h"
#include "modbus_script.h"

namespace {

using namespace fbtest;

constexpr char kPort = 11;

// Independent encoder for the tests: ':' hex(body) hex(LRC) CR LF.
std::string frame(const Bytes &body) {
    std::string s = ":";
    unsigned sum = 0;
    char x[3];
    for (unsigned char b : body) {
        sum += b;
        std::snprintf(x, sizeof x, "%02X", b);
        s += x;
    }
    std::snprintf(x, sizeof x, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return s + x + "\r\n";
}

TEST(AsciiText, BinToAscVectors) {
    struct Case {
        Bytes body;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{1, 3, 0, 0, 0, 10}, ":01030000000AF2\r\n"},
        {{}, ":00\r\n"},
        {{0xFF}, ":FF01\r\n"},
        {{0xAB, 0xCD, 0xEF}, ":ABCDEF99\r\n"},
    };
    for (const auto &c : cases) {
        char out[64];
        Bytes in = c.body;
        const int n =
            BinToAsc(out, reinterpret_cast<char *>(in.data()), static_cast<int>(in.size()));
        EXPECT_EQ(n, static_cast<int>(2 * in.size() + 5));
        EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.text);
    }
    // A negative length never writes before the buffer.
    char guard[8] = {'g', 'g', 'g', 'g', 'g', 'g', 'g', 'g'};
    char *out = guard + 3;
    EXPECT_EQ(BinToAsc(out, guard, -2), 5);
    EXPECT_EQ(std::string(guard, 3), "ggg");
    EXPECT_EQ(std::string(out, 5), ":00\r\n");
}

TEST(AsciiText, AscToBinVectors) {
    struct Case {
        const char *name;
        std::string text;
        int expected;
        Bytes decoded;
    };
    const std::string good = ":01030000000AF2\r\n";
    const std::vector<Case> cases = {
        {"whole frame", good, 6, {1, 3, 0, 0, 0, 10, 0xF2}},
        {"without CR LF the LRC is lost", good.substr(0, 15), -1, {}},
        {"blank first", " 01030000000AF2\r\n", -1, {}},
        {"three characters", ":01", -1, {}},
        {"four characters", ":01\r", -1, {}},
        {"LRC off by one", ":01030000000AF3\r\n", -1, {}},
        {"empty body", ":00\r\n", 0, {0}},
        {"lower-case digits are their values", ":1ae6\r\n", 1, {0x1A, 0xE6}},
        {"one end character short", ":01030000000AF2\r", -1, {}},
        {"odd number of digits", ":01030000000AF20\r\n", -1, {}},
        {"other characters in place of CR LF", ":01030000000AF2\n\r", -1, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char out[64];
        std::string in = c.text;
        const int n =
            AscToBin(reinterpret_cast<char *>(out), in.data(), static_cast<int>(in.size()));
        EXPECT_EQ(n, c.expected);
        if (n >= 0) {
            EXPECT_EQ(hexOf(Bytes(out, out + n + 1)), hexOf(c.decoded));
        }
    }
}

// Every character in the place of one digit: only 0-9, A-F and a-f decode,
// as their values; anything else refuses the text, even where the LRC would
// still check with the old "minus 0x30 or 0x37" reading.
TEST(AsciiText, EveryCharacterAsADigit) {
    for (int c = 0; c < 256; ++c) {
        int value = -1;
        if (c >= '0' && c <= '9') value = c - '0';
        if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
        if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
        SCOPED_TRACE(c);
        // Body 0x1v with v from the character; LRC written for value v (or 0).
        const int v = value < 0 ? 0 : value;
        const std::string good = frame({static_cast<unsigned char>(0x10 | v)});
        std::string text = good;
        text[2] = static_cast<char>(c);
        unsigned char out[8] = {};
        const int n =
            AscToBin(reinterpret_cast<char *>(out), text.data(), static_cast<int>(text.size()));
        if (value < 0) {
            EXPECT_EQ(n, -1);
        } else {
            ASSERT_EQ(n, 1);
            EXPECT_EQ(out[0], 0x10 | value);
        }
    }
}

TEST(AsciiText, RoundTrip) {
    std::mt19937 rng(3);
    for (int len = 0; len <= 1021; len += 17) {
        Bytes body(static_cast<size_t>(len));
        for (auto &b : body) b = static_cast<unsigned char>(rng());
        std::vector<char> text(2048);
        const int n =
            BinToAsc(text.data(), reinterpret_cast<char *>(body.data()), static_cast<int>(len));
        ASSERT_EQ(std::string(text.data(), static_cast<size_t>(n)), frame(body));
        unsigned char back[2048];
        ASSERT_EQ(AscToBin(reinterpret_cast<char *>(back), text.data(), n), len);
        EXPECT_EQ(Bytes(back, back + len), body);
    }
}

struct MasterCase {
    const char *name;
    char function;
    WORD addr, count;
    Bytes data;
    Bytes request;       // body expected on the wire
    std::string answer;  // text written back (empty: silence)
    int expected;
    Bytes cBuf;
};

constexpr WORD kTimeout = 60;

TEST(AsciiMaster, ExchangesOnTheWire) {
    const std::vector<MasterCase> cases = {
        {"read holding",
         3,
         0,
         2,
         {0, 0, 0, 0},
         {1, 3, 0, 0, 0, 2},
         frame({1, 3, 4, 0x12, 0x34, 0xAB, 0xCD}),
         0,
         {0x12, 0x34, 0xAB, 0xCD}},
        {"read coils",
         1,
         0x0102,
         10,
         {0, 0},
         {1, 1, 1, 2, 0, 10},
         frame({1, 1, 2, 0xA5, 3}),
         0,
         {0xA5, 3}},
        {"write register",
         6,
         1,
         0,
         {0, 3},
         {1, 6, 0, 1, 0, 3},
         frame({1, 6, 0, 1, 0, 3}),
         0,
         {0, 3}},
        {"write coil off", 5, 9, 0, {0}, {1, 5, 0, 9, 0, 0}, frame({1, 5, 0, 9, 0, 0}), 0, {0}},
        {"write registers",
         16,
         1,
         1,
         {0xBE, 0xEF},
         {1, 16, 0, 1, 0, 1, 2, 0xBE, 0xEF},
         frame({1, 16, 0, 1, 0, 1}),
         0,
         {0xBE, 0xEF}},
        {"write coils",
         15,
         0,
         3,
         {5},
         {1, 15, 0, 0, 0, 3, 1, 5},
         frame({1, 15, 0, 0, 0, 3}),
         0,
         {5}},
        {"exception", 3, 0, 2, {0xEE}, {1, 3, 0, 0, 0, 2}, ":0183027A\r\n", 13, {2}},
        {"bad LRC",
         4,
         0,
         1,
         {0xEE, 0xEE},
         {1, 4, 0, 0, 0, 1},
         ":010402002AFF\r\n",
         12,
         {0xEE, 0xEE}},
        {"no colon",
         4,
         0,
         1,
         {0xEE, 0xEE},
         {1, 4, 0, 0, 0, 1},
         frame({1, 4, 2, 0, 0x2A}).substr(1),
         12,
         {0xEE, 0xEE}},
        // The LRC checks, yet the second register never came: cBuf stays.
        {"short read answer",
         3,
         0,
         2,
         {0xEE, 0xEE, 0xEE, 0xEE},
         {1, 3, 0, 0, 0, 2},
         frame({1, 3, 4, 0x12, 0x34}),
         12,
         {0xEE, 0xEE, 0xEE, 0xEE}},
        {"body without function",
         3,
         0,
         1,
         {0xEE, 0xEE},
         {1, 3, 0, 0, 0, 1},
         ":00\r\n",
         12,
         {0xEE, 0xEE}},
        {"echo differs",
         6,
         1,
         0,
         {0, 3},
         {1, 6, 0, 1, 0, 3},
         frame({1, 6, 0, 1, 0, 4}),
         12,
         {0, 3}},
        {"one character", 3, 0, 1, {0xEE}, {1, 3, 0, 0, 0, 1}, ":", 15, {0xEE}},
        {"lower-case answer",
         3,
         0,
         1,
         {0xEE, 0xEE},
         {1, 3, 0, 0, 0, 1},
         ":010302002ad0\r\n",
         0,
         {0x00, 0x2A}},
        {"answer ends in other characters than CR LF",
         3,
         0,
         1,
         {0xEE, 0xEE},
         {1, 3, 0, 0, 0, 1},
         ":010302002AD0xy",
         12,
         {0xEE, 0xEE}},
        {"silence", 3, 0, 1, {0xEE}, {1, 3, 0, 0, 0, 1}, "", 15, {0xEE}},
    };
    ComOnPty com(kPort);
    // Every case twice, the second time through an adapter that echoes the
    // request first.
    for (size_t k = 0; k < 2 * cases.size(); ++k) {
        const auto &c = cases[k % cases.size()];
        const bool echo = k >= cases.size();
        if (k == cases.size()) com.echoing();
        SCOPED_TRACE(std::string(c.name) + (echo ? ", echoed" : ""));
        drain(com.pty.master);
        const std::string wire = frame(c.request);
        OneExchange far(com.pty.master, wire.size(), textBytes((echo ? wire : "") + c.answer));
        Bytes buf = c.data;
        buf.resize(16, 0xEE);
        WORD wT = 0;
        const int rc = modbusRequestA(kPort, 1, c.function, c.addr, c.count,
                                      reinterpret_cast<char *>(buf.data()), 16, kTimeout, &wT);
        const Bytes sent = far.request();
        EXPECT_EQ(std::string(sent.begin(), sent.end()), wire);
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(hexOf(Bytes(buf.begin(), buf.begin() + static_cast<long>(c.cBuf.size()))),
                  hexOf(c.cBuf));
        if (rc == 15) {
            EXPECT_GT(wT, kTimeout);
        }
    }
}

TEST(AsciiMaster, Function70HandsOnDataAndLrc) {
    ComOnPty com(kPort);
    const std::string answer = frame({1, 70, 4, 1, 2, 3, 4});
    OneExchange far(com.pty.master, 11, textBytes(answer));
    char buf[8];
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(modbusRequestA(kPort, 1, 70, 4, 0, buf, 8, kTimeout, nullptr), 0);
    EXPECT_EQ(hexOf(Bytes(buf, buf + 6)), hexOf({1, 2, 3, 4, 0xAB, 0xEE}));
}

TEST(AsciiMaster, LargestReadAnswerArrivesWhole) {
    ComOnPty com(kPort);
    Bytes body{1, 3, static_cast<unsigned char>(1018 & 0xFF)};
    for (int i = 0; i < 1018; ++i) body.push_back(static_cast<unsigned char>(i * 7));
    const std::string answer = frame(body);
    ASSERT_EQ(answer.size(), 2047u);
    OneExchange far(com.pty.master, 17, textBytes(answer));
    std::vector<char> buf(1018, 0);
    WORD wT = 0;
    ASSERT_EQ(modbusRequestA(kPort, 1, 3, 0, 509, buf.data(), 1018, 5000, &wT), 0);
    // A complete answer ends the wait: the expected length is exact.
    EXPECT_LT(wT, 5000);
    EXPECT_EQ(std::memcmp(buf.data(), body.data() + 3, 1018), 0);
}

TEST(AsciiMaster, RefusalsSendNothing) {
    struct Case {
        const char *name;
        char port, function;
        WORD addr, count, bufLen;
        int expected;
    };
    const std::vector<Case> cases = {
        {"function 18", kPort, 18, 0, 1, 16, 1},
        {"fn3 510", kPort, 3, 0, 510, 2048, 20},
        {"fn16 508", kPort, 16, 0, 508, 2048, 20},
        {"fn3 beyond wBufLen", kPort, 3, 0, 4, 7, 20},
        {"port 0", 0, 3, 0, 1, 16, 11},
        {"port not open", 12, 3, 0, 1, 16, 11},
    };
    ComOnPty com(kPort);
    std::vector<char> buf(2048, 0x11);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(modbusRequestA(c.port, 1, c.function, c.addr, c.count, buf.data(), c.bufLen, 50,
                                 nullptr),
                  c.expected);
        EXPECT_TRUE(readFor(com.pty.master, 1, 20).empty());
    }
}

TEST(AsciiSlave, RequestsAsTheyArrive) {
    struct Case {
        const char *name;
        char netId;
        std::string incoming;
        WORD bufLen;
        int expected;
        int function, addr, count;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {"read holding", 1, ":01030000000AF2\r\n", 16, 0, 3, 0, 10, {}},
        {"other slave", 2, ":01030000000AF2\r\n", 16, -15, 0, 0, 0, {}},
        {"any slave", 0, ":01030000000AF2\r\n", 16, 0, 3, 0, 10, {}},
        {"bad LRC", 1, ":01030000000AF3\r\n", 16, -15, 0, 0, 0, {}},
        // A ':' starts a frame over: noise before it costs no request.
        {"noise before the colon", 1, "x:01030000000AF2\r\n", 16, 0, 3, 0, 10, {}},
        {"a broken frame, then a whole one",
         1,
         ":0103\x01:01030000000AF2\r\n",
         16,
         0,
         3,
         0,
         10,
         {}},
        {"non-digit inside", 1, ":0103000G000AF2\r\n", 16, -15, 0, 0, 0, {}},
        {"lower case", 1, ":01030000000af2\r\n", 16, 0, 3, 0, 10, {}},
        {"no end", 1, ":01030000000AF2", 16, -15, 0, 0, 0, {}},
        {"write register", 1, frame({1, 6, 0, 5, 0x12, 0x34}), 16, 2, 6, 5, 1, {0x12, 0x34}},
        {"fn16 byte count > wBufLen",
         1,
         frame({1, 16, 0, 1, 0, 1, 2, 0xBE, 0xEF}),
         1,
         -12,
         16,
         0,
         0,
         {}},
        {"fn16 byte count = wBufLen",
         1,
         frame({1, 16, 0, 1, 0, 1, 2, 0xBE, 0xEF}),
         2,
         2,
         16,
         1,
         1,
         {0xBE, 0xEF}},
        // The LRC checks, but fields the function needs never came.
        {"fn16 claims more than arrived",
         1,
         frame({1, 16, 0, 1, 0, 2, 4, 1, 2}),
         64,
         -15,
         0,
         0,
         0,
         {}},
        {"read without quantity", 1, frame({1, 3, 0, 0}), 64, -15, 0, 0, 0, {}},
        {"address only", 0, frame({1}), 64, -15, 0, 0, 0, {}},
        // Bytes 4-5 never came: the count reads 0, not what the buffer held.
        {"fn70 short", 1, frame({1, 70, 4}), 64, 2, 70, 0x04B5, 0, {4, 0xB5}},
        {"function 7", 1, frame({1, 7, 0, 0, 0, 0}), 64, -1, 7, 0, 0, {}},
        // Passed over in the same burst: another slave's request.
        {"another slave's request, then ours",
         1,
         frame({2, 3, 0, 0, 0, 10}) + frame({1, 3, 0, 0, 0, 10}),
         16,
         0,
         3,
         0,
         10,
         {}},
        // Two requests in one burst: the second is kept for the next call.
        {"a request and the next in one write",
         1,
         frame({1, 3, 0, 0, 0, 10}) + frame({1, 4, 0, 1, 0, 2}),
         16,
         0,
         3,
         0,
         10,
         {}},
        {"the next, kept from that write", 1, "", 16, 0, 4, 1, 2, {}},
    };
    ComOnPty com(kPort);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.incoming.empty()) writeAll(com.pty.master, c.incoming.data(), c.incoming.size());
        char buf[64];
        std::memset(buf, 0xEE, sizeof buf);
        int function = -99, addr = -99, count = -99;
        const int rc = modbusReadA(kPort, c.netId, &function, buf, c.bufLen, &addr, &count, 20);
        EXPECT_EQ(rc, c.expected);
        if (rc >= 0) {
            EXPECT_EQ(function, c.function);
            EXPECT_EQ(addr, c.addr);
            EXPECT_EQ(count, c.count);
            EXPECT_EQ(hexOf(Bytes(buf, buf + rc)), hexOf(c.data));
        } else {
            // A request to us that is refused still says its function.
            EXPECT_EQ(function, rc == -1 || rc == -12 ? c.function : -99);
            EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xEE);
        }
    }
}

// What a call read behind its request belongs to that opening of the port.
TEST(AsciiSlave, KeptBytesGoWithTheOpening) {
    ComOnPty com(kPort);
    const std::string two = frame({1, 3, 0, 0, 0, 10}) + frame({1, 4, 0, 1, 0, 2});
    char buf[8];
    int f = 0, a = 0, n = 0;
    writeAll(com.pty.master, two.data(), two.size());
    ASSERT_EQ(modbusReadA(kPort, 1, &f, buf, 8, &a, &n, 20), 0);
    ASSERT_EQ(Close_Com(kPort), 0);
    ASSERT_EQ(Open_Com(kPort, 115200, 8, 0, 0), 0);
    EXPECT_EQ(modbusReadA(kPort, 1, &f, buf, 8, &a, &n, 20), -15);
}

TEST(AsciiSlave, Replies) {
    struct Case {
        const char *name;
        char port;
        int function;
        Bytes data;
        WORD bufLen, addr;
        int expected;
        Bytes body;  // empty: nothing sent
    };
    const std::vector<Case> cases = {
        {"fn3 4 bytes", kPort, 3, {1, 2, 3, 4}, 4, 0, 0, {9, 3, 4, 1, 2, 3, 4}},
        {"fn5 echo", kPort, 5, {0xFF, 0}, 0, 7, 0, {9, 5, 0, 7, 0xFF, 0}},
        {"fn3 1018 bytes fits", kPort, 3, {}, 1018, 0, 0, {}},
        {"fn3 1019 bytes", kPort, 3, {}, 1019, 0, 20, {}},
        {"function 7", kPort, 7, {}, 0, 0, 1, {}},
        {"exception of fn16", kPort, 0x90, {3}, 0, 0, 0, {9, 0x90, 3}},
        {"port 0", 0, 3, {1}, 1, 0, 11, {}},
    };
    ComOnPty com(kPort);
    std::vector<char> buf(2048, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        drain(com.pty.master);
        std::copy(c.data.begin(), c.data.end(), buf.begin());
        EXPECT_EQ(modbusReplyA(c.port, 9, c.function, buf.data(), c.bufLen, c.addr, 0), c.expected);
        if (!c.body.empty()) {
            const std::string want = frame(c.body);
            const Bytes got = readFor(com.pty.master, want.size(), 1000);
            EXPECT_EQ(std::string(got.begin(), got.end()), want);
        } else if (c.expected != 0) {
            EXPECT_TRUE(readFor(com.pty.master, 1, 20).empty());
        }
    }
}

}  // namespace

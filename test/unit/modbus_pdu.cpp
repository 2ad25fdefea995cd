// Function-code rules shared by every framing: request bodies, answer
// lengths and their frame limits, answer checks, slave parsing and answers.
#include "modbus_pdu.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "crc16.h"
#include "modbus.h"
#include "modbus_tcp.h"

namespace {

using namespace fieldbus::pdu;
using Bytes = std::vector<uint8_t>;

std::string hex(const uint8_t *p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", p[i]);
        s += b;
    }
    return s;
}

struct BuildCase {
    const char *name;
    uint8_t function;
    WORD addr, count;
    Bytes data;
    Bytes body;        // expected request body
    int answerLength;  // expected answer body length (RTU iRetLen - 2)
    int copyLength;    // RTU
};

TEST(ModbusPdu, RequestBodiesAndAnswerLengths) {
    const Bytes coils17{0xAA, 0x55, 0x01};
    const std::vector<BuildCase> cases = {
        {"read coils", 1, 0x0102, 10, {}, {1, 1, 1, 2, 0, 10}, 5, 2},
        {"read inputs count 0", 2, 0, 0, {}, {1, 2, 0, 0, 0, 0}, 4, 1},
        {"read inputs count 8", 2, 7, 8, {}, {1, 2, 0, 7, 0, 8}, 4, 1},
        {"read inputs count 9", 2, 7, 9, {}, {1, 2, 0, 7, 0, 9}, 5, 2},
        {"read holding", 3, 0, 10, {}, {1, 3, 0, 0, 0, 10}, 23, 20},
        {"read input regs", 4, 0x1234, 1, {}, {1, 4, 0x12, 0x34, 0, 1}, 5, 2},
        {"coil on 1", 5, 3, 0, {1}, {1, 5, 0, 3, 0xFF, 0}, 6, 0},
        {"coil on 0x80", 5, 3, 0, {0x80}, {1, 5, 0, 3, 0xFF, 0}, 6, 0},
        {"coil on 0xFF", 5, 3, 0, {0xFF}, {1, 5, 0, 3, 0xFF, 0}, 6, 0},
        {"coil off", 5, 3, 0, {0}, {1, 5, 0, 3, 0, 0}, 6, 0},
        {"write register", 6, 5, 0, {0x12, 0x34}, {1, 6, 0, 5, 0x12, 0x34}, 6, 0},
        {"write 17 coils",
         15,
         0x10,
         17,
         coils17,
         {1, 15, 0, 0x10, 0, 17, 3, 0xAA, 0x55, 0x01},
         6,
         0},
        // Byte count says 1, yet no group of 8 coils has started: no data byte.
        {"write 0 coils", 15, 0, 0, {0x77}, {1, 15, 0, 0, 0, 0, 1}, 6, 0},
        {"write 2 registers", 16, 1, 2, {1, 2, 3, 4}, {1, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4}, 6, 0},
        {"fn70 sub 4 no data", 70, 0x0304, 0, {}, {1, 70, 4}, 7, 6},
        {"fn70 sub 5 two bytes", 70, 5, 2, {9, 8}, {1, 70, 5, 9, 8}, 11, 10},
        {"fn70 sub 42", 70, 42, 0, {}, {1, 70, 42}, 4, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buf = c.data;
        buf.resize(64);
        uint8_t body[kFrameMax];
        Plan plan;
        ASSERT_EQ(buildRequest(kRtu, 1, c.function, c.addr, c.count,
                               reinterpret_cast<char *>(buf.data()), 64, body, &plan),
                  kOk);
        EXPECT_EQ(hex(body, plan.requestLength),
                  hex(c.body.data(), static_cast<int>(c.body.size())));
        EXPECT_EQ(plan.answerLength, c.answerLength);
        EXPECT_EQ(plan.copyLength, c.copyLength);
        EXPECT_EQ(plan.echoLength,
                  c.copyLength == 0 && c.function >= 5 && c.function != 70 ? 6 : 0);
    }
}

TEST(ModbusPdu, WriteMultipleRegistersByteCountKeepsLow8Bits) {
    std::vector<char> data(256, 0x5A);
    uint8_t body[kFrameMax];
    Plan plan;
    ASSERT_EQ(buildRequest(kRtu, 1, 16, 0, 128, data.data(), 256, body, &plan), kOk);
    EXPECT_EQ(plan.requestLength, 7 + 256);
    EXPECT_EQ(body[6], 0);  // 256 & 0xFF
    EXPECT_EQ(body[7 + 255], 0x5A);
}

TEST(ModbusPdu, Function70CopiesTheEnvelopesCheckBytes) {
    char buf[16] = {};
    uint8_t body[kFrameMax];
    Plan rtu, ascii, tcp;
    ASSERT_EQ(buildRequest(kRtu, 1, 70, 4, 0, buf, 16, body, &rtu), kOk);
    ASSERT_EQ(buildRequest(kAscii, 1, 70, 4, 0, buf, 16, body, &ascii), kOk);
    ASSERT_EQ(buildRequest(kTcp, 1, 70, 4, 0, buf, 16, body, &tcp), kOk);
    EXPECT_EQ(rtu.copyLength, 6);    // data + CRC
    EXPECT_EQ(ascii.copyLength, 5);  // data + LRC
    EXPECT_EQ(tcp.copyLength, 4);    // data only
}

struct RefuseCase {
    const char *name;
    const Envelope *env;
    uint8_t function;
    WORD addr, count, bufLen;
    int expected;
};

TEST(ModbusPdu, RefusalsAndFrameLimitBoundaries) {
    const std::vector<RefuseCase> cases = {
        {"function 7", &kRtu, 7, 0, 1, 64, kUnhandled},
        {"function 18", &kRtu, 18, 0, 1, 64, kUnhandled},
        {"function 0", &kRtu, 0, 0, 1, 64, kUnhandled},
        {"fn70 sub 1", &kRtu, 70, 1, 0, 64, kUnhandled},
        {"fn70 sub 0x0101 low byte 1", &kRtu, 70, 0x0101, 0, 64, kUnhandled},
        {"fn15 17 coils in 2 bytes", &kRtu, 15, 0, 17, 2, kTooLong},
        {"fn15 17 coils in 3 bytes", &kRtu, 15, 0, 17, 3, kOk},
        {"fn15 0 coils, no buffer", &kRtu, 15, 0, 0, 0, kTooLong},
        {"fn15 0 coils, 1 byte", &kRtu, 15, 0, 0, 1, kOk},
        {"fn16 3 regs in 5 bytes", &kRtu, 16, 0, 3, 5, kTooLong},
        // RTU: request frame body + CRC <= 2048, answer likewise.
        {"rtu fn3 1021", &kRtu, 3, 0, 1021, 4096, kOk},
        {"rtu fn3 1022", &kRtu, 3, 0, 1022, 4096, kTooLong},
        {"rtu fn1 16344", &kRtu, 1, 0, 16344, 4096, kOk},
        {"rtu fn1 16345", &kRtu, 1, 0, 16345, 4096, kTooLong},
        {"rtu fn15 N 2039", &kRtu, 15, 0, 2039 * 8, 4096, kOk},
        {"rtu fn15 N 2040", &kRtu, 15, 0, 2039 * 8 + 1, 4096, kTooLong},
        {"rtu fn16 1019", &kRtu, 16, 0, 1019, 4096, kOk},
        {"rtu fn16 1020", &kRtu, 16, 0, 1020, 4096, kTooLong},
        {"rtu fn70 2043", &kRtu, 70, 4, 2043, 4096, kOk},
        {"rtu fn70 2044", &kRtu, 70, 4, 2044, 4096, kTooLong},
        // ASCII: text 2 * body + 5 <= 2048.
        {"ascii fn1 8144", &kAscii, 1, 0, 8144, 4096, kOk},
        {"ascii fn1 8145", &kAscii, 1, 0, 8145, 4096, kTooLong},
        {"ascii fn3 509", &kAscii, 3, 0, 509, 4096, kOk},
        {"ascii fn3 510", &kAscii, 3, 0, 510, 4096, kTooLong},
        {"ascii fn15 N 1014", &kAscii, 15, 0, 1014 * 8, 4096, kOk},
        {"ascii fn15 N 1015", &kAscii, 15, 0, 1014 * 8 + 1, 4096, kTooLong},
        {"ascii fn16 507", &kAscii, 16, 0, 507, 4096, kOk},
        {"ascii fn16 508", &kAscii, 16, 0, 508, 4096, kTooLong},
        {"ascii fn70 1018", &kAscii, 70, 4, 1018, 4096, kOk},
        {"ascii fn70 1019", &kAscii, 70, 4, 1019, 4096, kTooLong},
        // TCP: 6-byte header + body <= 2048.
        {"tcp fn1 16312", &kTcp, 1, 0, 16312, 4096, kOk},
        {"tcp fn1 16313", &kTcp, 1, 0, 16313, 4096, kTooLong},
        {"tcp fn3 1019", &kTcp, 3, 0, 1019, 4096, kOk},
        {"tcp fn3 1020", &kTcp, 3, 0, 1020, 4096, kTooLong},
        {"tcp fn15 N 2035", &kTcp, 15, 0, 2035 * 8, 4096, kOk},
        {"tcp fn15 N 2036", &kTcp, 15, 0, 2035 * 8 + 1, 4096, kTooLong},
        {"tcp fn16 1017", &kTcp, 16, 0, 1017, 4096, kOk},
        {"tcp fn16 1018", &kTcp, 16, 0, 1018, 4096, kTooLong},
        {"tcp fn70 2039", &kTcp, 70, 4, 2039, 4096, kOk},
        {"tcp fn70 2040", &kTcp, 70, 4, 2040, 4096, kTooLong},
        // A reading master never copies more than wBufLen bytes back.
        {"fn3 10 regs into 19 bytes", &kRtu, 3, 0, 10, 19, kTooLong},
        {"fn3 10 regs into 20 bytes", &kRtu, 3, 0, 10, 20, kOk},
        {"fn1 9 coils into 1 byte", &kRtu, 1, 0, 9, 1, kTooLong},
        {"fn2 8 inputs into 1 byte", &kRtu, 2, 0, 8, 1, kOk},
        {"rtu fn70 sub 5 into 9", &kRtu, 70, 5, 0, 9, kTooLong},
        {"rtu fn70 sub 5 into 10", &kRtu, 70, 5, 0, 10, kOk},
        {"ascii fn70 sub 5 into 9", &kAscii, 70, 5, 0, 9, kOk},
        // Function 70 never reads more request bytes than cBuf holds.
        {"fn70 12 bytes from 11", &kRtu, 70, 4, 12, 11, kTooLong},
        // An unhandled sub-function wins over a too-long request.
        {"fn70 sub 1 huge", &kRtu, 70, 1, 60000, 64, kUnhandled},
        // cBuf (all zeros) too short for the data field, or of a type not handled.
        {"fn0x17 without its byte count", &kRtu, 0x17, 0, 0, 8, kTooLong},
        {"fn0x2B of type 0", &kRtu, 0x2B, 0, 0, 64, kUnhandled},
    };
    std::vector<char> buf(70000, 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t body[kFrameMax];
        std::memset(body, 0xEE, sizeof body);
        Plan plan;
        EXPECT_EQ(
            buildRequest(*c.env, 1, c.function, c.addr, c.count, buf.data(), c.bufLen, body, &plan),
            c.expected);
        if (c.expected != kOk) {
            EXPECT_EQ(body[0], 0xEE) << "nothing may be built on a refusal";
        }
    }
}

struct AnswerCase {
    const char *name;
    Bytes answer;  // body bytes that arrived
    int expected;
    Bytes cBuf;  // cBuf afterwards (first 4 bytes)
};

TEST(ModbusPdu, ReadAnswerChecks) {
    uint8_t request[kFrameMax];
    char sink[8] = {};
    Plan plan;
    ASSERT_EQ(buildRequest(kRtu, 1, 3, 0, 2, sink, 8, request, &plan), kOk);
    const std::vector<AnswerCase> cases = {
        {"whole answer", {1, 3, 4, 0xA1, 0xA2, 0xA3, 0xA4}, kOk, {0xA1, 0xA2, 0xA3, 0xA4}},
        {"short by one", {1, 3, 4, 1, 2, 3}, kBadAnswer, {0xEE, 0xEE, 0xEE, 0xEE}},
        {"only address and function", {1, 3}, kBadAnswer, {0xEE, 0xEE, 0xEE, 0xEE}},
        {"exception", {1, 0x83, 2}, kException, {2, 0xEE, 0xEE, 0xEE}},
        {"exception without its code", {1, 0x83}, kBadAnswer, {0xEE, 0xEE, 0xEE, 0xEE}},
        {"address only", {1}, kBadAnswer, {0xEE, 0xEE, 0xEE, 0xEE}},
        {"nothing", {}, kBadAnswer, {0xEE, 0xEE, 0xEE, 0xEE}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t answer[kFrameMax] = {};
        std::copy(c.answer.begin(), c.answer.end(), answer);
        char cBuf[4];
        std::memset(cBuf, 0xEE, sizeof cBuf);
        EXPECT_EQ(takeAnswer(plan, request, answer, static_cast<int>(c.answer.size()), cBuf),
                  c.expected);
        EXPECT_EQ(hex(reinterpret_cast<uint8_t *>(cBuf), 4), hex(c.cBuf.data(), 4));
    }
}

TEST(ModbusPdu, WriteAnswersMustEchoSixBytes) {
    uint8_t request[kFrameMax];
    char value[2] = {0x12, 0x34};
    Plan plan;
    ASSERT_EQ(buildRequest(kRtu, 7, 6, 0x0100, 0, value, 2, request, &plan), kOk);
    const std::vector<AnswerCase> cases = {
        {"echo", {7, 6, 1, 0, 0x12, 0x34}, kOk, {}},
        {"other address", {7, 6, 1, 1, 0x12, 0x34}, kBadAnswer, {}},
        {"other value", {7, 6, 1, 0, 0x12, 0x35}, kBadAnswer, {}},
        {"other slave", {8, 6, 1, 0, 0x12, 0x34}, kBadAnswer, {}},
        {"short echo", {7, 6, 1, 0, 0x12}, kBadAnswer, {}},
        {"exception", {7, 0x86, 3}, kException, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // Left-over bytes of a matching earlier answer must not complete a short one.
        uint8_t answer[kFrameMax];
        std::memcpy(answer, request, 6);
        std::copy(c.answer.begin(), c.answer.end(), answer);
        char cBuf[2] = {0x12, 0x34};
        EXPECT_EQ(takeAnswer(plan, request, answer, static_cast<int>(c.answer.size()), cBuf),
                  c.expected);
    }
}

struct ParseCase {
    const char *name;
    const Envelope *env;
    uint8_t netId;
    Bytes body;  // body followed by the envelope's check bytes
    WORD bufLen;
    int expected;
    int function, addr, count;
    Bytes data;
};

TEST(ModbusPdu, SlaveRequestParsing) {
    const std::vector<ParseCase> cases = {
        {"read holding", &kRtu, 1, {1, 3, 0, 0, 0, 10, 0xC5, 0xCD}, 8, 0, 3, 0, 10, {}},
        {"other slave", &kRtu, 2, {1, 3, 0, 0, 0, 10, 0xC5, 0xCD}, 8, kSlaveNoRequest, 0, 0, 0, {}},
        {"any slave", &kRtu, 0, {1, 3, 0, 0, 0, 10, 0xC5, 0xCD}, 8, 0, 3, 0, 10, {}},
        {"address 0 to any", &kRtu, 0, {0, 1, 0, 5, 0, 1, 0xAA, 0xBB}, 8, 0, 1, 5, 1, {}},
        {"write register", &kRtu, 1, {1, 6, 0, 5, 0x12, 0x34, 0, 0}, 8, 2, 6, 5, 1, {0x12, 0x34}},
        {"write coil", &kRtu, 1, {1, 5, 0, 9, 0xFF, 0, 0, 0}, 8, 2, 5, 9, 1, {0xFF, 0}},
        {"write coil into 1 byte",
         &kRtu,
         1,
         {1, 5, 0, 9, 0xFF, 0, 0, 0},
         1,
         kSlaveNoRoom,
         5,
         0,
         0,
         {}},
        {"fn16 byte count > wBufLen",
         &kRtu,
         1,
         {1, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4, 0, 0},
         3,
         kSlaveNoRoom,
         16,
         0,
         0,
         {}},
        {"fn16 byte count = wBufLen",
         &kRtu,
         1,
         {1, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4, 0, 0},
         4,
         4,
         16,
         1,
         2,
         {1, 2, 3, 4}},
        {"fn15 one byte", &kRtu, 1, {1, 15, 0, 0, 0, 3, 1, 5, 0, 0}, 8, 1, 15, 0, 3, {5}},
        {"fn16 claims more than arrived",
         &kRtu,
         1,
         {1, 16, 0, 1, 0, 2, 4, 1, 2, 3, 0, 0},
         64,
         kSlaveNoRequest,
         0,
         0,
         0,
         {}},
        {"fn15 count in the CRC",
         &kRtu,
         1,
         {1, 15, 0, 0, 0, 3, 0xAB, 0xCD},
         64,
         kSlaveNoRequest,
         0,
         0,
         0,
         {}},
        {"function 7", &kRtu, 1, {1, 7, 0, 0, 0, 0, 0, 0}, 8, kSlaveUnhandled, 7, 0, 0, {}},
        {"fn70 keeps the CRC",
         &kRtu,
         1,
         {1, 70, 4, 9, 8, 7, 0xC1, 0xC2},
         64,
         6,
         70,
         0x0409,
         0x0807,
         {4, 9, 8, 7, 0xC1, 0xC2}},
        {"fn70 data = wBufLen",
         &kRtu,
         1,
         {1, 70, 4, 9, 8, 7, 0xC1, 0xC2},
         6,
         6,
         70,
         0x0409,
         0x0807,
         {4, 9, 8, 7, 0xC1, 0xC2}},
        {"fn70 data > wBufLen",
         &kRtu,
         1,
         {1, 70, 4, 9, 8, 7, 0xC1, 0xC2},
         5,
         kSlaveNoRoom,
         70,
         0,
         0,
         {}},
        {"ascii fn70 short", &kAscii, 1, {1, 70, 4, 0xB5}, 64, 2, 70, 0x04B5, 0, {4, 0xB5}},
        {"ascii read too short", &kAscii, 1, {1, 3, 0, 0, 0xFC}, 64, kSlaveNoRequest, 0, 0, 0, {}},
        {"ascii address only", &kAscii, 0, {1, 0xFF}, 64, kSlaveNoRequest, 0, 0, 0, {}},
        {"tcp fn70 no check bytes", &kTcp, 0, {1, 70, 4, 9}, 64, 2, 70, 0x0409, 0, {4, 9}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        char cBuf[64];
        std::memset(cBuf, 0xEE, sizeof cBuf);
        SlaveRequest out;
        out.function = out.dataAddr = out.dataCount = -99;
        const int len = static_cast<int>(c.body.size()) - c.env->checkBytes;
        const int rc = parseRequest(*c.env, c.netId, c.body.data(), len, cBuf, c.bufLen, &out);
        EXPECT_EQ(rc, c.expected);
        if (rc >= 0) {
            EXPECT_EQ(out.function, c.function);
            EXPECT_EQ(out.dataAddr, c.addr);
            EXPECT_EQ(out.dataCount, c.count);
            EXPECT_EQ(hex(reinterpret_cast<uint8_t *>(cBuf), rc),
                      hex(c.data.data(), static_cast<int>(c.data.size())));
        } else {
            // A request to us that is refused still says its function.
            const bool ours = rc == kSlaveUnhandled || rc == kSlaveNoRoom;
            EXPECT_EQ(out.function, ours ? c.function : -99);
            EXPECT_EQ(out.dataAddr, -99) << "only the function is written on a refusal";
            EXPECT_EQ(static_cast<uint8_t>(cBuf[0]), 0xEE);
        }
    }
}

TEST(ModbusPdu, SlaveAnswers) {
    char data[2048] = {1, 2, 3, 4};
    struct Case {
        const char *name;
        const Envelope *env;
        int function;
        WORD bufLen, addr;
        int expected;
        Bytes body;
    };
    const std::vector<Case> cases = {
        {"fn3 4 bytes", &kRtu, 3, 4, 0, kOk, {9, 3, 4, 1, 2, 3, 4}},
        {"fn6 echo", &kRtu, 6, 0, 0x0105, kOk, {9, 6, 1, 5, 1, 2}},
        {"fn16 quantity", &kRtu, 16, 0, 0x0010, kOk, {9, 16, 0, 0x10, 1, 2}},
        {"fn70 raw", &kRtu, 70, 3, 0, kOk, {9, 70, 1, 2, 3}},
        {"fn7", &kRtu, 7, 0, 0, kUnhandled, {}},
        {"fn 256 + 3", &kRtu, 259, 4, 0, kUnhandled, {}},
        {"rtu fn3 2043 bytes", &kRtu, 3, 2043, 0, kOk, {}},
        {"rtu fn3 2044 bytes", &kRtu, 3, 2044, 0, kTooLong, {}},
        {"ascii fn3 1018 bytes", &kAscii, 3, 1018, 0, kOk, {}},
        {"ascii fn3 1019 bytes", &kAscii, 3, 1019, 0, kTooLong, {}},
        {"tcp fn70 2040 bytes", &kTcp, 70, 2040, 0, kOk, {}},
        {"tcp fn70 2041 bytes", &kTcp, 70, 2041, 0, kTooLong, {}},
        {"huge count", &kRtu, 1, 65535, 0, kTooLong, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t body[kFrameMax];
        int length = -1;
        EXPECT_EQ(buildReply(*c.env, 9, c.function, data, c.bufLen, c.addr, body, &length),
                  c.expected);
        if (c.expected == kOk && !c.body.empty()) {
            EXPECT_EQ(hex(body, length), hex(c.body.data(), static_cast<int>(c.body.size())));
        }
        if (c.expected == kOk && c.function == 3) {
            EXPECT_EQ(body[2], static_cast<uint8_t>(c.bufLen));
        }
    }
}

// A master's request read by the slave rules and answered by them must give
// the master back what the slave served, for every function and framing.
TEST(ModbusPdu, MasterAndSlaveRulesAgree) {
    const Envelope *envs[] = {&kRtu, &kAscii, &kTcp};
    const uint8_t functions[] = {1, 2, 3, 4, 5, 6, 15, 16};
    for (const Envelope *env : envs) {
        for (uint8_t fn : functions) {
            SCOPED_TRACE(std::to_string(fn) + " / check bytes " + std::to_string(env->checkBytes));
            char out[64];
            for (int i = 0; i < 64; ++i) out[i] = static_cast<char>(i * 7 + 1);
            uint8_t request[kFrameMax];
            Plan plan;
            ASSERT_EQ(buildRequest(*env, 3, fn, 0x0203, 11, out, 64, request, &plan), kOk);
            char got[64];
            SlaveRequest req;
            const int n = parseRequest(*env, 3, request, plan.requestLength, got, 64, &req);
            ASSERT_GE(n, 0);
            EXPECT_EQ(req.function, fn);
            EXPECT_EQ(req.dataAddr, 0x0203);
            if (fn == 5) {
                EXPECT_EQ(static_cast<uint8_t>(got[0]), 0xFF);
            }
            if (fn == 6 || fn == 15 || fn == 16) {
                EXPECT_EQ(std::memcmp(got, out, 2), 0);
            }

            char served[64];
            for (int i = 0; i < 64; ++i) served[i] = static_cast<char>(0x80 + i);
            WORD answerBytes = 0;
            char echo[2] = {got[0], got[1]};
            if (fn <= 4) {
                answerBytes = static_cast<WORD>(plan.copyLength);
            } else if (fn >= 15) {
                echo[0] = static_cast<char>(req.dataCount >> 8);
                echo[1] = static_cast<char>(req.dataCount);
            }
            uint8_t answer[kFrameMax + 4] = {};
            int length = 0;
            ASSERT_EQ(buildReply(*env, 3, fn, fn <= 4 ? served : echo, answerBytes,
                                 static_cast<WORD>(req.dataAddr), answer, &length),
                      kOk);
            char back[64] = {};
            ASSERT_EQ(takeAnswer(plan, request, answer, length, back), kOk);
            if (fn <= 4) {
                EXPECT_EQ(std::memcmp(back, served, static_cast<size_t>(answerBytes)), 0);
            }
        }
    }
}

// What a master takes as the answer to its request, the same in the three
// framings: each body below is sent wrapped as RTU (CRC), ASCII (text, LRC)
// and TCP (header with the connection's transaction), and judged by that
// framing's own check. Anything refused leaves cBuf as it was.
TEST(ModbusPdu, AnswersMatchTheirRequestInEveryFraming) {
    struct Case {
        const char *name;
        uint8_t unit, function;
        WORD addr, count;
        Bytes answer;  // body
        int expected;
        Bytes cBuf;  // first bytes afterwards
    };
    const Bytes untouched{0xEE, 0xEE, 0xEE, 0xEE};
    const std::vector<Case> cases = {
        {"read, whole", 1, 3, 0, 2, {1, 3, 4, 1, 2, 3, 4}, kOk, {1, 2, 3, 4}},
        {"read, from another slave", 1, 3, 0, 2, {9, 3, 4, 1, 2, 3, 4}, kBadAnswer, untouched},
        {"read, another function", 1, 2, 0, 16, {1, 4, 2, 1, 2}, kBadAnswer, untouched},
        {"read, byte count of another quantity",
         1,
         3,
         0,
         2,
         {1, 3, 2, 1, 2, 3, 4},
         kBadAnswer,
         untouched},
        {"coils, byte count of another quantity",
         1,
         1,
         0,
         9,
         {1, 1, 1, 0xFF, 0x01},
         kBadAnswer,
         untouched},
        {"coils read as inputs", 1, 2, 0, 8, {1, 1, 1, 0x5A}, kBadAnswer, untouched},
        {"exception of the function asked",
         1,
         3,
         0,
         2,
         {1, 0x83, 2},
         kException,
         {2, 0xEE, 0xEE, 0xEE}},
        {"exception of another function", 1, 3, 0, 2, {1, 0x84, 2}, kBadAnswer, untouched},
        {"exception from another slave", 1, 3, 0, 2, {2, 0x83, 2}, kBadAnswer, untouched},
        {"write echo", 1, 6, 7, 0, {1, 6, 0, 7, 0x12, 0x34}, kOk, {0x12, 0x34, 0xEE, 0xEE}},
        {"write echo from another slave",
         1,
         6,
         7,
         0,
         {4, 6, 0, 7, 0x12, 0x34},
         kBadAnswer,
         {0x12, 0x34, 0xEE, 0xEE}},
        // No slave answers address 0 as its own: whoever answers is taken.
        {"request to address 0", 0, 3, 0, 1, {5, 3, 2, 0xAB, 0xCD}, kOk, {0xAB, 0xCD, 0xEE, 0xEE}},
        {"function 70 of the slave", 1, 70, 7, 0, {1, 70, 7, 0x55}, kOk, {0x55}},
        {"function 70 of another slave", 1, 70, 7, 0, {2, 70, 7, 0x55}, kBadAnswer, {0xEE}},
        {"function 70 answered as another function",
         1,
         70,
         7,
         0,
         {1, 71, 7, 0x55},
         kBadAnswer,
         {0xEE}},
    };
    for (const auto &c : cases) {
        for (int framing = 0; framing < 3; ++framing) {
            SCOPED_TRACE(std::string(c.name) + (framing == 0   ? " / RTU"
                                                : framing == 1 ? " / ASCII"
                                                               : " / TCP"));
            const Envelope &env = framing == 0 ? kRtu : framing == 1 ? kAscii : kTcp;
            char cBuf[8];
            std::memset(cBuf, 0xEE, sizeof cBuf);
            // Data to write for 6 (taken from cBuf) is 12 34.
            cBuf[0] = 0x12;
            cBuf[1] = 0x34;
            if (c.function != 6) std::memset(cBuf, 0xEE, sizeof cBuf);
            uint8_t request[kFrameMax];
            Plan plan;
            ASSERT_EQ(buildRequest(env, c.unit, c.function, c.addr, c.count, cBuf, sizeof cBuf,
                                   request, &plan),
                      kOk);
            uint8_t frame[kFrameMax];
            Bytes body = c.answer;
            int result = -1;
            if (framing == 0) {
                std::copy(body.begin(), body.end(), frame);
                const int n = static_cast<int>(body.size());
                const uint16_t crc = getCRC16(frame, n);
                frame[n] = static_cast<uint8_t>(crc >> 8);
                frame[n + 1] = static_cast<uint8_t>(crc);
                result = rtuTakeAnswer(plan, request, frame, n + 2, cBuf);
            } else if (framing == 1) {
                char text[kFrameMax];
                const int n = BinToAsc(text, reinterpret_cast<char *>(body.data()),
                                       static_cast<int>(body.size()));
                uint8_t scratch[kFrameMax];
                result = asciiTakeAnswer(plan, request, text, n, scratch, cBuf);
            } else {
                uint8_t full[kFrameMax];
                uint8_t answer[kFrameMax];
                std::copy(request, request + plan.requestLength, full + fieldbus::tcp::kHeader);
                fieldbus::tcp::putHeader(full, 0x0102, plan.requestLength);
                std::copy(body.begin(), body.end(), answer + fieldbus::tcp::kHeader);
                fieldbus::tcp::putHeader(answer, 0x0102, static_cast<int>(body.size()));
                result = fieldbus::tcp::takeAnswer(
                    plan, 0x0102, full, answer,
                    fieldbus::tcp::kHeader + static_cast<int>(body.size()), cBuf);
            }
            EXPECT_EQ(result, c.expected);
            EXPECT_EQ(hex(reinterpret_cast<uint8_t *>(cBuf), static_cast<int>(c.cBuf.size())),
                      hex(c.cBuf.data(), static_cast<int>(c.cBuf.size())));
        }
    }
}

// Counted answers (0x11, 0x2B) end where their own fields say; a cBuf of 8
// bytes takes what follows the function code, or nothing at all.
TEST(ModbusPdu, CountedAnswersEndWhereTheirFieldsSay) {
    struct Case {
        const char *name;
        Bytes answer;
        int expected;
    };
    const std::vector<Case> cases = {
        {"server id", {1, 0x11, 3, 1, 0xFF, 0x41}, kOk},
        {"server id, count beyond the answer", {1, 0x11, 4, 1, 0xFF, 0x41}, kBadAnswer},
        {"server id, bytes beyond the count", {1, 0x11, 2, 1, 0xFF, 0x41}, kBadAnswer},
        {"server id longer than cBuf", {1, 0x11, 8, 1, 0xFF, 1, 2, 3, 4, 5, 6}, kTooLong},
        {"identification", {1, 0x2B, 0x0E, 1, 0x81, 0, 0, 1, 0, 0}, kOk},
        {"object beyond the answer", {1, 0x2B, 0x0E, 1, 0x81, 0, 0, 1, 0, 1}, kBadAnswer},
        {"fewer objects than counted", {1, 0x2B, 0x0E, 1, 0x81, 0, 0, 2, 0, 0}, kBadAnswer},
        {"another code", {1, 0x2B, 0x0E, 2, 0x81, 0, 0, 1, 0, 0}, kBadAnswer},
        {"more follows 1", {1, 0x2B, 0x0E, 1, 0x81, 1, 0, 1, 0, 0}, kBadAnswer},
        {"longer than cBuf", {1, 0x2B, 0x0E, 1, 0x81, 0, 0, 1, 0, 1, 0x41}, kTooLong},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char cBuf[8] = {0x0E, 1, 0};  // 0x2B's data field; 0x11 has none
        uint8_t request[kFrameMax];
        Plan plan;
        ASSERT_EQ(buildRequest(kTcp, 1, c.answer[1], 0, 0, cBuf, 8, request, &plan), kOk);
        std::memset(cBuf, 0xEE, sizeof cBuf);
        const auto n = static_cast<int>(c.answer.size());
        EXPECT_EQ(takeAnswer(plan, request, c.answer.data(), n, cBuf), c.expected);
        Bytes want(8, 0xEE);
        if (c.expected == kOk) std::copy(c.answer.begin() + 2, c.answer.end(), want.begin());
        EXPECT_EQ(hex(reinterpret_cast<uint8_t *>(cBuf), 8), hex(want.data(), 8));
    }
}

}  // namespace

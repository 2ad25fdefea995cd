// The Modbus/TCP master (modbusRequestE) and quorvat against libmodbus as
// the server, on 127.0.0.1 and ::1.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "exec_wrapper.h"
#include "tcp_peer.h"

namespace {

using tcppeer::LibmodbusServer;

// A master connection to a fresh libmodbus server of the given family.
class TcpMasterPeer : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ipv6 = GetParam();
        server = std::make_unique<LibmodbusServer>(ipv6);
        index = Open_Socket(0, 0, ipv6 ? 1 : 0);
        char host[16];
        std::snprintf(host, sizeof host, "%s", ipv6 ? "::1" : "127.0.0.1");
        ASSERT_EQ(Connect_TCP(index, host, server->port), 0);
    }
    void TearDown() override {
        Close_Socket(index);
        server.reset();
    }
    int request(char unit, char function, WORD addr, WORD count, std::vector<char> &buf,
                WORD timeout = 1000) {
        return modbusRequestE(index, unit, function, addr, count, buf.data(),
                              static_cast<WORD>(buf.size()), timeout, nullptr);
    }
    std::vector<uint16_t> readRegisters(char function, WORD addr, WORD count) {
        std::vector<char> buf(2 * count);
        EXPECT_EQ(request(1, function, addr, count, buf), 0);
        std::vector<uint16_t> regs;
        for (int i = 0; i < count; ++i)
            regs.push_back(static_cast<uint16_t>((static_cast<uint8_t>(buf[2 * i]) << 8) |
                                                 static_cast<uint8_t>(buf[2 * i + 1])));
        return regs;
    }
    std::vector<bool> readBits(char function, WORD addr, WORD count) {
        std::vector<char> buf((count + 7) / 8);
        EXPECT_EQ(request(1, function, addr, count, buf), 0);
        std::vector<bool> bits;
        for (int i = 0; i < count; ++i) bits.push_back((buf[i / 8] >> (i % 8)) & 1);
        return bits;
    }
    bool ipv6 = false;
    std::unique_ptr<LibmodbusServer> server;
    int index = -1;
};

TEST_P(TcpMasterPeer, ReadsEveryTable) {
    std::vector<uint16_t> holding, inputRegs;
    std::vector<bool> coils, inputs;
    for (int i = 0; i < 10; ++i) {
        holding.push_back(tcppeer::holdingAt(7 + i));
        inputRegs.push_back(tcppeer::inputRegAt(7 + i));
    }
    for (int i = 0; i < 19; ++i) {
        coils.push_back(tcppeer::coilAt(5 + i));
        inputs.push_back(tcppeer::inputAt(5 + i));
    }
    EXPECT_EQ(readRegisters(3, 7, 10), holding);
    EXPECT_EQ(readRegisters(4, 7, 10), inputRegs);
    EXPECT_EQ(readBits(1, 5, 19), coils);
    EXPECT_EQ(readBits(2, 5, 19), inputs);
}

TEST_P(TcpMasterPeer, WritesAreSeenOnReadBack) {
    std::vector<char> value{static_cast<char>(0xBE), static_cast<char>(0xEF)};
    EXPECT_EQ(request(1, 6, 4, 0, value), 0);
    EXPECT_EQ(readRegisters(3, 4, 1), std::vector<uint16_t>{0xBEEF});

    std::vector<char> regs{0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    EXPECT_EQ(request(1, 16, 50, 3, regs), 0);
    EXPECT_EQ(readRegisters(3, 50, 3), (std::vector<uint16_t>{0x1122, 0x3344, 0x5566}));

    std::vector<char> on{1};
    EXPECT_EQ(request(1, 5, 1, 0, on), 0);  // coil 1 starts off
    EXPECT_EQ(readBits(1, 1, 1), std::vector<bool>{true});

    std::vector<char> pattern{static_cast<char>(0xA5), 0x01};  // 9 coils from 20
    EXPECT_EQ(request(1, 15, 20, 9, pattern), 0);
    EXPECT_EQ(readBits(1, 20, 9),
              (std::vector<bool>{true, false, true, false, false, true, false, true, true}));
}

TEST_P(TcpMasterPeer, ExceptionSilenceAndHangUp) {
    std::vector<char> buf(4, 0);
    EXPECT_EQ(request(1, 3, 199, 2, buf), 13) << "beyond the server's registers";
    EXPECT_EQ(buf[0], 2) << "illegal data address";
    WORD wT = 77;
    EXPECT_EQ(modbusRequestE(index, 99, 3, 0, 1, buf.data(), 4, 100, &wT), 15);
    EXPECT_EQ(wT, 77);
    // The unanswered request did not upset the connection.
    EXPECT_EQ(readRegisters(3, 0, 1), std::vector<uint16_t>{tcppeer::holdingAt(0)});
    EXPECT_LT(request(98, 3, 0, 1, buf), 0);
}

// The request data as cBuf carries them; 0x17 and 0x11 answer into cBuf.
TEST_P(TcpMasterPeer, ReadWriteMaskWriteAndServerId) {
    std::vector<char> rw{0, 60, 0, 1, 0, 60, 0, 1, 2, 0x12, 0x34};  // 0x1234 to 60, read back
    ASSERT_EQ(request(1, 0x17, 0, 0, rw), 0);
    EXPECT_EQ(std::vector<char>(rw.begin(), rw.begin() + 2), (std::vector<char>{0x12, 0x34}));
    std::vector<char> mask{0, 60, 0, 0x0F, 0, 0x30};  // 0x0004 OR 0x0030
    ASSERT_EQ(request(1, 0x16, 0, 0, mask), 0);
    EXPECT_EQ(readRegisters(3, 60, 1), std::vector<uint16_t>{0x0034});
    std::vector<char> id(64, 0);
    ASSERT_EQ(request(1, 0x11, 0, 0, id), 0);
    EXPECT_EQ(static_cast<uint8_t>(id[2]), 0xFF) << "run indicator after the byte count and id";
    std::vector<char> tooSmall(4, 0);
    EXPECT_EQ(request(1, 0x11, 0, 0, tooSmall), 20) << "an answer longer than cBuf";
}

INSTANTIATE_TEST_SUITE_P(Families, TcpMasterPeer, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "ipv6" : "ipv4"; });

tcppeer::Outcome quorvat(std::initializer_list<std::string> args) {
    return tcppeer::runProgram(fbtest::programArgv(FIELDBUS_BIN_DIR "/quorvat", args));
}

TEST(QuorvatPeer, PrintsTheFirstValueOfEachFunction) {
    LibmodbusServer server(false);
    const std::string port = std::to_string(server.port);
    struct Case {
        const char *function, *addr;
        std::string printed;
    };
    // Coils from 3: 3, 6, 9 on -> bits 0, 3, 6 -> 73; inputs from 4: odd ones
    // on -> bits 1, 3, 5, 7 -> 170.
    const Case cases[] = {{"1", "3", "73"},
                          {"2", "4", "170"},
                          {"3", "2", std::to_string(tcppeer::holdingAt(2))},
                          {"4", "9", std::to_string(tcppeer::inputRegAt(9))}};
    for (const Case &c : cases) {
        const tcppeer::Outcome r =
            quorvat({"127.0.0.1", port, "1", c.function, c.addr, "8", "1000"});
        EXPECT_EQ(r.out, c.printed) << "function " << c.function;
        EXPECT_EQ(r.status, 0);
    }
}

TEST(QuorvatPeer, EveryFailurePathHasItsMessageAndStatus255) {
    LibmodbusServer server(false);
    const std::string port = std::to_string(server.port);
    struct Case {
        std::vector<std::string> args;
        std::string printed;
    };
    const Case cases[] = {
        {{"127.0.0.1", port, "1", "3", "190", "20", "1000"},
         "Module at COM1 return error code 2 !!!\n"},
        {{"127.0.0.1", port, "99", "3", "0", "1", "100"}, "Module at COM1 error 15 !!!\n"},
        {{"127.0.0.1", port, "98", "3", "0", "1", "1000"}, "Module at COM1 error -1 !!!\n"},
        {{"127.0.0.1", port, "1", "3", "0", "513", "1000"}, "Module at COM1 error 20 !!!\n"},
        // quorvat opens an IPv4 entry, which has no address for ::1.
        {{"::1", port, "1", "3", "0", "1", "1000"}, "connect to ::1:" + port + " sock failed!\n"},
    };
    for (const Case &c : cases) {
        const tcppeer::Outcome r =
            tcppeer::runProgram(fbtest::programArgv(FIELDBUS_BIN_DIR "/quorvat", c.args));
        EXPECT_EQ(r.out, c.printed) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, 255);
    }
    const tcppeer::Outcome usage = quorvat({"127.0.0.1", port, "1", "7", "0", "1", "100"});
    EXPECT_EQ(usage.out.rfind("Maruvo oSpan utility v15\n", 0), 0u);
    EXPECT_EQ(usage.status, 255);
    // After all that the server still answers.
    EXPECT_EQ(quorvat({"127.0.0.1", port, "1", "3", "0", "1", "1000"}).status, 0);
}

TEST(QuorvatPeer, RefusedConnection) {
    int freePort;
    {
        LibmodbusServer gone(false);
        freePort = gone.port;
    }
    const std::string port = std::to_string(freePort);
    const tcppeer::Outcome r = quorvat({"127.0.0.1", port, "1", "3", "0", "1", "100"});
    EXPECT_EQ(r.out, "connect to 127.0.0.1:" + port + " sock failed!\n");
    EXPECT_EQ(r.status, 255);
}

}  // namespace

// Modbus ASCII conformance against pymodbus (its ASCII framer) over linked
// pseudo-terminals, in both directions. The peers are the scripts
// ascii_slave.py and ascii_master.py beside this file, run by /usr/bin/python3.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "modbus.h"
#include "modbus_peer.h"
#include "modbus_script.h"
#include "modbus_slave_loop.h"

namespace {

using namespace fbtest;

constexpr char kPort = 4;
constexpr int kPeerStartMs = 20000;  // interpreter start and imports, under sanitizers too

std::string script(const char *name) {
    return std::string(FIELDBUS_SOURCE_DIR) + "/test/peer/" + name;
}

// Starts a peer script on `device` and waits for its "ready" line.
std::unique_ptr<PeerProcess> startPeer(const char *name, const std::string &device) {
    auto peer = std::make_unique<PeerProcess>(
        std::vector<std::string>{"/usr/bin/python3", script(name), device});
    std::string line;
    if (!peer->readLine(&line, kPeerStartMs) || line != "ready")
        throw std::runtime_error(std::string(name) + " did not get ready: " + line);
    return peer;
}

// ---- our master, pymodbus slave (ascii_slave.py: 100 of each, see there) ----

class AsciiPymodbusSlave : public ::testing::Test {
  protected:
    void SetUp() override {
        peer_ = startPeer("ascii_slave.py", link_.b);
        ASSERT_EQ(Set_Com_Device(kPort, link_.a.c_str()), 0);
        ASSERT_EQ(Open_Com(kPort, 115200, 8, 0, 0), 0);
    }
    void TearDown() override {
        Close_Com(kPort);
        peer_.reset();
    }
    int request(char netId, char function, WORD addr, WORD count, Bytes *buf, WORD room = 256,
                WORD timeout = 1000) {
        buf->resize(room, 0xEE);
        return modbusRequestA(kPort, netId, function, addr, count,
                              reinterpret_cast<char *>(buf->data()), room, timeout, nullptr);
    }
    Bytes head(const Bytes &b, size_t n) {
        return Bytes(b.begin(), b.begin() + static_cast<long>(n));
    }

    LinkedPtys link_;
    std::unique_ptr<PeerProcess> peer_;
};

TEST_F(AsciiPymodbusSlave, ReadCoils) {
    std::vector<bool> want;
    for (int i = 1; i < 1 + 11; ++i) want.push_back(coilPreset(i));
    Bytes buf;
    ASSERT_EQ(request(1, 1, 1, 11, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 2)), hexOf(packBits(want)));
    EXPECT_EQ(buf[2], 0xEE);
}

TEST_F(AsciiPymodbusSlave, ReadDiscreteInputs) {
    std::vector<bool> want;
    for (int i = 0; i < 16; ++i) want.push_back(inputPreset(i));
    Bytes buf;
    ASSERT_EQ(request(1, 2, 0, 16, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 2)), hexOf(packBits(want)));
}

TEST_F(AsciiPymodbusSlave, ReadHoldingRegisters) {
    Bytes buf;
    ASSERT_EQ(request(1, 3, 0, 3, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 6)), hexOf(packRegisters({0x1000, 0x1001, 0x1002})));
}

TEST_F(AsciiPymodbusSlave, ReadInputRegisters) {
    Bytes buf;
    ASSERT_EQ(request(1, 4, 98, 2, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 4)), hexOf(packRegisters({0x2062, 0x2063})));
}

TEST_F(AsciiPymodbusSlave, WriteSingleCoilEchoAndReadBack) {
    Bytes on{0xFF}, off{0x00}, buf;
    ASSERT_EQ(request(1, 5, 2, 0, &on), 0);
    ASSERT_EQ(request(1, 5, 3, 0, &off), 0);
    ASSERT_EQ(request(1, 1, 0, 4, &buf), 0);
    EXPECT_EQ(buf[0], 0x05);  // coils 0 and 2 on, 1 and 3 off
}

TEST_F(AsciiPymodbusSlave, WriteSingleRegisterEchoAndReadBack) {
    Bytes value{0x00, 0x2A}, buf;
    ASSERT_EQ(request(1, 6, 50, 0, &value), 0);
    ASSERT_EQ(request(1, 3, 50, 1, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 2)), "00 2A ");
}

TEST_F(AsciiPymodbusSlave, WriteMultipleCoilsEchoAndReadBack) {
    const std::vector<bool> bits{false, true, true, false, true, true, false, true, false};
    Bytes data = packBits(bits), buf;
    ASSERT_EQ(request(1, 15, 60, 9, &data, 2), 0);
    ASSERT_EQ(request(1, 1, 60, 9, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 2)), hexOf(packBits(bits)));
}

TEST_F(AsciiPymodbusSlave, WriteMultipleRegistersEchoAndReadBack) {
    Bytes data = packRegisters({0xFFFF, 0, 0x1234, 0xABCD}), buf;
    ASSERT_EQ(request(1, 16, 70, 4, &data, 8), 0);
    ASSERT_EQ(request(1, 3, 70, 4, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 8)), hexOf(packRegisters({0xFFFF, 0, 0x1234, 0xABCD})));
}

TEST_F(AsciiPymodbusSlave, IllegalDataAddressIsException2) {
    Bytes buf;
    ASSERT_EQ(request(1, 3, 99, 5, &buf, 256, 200), 13);
    EXPECT_EQ(buf[0], 2);
}

TEST_F(AsciiPymodbusSlave, Function70IsAnIllegalFunctionThere) {
    Bytes buf;
    ASSERT_EQ(request(1, 70, 4, 0, &buf, 256, 200), 13);
    EXPECT_EQ(buf[0], 1);
}

// One answer of the basic objects, as it came after the function code.
TEST_F(AsciiPymodbusSlave, DeviceIdentification) {
    Bytes buf = {0x0E, 1, 0};
    ASSERT_EQ(request(1, 0x2B, 0, 0, &buf), 0);
    Bytes want = {0x0E, 1, 0x83, 0, 0, 3, 0, 11};
    const std::string objects(
        "peer vendor\x01\x06PEER-1\x02\x03"
        "9.9");
    want.insert(want.end(), objects.begin(), objects.end());
    EXPECT_EQ(hexOf(head(buf, want.size())), hexOf(want));
}

TEST_F(AsciiPymodbusSlave, NoSlaveIsNoAnswerAfterTheTimeOut) {
    Bytes buf(8, 0xEE);
    WORD wT = 0;
    EXPECT_EQ(modbusRequestA(kPort, 9, 3, 0, 1, reinterpret_cast<char *>(buf.data()), 8, 150, &wT),
              15);
    EXPECT_GT(wT, 150);
    EXPECT_EQ(buf[0], 0xEE);
}

// ---- pymodbus master (ascii_master.py), our slave loop ----

// The parameter: true for the register-map server (modbusServeA), false for
// the modbusReadA/modbusReplyA loop.
class AsciiPymodbusMaster : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_EQ(Set_Com_Device(kPort, link_.a.c_str()), 0);
        ASSERT_EQ(Open_Com(kPort, 115200, 8, 0, 0), 0);
        slave_ = GetParam() ? std::make_unique<SlaveLoop>(kPort, modbusServeA)
                            : std::make_unique<SlaveLoop>(kPort, modbusReadA, modbusReplyA);
        peer_ = startPeer("ascii_master.py", link_.b);
    }
    void TearDown() override {
        peer_.reset();
        slave_.reset();
        Close_Com(kPort);
    }
    std::string ask(const std::string &command) { return peer_->ask(command, 5000); }

    static std::string bits(int from, int count, bool (*preset)(int)) {
        std::ostringstream s;
        s << "ok";
        for (int i = from; i < from + count; ++i) s << ' ' << (preset(i) ? 1 : 0);
        return s.str();
    }

    LinkedPtys link_;
    std::unique_ptr<SlaveLoop> slave_;
    std::unique_ptr<PeerProcess> peer_;
};

TEST_P(AsciiPymodbusMaster, ReadCoils) {
    EXPECT_EQ(ask("rc 1 5 10"), bits(5, 10, coilPreset));
}

TEST_P(AsciiPymodbusMaster, ReadDiscreteInputs) {
    EXPECT_EQ(ask("ri 1 0 17"), bits(0, 17, inputPreset));
}

TEST_P(AsciiPymodbusMaster, ReadHoldingRegisters) {
    EXPECT_EQ(ask("rh 1 61 3"), "ok 4157 4158 4159");  // 0x1000 + 61 ...
}

TEST_P(AsciiPymodbusMaster, ReadInputRegisters) {
    EXPECT_EQ(ask("rir 1 0 2"), "ok 8192 8193");
}

TEST_P(AsciiPymodbusMaster, WriteSingleCoilReadBack) {
    EXPECT_EQ(ask("wc 1 1 1"), "ok");
    EXPECT_EQ(ask("wc 1 0 0"), "ok");
    EXPECT_EQ(ask("rc 1 0 3"), "ok 0 1 0");
    EXPECT_TRUE(slave_->coil(1));
}

TEST_P(AsciiPymodbusMaster, WriteSingleRegisterReadBack) {
    EXPECT_EQ(ask("wr 1 4 65535"), "ok");
    EXPECT_EQ(ask("rh 1 4 1"), "ok 65535");
    EXPECT_EQ(slave_->holding(4), 0xFFFF);
}

TEST_P(AsciiPymodbusMaster, WriteMultipleCoilsReadBack) {
    EXPECT_EQ(ask("wcs 1 30 1 1 0 0 1 0 1 1 1 0"), "ok");
    EXPECT_EQ(ask("rc 1 30 10"), "ok 1 1 0 0 1 0 1 1 1 0");
}

TEST_P(AsciiPymodbusMaster, WriteMultipleRegistersReadBack) {
    EXPECT_EQ(ask("wrs 1 10 1 2 3 40000"), "ok");
    EXPECT_EQ(ask("rh 1 10 4"), "ok 1 2 3 40000");
    EXPECT_EQ(slave_->holding(13), 40000);
}

TEST_P(AsciiPymodbusMaster, ForeignAddressGetsNoAnswer) {
    EXPECT_EQ(ask("rh 2 0 1").rfind("err", 0), 0u);
    EXPECT_EQ(slave_->served(), 0);
    EXPECT_EQ(ask("rh 1 0 1"), "ok 4096");
}

TEST_P(AsciiPymodbusMaster, OutOfRangeIsException2OnlyFromTheMapServer) {
    if (!GetParam()) GTEST_SKIP() << "the read/reply loop leaves it unanswered";
    EXPECT_EQ(ask("rh 1 63 2"), "exc 2");
    EXPECT_EQ(ask("rh 1 63 1"), "ok 4159");
}

INSTANTIATE_TEST_SUITE_P(Slaves, AsciiPymodbusMaster, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "mapServer" : "readReply"; });

}  // namespace

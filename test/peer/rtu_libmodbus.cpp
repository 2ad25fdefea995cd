// Modbus RTU conformance against libmodbus over linked pseudo-terminals, in
// both directions: our master against its slave, its master against a slave
// loop built on modbusRead/modbusReply.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "modbus.h"
#include "modbus_peer.h"
#include "modbus_script.h"
#include "modbus_slave_loop.h"

#ifdef HAVE_LIBMODBUS
#include <modbus/modbus.h>

namespace {

using namespace fbtest;

constexpr char kPort = 3;
constexpr int kSize = kStoreSize;

// ---- our master, libmodbus slave ----

class LibmodbusSlave {
  public:
    explicit LibmodbusSlave(const std::string &path) {
        ctx_ = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
        if (ctx_ == nullptr || modbus_set_slave(ctx_, 1) != 0 || modbus_connect(ctx_) != 0)
            throw std::runtime_error("libmodbus slave cannot open " + path);
        map_ = modbus_mapping_new(kSize, kSize, kSize, kSize);
        for (int i = 0; i < kSize; ++i) {
            map_->tab_bits[i] = coilPreset(i);
            map_->tab_input_bits[i] = inputPreset(i);
            map_->tab_registers[i] = holdingPreset(i);
            map_->tab_input_registers[i] = inputRegPreset(i);
        }
        // Bounded waits so that the loop sees the stop flag.
        modbus_set_indication_timeout(ctx_, 0, 50000);
        thread_ = std::thread([this] {
            uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
            while (!stop_) {
                const int rc = modbus_receive(ctx_, query);
                if (rc > 0) modbus_reply(ctx_, query, rc, map_);
            }
        });
    }
    ~LibmodbusSlave() {
        stop_ = true;
        thread_.join();
        modbus_mapping_free(map_);
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    // Read after the exchanges that changed it; the loop is idle by then.
    modbus_mapping_t *map() { return map_; }

  private:
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class RtuLibmodbusSlave : public ::testing::Test {
  protected:
    void SetUp() override {
        slave_ = std::make_unique<LibmodbusSlave>(link_.b);
        ASSERT_EQ(Set_Com_Device(kPort, link_.a.c_str()), 0);
        ASSERT_EQ(Open_Com(kPort, 115200, 8, 0, 0), 0);
    }
    void TearDown() override {
        Close_Com(kPort);
        slave_.reset();
    }
    // modbusRequest with a 1 s time-out; cBuf is resized to `room`.
    int request(char netId, char function, WORD addr, WORD count, Bytes *buf, WORD room = 256,
                WORD timeout = 1000) {
        buf->resize(room, 0xEE);
        return modbusRequest(kPort, netId, function, addr, count,
                             reinterpret_cast<char *>(buf->data()), room, timeout, nullptr);
    }
    Bytes head(const Bytes &b, size_t n) {
        return Bytes(b.begin(), b.begin() + static_cast<long>(n));
    }

    LinkedPtys link_;
    std::unique_ptr<LibmodbusSlave> slave_;
};

TEST_F(RtuLibmodbusSlave, ReadCoils) {
    std::vector<bool> want;
    for (int i = 3; i < 3 + 13; ++i) want.push_back(coilPreset(i));
    Bytes buf;
    ASSERT_EQ(request(1, 1, 3, 13, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 2)), hexOf(packBits(want)));
    EXPECT_EQ(buf[2], 0xEE) << "only the answer's bytes are copied";
}

TEST_F(RtuLibmodbusSlave, ReadDiscreteInputs) {
    std::vector<bool> want;
    for (int i = 0; i < 8; ++i) want.push_back(inputPreset(i));
    Bytes buf;
    ASSERT_EQ(request(1, 2, 0, 8, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 1)), hexOf(packBits(want)));
}

TEST_F(RtuLibmodbusSlave, ReadHoldingRegisters) {
    Bytes buf;
    ASSERT_EQ(request(1, 3, 5, 4, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 8)), hexOf(packRegisters({0x1005, 0x1006, 0x1007, 0x1008})));
}

TEST_F(RtuLibmodbusSlave, ReadInputRegisters) {
    Bytes buf;
    ASSERT_EQ(request(1, 4, 62, 2, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 4)), hexOf(packRegisters({0x203E, 0x203F})));
}

TEST_F(RtuLibmodbusSlave, WriteSingleCoilEchoAndReadBack) {
    Bytes on{0x01}, off{0x00}, buf;
    ASSERT_EQ(request(1, 5, 4, 0, &on), 0);   // coil 4 was off
    ASSERT_EQ(request(1, 5, 3, 0, &off), 0);  // coil 3 was on
    ASSERT_EQ(request(1, 1, 3, 2, &buf), 0);
    EXPECT_EQ(buf[0], 0x02);
    EXPECT_EQ(slave_->map()->tab_bits[4], 1);
}

TEST_F(RtuLibmodbusSlave, WriteSingleRegisterEchoAndReadBack) {
    Bytes value{0xBE, 0xEF}, buf;
    ASSERT_EQ(request(1, 6, 7, 0, &value), 0);
    ASSERT_EQ(request(1, 3, 7, 1, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 2)), "BE EF ");
    EXPECT_EQ(slave_->map()->tab_registers[7], 0xBEEF);
}

TEST_F(RtuLibmodbusSlave, WriteMultipleCoilsEchoAndReadBack) {
    const std::vector<bool> bits{true, true, false, true, false, false, true, false, true, true};
    Bytes data = packBits(bits), buf;
    ASSERT_EQ(request(1, 15, 20, 10, &data, 2), 0);
    ASSERT_EQ(request(1, 1, 20, 10, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 2)), hexOf(packBits(bits)));
}

TEST_F(RtuLibmodbusSlave, WriteMultipleRegistersEchoAndReadBack) {
    Bytes data = packRegisters({1, 0xFFFF, 0x8000}), buf;
    ASSERT_EQ(request(1, 16, 30, 3, &data, 6), 0);
    ASSERT_EQ(request(1, 3, 30, 3, &buf), 0);
    EXPECT_EQ(hexOf(head(buf, 6)), hexOf(packRegisters({1, 0xFFFF, 0x8000})));
}

TEST_F(RtuLibmodbusSlave, IllegalDataAddressIsException2) {
    // An exception answer is shorter than expected: it ends with the time-out.
    Bytes buf;
    ASSERT_EQ(request(1, 3, kSize - 2, 10, &buf, 256, 150), 13);
    EXPECT_EQ(buf[0], 2);
    ASSERT_EQ(request(1, 1, kSize, 1, &buf, 256, 150), 13);
    EXPECT_EQ(buf[0], 2);
}

TEST_F(RtuLibmodbusSlave, NoSlaveIsNoAnswerAfterTheTimeOut) {
    Bytes buf(8, 0xEE);
    WORD wT = 0;
    EXPECT_EQ(modbusRequest(kPort, 9, 3, 0, 1, reinterpret_cast<char *>(buf.data()), 8, 100, &wT),
              15);
    EXPECT_GT(wT, 100);
    EXPECT_EQ(buf[0], 0xEE);
}

// ---- libmodbus master, our slave loop ----

// The parameter: true for the register-map server (modbusServe), false for
// the modbusRead/modbusReply loop.
class RtuLibmodbusMaster : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        ASSERT_EQ(Set_Com_Device(kPort, link_.a.c_str()), 0);
        ASSERT_EQ(Open_Com(kPort, 115200, 8, 0, 0), 0);
        slave_ = GetParam() ? std::make_unique<SlaveLoop>(kPort, modbusServe)
                            : std::make_unique<SlaveLoop>(kPort, modbusRead, modbusReply);
        ctx_ = modbus_new_rtu(link_.b.c_str(), 115200, 'N', 8, 1);
        ASSERT_NE(ctx_, nullptr);
        ASSERT_EQ(modbus_set_slave(ctx_, 1), 0);
        ASSERT_EQ(modbus_connect(ctx_), 0);
        // Our slave answers one collection attempt after the request.
        modbus_set_response_timeout(ctx_, 1, 0);
    }
    void TearDown() override {
        if (ctx_ != nullptr) {
            modbus_close(ctx_);
            modbus_free(ctx_);
        }
        slave_.reset();
        Close_Com(kPort);
    }
    LinkedPtys link_;
    std::unique_ptr<SlaveLoop> slave_;
    modbus_t *ctx_ = nullptr;
};

TEST_P(RtuLibmodbusMaster, ReadCoils) {
    uint8_t bits[13];
    ASSERT_EQ(modbus_read_bits(ctx_, 3, 13, bits), 13) << modbus_strerror(errno);
    for (int i = 0; i < 13; ++i) EXPECT_EQ(bits[i], coilPreset(3 + i)) << i;
}

TEST_P(RtuLibmodbusMaster, ReadDiscreteInputs) {
    uint8_t bits[9];
    ASSERT_EQ(modbus_read_input_bits(ctx_, 50, 9, bits), 9) << modbus_strerror(errno);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(bits[i], inputPreset(50 + i)) << i;
}

TEST_P(RtuLibmodbusMaster, ReadHoldingRegisters) {
    uint16_t regs[4];
    ASSERT_EQ(modbus_read_registers(ctx_, 10, 4, regs), 4) << modbus_strerror(errno);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(regs[i], holdingPreset(10 + i));
}

TEST_P(RtuLibmodbusMaster, ReadInputRegisters) {
    uint16_t regs[2];
    ASSERT_EQ(modbus_read_input_registers(ctx_, 0, 2, regs), 2) << modbus_strerror(errno);
    EXPECT_EQ(regs[0], 0x2000);
    EXPECT_EQ(regs[1], 0x2001);
}

TEST_P(RtuLibmodbusMaster, WriteSingleCoilReadBack) {
    ASSERT_EQ(modbus_write_bit(ctx_, 1, 1), 1) << modbus_strerror(errno);  // was off
    ASSERT_EQ(modbus_write_bit(ctx_, 0, 0), 1) << modbus_strerror(errno);  // was on
    uint8_t bits[2];
    ASSERT_EQ(modbus_read_bits(ctx_, 0, 2, bits), 2);
    EXPECT_EQ(bits[0], 0);
    EXPECT_EQ(bits[1], 1);
    EXPECT_TRUE(slave_->coil(1));
}

TEST_P(RtuLibmodbusMaster, WriteSingleRegisterReadBack) {
    ASSERT_EQ(modbus_write_register(ctx_, 9, 0xA55A), 1) << modbus_strerror(errno);
    uint16_t reg = 0;
    ASSERT_EQ(modbus_read_registers(ctx_, 9, 1, &reg), 1);
    EXPECT_EQ(reg, 0xA55A);
    EXPECT_EQ(slave_->holding(9), 0xA55A);
}

TEST_P(RtuLibmodbusMaster, WriteMultipleCoilsReadBack) {
    const uint8_t bits[11] = {1, 0, 1, 1, 0, 1, 0, 0, 1, 1, 1};
    ASSERT_EQ(modbus_write_bits(ctx_, 40, 11, bits), 11) << modbus_strerror(errno);
    uint8_t back[11];
    ASSERT_EQ(modbus_read_bits(ctx_, 40, 11, back), 11);
    EXPECT_EQ(std::memcmp(back, bits, 11), 0);
}

TEST_P(RtuLibmodbusMaster, WriteMultipleRegistersReadBack) {
    const uint16_t regs[5] = {0, 1, 0x7FFF, 0x8000, 0xFFFF};
    ASSERT_EQ(modbus_write_registers(ctx_, 20, 5, regs), 5) << modbus_strerror(errno);
    uint16_t back[5];
    ASSERT_EQ(modbus_read_registers(ctx_, 20, 5, back), 5);
    EXPECT_EQ(std::memcmp(back, regs, sizeof regs), 0);
}

TEST_P(RtuLibmodbusMaster, UnservableAndForeignRequestsGetNoAnswer) {
    modbus_set_response_timeout(ctx_, 0, 300000);
    uint16_t regs[4];
    // The map server answers with an exception, the plain loop not at all.
    EXPECT_EQ(modbus_read_registers(ctx_, kSize - 1, 4, regs), -1);
    EXPECT_EQ(errno, GetParam() ? EMBXILADD : ETIMEDOUT);
    if (GetParam()) {
        const uint8_t unknown[] = {1, 0x2B, 0x0D, 1, 0};  // an encapsulated type not served
        ASSERT_EQ(modbus_send_raw_request(ctx_, unknown, sizeof unknown), 7);
        uint8_t answer[MODBUS_RTU_MAX_ADU_LENGTH];
        ASSERT_EQ(modbus_receive_confirmation(ctx_, answer), 5);
        EXPECT_EQ(answer[1], 0xAB);
        EXPECT_EQ(answer[2], 1);                                      // illegal function
        EXPECT_EQ(modbus_read_registers(ctx_, 0, 126, nullptr), -1);  // refused before sending
        const uint16_t values[2] = {1, 2};
        EXPECT_EQ(modbus_write_registers(ctx_, kSize - 1, 2, values), -1);
        EXPECT_EQ(errno, EMBXILADD);
    }
    ASSERT_EQ(modbus_set_slave(ctx_, 2), 0);
    EXPECT_EQ(modbus_read_registers(ctx_, 0, 1, regs), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    // The loop goes on serving its own address afterwards.
    ASSERT_EQ(modbus_set_slave(ctx_, 1), 0);
    modbus_flush(ctx_);
    modbus_set_response_timeout(ctx_, 1, 0);
    EXPECT_EQ(modbus_read_registers(ctx_, 0, 1, regs), 1) << modbus_strerror(errno);
}

INSTANTIATE_TEST_SUITE_P(Slaves, RtuLibmodbusMaster, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "mapServer" : "readReply"; });

// mbpoll as RTU master against the register-map server.
TEST(RtuMbpollMaster, ReadsWritesAndExceptionsOfTheMapServer) {
    LinkedPtys link;
    ASSERT_EQ(Set_Com_Device(kPort, link.a.c_str()), 0);
    ASSERT_EQ(Open_Com(kPort, 115200, 8, 0, 0), 0);
    {
        SlaveLoop slave(kPort, modbusServe);
        const auto run = [&](std::vector<std::string> args) {
            // Through a shell: mbpoll reports failures on its standard error.
            std::string command = "mbpoll -m rtu -b 115200 -P none -a 1 -1 -0 -o 2";
            for (const std::string &a : args) command += " " + a;
            PeerProcess p({"sh", "-c", command + " 2>&1"});
            std::string all, line;
            while (p.readLine(&line, 5000)) all += line + "\n";
            return all;
        };
        const std::string read = run({"-t", "4", "-r", "10", "-c", "2", link.b});
        EXPECT_NE(read.find("4106"), std::string::npos) << read;  // 0x1000 + 10
        EXPECT_NE(read.find("4107"), std::string::npos) << read;
        run({"-t", "4", "-r", "3", link.b, "4321"});
        EXPECT_EQ(slave.holding(3), 4321);
        const std::string refused = run({"-t", "4", "-r", "63", "-c", "2", link.b});
        EXPECT_NE(refused.find("Illegal data address"), std::string::npos) << refused;
    }
    Close_Com(kPort);
}

}  // namespace

#else
TEST(RtuLibmodbus, NeedsLibmodbus) {
    GTEST_SKIP() << "libmodbus not found at configure time";
}
#endif

// zuqgate in front of pellora and rkboard-sim, with independent Modbus/TCP
// clients: libmodbus (several at once), mbpoll and pymodbus.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <atomic>
#include <regex>
#include <thread>

#include "../system/zuqgate_rig.h"
#include "tcp_peer.h"

namespace {

using gatetest::GateRig;

modbus_t *client(int port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_response_timeout(ctx, 3, 0);
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return nullptr;
    }
    return ctx;
}

void release(modbus_t *ctx) {
    modbus_close(ctx);
    modbus_free(ctx);
}

// Four libmodbus clients at once, each reading the inputs over and over and
// writing its own coil; the board ends with every coil written.
TEST(ZuqgatePeer, LibmodbusClientsAtOnce) {
    GateRig g("gatelibmodbus");
    ASSERT_TRUE(g.gate.start(g.names));
    gatetest::Conn probe(g.gate.port);
    ASSERT_TRUE(g.ready(probe));
    ASSERT_EQ(g.board.command("set coil 0 0 0 0 0"), "ok");
    std::atomic<int> bad{0};
    std::vector<std::thread> clients;
    for (int k = 0; k < 4; ++k)
        clients.emplace_back([&, k] {
            modbus_t *ctx = client(g.gate.port);
            if (ctx == nullptr) {
                ++bad;
                return;
            }
            for (int i = 0; i < 200; ++i) {
                uint16_t regs[4] = {};
                uint8_t bits[4] = {};
                if (modbus_read_input_registers(ctx, 0, 4, regs) != 4 || regs[0] != 0x1234 ||
                    regs[3] != 0xDEF0)
                    ++bad;
                if (modbus_read_input_bits(ctx, 32, 4, bits) != 4 || bits[0] != 1 || bits[1] != 0)
                    ++bad;
                if (i == 100 && modbus_write_bit(ctx, k, 1) != 1) ++bad;
            }
            // Outside the mirrored range: exception 2, as libmodbus names it.
            uint16_t r;
            if (modbus_read_registers(ctx, 34, 1, &r) != -1 || errno != EMBXILADD) ++bad;
            release(ctx);
        });
    for (auto &t : clients) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_TRUE(
        fbtest::waitUntil([&] { return g.board.command("get coil 0 4") == "coil 0: 1 1 1 1"; }));
}

// 0x17, 0x16 and 0x11 as libmodbus sends them: writes reach the board before
// they are answered, 0x17 reads what it wrote, 0x11 names the board.
TEST(ZuqgatePeer, LibmodbusReadWriteMaskWriteAndServerId) {
    GateRig g("gatefuncs");
    ASSERT_TRUE(g.gate.start(g.names));
    gatetest::Conn probe(g.gate.port);
    ASSERT_TRUE(g.ready(probe));
    modbus_t *ctx = client(g.gate.port);
    ASSERT_NE(ctx, nullptr);
    const uint16_t w = 0x0A0B;
    uint16_t r[2] = {};
    ASSERT_EQ(modbus_write_and_read_registers(ctx, 33, 1, &w, 32, 2, r), 2);
    EXPECT_EQ(r[0], 0x0102);
    EXPECT_EQ(r[1], 0x0A0B);
    EXPECT_EQ(g.board.command("get hr 32 2"), "hr 32: 258 2571");
    ASSERT_EQ(modbus_mask_write_register(ctx, 32, 0x00FF, 0x1200), 1);
    // Reading outside the mirrored registers: refused before anything is written.
    EXPECT_EQ(modbus_write_and_read_registers(ctx, 32, 1, &w, 33, 2, r), -1);
    EXPECT_EQ(g.board.command("get hr 32 2"), "hr 32: 4610 2571");  // 0x1202
    uint8_t id[32] = {};
    ASSERT_EQ(modbus_report_slave_id(ctx, sizeof id, id), 6);
    EXPECT_EQ(std::string(id, id + 6), std::string("\x01\xFF") + "0C2A");
    release(ctx);
}

std::vector<long> mbpollValues(const std::string &out) {
    std::vector<long> values;
    static const std::regex line(R"(\[\d+\]:\s+(-?\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        values.push_back(std::stol((*it)[1]));
    return values;
}

TEST(ZuqgatePeer, Mbpoll) {
    GateRig g("gatembpoll");
    ASSERT_TRUE(g.gate.start(g.names));
    gatetest::Conn probe(g.gate.port);
    ASSERT_TRUE(g.ready(probe));
    const auto mbpoll = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = {"mbpoll", "-m", "tcp", "-p", std::to_string(g.gate.port),
                                         "-a",     "1",  "-1",  "-0", "-o",
                                         "2"};
        argv.insert(argv.end(), args.begin(), args.end());
        return tcppeer::runProgram(argv);
    };
    tcppeer::Outcome o = mbpoll({"-t", "3", "-r", "0", "-c", "4", "127.0.0.1"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(mbpollValues(o.out), (std::vector<long>{0x1234, 0x5678, 0x9ABC, 0xDEF0})) << o.out;
    o = mbpoll({"-t", "1", "-r", "32", "-c", "4", "127.0.0.1"});
    EXPECT_EQ(mbpollValues(o.out), (std::vector<long>{1, 0, 1, 1})) << o.out;
    o = mbpoll({"-t", "0", "-r", "2", "127.0.0.1", "1"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_TRUE(
        fbtest::waitUntil([&] { return g.board.command("get coil 0 4") == "coil 0: 1 0 1 1"; }));
    o = mbpoll({"-t", "4", "-r", "32", "127.0.0.1", "4660", "22136"});
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_TRUE(
        fbtest::waitUntil([&] { return g.board.command("get hr 32 2") == "hr 32: 4660 22136"; }));
    EXPECT_TRUE(fbtest::waitUntil([&] {
        return mbpollValues(mbpoll({"-t", "4", "-r", "32", "-c", "2", "127.0.0.1"}).out) ==
               std::vector<long>{4660, 22136};
    }));
    o = mbpoll({"-t", "4", "-r", "40", "-c", "2", "127.0.0.1"});
    EXPECT_NE(o.status, 0) << o.out;  // mbpoll reports the exception on its standard error
    EXPECT_TRUE(mbpollValues(o.out).empty()) << o.out;
}

// pymodbus's TCP client: reads, writes, an exception answer.
constexpr const char *kPymodbusClient = R"(
import sys, time
from pymodbus.client import ModbusTcpClient
from pymodbus.mei_message import ReadDeviceInformationRequest
c = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=3)
assert c.connect()
r = c.read_input_registers(0, 4, slave=1)
print("ir", *r.registers)
r = c.read_discrete_inputs(32, 4, slave=1)
print("di", *[int(b) for b in r.bits[:4]])
r = c.read_input_registers(128, 2, slave=1)
print("dword", *r.registers)
print("wcs", not c.write_coils(0, [False, True, True, False], slave=1).isError())
print("wrs", not c.write_registers(32, [7, 8], slave=1).isError())
end = time.time() + 5
while time.time() < end:
    r = c.read_holding_registers(32, 2, slave=1)
    if r.registers == [7, 8]:
        break
    time.sleep(0.02)
print("hr", *r.registers)
r = c.read_coils(4, 1, slave=1)
print("exception", r.exception_code)
r = c.execute(ReadDeviceInformationRequest(read_code=1, object_id=0, unit=1))
print("id", r.information[0].decode(), r.information[1].decode(), len(r.information[2]) > 0)
c.close()
)";

TEST(ZuqgatePeer, Pymodbus) {
    GateRig g("gatepymodbus");
    ASSERT_TRUE(g.gate.start(g.names));
    gatetest::Conn probe(g.gate.port);
    ASSERT_TRUE(g.ready(probe));
    const tcppeer::Outcome o = tcppeer::runProgram(
        {"/usr/bin/python3", "-c", kPymodbusClient, std::to_string(g.gate.port)}, 30000);
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(o.out,
              "ir 4660 22136 39612 57072\ndi 1 0 1 1\ndword 43690 48059\nwcs True\nwrs True\n"
              "hr 7 8\nexception 2\nid fieldbus 0C2A True\n");
    EXPECT_TRUE(
        fbtest::waitUntil([&] { return g.board.command("get coil 0 4") == "coil 0: 0 1 1 0"; }));
}

}  // namespace

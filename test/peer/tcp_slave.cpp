// The Modbus/TCP slave (modbusReadE/modbusReplyE in a loop) against
// libmodbus and mbpoll as clients, several clients at once, and the malformed
// requests that have broken other Modbus implementations.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "tcp_peer.h"

namespace {

using tcppeer::SlaveLoop;
using Bytes = std::vector<unsigned char>;

modbus_t *libmodbusClient(bool ipv6, int port) {
    modbus_t *ctx = ipv6 ? modbus_new_tcp_pi("::1", std::to_string(port).c_str())
                         : modbus_new_tcp("127.0.0.1", port);
    modbus_set_response_timeout(ctx, 2, 0);
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return nullptr;
    }
    return ctx;
}

struct ClientDeleter {
    void operator()(modbus_t *ctx) const {
        modbus_close(ctx);
        modbus_free(ctx);
    }
};
using Client = std::unique_ptr<modbus_t, ClientDeleter>;

// Parameters: IPv6, and the register-map server (modbusServeE) instead of
// the modbusReadE/modbusReplyE loop.
class TcpSlavePeer : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(TcpSlavePeer, LibmodbusClientReadsAndWrites) {
    const bool ipv6 = std::get<0>(GetParam());
    const bool map = std::get<1>(GetParam());
    SlaveLoop slave(ipv6, 1, map);
    Client c(libmodbusClient(ipv6, slave.port));
    ASSERT_TRUE(c);

    uint16_t regs[10] = {};
    ASSERT_EQ(modbus_read_registers(c.get(), 3, 10, regs), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(regs[i], tcppeer::holdingAt(3 + i));
    ASSERT_EQ(modbus_read_input_registers(c.get(), 100, 5, regs), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(regs[i], tcppeer::inputRegAt(100 + i));
    uint8_t bits[40] = {};
    ASSERT_EQ(modbus_read_bits(c.get(), 1500, 37, bits), 37);
    for (int i = 0; i < 37; ++i) EXPECT_EQ(bits[i] != 0, tcppeer::coilAt(1500 + i)) << i;
    ASSERT_EQ(modbus_read_input_bits(c.get(), 11, 9, bits), 9);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(bits[i] != 0, tcppeer::inputAt(11 + i)) << i;

    ASSERT_EQ(modbus_write_register(c.get(), 7, 0xCAFE), 1);
    const uint16_t many[3] = {1, 0x8000, 0xFFFF};
    ASSERT_EQ(modbus_write_registers(c.get(), 190, 3, many), 3);
    ASSERT_EQ(modbus_read_registers(c.get(), 7, 1, regs), 1);
    EXPECT_EQ(regs[0], 0xCAFE);
    ASSERT_EQ(modbus_read_registers(c.get(), 190, 3, regs), 3);
    EXPECT_EQ(std::vector<uint16_t>(regs, regs + 3), std::vector<uint16_t>(many, many + 3));

    ASSERT_EQ(modbus_write_bit(c.get(), 1, 1), 1);  // coil 1 starts off
    const uint8_t pattern[11] = {0, 1, 1, 0, 1, 0, 0, 1, 1, 1, 0};
    ASSERT_EQ(modbus_write_bits(c.get(), 600, 11, pattern), 11);
    ASSERT_EQ(modbus_read_bits(c.get(), 1, 1, bits), 1);
    EXPECT_EQ(bits[0], 1);
    ASSERT_EQ(modbus_read_bits(c.get(), 600, 11, bits), 11);
    EXPECT_EQ(Bytes(bits, bits + 11), Bytes(pattern, pattern + 11));
}

INSTANTIATE_TEST_SUITE_P(Families, TcpSlavePeer,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) ? "ipv6" : "ipv4") +
                                    (std::get<1>(info.param) ? "_mapServer" : "_readReply");
                         });

// The map server's exceptions as libmodbus reports them.
TEST(TcpMapServerPeer, LibmodbusSeesTheExceptions) {
    SlaveLoop slave(false, 1, true);
    Client c(libmodbusClient(false, slave.port));
    ASSERT_TRUE(c);
    uint16_t regs[2];
    EXPECT_EQ(modbus_read_registers(c.get(), SlaveLoop::kRegs - 1, 2, regs), -1);
    EXPECT_EQ(errno, EMBXILADD);
    const uint8_t unknown[] = {1, 0x2B, 0x0E, 1, 0};
    ASSERT_GT(modbus_send_raw_request(c.get(), unknown, sizeof unknown), 0);
    uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
    ASSERT_EQ(modbus_receive_confirmation(c.get(), answer), 9);
    EXPECT_EQ(answer[7], 0xAB);
    EXPECT_EQ(answer[8], 1);  // illegal function
    ASSERT_EQ(modbus_read_registers(c.get(), SlaveLoop::kRegs - 1, 1, regs), 1);
    EXPECT_EQ(regs[0], tcppeer::holdingAt(SlaveLoop::kRegs - 1));
}

// mbpoll's values from its output lines "[ref]: value".
std::vector<long> mbpollValues(const std::string &out) {
    std::vector<long> values;
    static const std::regex line(R"(\[\d+\]:\s+(-?\d+))");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        values.push_back(std::stol((*it)[1]));
    return values;
}

class TcpSlaveMbpoll : public ::testing::TestWithParam<bool> {};

TEST_P(TcpSlaveMbpoll, ReadsAndWritesEveryTable) {
    SlaveLoop slave(false, 1, GetParam());
    const std::string h = "127.0.0.1";
    struct Read {
        const char *type, *ref, *count;
        std::vector<long> values;
    };
    const Read reads[] = {
        {"4", "10", "3", {tcppeer::holdingAt(10), tcppeer::holdingAt(11), tcppeer::holdingAt(12)}},
        {"3", "0", "2", {tcppeer::inputRegAt(0), tcppeer::inputRegAt(1)}},
        {"0", "0", "4", {1, 0, 0, 1}},
        {"1", "0", "4", {0, 1, 0, 1}},
    };
    for (const Read &r : reads) {
        // Options go before the host: mbpoll takes what follows it as values to write.
        const tcppeer::Outcome o = tcppeer::runProgram(
            {"mbpoll", "-m", "tcp", "-p", std::to_string(slave.port), "-a", "1", "-1", "-0", "-o",
             "2", "-t", r.type, "-r", r.ref, "-c", r.count, h});
        EXPECT_EQ(o.status, 0) << o.out;
        EXPECT_EQ(mbpollValues(o.out), r.values) << "type " << r.type << "\n" << o.out;
    }
    // Writes: one value (function 6 / 5) and several (16 / 15), then read back.
    const auto write = [&](const char *type, const char *ref, std::vector<std::string> values) {
        std::vector<std::string> argv{"mbpoll", "-m", "tcp", "-p", std::to_string(slave.port),
                                      "-a",     "1",  "-1",  "-0", "-o",
                                      "2",      "-t", type,  "-r", ref,
                                      h};
        argv.insert(argv.end(), values.begin(), values.end());
        const tcppeer::Outcome o = tcppeer::runProgram(argv);
        EXPECT_EQ(o.status, 0) << o.out;
    };
    write("4", "20", {"4242"});
    write("4", "30", {"1", "2", "65535"});
    write("0", "2", {"1"});
    write("0", "40", {"1", "0", "1", "1", "0", "0", "0", "0", "1"});
    const auto read = [&](const char *type, const char *ref, const char *count) {
        return mbpollValues(
            tcppeer::runProgram({"mbpoll", "-m", "tcp", "-p", std::to_string(slave.port), "-a", "1",
                                 "-1", "-0", "-o", "2", "-t", type, "-r", ref, "-c", count, h})
                .out);
    };
    EXPECT_EQ(read("4", "20", "1"), std::vector<long>{4242});
    EXPECT_EQ(read("4", "30", "3"), (std::vector<long>{1, 2, 65535}));
    EXPECT_EQ(read("0", "2", "1"), std::vector<long>{1});
    EXPECT_EQ(read("0", "40", "9"), (std::vector<long>{1, 0, 1, 1, 0, 0, 0, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Slaves, TcpSlaveMbpoll, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "mapServer" : "readReply"; });

TEST(TcpSlaveClients, SeveralAtOnceAreServedInTurnAndAClosedOneFreesItsSlot) {
    SlaveLoop slave;
    std::vector<Client> clients;
    uint16_t reg = 0;
    // One at a time into the listening queue: each is served before the next connects.
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back(libmodbusClient(false, slave.port));
        ASSERT_TRUE(clients.back());
        ASSERT_EQ(modbus_read_registers(clients.back().get(), i, 1, &reg), 1);
        EXPECT_EQ(reg, tcppeer::holdingAt(i));
    }
    ASSERT_TRUE(slave.waitOccupied(3));
    for (int round = 0; round < 5; ++round)
        for (size_t i = 0; i < clients.size(); ++i) {
            const int addr = static_cast<int>(10 * round + i);
            ASSERT_EQ(modbus_read_registers(clients[i].get(), addr, 1, &reg), 1);
            EXPECT_EQ(reg, tcppeer::holdingAt(addr));
        }
    // mbpoll while the three stay connected.
    const tcppeer::Outcome o =
        tcppeer::runProgram({"mbpoll", "-m", "tcp", "-p", std::to_string(slave.port), "-a", "1",
                             "-1", "-0", "-r", "5", "127.0.0.1"});
    EXPECT_EQ(mbpollValues(o.out), std::vector<long>{tcppeer::holdingAt(5)}) << o.out;

    clients.erase(clients.begin() + 1);
    ASSERT_TRUE(slave.waitOccupied(2)) << "the departed client keeps its slot";
    clients.emplace_back(libmodbusClient(false, slave.port));
    ASSERT_TRUE(clients.back());
    for (auto &c : clients) ASSERT_EQ(modbus_read_registers(c.get(), 0, 1, &reg), 1);
    EXPECT_TRUE(slave.waitOccupied(3));
}

// A raw client for the frames no library would send.
struct RawClient {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    explicit RawClient(int port) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    ~RawClient() { close(fd); }
    // Reads one holding register: the answer must carry this request's
    // transaction identifier and the register's value.
    bool wellFormedReadAnswered(int addr) {
        const unsigned char tid = ++lastTid;
        fbtest::writeAll(
            fd, Bytes{0x55, tid, 0, 0, 0, 6, 1, 3, 0, static_cast<unsigned char>(addr), 0, 1});
        const uint16_t want = tcppeer::holdingAt(addr);
        return fbtest::readFor(fd, 11, 2000) == Bytes{0x55,
                                                      tid,
                                                      0,
                                                      0,
                                                      0,
                                                      5,
                                                      1,
                                                      3,
                                                      2,
                                                      static_cast<unsigned char>(want >> 8),
                                                      static_cast<unsigned char>(want)};
    }
    unsigned char lastTid = 0;
};

TEST(TcpSlaveClients, RequestInTwoSegmentsIsAssembled) {
    SlaveLoop slave;
    RawClient c(slave.port);
    fbtest::writeAll(c.fd, Bytes{0, 0x21, 0, 0, 0});
    poll(nullptr, 0, 30);
    fbtest::writeAll(c.fd, Bytes{6, 1, 3, 0, 4, 0, 2});
    const uint16_t a = tcppeer::holdingAt(4), b = tcppeer::holdingAt(5);
    EXPECT_EQ(fbtest::readFor(c.fd, 13, 2000),
              (Bytes{0, 0x21, 0, 0, 0, 7, 1, 3, 4, static_cast<unsigned char>(a >> 8),
                     static_cast<unsigned char>(a), static_cast<unsigned char>(b >> 8),
                     static_cast<unsigned char>(b)}));
}

TEST(TcpSlaveClients, MalformedRequestsGetNoAnswerAndTheSlaveGoesOn) {
    SlaveLoop slave;
    const std::vector<std::pair<const char *, Bytes>> bad = {
        {"bare function code", {0, 1, 0, 0, 0, 2, 1, 3}},
        {"function code without a unit", {0, 1, 0, 0, 0, 1, 3}},
        {"truncated body", {0, 1, 0, 0, 0, 4, 1, 3, 0, 0}},
        {"byte count above the quantity", {0, 1, 0, 0, 0, 11, 1, 16, 0, 0, 0, 1, 4, 1, 2, 3, 4}},
        {"byte count below the quantity", {0, 1, 0, 0, 0, 9, 1, 16, 0, 0, 0, 2, 2, 1, 2}},
        // Whole by its header yet one byte short: the slave keeps it and waits
        // for the rest, so only other connections are served meanwhile.
        {"byte count beyond the frame", {0, 1, 0, 0, 0, 9, 1, 16, 0, 0, 0, 1, 2, 1}},
        {"byte count short of the frame", {0, 1, 0, 0, 0, 10, 1, 16, 0, 0, 0, 1, 2, 1, 2, 3}},
        {"length shorter than the frame", {0, 1, 0, 0, 0, 3, 1, 3, 0, 0, 0, 1}},
        {"length longer than the frame", {0, 1, 0, 0, 0, 12, 1, 3, 0, 0, 0, 1}},
        {"length beyond any frame", {0, 1, 0, 0, 0xFF, 0xFF, 1, 3, 0, 0, 0, 1}},
        {"quantity 0", {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 0}},
        {"quantity above the limit", {0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 126}},
        {"coils above the limit", {0, 1, 0, 0, 0, 6, 1, 1, 0, 0, 0x07, 0xD1}},
        {"register writes above the limit", {0, 1, 0, 0, 0, 7, 1, 16, 0, 0, 0, 124, 0}},
        {"unknown function", {0, 1, 0, 0, 0, 2, 1, 0x63}},
    };
    RawClient shared(slave.port);
    ASSERT_TRUE(shared.wellFormedReadAnswered(9));
    for (const auto &[name, frame] : bad) {
        SCOPED_TRACE(name);
        // On its own connection: the malformed frame gets no answer...
        RawClient c(slave.port);
        fbtest::writeAll(c.fd, frame);
        ASSERT_TRUE(slave.settle());
        EXPECT_TRUE(fbtest::readFor(c.fd, 1, 20).empty()) << "no answer";
        // ...and the same connection, and another one, are served afterwards.
        if (std::string(name) != "byte count beyond the frame") {
            EXPECT_TRUE(c.wellFormedReadAnswered(8));
        }
        EXPECT_TRUE(shared.wellFormedReadAnswered(9));
    }
}

}  // namespace

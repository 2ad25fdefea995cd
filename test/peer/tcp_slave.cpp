// The Modbus/TCP slave (modbusReadE/modbusReplyE in a loop) against
// libmodbus and mbpoll as clients, several clients at once, and the malformed
// requests that have broken other Modbus implementations.
#include <gtest/gtest.h>
#include <linux/tcp.h>
#include <sys/resource.h>

#include <algorithm>
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
    const uint8_t unknown[] = {1, 0x2B, 0x0D, 1, 0};  // an encapsulated type not served
    ASSERT_GT(modbus_send_raw_request(c.get(), unknown, sizeof unknown), 0);
    uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
    ASSERT_EQ(modbus_receive_confirmation(c.get(), answer), 9);
    EXPECT_EQ(answer[7], 0xAB);
    EXPECT_EQ(answer[8], 1);  // illegal function
    ASSERT_EQ(modbus_read_registers(c.get(), SlaveLoop::kRegs - 1, 1, regs), 1);
    EXPECT_EQ(regs[0], tcppeer::holdingAt(SlaveLoop::kRegs - 1));
}

// 0x17, 0x16 and 0x11 as libmodbus sends them, to the register-map server.
TEST(TcpMapServerPeer, LibmodbusReadWriteMaskWriteAndServerId) {
    SlaveLoop slave(false, 1, true);
    Client c(libmodbusClient(false, slave.port));
    ASSERT_TRUE(c);
    const uint16_t written[2] = {0xAAAA, 0x5555};
    uint16_t read[3] = {};
    ASSERT_EQ(modbus_write_and_read_registers(c.get(), 20, 2, written, 19, 3, read), 3);
    const std::vector<uint16_t> after = {tcppeer::holdingAt(19), 0xAAAA, 0x5555};
    EXPECT_EQ(std::vector<uint16_t>(read, read + 3), after);  // written before the read
    // (0xAAAA AND 0x00F0) OR (0x0003 AND NOT 0x00F0)
    ASSERT_EQ(modbus_mask_write_register(c.get(), 20, 0x00F0, 0x0003), 1);
    ASSERT_EQ(modbus_read_registers(c.get(), 20, 1, read), 1);
    EXPECT_EQ(read[0], 0x00A3);
    uint8_t id[64] = {};  // server id (the unit), run indicator, product code
    ASSERT_EQ(modbus_report_slave_id(c.get(), sizeof id, id), 13);
    EXPECT_EQ(std::string(id, id + 13), std::string("\x01\xFF") + "libfieldbus");
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

// Whether the slave has closed fd (end of stream, reset), waiting up to
// timeoutMs; what it sent before is left unread.
bool closedBySlave(int fd, int timeoutMs) {
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

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
        // ...and the same connection, and another one, are served afterwards;
        // except where the header's length, which decides where a request
        // ends, promised more than came or less than was sent: that stream is
        // out of step for good.
        const std::string n = name;
        if (n != "byte count beyond the frame" && n != "length shorter than the frame" &&
            n != "length longer than the frame") {
            EXPECT_TRUE(c.wellFormedReadAnswered(8));
        }
        EXPECT_TRUE(shared.wellFormedReadAnswered(9));
    }
}

// Clients that send requests and never read the answers hold up no one: a
// well-behaved client is answered all along, each time within its usual two
// seconds (a loop that waited a second on each of the three would miss
// them); their answers go out whole and in order, and each is closed once
// what the slave keeps for it is full. Parameter: the register-map server.
class TcpSlaveHostile : public ::testing::TestWithParam<bool> {};

TEST_P(TcpSlaveHostile, ClientsThatDoNotReadGetWholeAnswersAndHoldUpNoOne) {
    SlaveLoop slave(false, 1, GetParam());
    RawClient good(slave.port);
    ASSERT_TRUE(good.wellFormedReadAnswered(0));
    struct Deaf {
        std::unique_ptr<RawClient> c;
        unsigned sent = 0;
        Bytes unsent;  // the rest of a request the socket took in part
        bool closed = false;
    };
    std::vector<Deaf> deaf(3);
    // Receive buffers left to the kernel: one set by hand is locked, and once
    // the unread answers' overhead fills it, the segments carrying the
    // acknowledgements of the client's own requests are dropped.
    for (Deaf &d : deaf) d.c = std::make_unique<RawClient>(slave.port);
    // Request `tid` reads register tid % 100; its answer, 11 bytes.
    const auto frame = [](unsigned tid, Bytes f) {
        f[0] = static_cast<unsigned char>(tid >> 8);
        f[1] = static_cast<unsigned char>(tid);
        return f;
    };
    const auto request = [&](unsigned tid) {
        return frame(tid, {0, 0, 0, 0, 0, 6, 1, 3, 0, static_cast<unsigned char>(tid % 100), 0, 1});
    };
    const auto answer = [&](unsigned tid) {
        const uint16_t v = tcppeer::holdingAt(static_cast<int>(tid % 100));
        return frame(tid, {0, 0, 0, 0, 0, 5, 1, 3, 2, static_cast<unsigned char>(v >> 8),
                           static_cast<unsigned char>(v)});
    };
    // How many answers fit in the sockets' buffers before the slave's own
    // queue overflows is the kernel's to decide; every such client is closed
    // well within the time.
    const long long deadline = fbtest::monoMs() + 30000;
    int open = 3;
    for (int round = 0; open > 0 && fbtest::monoMs() < deadline; ++round) {
        for (Deaf &d : deaf) {
            while (!d.closed) {
                while (d.unsent.size() < 64 * 12) {
                    const Bytes r = request(++d.sent);
                    d.unsent.insert(d.unsent.end(), r.begin(), r.end());
                }
                const ssize_t n =
                    send(d.c->fd, d.unsent.data(), d.unsent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) d.unsent.erase(d.unsent.begin(), d.unsent.begin() + n);
                if (n < 0 && errno != EAGAIN) d.closed = true;
                if (n < 0 || !d.unsent.empty()) break;
            }
            if (!d.closed && closedBySlave(d.c->fd, 0)) d.closed = true;
            open -= d.closed && d.c->fd >= 0;
            if (d.closed && d.c->fd >= 0) {
                // Read now: every answer whole, in the order asked; only the
                // last, cut off by the close, may be short.
                const Bytes got = fbtest::readFor(d.c->fd, 1 << 20, 2000);
                size_t at = 0;
                unsigned tid = 1;
                for (; at + 11 <= got.size(); at += 11, ++tid)
                    ASSERT_EQ(Bytes(got.begin() + static_cast<long>(at),
                                    got.begin() + static_cast<long>(at) + 11),
                              answer(tid))
                        << "answer " << tid << " of " << d.sent;
                EXPECT_GT(tid, 1u) << "answered before it was closed";
                close(d.c->fd);
                d.c->fd = -1;
            }
        }
        ASSERT_TRUE(good.wellFormedReadAnswered(round % 100)) << "round " << round;
    }
    // A client still open whose requests the slave's window takes (it is
    // read) but which its own kernel holds back, retransmitting, never sent
    // the slave enough to close it: a loaded machine drops the segments that
    // carry its acknowledgements. Open with the slave's window shut is the
    // slave's fault.
    std::string sent;
    int heldBack = 0;
    for (const Deaf &d : deaf) {
        tcp_info info{};
        socklen_t len = sizeof info;
        const bool own = !d.closed &&
                         getsockopt(d.c->fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 &&
                         info.tcpi_snd_wnd > 0 && info.tcpi_retransmits > 0;
        heldBack += own;
        sent += " " + std::to_string(d.sent) +
                (d.closed ? " closed"
                 : own    ? " held back"
                          : " open");
    }
    EXPECT_EQ(open - heldBack, 0) << "a client that never reads was not closed as its answers "
                                  << "piled up; requests sent:" << sent;
}

INSTANTIATE_TEST_SUITE_P(Slaves, TcpSlaveHostile, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "mapServer" : "readReply"; });

// A request that comes a byte now and then (each one a sign of life) has a
// few seconds from its first byte; then its connection is closed. Others are
// served meanwhile.
TEST(TcpSlaveClients, DrippingRequestIsClosedWhileOthersAreServed) {
    SlaveLoop slave(false, 1, true);
    RawClient good(slave.port), drip(slave.port);
    ASSERT_TRUE(drip.wellFormedReadAnswered(1));
    // A header announcing 254 bytes: a write of 123 registers, 247 data bytes.
    fbtest::writeAll(drip.fd, Bytes{0, 9, 0, 0, 0, 0xFE, 1, 16, 0, 0, 0, 123, 247});
    bool closed = false;
    const long long deadline = fbtest::monoMs() + 20000;
    while (!closed && fbtest::monoMs() < deadline) {
        ASSERT_TRUE(good.wellFormedReadAnswered(2));
        const unsigned char byte = 0;
        closed = closedBySlave(drip.fd, 500) || send(drip.fd, &byte, 1, MSG_NOSIGNAL) != 1;
    }
    EXPECT_TRUE(closed);
    EXPECT_TRUE(good.wellFormedReadAnswered(3));
}

// Every entry of the connection table but `spare` taken by datagram sockets
// for as long as the object lives; false `ok` when this process may not
// open that many descriptors.
struct TableFiller {
    std::vector<int> entries;
    bool ok = false;
    explicit TableFiller(int spare) {
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_max < 2 * kConnections) return;
        lim.rlim_cur = std::max<rlim_t>(lim.rlim_cur, 2 * kConnections);
        setrlimit(RLIMIT_NOFILE, &lim);
        for (int i; (i = Open_Socket(0, 1, 0)) > 0;) entries.push_back(i);
        for (int k = 0; k < spare && !entries.empty(); ++k) {
            Close_Socket(entries.back());
            entries.pop_back();
        }
        ok = entries.size() + static_cast<size_t>(spare) >= kConnections - 16;
    }
    ~TableFiller() {
        for (int i : entries) Close_Socket(i);
    }
};

// A full table makes room for a new client by closing the one heard from
// longest ago (not the oldest connection); the others, and the new one, are
// served.
TEST(TcpSlaveClients, FullTableClosesTheClientHeardFromLongestAgo) {
    TableFiller filler(4);  // the listener and three clients
    if (!filler.ok) GTEST_SKIP() << "too few descriptors for a full connection table";
    SlaveLoop slave(false, 1, true);
    RawClient idle(slave.port);
    ASSERT_TRUE(slave.waitOccupied(1));
    RawClient a(slave.port), b(slave.port);
    ASSERT_TRUE(a.wellFormedReadAnswered(1));
    ASSERT_TRUE(b.wellFormedReadAnswered(2));
    ASSERT_TRUE(slave.waitOccupied(3));
    RawClient late(slave.port);
    EXPECT_TRUE(late.wellFormedReadAnswered(3)) << "a new client on a full table";
    EXPECT_TRUE(closedBySlave(idle.fd, 3000));
    EXPECT_TRUE(a.wellFormedReadAnswered(4));
    EXPECT_TRUE(b.wellFormedReadAnswered(5));
    // Now `late` was heard from longest ago, though it came last.
    RawClient later(slave.port);
    EXPECT_TRUE(later.wellFormedReadAnswered(6));
    EXPECT_TRUE(closedBySlave(late.fd, 3000));
    EXPECT_TRUE(a.wellFormedReadAnswered(7));
    EXPECT_TRUE(b.wellFormedReadAnswered(8));
}

}  // namespace

// Modbus/TCP master and slave over loopback sockets, with a plain socket
// playing the far end: frames on the wire, answer checks, stale and split
// answers, request assembly, resynchronisation, client bookkeeping.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "modbus.h"
#include "net.h"
#include "net_private.h"
#include "pty_pair.h"

namespace {

using Bytes = std::vector<unsigned char>;

int boundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

int rawConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    return fd;
}

// A master connection whose far end is a plain socket driven by the test.
struct MasterLink {
    int index = -1;
    int far = -1;
    MasterLink() {
        const int lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(lfd, 1);
        index = Open_Socket(0, 0, 0);
        char host[] = "127.0.0.1";
        Connect_TCP(index, host, boundPort(lfd));
        far = accept(lfd, nullptr, nullptr);
        const int one = 1;
        setsockopt(far, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        close(lfd);
    }
    ~MasterLink() {
        Close_Socket(index);
        if (far >= 0) close(far);
    }
};

// The far end of one master exchange: waits for `requestLen` bytes, then
// writes each chunk of the answer, pausing between chunks so they travel as
// separate segments. Optionally closes the connection instead of answering.
struct FarEnd {
    Bytes request;
    std::thread thread;
    FarEnd(int fd, size_t requestLen, std::vector<Bytes> chunks, bool closeAfter = false) {
        thread = std::thread([this, fd, requestLen, chunks, closeAfter] {
            request = fbtest::readFor(fd, requestLen, 3000);
            for (size_t i = 0; i < chunks.size(); ++i) {
                if (i > 0) poll(nullptr, 0, 30);
                fbtest::writeAll(fd, chunks[i]);
            }
            if (closeAfter) shutdown(fd, SHUT_RDWR);
        });
    }
    ~FarEnd() {
        if (thread.joinable()) thread.join();
    }
    // Waits for the far end and returns what it received.
    const Bytes &finish() {
        if (thread.joinable()) thread.join();
        return request;
    }
};

struct MasterCase {
    const char *name;
    char function;
    WORD addr, count;
    Bytes data;                 // cBuf before the call
    Bytes request;              // the whole frame expected on the wire
    std::vector<Bytes> answer;  // chunks written back
    int expected;
    Bytes after;  // leading bytes of cBuf afterwards
};

TEST(TcpMaster, FramesAndAnswerChecks) {
    const std::vector<MasterCase> cases = {
        {"read holding",
         3,
         0,
         10,
         {},
         {0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 10},
         {{0, 0, 0, 0,  0,  23, 1,  3,  20, 0x12, 0x34, 0xAB, 0xCD, 5, 6,
           7, 8, 9, 10, 11, 12, 13, 14, 15, 16,   17,   18,   19,   20}},
         0,
         {0x12, 0x34, 0xAB, 0xCD, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
        {"read coils split in three segments",
         1,
         0x0102,
         10,
         {},
         {0, 0, 0, 0, 0, 6, 1, 1, 1, 2, 0, 10},
         {{0, 0, 0}, {0, 0, 5, 1, 1}, {2, 0xA5, 0x03}},
         0,
         {0xA5, 0x03}},
        {"answers of another transaction, unit or function read past",
         4,
         0,
         1,
         {0x55, 0x55},
         {0, 0, 0, 0, 0, 6, 1, 4, 0, 0, 0, 1},
         {{0, 1, 0, 0, 0, 5, 1, 4, 2, 9, 9, 0, 0, 0, 0, 0, 5, 2, 4, 2, 8, 8},
          {0, 0, 0, 0, 0, 5, 1, 3, 2, 7, 7, 0, 0, 0, 0, 0, 5, 1, 4, 2, 6, 6}},
         0,
         {6, 6}},
        {"another protocol's answer under our number",
         4,
         0,
         1,
         {0x55, 0x55},
         {0, 0, 0, 0, 0, 6, 1, 4, 0, 0, 0, 1},
         {{0, 0, 0, 1, 0, 5, 1, 4, 2, 9, 9}},
         12,
         {0x55, 0x55}},
        {"answer too short for its data",
         3,
         0,
         2,
         {0x77, 0x77, 0x77, 0x77},
         {0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2},
         {{0, 0, 0, 0, 0, 5, 1, 3, 4, 0x12, 0x34}},
         12,
         {0x77, 0x77, 0x77, 0x77}},
        {"exception",
         3,
         0,
         1,
         {0},
         {0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1},
         {{0, 0, 0, 0, 0, 3, 1, 0x83, 2}},
         13,
         {2}},
        {"exception without its code",
         3,
         0,
         1,
         {0x44},
         {0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1},
         {{0, 0, 0, 0, 0, 2, 1, 0x83}},
         12,
         {0x44}},
        {"write single register echo",
         6,
         0x0010,
         0,
         {0x12, 0x34},
         {0, 0, 0, 0, 0, 6, 1, 6, 0, 0x10, 0x12, 0x34},
         {{0, 0, 0, 0, 0, 6, 1, 6, 0, 0x10, 0x12, 0x34}},
         0,
         {0x12, 0x34}},
        {"write coil echo differs",
         5,
         3,
         0,
         {0x80},
         {0, 0, 0, 0, 0, 6, 1, 5, 0, 3, 0xFF, 0},
         {{0, 0, 0, 0, 0, 6, 1, 5, 0, 3, 0, 0}},
         12,
         {0x80}},
        {"write registers",
         16,
         1,
         2,
         {1, 2, 3, 4},
         {0, 0, 0, 0, 0, 11, 1, 16, 0, 1, 0, 2, 4, 1, 2, 3, 4},
         {{0, 0, 0, 0, 0, 6, 1, 16, 0, 1, 0, 2}},
         0,
         {1, 2, 3, 4}},
        {"function 70 sub-function 4",
         70,
         4,
         0,
         {0, 0, 0, 0},
         {0, 0, 0, 0, 0, 3, 1, 0x46, 4},
         {{0, 0, 0, 0, 0, 7, 1, 0x46, 4, 9, 8, 7, 6}},
         0,
         {9, 8, 7, 6}},
    };
    for (const MasterCase &c : cases) {
        SCOPED_TRACE(c.name);
        MasterLink link;
        Bytes buf(64, 0);
        std::copy(c.data.begin(), c.data.end(), buf.begin());
        FarEnd far(link.far, c.request.size(), c.answer);
        const int rc = modbusRequestE(link.index, 1, c.function, c.addr, c.count,
                                      reinterpret_cast<char *>(buf.data()), 64, 1500, nullptr);
        EXPECT_EQ(far.finish(), c.request);
        EXPECT_EQ(rc, c.expected);
        EXPECT_EQ(Bytes(buf.begin(), buf.begin() + static_cast<long>(c.after.size())), c.after);
    }
}

TEST(TcpMaster, NoAnswerIs15AndLeavesWT) {
    MasterLink link;
    char buf[4] = {};
    WORD wT = 4321;
    EXPECT_EQ(modbusRequestE(link.index, 1, 3, 0, 1, buf, 4, 50, &wT), 15);
    EXPECT_EQ(wT, 4321);
}

// Each request carries the next transaction number; the answer to a request
// that timed out, whether it waits before the next request or comes in the
// middle of its exchange, is not taken for the next one's.
TEST(TcpMaster, LateAnswerToAnEarlierRequestIsNotTakenForTheNext) {
    MasterLink link;
    char buf[2] = {};
    EXPECT_EQ(modbusRequestE(link.index, 1, 3, 0, 1, buf, 2, 30, nullptr), 15);
    ASSERT_EQ(fbtest::readFor(link.far, 12, 1000), (Bytes{0, 0, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1}));
    fbtest::writeAll(link.far, Bytes{0, 0, 0, 0, 0, 5, 1, 3, 2, 0xDE, 0xAD});
    pollfd p{connectManager[link.index].fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(modbusRequestE(link.index, 1, 3, 0, 1, buf, 2, 30, nullptr), 15);
    ASSERT_EQ(fbtest::readFor(link.far, 12, 1000), (Bytes{0, 1, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1}));
    FarEnd far(link.far, 12,
               {{0, 1, 0, 0, 0, 5, 1, 3, 2, 0xBE, 0xEF}, {0, 2, 0, 0, 0, 5, 1, 3, 2, 0x02, 0x2B}});
    EXPECT_EQ(modbusRequestE(link.index, 1, 3, 0, 1, buf, 2, 1000, nullptr), 0);
    EXPECT_EQ(far.finish(), (Bytes{0, 2, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1}));
    EXPECT_EQ(static_cast<uint8_t>(buf[0]), 0x02);
    EXPECT_EQ(static_cast<uint8_t>(buf[1]), 0x2B);
}

TEST(TcpMaster, ClosedPeerIsNegative) {
    MasterLink link;
    char buf[2] = {};
    {
        FarEnd far(link.far, 12, {}, true);
        EXPECT_LT(modbusRequestE(link.index, 1, 3, 0, 1, buf, 2, 1000, nullptr), 0);
    }
    EXPECT_LT(modbusRequestE(link.index, 1, 3, 0, 1, buf, 2, 100, nullptr), 0);
}

TEST(TcpMaster, RefusalsSendNothing) {
    MasterLink link;
    std::vector<char> buf(2048, 0);
    struct Case {
        char function;
        WORD addr, count, bufLen;
        int expected;
    };
    const Case cases[] = {
        {3, 0, 513, 1024, 20},    // registers beyond the caller's buffer
        {1, 0, 8193, 1024, 20},   // coils beyond it
        {3, 0, 1020, 2048, 20},   // answer beyond the frame
        {16, 0, 1018, 2048, 20},  // request beyond the frame
        {15, 0, 17, 2, 20},       // data to write beyond wBufLen
        {7, 0, 1, 2048, 1},      {70, 1, 0, 2048, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(modbusRequestE(link.index, 1, c.function, c.addr, c.count, buf.data(), c.bufLen,
                                 10, nullptr),
                  c.expected)
            << int(c.function) << " " << c.count;
    EXPECT_TRUE(fbtest::readFor(link.far, 1, 50).empty());
    const int closedEntry = Open_Socket(0, 0, 0);
    Close_Socket(closedEntry);
    EXPECT_EQ(modbusRequestE(closedEntry, 1, 3, 0, 1, buf.data(), 2, 10, nullptr), -1);
    EXPECT_EQ(modbusRequestE(-1, 1, 3, 0, 1, buf.data(), 2, 10, nullptr), -1);
}

// A listening slave and its clients, all on one thread: the clients write
// first, then modbusReadE collects.
struct Slave {
    int listener = Open_Socket(0, 0, 0);
    int port = 0;
    Slave() {
        Listen_Socket(listener);
        port = boundPort(connectManager[listener].fd);
    }
    ~Slave() {
        for (int c : connectManager[listener].clientfd) Close_Socket(c);
        Close_Socket(listener);
    }
    struct Read {
        int rc = -99, trans = -1, client = -1, function = -1, addr = -1, count = -1;
        Bytes data;
    };
    Read read(char unit = 0, WORD bufLen = 256, WORD timeout = 200) {
        Read r;
        char buf[256] = {};
        r.rc = modbusReadE(listener, unit, &r.trans, &r.client, &r.function, buf, bufLen, &r.addr,
                           &r.count, timeout);
        if (r.rc > 0) r.data.assign(buf, buf + r.rc);
        return r;
    }
    bool anyPending() const {
        for (int c : connectManager[listener].clientfd) {
            int n = 0;
            if (c >= 0 && connectManager[c].fd >= 0 &&
                ioctl(connectManager[c].fd, FIONREAD, &n) == 0 && n > 0)
                return true;
        }
        return false;
    }
    // The next request: a call may end its scan without reaching a client
    // that has one waiting (-15), so calls are repeated while bytes wait.
    Read next(char unit = 0, WORD bufLen = 256) {
        const long long deadline = fbtest::monoMs() + 2000;
        Read r;
        do r = read(unit, bufLen, 50);
        while (r.rc == -15 && anyPending() && fbtest::monoMs() < deadline);
        return r;
    }
};

TEST(TcpSlave, ParsesRequestsAndFiltersUnits) {
    Slave s;
    const int c = rawConnect(s.port);
    fbtest::writeAll(c, Bytes{0x12, 0x34, 0, 0, 0, 6, 7, 3, 0, 0x10, 0, 2});
    Slave::Read r = s.next();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trans, 0x1234);
    EXPECT_EQ(r.function, 3);
    EXPECT_EQ(r.addr, 0x10);
    EXPECT_EQ(r.count, 2);
    EXPECT_EQ(r.client, connectManager[s.listener].clientfd[0]);

    fbtest::writeAll(c, Bytes{0, 1, 0, 0, 0, 6, 6, 6, 0, 1, 0xAB, 0xCD});
    EXPECT_EQ(s.next(5).rc, -15) << "foreign unit, consumed";
    fbtest::writeAll(c, Bytes{0, 2, 0, 0, 0, 6, 5, 6, 0, 1, 0xAB, 0xCD});
    r = s.next(5);
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.data, (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(r.count, 1);

    // Refused requests to us still say who sent them and their function, so
    // that they can be answered with an exception.
    fbtest::writeAll(c, Bytes{0, 3, 0, 0, 0, 11, 1, 16, 0, 0, 0, 2, 4, 1, 2, 3, 4});
    r = s.next(0, 3);
    EXPECT_EQ(r.rc, -12) << "byte count beyond wBufLen";
    EXPECT_EQ(r.function, 16);
    EXPECT_EQ(r.trans, 3);
    fbtest::writeAll(c, Bytes{0, 4, 0, 0, 0, 11, 1, 16, 0, 0, 0, 2, 4, 1, 2, 3, 4});
    r = s.next(0, 4);
    EXPECT_EQ(r.rc, 4) << "byte count equal to wBufLen";
    EXPECT_EQ(r.data, (Bytes{1, 2, 3, 4}));
    fbtest::writeAll(c, Bytes{0, 5, 0, 0, 0, 5, 1, 43, 14, 1, 0});
    r = s.next();
    EXPECT_EQ(r.rc, -1) << "function not handled";
    EXPECT_EQ(r.function, 43);
    EXPECT_EQ(r.trans, 5);
    EXPECT_EQ(r.client, connectManager[s.listener].clientfd[0]);
    close(c);
}

TEST(TcpSlave, AssemblesARequestSentInPieces) {
    Slave s;
    const int c = rawConnect(s.port);
    fbtest::writeAll(c, Bytes{0, 9, 0});
    std::thread rest([c] {
        poll(nullptr, 0, 40);
        fbtest::writeAll(c, Bytes{0, 0, 6, 1, 4});
        poll(nullptr, 0, 40);
        fbtest::writeAll(c, Bytes{0, 0, 0, 1});
    });
    // Each call keeps what has come; the request is whole after the last piece.
    Slave::Read r;
    const long long deadline = fbtest::monoMs() + 2000;
    do r = s.read(0, 256, 20);
    while (r.rc == -15 && fbtest::monoMs() < deadline);
    rest.join();
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trans, 9);
    EXPECT_EQ(r.function, 4);
    close(c);
}

// Idle clients and clients that send a byte at a time cost an active client
// nothing: one call, with all of them connected, serves the active one; every
// waiting connection is accepted at once; the slow ones' requests are kept
// and completed across calls.
TEST(TcpSlave, IdleAndSlowClientsDoNotHoldUpAnActiveOne) {
    Slave s;
    // Room for every connection to wait until the slave takes it.
    listen(connectManager[s.listener].fd, 128);
    std::vector<int> idle, slow;
    for (int i = 0; i < 60; ++i) idle.push_back(rawConnect(s.port));
    const Bytes request{0, 0x51, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1};
    for (int i = 0; i < 10; ++i) {
        slow.push_back(rawConnect(s.port));
        fbtest::writeAll(slow.back(), request.data(), 1 + static_cast<size_t>(i % 5));
    }
    // Nothing whole yet: the call waits its time-out and accepts everyone.
    EXPECT_EQ(s.read(0, 256, 30).rc, -15);
    int clients = 0;
    for (int c : connectManager[s.listener].clientfd) clients += c >= 0;
    EXPECT_EQ(clients, 70);

    const int active = rawConnect(s.port);
    fbtest::writeAll(active, Bytes{0, 0xAC, 0, 0, 0, 6, 1, 4, 0, 9, 0, 1});
    Slave::Read r;
    const long long deadline = fbtest::monoMs() + 2000;
    do r = s.read(0, 256, 50);  // the first call may find only the new connection
    while (r.rc == -15 && fbtest::monoMs() < deadline);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.trans, 0xAC);

    // The slow clients finish their requests byte by byte.
    for (size_t i = 0; i < slow.size(); ++i) {
        const size_t sent = 1 + i % 5;
        for (size_t k = sent; k < request.size(); ++k) fbtest::writeAll(slow[i], &request[k], 1);
    }
    int served = 0;
    const long long until = fbtest::monoMs() + 3000;
    while (served < 10 && fbtest::monoMs() < until) {
        const Slave::Read q = s.read(0, 256, 50);
        if (q.rc == 0 && q.trans == 0x51) ++served;
    }
    EXPECT_EQ(served, 10);
    for (int fd : idle) close(fd);
    for (int fd : slow) close(fd);
    close(active);
}

TEST(TcpSlave, RequestsSentBackToBackAreServedInTurn) {
    Slave s;
    const int c = rawConnect(s.port);
    fbtest::writeAll(c,
                     Bytes{0, 1, 0, 0, 0, 6, 1, 3, 0, 1, 0, 1, 0, 2, 0, 0, 0, 6, 1, 3, 0, 2, 0, 1});
    EXPECT_EQ(s.next().trans, 1);
    EXPECT_EQ(s.next().trans, 2) << "the second request must not be dropped";
    close(c);
}

TEST(TcpSlave, InconsistentFramesAreRefusedAndTheStreamStaysInStep) {
    const std::vector<Bytes> bad = {
        {0, 1, 0, 0, 0, 2, 1, 3},                            // bare function code
        {0, 1, 0, 0, 0, 4, 1, 3, 0, 0},                      // truncated body
        {0, 1, 0, 0, 0, 7, 1, 3, 0, 0, 0, 1, 0},             // a byte beyond the layout
        {0, 1, 0, 0, 0, 1, 1, 5},                            // length without a function code
        {0, 1, 0, 0, 0, 10, 1, 16, 0, 0, 0, 1, 2, 0, 1, 7},  // byte count short of the frame
        {0, 1, 0, 0, 0xFF, 0xFF, 1, 3, 0, 0, 0, 1},          // impossible length
        {0, 1, 0, 0, 0, 12, 1, 0x17, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0},  // 0x17 byte count beyond
    };
    for (const Bytes &b : bad) {
        SCOPED_TRACE(::testing::PrintToString(b));
        Slave s;
        const int c = rawConnect(s.port);
        fbtest::writeAll(c, b);
        // Whole by its header, refused (a length that fits no request drops
        // what waits behind it); the next request is served.
        Slave::Read refused;
        const long long deadline = fbtest::monoMs() + 2000;
        do refused = s.read(0, 256, 20);
        while (refused.rc == -15 && !s.anyPending() && fbtest::monoMs() < deadline &&
               connectManager[s.listener].clientfd[0] < 0);
        EXPECT_LT(refused.rc, 0);
        fbtest::writeAll(c, Bytes{0, 7, 0, 0, 0, 6, 1, 3, 0, 5, 0, 1});
        const Slave::Read next = s.next();
        EXPECT_EQ(next.rc, 0);
        EXPECT_EQ(next.trans, 7);
        EXPECT_EQ(next.addr, 5);
        close(c);
    }
}

TEST(TcpSlave, ClientsAreServedInTurnAndAClosedOneFreesItsSlot) {
    Slave s;
    // The listening queue holds one pending connection: the second client
    // connects once the first has been taken.
    const int a = rawConnect(s.port);
    fbtest::writeAll(a, Bytes{0, 0xA, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
    std::vector<int> order{s.next().trans};
    const int b = rawConnect(s.port);
    // Both clients have a request waiting; successive calls take them in turn.
    fbtest::writeAll(b, Bytes{0, 0xB, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
    fbtest::writeAll(a, Bytes{0, 0xA, 0, 0, 0, 6, 1, 3, 0, 0, 0, 1});
    while (order.size() < 3) {
        const Slave::Read r = s.next();
        ASSERT_EQ(r.rc, 0);
        order.push_back(r.trans);
    }
    EXPECT_EQ(order, (std::vector<int>{0xA, 0xB, 0xA}));

    const int slotOfB = 1;
    const int entryOfB = connectManager[s.listener].clientfd[slotOfB];
    close(b);
    Slave::Read r;
    const long long deadline = fbtest::monoMs() + 2000;
    do r = s.read(0, 256, 50);
    while (r.rc == -15 && fbtest::monoMs() < deadline);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(connectManager[s.listener].clientfd[slotOfB], -1);
    EXPECT_EQ(connectManager[entryOfB].fd, -1);
    close(a);
}

TEST(TcpSlave, RepliesOnTheWireAndReportsAFailedWrite) {
    Slave s;
    const int c = rawConnect(s.port);
    fbtest::writeAll(c, Bytes{0x12, 0x34, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2});
    const Slave::Read r = s.next();
    ASSERT_EQ(r.rc, 0);
    char data[] = {1, 2, 3, 4};
    EXPECT_EQ(modbusReplyE(0, 1, r.trans, r.client, 3, data, 4, 0, 0), 0);
    EXPECT_EQ(fbtest::readFor(c, 13, 1000), (Bytes{0x12, 0x34, 0, 0, 0, 7, 1, 3, 4, 1, 2, 3, 4}));
    char value[] = {0x00, 0x2A};
    EXPECT_EQ(modbusReplyE(0, 1, 5, r.client, 6, value, 0, 0x0102, 0), 0);
    EXPECT_EQ(fbtest::readFor(c, 12, 1000), (Bytes{0, 5, 0, 0, 0, 6, 1, 6, 1, 2, 0, 0x2A}));
    EXPECT_EQ(modbusReplyE(0, 1, 5, r.client, 7, value, 0, 0, 0), 1);
    std::vector<char> big(2040, 0);
    EXPECT_EQ(modbusReplyE(0, 1, 5, r.client, 3, big.data(), 2040, 0, 0), 20);
    EXPECT_EQ(modbusReplyE(0, 1, 5, -1, 3, data, 4, 0, 0), -1);

    // A client gone with a reset: the reply fails visibly, without SIGPIPE.
    linger hard{1, 0};
    setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(c);
    pollfd p{connectManager[r.client].fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(modbusReplyE(0, 1, 5, r.client, 3, data, 4, 0, 0), -1);
}

TEST(TcpSlave, BadListeningEntryIsMinusOne) {
    int t, cl, f, a, n;
    char buf[4];
    EXPECT_EQ(modbusReadE(-1, 0, &t, &cl, &f, buf, 4, &a, &n, 0), -1);
    const int closedEntry = Open_Socket(0, 0, 0);
    Close_Socket(closedEntry);
    EXPECT_EQ(modbusReadE(closedEntry, 0, &t, &cl, &f, buf, 4, &a, &n, 0), -1);
}

}  // namespace

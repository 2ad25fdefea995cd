// Connection table: open, bind, connect, listen, accept, close by index.
#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "net_private.h"
#include "pty_pair.h"

namespace {

// Runs body in a child process (a fresh table, or limits the test must not
// leave behind) and returns its exit status; body returns 0 for success.
int inChild(const std::function<int()> &body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

int boundPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(ss).sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6 &>(ss).sin6_port);
}

int sockOpt(int fd, int opt) {
    int v = 0;
    socklen_t len = sizeof v;
    getsockopt(fd, SOL_SOCKET, opt, &v, &len);
    return v;
}

// A plain listening socket on 127.0.0.1, port chosen by the system.
struct RawListener {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int port = 0;
    RawListener() {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(fd, 8);
        port = boundPort(fd);
    }
    ~RawListener() { close(fd); }
};

// A plain client connected to 127.0.0.1:port.
int rawConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int occupiedSlots(int listener) {
    int n = 0;
    for (int s : connectManager[listener].clientfd) n += s >= 0;
    return n;
}

// Pages of the connection table that are resident, by mincore().
long residentTablePages() {
    const long page = sysconf(_SC_PAGESIZE);
    const auto begin = reinterpret_cast<uintptr_t>(&connectManager[0]) & ~(page - 1);
    const auto end = reinterpret_cast<uintptr_t>(&connectManager[kConnections]);
    std::vector<unsigned char> in((end - begin + page - 1) / page);
    if (mincore(reinterpret_cast<void *>(begin), end - begin, in.data()) != 0) return -1;
    long n = 0;
    for (unsigned char v : in) n += v & 1;
    return n;
}

// Calls Accept_Socket until a client slot fills or two seconds pass.
bool acceptOne(int listener) {
    const int before = occupiedSlots(listener);
    const long long deadline = fbtest::monoMs() + 2000;
    while (fbtest::monoMs() < deadline) {
        if (Accept_Socket(listener) < 0) return false;
        if (occupiedSlots(listener) > before) return true;
        poll(nullptr, 0, 1);
    }
    return false;
}

TEST(NetTable, FreshProcessHandsOutOneFirstAndNeverTouchesDescriptorZero) {
    EXPECT_EQ(inChild([] {
                  const int devnull = open("/dev/null", O_RDONLY);
                  dup2(devnull, 0);
                  // Before any Open_Socket the table is all zeros: fd 0 must not be closed.
                  Close_Socket(3);
                  if (fcntl(0, F_GETFD) < 0) return 1;
                  if (Accept_Socket(3) != -1) return 2;
                  // Standard input holds a byte: index 1 is no entry yet and
                  // must not read it, nor write to descriptor 0.
                  int in[2];
                  if (pipe(in) != 0 || dup2(in[0], 0) < 0 || write(in[1], "x", 1) != 1) return 9;
                  char c = 0;
                  for (int bad : {1, 0, -1, kConnections})
                      if (sock_read(bad, &c, 1) != -1 || sock_write(bad, &c, 1) != -1) return 5;
                  if (read(0, &c, 1) != 1 || c != 'x') return 6;
                  // The table is paid for entry by entry, not 4 MiB at first use.
                  if (Open_Socket(0, 0, 0) != 1) return 3;
                  const long pages = residentTablePages();
                  if (pages < 0 || pages > 8) return 7;
                  if (Open_Socket(0, 0, 0) != 2) return 4;
                  Close_Socket(2);
                  if (sock_read(2, &c, 1) != -1 || sock_write(2, &c, 1) != -1) return 8;
                  return 0;
              }),
              0);
}

TEST(NetTable, OpenMakesBoundSocketsOfTheAskedKind) {
    struct Case {
        int protocol, ipv6, wantType, wantFamily;
    };
    const Case cases[] = {{0, 0, SOCK_STREAM, AF_INET},
                          {1, 0, SOCK_DGRAM, AF_INET},
                          {2, 0, SOCK_DGRAM, AF_INET},
                          {0, 1, SOCK_STREAM, AF_INET6},
                          {1, 1, SOCK_DGRAM, AF_INET6}};
    for (const Case &c : cases) {
        const int i = Open_Socket(0, c.protocol, c.ipv6);
        ASSERT_GT(i, 0);
        const connectManager_t &e = connectManager[i];
        EXPECT_EQ(sockOpt(e.fd, SO_TYPE), c.wantType) << "protocol " << c.protocol;
        EXPECT_EQ(sockOpt(e.fd, SO_DOMAIN), c.wantFamily);
        EXPECT_EQ(e.iAF, c.wantFamily);
        EXPECT_EQ(e.protocol, c.protocol);
        EXPECT_EQ(sockOpt(e.fd, SO_REUSEADDR), 1);
        EXPECT_NE(boundPort(e.fd), 0) << "even client sockets are bound";
        EXPECT_EQ(fcntl(e.fd, F_GETFL) & O_NONBLOCK, 0);
        Close_Socket(i);
    }
}

TEST(NetTable, BindToListenedPortFailsWithMinusThreeAndFreesTheEntry) {
    RawListener busy;
    const int probe = Open_Socket(0, 0, 0);
    Close_Socket(probe);  // the index the failing open would take
    EXPECT_EQ(Open_Socket(busy.port, 0, 0), -3);
    EXPECT_EQ(connectManager[probe].fd, -1);
    const int next = Open_Socket(0, 0, 0);
    EXPECT_EQ(next, probe);
    Close_Socket(next);
}

TEST(NetTable, OpenOnAFixedIpv6PortBindsTheWildcard) {
    const int scout = Open_Socket(0, 0, 1);
    const int port = boundPort(connectManager[scout].fd);
    Close_Socket(scout);
    const int i = Open_Socket(port, 0, 1);
    ASSERT_GT(i, 0);
    EXPECT_EQ(connectManager[i].localport, port);
    EXPECT_EQ(boundPort(connectManager[i].fd), port);
    sockaddr_in6 sa{};
    socklen_t len = sizeof sa;
    getsockname(connectManager[i].fd, reinterpret_cast<sockaddr *>(&sa), &len);
    EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&sa.sin6_addr));
    Close_Socket(i);
}

TEST(NetConnect, ConnectsAndSwitchesToNonBlocking) {
    RawListener server;
    const int i = Open_Socket(0, 0, 0);
    char host[] = "127.0.0.1";
    EXPECT_EQ(Connect_TCP(i, host, server.port), 0);
    EXPECT_NE(fcntl(connectManager[i].fd, F_GETFL) & O_NONBLOCK, 0);
    const int peer = accept(server.fd, nullptr, nullptr);
    EXPECT_GE(peer, 0);
    close(peer);
    Close_Socket(i);
}

TEST(NetConnect, FailuresLeaveTheEntryOpenAndNonBlocking) {
    RawListener closed;
    const int refusedPort = closed.port;
    close(closed.fd);
    closed.fd = socket(AF_INET, SOCK_STREAM, 0);  // nothing listens on refusedPort now

    char v4[] = "127.0.0.1";
    char v6[] = "::1";
    const int i = Open_Socket(0, 0, 0);
    EXPECT_EQ(Connect_TCP(i, v4, refusedPort), -1);
    EXPECT_GE(connectManager[i].fd, 0);
    EXPECT_NE(fcntl(connectManager[i].fd, F_GETFL) & O_NONBLOCK, 0);
    Close_Socket(i);

    // An IPv6-only address on an IPv4 entry: nothing is attempted.
    RawListener server;
    const int j = Open_Socket(0, 0, 0);
    EXPECT_EQ(Connect_TCP(j, v6, server.port), -1);
    EXPECT_GE(connectManager[j].fd, 0);
    Close_Socket(j);

    EXPECT_EQ(Connect_TCP(-1, v4, server.port), -1);
    EXPECT_EQ(Connect_TCP(kConnections, v4, server.port), -1);
    const int k = Open_Socket(0, 0, 0);
    EXPECT_EQ(Connect_TCP(k, nullptr, server.port), -1);
    Close_Socket(k);
}

// A listener whose backlog is full drops new handshakes: the bounded
// connect gives up with ETIMEDOUT instead of waiting for the system's
// connection time-out, and leaves the entry open for the caller to close.
TEST(NetConnect, TimeoutBoundsAConnectThatNeverCompletes) {
    const int full = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(full, 0), 0);
    const int port = boundPort(full);
    std::vector<int> fillers;
    for (int n = 0; n < 4; ++n) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sa.sin_port = htons(static_cast<uint16_t>(port));
        connect(fillers.back(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
    char host[] = "127.0.0.1";
    const int i = Open_Socket(0, 0, 0);
    errno = 0;
    EXPECT_EQ(Connect_TCP_Timeout(i, host, port, 200), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(connectManager[i].fd, 0);
    Close_Socket(i);

    RawListener server;
    const int j = Open_Socket(0, 0, 0);
    EXPECT_EQ(Connect_TCP_Timeout(j, host, server.port, 1000), 0);
    EXPECT_NE(fcntl(connectManager[j].fd, F_GETFL) & O_NONBLOCK, 0);
    Close_Socket(j);
    for (int f : fillers) close(f);
    close(full);
}

// Clients that arrive together all complete their handshake before the
// slave accepts any of them.
TEST(NetAccept, ListenKeepsARealBacklog) {
    const int listener = Open_Socket(0, 0, 0);
    ASSERT_EQ(Listen_Socket(listener), 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(boundPort(connectManager[listener].fd)));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<pollfd> clients;
    for (int n = 0; n < 64; ++n) {
        const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        clients.push_back({c, POLLOUT, 0});
    }
    int connected = 0;
    for (pollfd &p : clients) {
        int err = -1;
        socklen_t len = sizeof err;
        if (poll(&p, 1, 1000) == 1) getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        connected += err == 0;
        close(p.fd);
    }
    EXPECT_EQ(connected, 64);
    Close_Socket(listener);
}

TEST(NetConnect, Ipv6EntryConnectsToIpv6Loopback) {
    const int listener = Open_Socket(0, 0, 1);
    ASSERT_EQ(Listen_Socket(listener), 0);
    const int port = boundPort(connectManager[listener].fd);
    const int i = Open_Socket(0, 0, 1);
    char v6[] = "::1";
    EXPECT_EQ(Connect_TCP(i, v6, port), 0);
    Close_Socket(i);
    Close_Socket(listener);
}

TEST(NetAccept, TakesOneConnectionIntoTheLowestFreeSlotAndEntry) {
    const int listener = Open_Socket(0, 0, 0);
    ASSERT_EQ(Listen_Socket(listener), 0);
    EXPECT_EQ(connectManager[listener].peerport, 0);
    EXPECT_EQ(Accept_Socket(listener), 0) << "nothing pending is not a failure";
    EXPECT_EQ(occupiedSlots(listener), 0);

    const int port = boundPort(connectManager[listener].fd);
    const int c1 = rawConnect(port);
    ASSERT_TRUE(acceptOne(listener));
    const int first = connectManager[listener].clientfd[0];
    ASSERT_GT(first, 0);
    const connectManager_t &e = connectManager[first];
    EXPECT_GE(e.fd, 0);
    EXPECT_EQ(e.localport, connectManager[listener].localport);
    EXPECT_EQ(e.iAF, AF_INET);
    EXPECT_EQ(e.protocol, 0);
    EXPECT_EQ(e.index, 0u);
    EXPECT_EQ(fcntl(e.fd, F_GETFL) & O_NONBLOCK, 0) << "accepted sockets stay blocking";

    // A freed slot is the first to be filled again.
    const int c2 = rawConnect(port);
    ASSERT_TRUE(acceptOne(listener));
    const int second = connectManager[listener].clientfd[1];
    Close_Socket(first);
    connectManager[listener].clientfd[0] = -1;
    const int c3 = rawConnect(port);
    ASSERT_TRUE(acceptOne(listener));
    EXPECT_EQ(connectManager[listener].clientfd[0], first) << "lowest free entry and slot";

    EXPECT_EQ(Accept_Socket(-1), -1);
    EXPECT_EQ(Accept_Socket(kConnections), -1);
    for (int fd : {c1, c2, c3}) close(fd);
    Close_Socket(connectManager[listener].clientfd[0]);
    Close_Socket(second);
    Close_Socket(listener);
    EXPECT_EQ(Accept_Socket(listener), -1) << "closed entry";
}

TEST(NetAccept, FailingAcceptFillsNoSlotAndLeavesTheConnectionQueued) {
    EXPECT_EQ(inChild([] {
                  const int listener = Open_Socket(0, 0, 0);
                  Listen_Socket(listener);
                  const int client = rawConnect(boundPort(connectManager[listener].fd));
                  if (client < 0) return 1;
                  rlimit old{};
                  getrlimit(RLIMIT_NOFILE, &old);
                  rlimit tight = old;
                  tight.rlim_cur = static_cast<rlim_t>(client + 1);  // no descriptor left
                  setrlimit(RLIMIT_NOFILE, &tight);
                  while (dup(0) >= 0) {
                  }  // fill every hole below the limit
                  for (int n = 0; n < 50; ++n)
                      if (Accept_Socket(listener) != -1) return 2;
                  if (occupiedSlots(listener) != 0) return 3;
                  setrlimit(RLIMIT_NOFILE, &old);
                  if (!acceptOne(listener)) return 4;
                  return connectManager[connectManager[listener].clientfd[0]].fd >= 0 ? 0 : 5;
              }),
              0);
}

TEST(NetAccept, FullTableRefusesAndLeavesTheConnectionQueued) {
    EXPECT_EQ(inChild([] {
                  rlimit lim{};
                  getrlimit(RLIMIT_NOFILE, &lim);
                  if (lim.rlim_max < 1200) return 0;  // cannot hold a full table here
                  lim.rlim_cur = lim.rlim_max < 4096 ? lim.rlim_max : 4096;
                  setrlimit(RLIMIT_NOFILE, &lim);
                  const int listener = Open_Socket(0, 0, 0);
                  Listen_Socket(listener);
                  const int client = rawConnect(boundPort(connectManager[listener].fd));
                  int last = 0;
                  for (int n = 2; n < kConnections; ++n) last = Open_Socket(0, 1, 0);
                  if (last != kConnections - 1) return 1;
                  if (Open_Socket(0, 1, 0) != -1) return 2;
                  if (Accept_Socket(listener) != -1) return 3;
                  Close_Socket(500);
                  if (!acceptOne(listener)) return 4;
                  if (connectManager[listener].clientfd[0] != 500) return 5;
                  close(client);
                  return 0;
              }),
              0);
}

TEST(NetTable, ReopenedListeningIndexStartsWithoutOldClients) {
    const int listener = Open_Socket(0, 0, 0);
    Listen_Socket(listener);
    const int client = rawConnect(boundPort(connectManager[listener].fd));
    ASSERT_TRUE(acceptOne(listener));
    const int accepted = connectManager[listener].clientfd[0];
    connectManager[listener].lastfd = 1;
    Close_Socket(listener);
    const int again = Open_Socket(0, 0, 0);
    ASSERT_EQ(again, listener);
    EXPECT_EQ(occupiedSlots(again), 0);
    EXPECT_EQ(connectManager[again].lastfd, 0);
    close(client);
    Close_Socket(accepted);
    Close_Socket(again);
}

TEST(NetTable, CloseIsHarmlessOutsideTheTableAndTwice) {
    const int i = Open_Socket(0, 0, 0);
    Close_Socket(i);
    // Whatever now holds the old descriptor number must survive a second close.
    const int other = open("/dev/null", O_RDONLY);
    Close_Socket(i);
    Close_Socket(-1);
    Close_Socket(kConnections);
    EXPECT_GE(fcntl(other, F_GETFD), 0);
    close(other);
    EXPECT_EQ(connectManager[i].fd, -1);
    EXPECT_EQ(Listen_Socket(-1), -1);
    EXPECT_EQ(Listen_Socket(kConnections), -1);
}

TEST(NetTable, SetSocketPeerBoundsItsInput) {
    const int i = Open_Socket(0, 1, 0);
    std::string longName(256, 'a');
    EXPECT_EQ(Set_Socket_Peer(i, longName.c_str(), 1), -1);
    EXPECT_EQ(Set_Socket_Peer(i, nullptr, 1), -1);
    longName.pop_back();
    EXPECT_EQ(Set_Socket_Peer(i, longName.c_str(), 7), 0);
    EXPECT_EQ(connectManager[i].peerport, 7);
    EXPECT_STREQ(connectManager[i].addr, longName.c_str());
    Close_Socket(i);
    EXPECT_EQ(Set_Socket_Peer(i, "127.0.0.1", 1), -1) << "closed entry";
    EXPECT_EQ(Set_Socket_Peer(-1, "127.0.0.1", 1), -1);
    // A reused index does not keep the peer of its earlier life.
    const int j = Open_Socket(0, 1, 0);
    ASSERT_EQ(j, i);
    EXPECT_STREQ(connectManager[j].addr, "");
    EXPECT_EQ(connectManager[j].peerport, 0);
    Close_Socket(j);
}

}  // namespace

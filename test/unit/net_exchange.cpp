// Socket exchange: reads, writes, timed waits, datagrams.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "net.h"
#include "net_private.h"
#include "pty_pair.h"

namespace {

int boundPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(ss).sin_port)
                                   : ntohs(reinterpret_cast<sockaddr_in6 &>(ss).sin6_port);
}

// A library client connected to a plain socket that plays the far end.
struct Connected {
    int index = -1;
    int peer = -1;
    Connected() {
        const int lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        listen(lfd, 1);
        index = Open_Socket(0, 0, 0);
        char host[] = "127.0.0.1";
        if (Connect_TCP(index, host, boundPort(lfd)) == 0) peer = accept(lfd, nullptr, nullptr);
        close(lfd);
    }
    ~Connected() {
        Close_Socket(index);
        if (peer >= 0) close(peer);
    }
};

// A plain UDP socket on 127.0.0.1.
struct RawUdp {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    RawUdp() {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        port = boundPort(fd);
    }
    ~RawUdp() { close(fd); }
    void sendTo(int toPort, const void *data, size_t len) const {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(toPort));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, data, len, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    }
};

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

TEST(NetExchange, RequestAndOneReadOfTheAnswer) {
    Connected c;
    ASSERT_GE(c.peer, 0);
    char req[] = {1, 2, 3};
    char ans[16] = {};
    WORD wT = 0xBEEF;
    fbtest::writeAll(c.peer, "abcd", 4);
    // The exchange itself does not flush: what was waiting is the answer.
    EXPECT_EQ(Send_Receive_Socket(c.index, req, 3, ans, sizeof ans, 500, &wT), 4);
    EXPECT_EQ(std::memcmp(ans, "abcd", 4), 0);
    EXPECT_EQ(fbtest::readFor(c.peer, 3, 1000), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(wT, 0xBEEF) << "wT is never written";

    // The read takes at most the room given.
    fbtest::writeAll(c.peer, "0123456789", 10);
    ASSERT_TRUE(readable(connectManager[c.index].fd, 1000));
    EXPECT_EQ(Receive_socket(c.index, ans, 4, 500, &wT), 4);
    EXPECT_EQ(Receive_socket(c.index, ans, 16, 500, nullptr), 6);
    EXPECT_EQ(std::memcmp(ans, "456789", 6), 0);
    EXPECT_EQ(wT, 0xBEEF);
}

TEST(NetExchange, NothingToSendOrExpectReturnsZeroAndLeavesInputAlone) {
    Connected c;
    fbtest::writeAll(c.peer, "x", 1);
    ASSERT_TRUE(readable(connectManager[c.index].fd, 1000));
    char ans[4];
    EXPECT_EQ(Send_Receive_Socket(c.index, nullptr, 0, ans, 0, 1000, nullptr), 0);
    EXPECT_EQ(Receive_socket(c.index, ans, 4, 0, nullptr), 1) << "the byte is still there";
}

TEST(NetExchange, ZeroTimeoutIsAPurePoll) {
    Connected c;
    char ans[4];
    EXPECT_EQ(Receive_socket(c.index, ans, 4, 0, nullptr), 0);
    EXPECT_EQ(Send_Receive_Socket(c.index, nullptr, 0, ans, 4, 0, nullptr), 0);
    fbtest::writeAll(c.peer, "yz", 2);
    ASSERT_TRUE(readable(connectManager[c.index].fd, 1000));
    EXPECT_EQ(Send_Receive_Socket(c.index, nullptr, 0, ans, 4, 0, nullptr), 2);
}

TEST(NetExchange, TimeoutIsCountedInMillisecondsBeyondOneSecond) {
    Connected c;
    char ans[4];
    const long long start = fbtest::monoMs();
    EXPECT_EQ(Receive_socket(c.index, ans, 4, 1300, nullptr), 0);
    EXPECT_GE(fbtest::monoMs() - start, 1290) << "a wait over one second must not be cut short";
}

void onAlarm(int) {}

TEST(NetExchange, ASignalDoesNotCutTheWaitShort) {
    Connected c;
    struct sigaction sa {};
    sa.sa_handler = onAlarm;  // no SA_RESTART: poll() sees EINTR
    struct sigaction old {};
    sigaction(SIGALRM, &sa, &old);
    itimerval tick{{0, 20000}, {0, 20000}};
    setitimer(ITIMER_REAL, &tick, nullptr);
    std::thread late([&c] {
        poll(nullptr, 0, 150);
        fbtest::writeAll(c.peer, "ok", 2);
    });
    char ans[4];
    const int got = Receive_socket(c.index, ans, sizeof ans, 3000, nullptr);
    late.join();
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(got, 2);
}

TEST(NetExchange, PeerClosingOrBadEntryIsMinusOne) {
    char ans[4];
    char req[] = {9};
    {
        Connected c;
        close(c.peer);
        c.peer = -1;
        EXPECT_EQ(Receive_socket(c.index, ans, 4, 1000, nullptr), -1);
        EXPECT_EQ(Send_Receive_Socket(c.index, req, 1, ans, 4, 1000, nullptr), -1);
        // A second write to a closed peer fails with EPIPE; it must not raise SIGPIPE.
        EXPECT_EQ(Send_Receive_Socket(c.index, req, 1, ans, 4, 1000, nullptr), -1);
        EXPECT_EQ(sock_write(c.index, req, 1), -1);
    }
    const int freeEntry = Open_Socket(0, 0, 0);
    Close_Socket(freeEntry);
    for (int i : {-1, kConnections, freeEntry}) {
        EXPECT_EQ(Receive_socket(i, ans, 4, 0, nullptr), -1) << i;
        EXPECT_EQ(Send_Receive_Socket(i, req, 1, ans, 4, 0, nullptr), -1) << i;
    }
}

TEST(NetExchange, StreamWriteToAPeerThatStoppedReadingGivesUpAndReportsWhatWent) {
    Connected c;
    std::vector<char> big(32 << 20, 'q');
    const int n = sock_write(c.index, big.data(), big.size());
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(big.size()));
}

TEST(NetExchange, DiscardPendingDropsWhatWaitsAndSeesAClosedPeer) {
    Connected c;
    fbtest::writeAll(c.peer, "stale", 5);
    ASSERT_TRUE(readable(connectManager[c.index].fd, 1000));
    EXPECT_EQ(netDiscardPending(c.index), 5);
    EXPECT_EQ(netDiscardPending(c.index), 0);
    close(c.peer);
    c.peer = -1;
    ASSERT_TRUE(readable(connectManager[c.index].fd, 1000));
    EXPECT_EQ(netDiscardPending(c.index), -1);
}

TEST(NetDatagram, SendsAtMost1024BytesToTheGivenPeerAndReceives) {
    RawUdp far;
    const int i = Open_Socket(0, 1, 0);
    std::vector<char> big(1500, 'd');
    EXPECT_EQ(sock_write(i, big.data(), big.size()), -1) << "no peer given yet";
    ASSERT_EQ(Set_Socket_Peer(i, "127.0.0.1", far.port), 0);
    EXPECT_EQ(sock_write(i, big.data(), big.size()), 1024);
    char got[2000];
    ASSERT_TRUE(readable(far.fd, 1000));
    EXPECT_EQ(recv(far.fd, got, sizeof got, 0), 1024);

    far.sendTo(boundPort(connectManager[i].fd), "hello", 5);
    char ans[16];
    EXPECT_EQ(Receive_socket(i, ans, sizeof ans, 1000, nullptr), 5);
    // The datagram beyond the room is cut, not split over reads.
    far.sendTo(boundPort(connectManager[i].fd), "0123456789", 10);
    EXPECT_EQ(Receive_socket(i, ans, 4, 1000, nullptr), 4);
    EXPECT_EQ(Receive_socket(i, ans, 16, 0, nullptr), 0);
    Close_Socket(i);
}

TEST(NetDatagram, Ipv6EntrySendsToIpv6PeerOnly) {
    const int fd6 = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    ASSERT_EQ(bind(fd6, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    const int i = Open_Socket(0, 1, 1);
    ASSERT_EQ(connectManager[i].iAF, AF_INET6);
    Set_Socket_Peer(i, "::1", boundPort(fd6));
    char msg[] = "six";
    EXPECT_EQ(sock_write(i, msg, 3), 3);
    ASSERT_TRUE(readable(fd6, 1000));
    char got[8];
    EXPECT_EQ(recv(fd6, got, sizeof got, 0), 3);
    Set_Socket_Peer(i, "127.0.0.1", boundPort(fd6));
    EXPECT_EQ(sock_write(i, msg, 3), -1) << "no IPv6 address for an IPv6 entry";
    Close_Socket(i);
    close(fd6);
}

TEST(NetDatagram, ProtocolTwoUsesPlainReadAndWrite) {
    RawUdp far;
    const int i = Open_Socket(0, 2, 0);
    Set_Socket_Peer(i, "127.0.0.1", far.port);
    char msg[] = "p2";
    // Plain writes on an unconnected datagram socket have no destination.
    EXPECT_EQ(sock_write(i, msg, 2), -1);
    far.sendTo(boundPort(connectManager[i].fd), "in", 2);
    char ans[4];
    EXPECT_EQ(Receive_socket(i, ans, 4, 1000, nullptr), 2);
    Close_Socket(i);
}

TEST(NetExchange, DescriptorsAbove1023AreWaitedOn) {
    const pid_t pid = fork();
    if (pid == 0) {
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_max < 1200) _exit(0);  // cannot reach such descriptors here
        lim.rlim_cur = 1200;
        setrlimit(RLIMIT_NOFILE, &lim);
        int filler = 0;
        while (filler >= 0 && filler < 1100) filler = dup(0);
        Connected c;
        if (connectManager[c.index].fd < 1024) _exit(1);
        fbtest::writeAll(c.peer, "late", 4);
        char ans[8];
        char req[] = {7};
        if (Send_Receive_Socket(c.index, req, 1, ans, sizeof ans, 2000, nullptr) != 4) _exit(2);
        if (Receive_socket(c.index, ans, sizeof ans, 10, nullptr) != 0) _exit(3);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace

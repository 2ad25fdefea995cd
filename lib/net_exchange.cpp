// Socket exchange: reads and writes over connection-table entries, and the
// timed request/answer exchange the Modbus/TCP engine is built on.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net_private.h"

namespace {

constexpr size_t kDatagramLimit = 1024;
// How long a stream write may wait for room in the socket buffer before it
// gives up: a peer that stopped reading must not hold the caller for ever.
constexpr int kWriteStallMs = 1000;

bool isDatagram(const connectManager_t &e) {
    return e.protocol == 1;
}

// Waits up to timeoutMs for the descriptor to become readable (or to report
// end of stream or an error, which the read that follows turns into -1).
// 1 ready, 0 time-out, -1 failure. A signal does not cut the wait short: an
// unrelated signal in the application must not cost a client its connection.
int waitReadable(int fd, int timeoutMs) {
    const long long deadline = netNowMs() + timeoutMs;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const long long left = deadline - netNowMs();
        const int rc = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return rc;
        if ((p.revents & POLLNVAL) != 0) return -1;
        return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? 1 : 0;
    }
}

// Sends all of buf on a stream. Returns count, or the bytes that went before
// an error or a stall (-1 when none went). Never raises SIGPIPE: a peer that
// closed the connection must not kill the process that writes to it.
int streamWrite(int fd, const unsigned char *buf, size_t count) {
    size_t done = 0;
    const long long deadline = netNowMs() + kWriteStallMs;
    while (done < count) {
        const ssize_t n = send(fd, buf + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const long long left = deadline - netNowMs();
            if (left <= 0) break;
            pollfd p{fd, POLLOUT, 0};
            const int rc = poll(&p, 1, static_cast<int>(left));
            if (rc > 0 || (rc < 0 && errno == EINTR)) continue;
        }
        break;
    }
    if (done == 0 && count > 0) return -1;
    return static_cast<int>(done);
}

int datagramWrite(const connectManager_t &e, const void *buf, size_t count) {
    if (count > kDatagramLimit) count = kDatagramLimit;
    // No peer was ever given: sending to whatever an empty text resolves to
    // would put the data on the wire to a stranger.
    if (e.addr[0] == '\0') {
        errno = EDESTADDRREQ;
        return -1;
    }
    sockaddr_in to4{};
    to4.sin_family = AF_INET;
    to4.sin_port = htons(static_cast<uint16_t>(e.peerport));
    sockaddr_in6 to6{};
    to6.sin6_family = AF_INET6;
    to6.sin6_port = htons(static_cast<uint16_t>(e.peerport));

    addrinfo hints{};
    addrinfo *list = nullptr;
    if (getaddrinfo(e.addr, nullptr, &hints, &list) == 0) {
        for (const addrinfo *a = list; a != nullptr; a = a->ai_next) {
            if (a->ai_family == AF_INET) {
                to4.sin_addr = reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr;
                if (e.iAF != AF_INET) continue;
                freeaddrinfo(list);
                return static_cast<int>(sendto(e.fd, buf, count, MSG_NOSIGNAL,
                                               reinterpret_cast<sockaddr *>(&to4), sizeof to4));
            }
            to6.sin6_addr = reinterpret_cast<const sockaddr_in6 *>(a->ai_addr)->sin6_addr;
            if (e.iAF != AF_INET6) continue;
            freeaddrinfo(list);
            return static_cast<int>(sendto(e.fd, buf, count, MSG_NOSIGNAL,
                                           reinterpret_cast<sockaddr *>(&to6), sizeof to6));
        }
        freeaddrinfo(list);
    }
    if (e.iAF != AF_INET) return -1;
    const in_addr_t addr = inet_addr(e.addr);
    // Text that is no address would come back as 255.255.255.255: the data
    // would go out as a broadcast to everyone on the segment.
    if (addr == INADDR_NONE && std::strcmp(e.addr, "255.255.255.255") != 0) {
        errno = EDESTADDRREQ;
        return -1;
    }
    to4.sin_addr.s_addr = addr;
    return static_cast<int>(
        sendto(e.fd, buf, count, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&to4), sizeof to4));
}

// Waits for data and reads once: > 0 bytes, 0 time-out, -1 failure or end
// of stream.
int waitAndRead(int cIndex, char *cReceive, WORD iRetLen, WORD wTimeout) {
    const int ready = waitReadable(connectManager[cIndex].fd, wTimeout);
    if (ready <= 0) return ready;
    const int n = sock_read(cIndex, cReceive, iRetLen);
    return n > 0 ? n : -1;
}

}  // namespace

int netDiscardPending(int cIndex) {
    if (!netIsOpen(cIndex)) return -1;
    const int fd = connectManager[cIndex].fd;
    unsigned char sink[2048];
    int dropped = 0;
    // Bounded, so a peer that floods the connection cannot hold the caller here.
    for (int round = 0; round < 64; ++round) {
        const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) {
            dropped += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return dropped;
        // End of stream on a stream socket; an error on either kind.
        if (n == 0 && connectManager[cIndex].protocol != 0) continue;
        return -1;
    }
    return dropped;
}

extern "C" int sock_read(int cIndex, void *buf, size_t count) {
    if (!netIsOpen(cIndex)) return -1;
    const connectManager_t &e = connectManager[cIndex];
    ssize_t n;
    do {
        if (isDatagram(e)) {
            sockaddr_storage from{};
            socklen_t fromLen = sizeof from;
            n = recvfrom(e.fd, buf, count, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
        } else {
            n = read(e.fd, buf, count);
        }
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

extern "C" int sock_write(int cIndex, void *buf, size_t count) {
    if (!netIsOpen(cIndex)) return -1;
    const connectManager_t &e = connectManager[cIndex];
    if (isDatagram(e)) return datagramWrite(e, buf, count);
    return streamWrite(e.fd, static_cast<const unsigned char *>(buf), count);
}

extern "C" int Receive_socket(int cIndex, char *cReceive, WORD iRetLen, WORD wTimeout, WORD *wT) {
    (void)wT;
    if (!netIsOpen(cIndex)) return -1;
    return waitAndRead(cIndex, cReceive, iRetLen, wTimeout);
}

extern "C" int Send_Receive_Socket(int cIndex, char *cModbusRequest, WORD wCount, char *cReceive,
                                   WORD iRetLen, WORD wTimeout, WORD *wT) {
    (void)wT;
    if (!netIsOpen(cIndex)) return -1;
    // A failed write is not reported here: the wait that follows sees the
    // closed or failed connection and reports it.
    if (wCount != 0) sock_write(cIndex, cModbusRequest, wCount);
    if (iRetLen == 0) return 0;
    return waitAndRead(cIndex, cReceive, iRetLen, wTimeout);
}

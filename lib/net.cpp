// Connection table: open, bind, connect, listen, accept and close sockets
// addressed by connection index.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net_private.h"

connectManager_t connectManager[kConnections];

namespace {

// Entries are set up one at a time, when an operation first meets them,
// instead of all 1024 (each with its 1024 client slots: 4 MiB written) at the
// first call: a process pays only for the entries it uses. An entry never
// set up is free; once set up it reads as the table always did (fd -1 free,
// lastfd 0, every client slot -1).
std::bitset<kConnections> setUp;

constexpr bool inTable(int cIndex) {
    return cIndex >= 0 && cIndex < kConnections;
}

connectManager_t &entry(int cIndex) {
    connectManager_t &e = connectManager[cIndex];
    if (!setUp[static_cast<size_t>(cIndex)]) {
        setUp[static_cast<size_t>(cIndex)] = true;
        e.fd = -1;
        e.lastfd = 0;
        for (int &slot : e.clientfd) slot = -1;
    }
    return e;
}

bool isFree(int cIndex) {
    return !setUp[static_cast<size_t>(cIndex)] || connectManager[cIndex].fd < 0;
}

// Index 0 is never handed out.
int firstFreeEntry() {
    for (int i = 1; i < kConnections; ++i)
        if (isFree(i)) return i;
    return -1;
}

// A fresh entry carries nothing of an earlier use of its index: no datagram
// peer it was never given, and no client slots naming connections that now
// belong to someone else (a reused listening index would otherwise have the
// slave poll them).
void clearHistory(connectManager_t &e) {
    e.addr[0] = '\0';
    e.peerport = 0;
    e.lastfd = 0;
    for (int &slot : e.clientfd) slot = -1;
}

// Owns a resolver result list for the length of one operation.
struct Resolved {
    addrinfo *list = nullptr;
    int rc = -1;
    Resolved(const char *node, const char *service) {
        addrinfo hints{};
        rc = getaddrinfo(node, service, &hints, &list);
        if (rc != 0) list = nullptr;
    }
    ~Resolved() {
        if (list != nullptr) freeaddrinfo(list);
    }
    Resolved(const Resolved &) = delete;
    Resolved &operator=(const Resolved &) = delete;
};

// Waits for a connect under way and takes its outcome: 0 or -1 with errno
// set (ETIMEDOUT when timeoutMs, unless negative, ran out first).
int finishConnect(int fd, int timeoutMs) {
    const long long deadline = netNowMs() + timeoutMs;
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        const int wait = timeoutMs < 0 ? -1 : static_cast<int>(std::max(0LL, deadline - netNowMs()));
        const int r = poll(&p, 1, wait);
        if (r > 0) break;
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR) return -1;
    }
    int err = 0;
    socklen_t errLen = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0 || err != 0) {
        if (err != 0) errno = err;
        return -1;
    }
    return 0;
}

// A negative timeoutMs connects blocking, for as long as the system's own
// connection time-out; otherwise the connect runs non-blocking and is given
// up after timeoutMs (a listener whose backlog is full, or an address that
// drops SYNs, would otherwise hold the caller for minutes).
int connectTo(int fd, const sockaddr *sa, socklen_t len, int timeoutMs) {
    if (timeoutMs >= 0) {
        int nonBlocking = 1;
        if (ioctl(fd, FIONBIO, &nonBlocking) != 0) return -1;
    }
    if (connect(fd, sa, len) == 0) return 0;
    // An interrupted blocking connect goes on in the background: wait for it.
    if (errno != EINTR && errno != EINPROGRESS) return -1;
    return finishConnect(fd, timeoutMs);
}

sockaddr_in ipv4Address(int port, in_addr_t addr) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
}

// The address to connect e's socket to: the first resolved address of e's
// family. Names the resolver does not know are taken as dotted IPv4 text;
// text that is not one either would come back as the broadcast address, to
// which nothing is attempted. False when there is none.
bool peerAddress(const connectManager_t &e, const char *cAddr, int port, sockaddr_storage *out,
                 socklen_t *len) {
    char service[64];
    std::snprintf(service, sizeof service, "%d", port);
    const Resolved r(cAddr, service);
    const sockaddr *chosen = nullptr;
    sockaddr_in sa{};
    if (r.rc != 0) {
        const in_addr_t addr = inet_addr(cAddr);
        if (addr == INADDR_NONE && std::strcmp(cAddr, "255.255.255.255") != 0) return false;
        sa = ipv4Address(port, addr);
        chosen = reinterpret_cast<const sockaddr *>(&sa);
        *len = sizeof sa;
    }
    for (const addrinfo *a = r.list; chosen == nullptr && a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && e.iAF == AF_INET) {
            sa = ipv4Address(port, reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr);
            chosen = reinterpret_cast<const sockaddr *>(&sa);
            *len = sizeof sa;
        } else if (a->ai_family != AF_INET && e.iAF == AF_INET6) {
            chosen = a->ai_addr;
            *len = a->ai_addrlen;
        }
    }
    if (chosen == nullptr) return false;  // no address of the entry's family
    std::memcpy(out, chosen, *len);
    return true;
}

// The resolver's list is gone before the connect: nothing that needs
// unwinding lives across the blocking call.
int connectByName(const connectManager_t &e, const char *cAddr, int port, int timeoutMs) {
    sockaddr_storage peer{};
    socklen_t len = 0;
    if (!peerAddress(e, cAddr, port, &peer, &len)) return -1;
    return connectTo(e.fd, reinterpret_cast<const sockaddr *>(&peer), len, timeoutMs);
}

}  // namespace

// An index inside the table is set up here, so code that reads the entry
// directly afterwards sees a free entry as -1, never as descriptor 0.
bool netIsOpen(int cIndex) {
    return inTable(cIndex) && entry(cIndex).fd >= 0;
}

extern "C" int Open_Socket(int localport, int protocol, int ipv6) {
    const int cIndex = firstFreeEntry();
    if (cIndex < 0) return -1;
    connectManager_t &e = entry(cIndex);

    const sockaddr_in any4 = ipv4Address(localport, htonl(INADDR_ANY));
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_port = htons(static_cast<uint16_t>(localport));
    any6.sin6_addr = in6addr_any;

    int family = AF_INET;
    if (ipv6 != 0) {
        const Resolved r("::1", nullptr);
        for (const addrinfo *a = r.list; a != nullptr; a = a->ai_next)
            if (a->ai_family == AF_INET6) family = AF_INET6;
    }

    e.fd = protocol == 0 ? socket(family, SOCK_STREAM, IPPROTO_TCP)
                         : socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (e.fd < 0) return e.fd;

    const int on = 1;
    if (setsockopt(e.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        Close_Socket(cIndex);
        return -2;
    }
    const int bound = family == AF_INET
                          ? bind(e.fd, reinterpret_cast<const sockaddr *>(&any4), sizeof any4)
                          : bind(e.fd, reinterpret_cast<const sockaddr *>(&any6), sizeof any6);
    if (bound != 0) {
        Close_Socket(cIndex);
        return -3;
    }
    e.localport = localport;
    e.protocol = protocol;
    e.iAF = family;
    e.index = 0;
    clearHistory(e);
    return cIndex;
}

namespace {

int connectEntry(int cIndex, const char *cAddr, int port, int timeoutMs) {
    if (!inTable(cIndex)) return -1;
    connectManager_t &e = entry(cIndex);
    int result = -1;
    if (cAddr != nullptr) result = connectByName(e, cAddr, port, timeoutMs);

    int nonBlocking = 1;
    if (ioctl(e.fd, FIONBIO, &nonBlocking) != 0) {
        Close_Socket(cIndex);
        return -1;
    }
    return result;
}

}  // namespace

extern "C" int Connect_TCP(int cIndex, char *cAddr, int port) {
    return connectEntry(cIndex, cAddr, port, -1);
}

extern "C" int Connect_TCP_Timeout(int cIndex, char *cAddr, int port, WORD wTimeout) {
    return connectEntry(cIndex, cAddr, port, wTimeout);
}

// A real backlog: with the smallest one, connections that arrive together
// are refused or retried by their clients while the slave takes one per call.
extern "C" int Listen_Socket(int cIndex) {
    if (!inTable(cIndex)) return -1;
    connectManager_t &e = entry(cIndex);
    e.peerport = 0;
    return listen(e.fd, SOMAXCONN);
}

int netAcceptInto(int cIndex, int *slot) {
    connectManager_t &listener = connectManager[cIndex];
    const int newIndex = firstFreeEntry();
    if (newIndex < 0) return kNetNoRoom;
    int free = 0;
    while (free < kConnections && listener.clientfd[free] >= 0) ++free;
    if (free == kConnections) return kNetNoRoom;

    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    int fd;
    do {
        fd = accept(listener.fd, reinterpret_cast<sockaddr *>(&peer), &peerLen);
    } while (fd < 0 && errno == EINTR);
    // A failing accept (the pending connection vanished, or no descriptor is
    // left) fills no slot: the slave must not be handed an entry without a socket.
    if (fd < 0) return -1;

    connectManager_t &e = entry(newIndex);
    e.fd = fd;
    e.localport = listener.localport;
    e.iAF = listener.iAF;
    e.protocol = listener.protocol;
    e.index = 0;
    clearHistory(e);
    listener.clientfd[free] = newIndex;
    netClientOpened(newIndex, cIndex, free);
    *slot = free;
    return 0;
}

int netRefusePending(int cIndex) {
    int fd;
    do fd = accept(connectManager[cIndex].fd, nullptr, nullptr);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    close(fd);
    return 0;
}

extern "C" int Accept_Socket(int cIndex) {
    if (!netIsOpen(cIndex)) return -1;
    pollfd p{connectManager[cIndex].fd, POLLIN, 0};
    const timespec wait{0, 10000};
    if (ppoll(&p, 1, &wait, nullptr) <= 0) return 0;
    if ((p.revents & POLLIN) == 0) return 0;
    int slot = 0;
    return netAcceptInto(cIndex, &slot) == 0 ? 0 : -1;
}

extern "C" void Close_Socket(int cIndex) {
    if (!netIsOpen(cIndex)) return;
    netClientGone(cIndex);
    close(connectManager[cIndex].fd);
    connectManager[cIndex].fd = -1;
}

extern "C" int Set_Socket_Peer(int cIndex, const char *cAddr, int port) {
    if (!netIsOpen(cIndex) || cAddr == nullptr) return -1;
    connectManager_t &e = connectManager[cIndex];
    const size_t len = std::strlen(cAddr);
    if (len >= sizeof e.addr) return -1;
    std::memcpy(e.addr, cAddr, len + 1);
    e.peerport = port;
    return 0;
}

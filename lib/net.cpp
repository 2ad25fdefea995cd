// Connection table: open, bind, connect, listen, accept and close sockets
// addressed by connection index.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net_private.h"

connectManager_t connectManager[kConnections];

namespace {

// Holds 0x2014 until the table has been initialised.
int runningFlag = 0x2014;

constexpr bool inTable(int cIndex) {
    return cIndex >= 0 && cIndex < kConnections;
}

// Index 0 is never handed out.
int firstFreeEntry() {
    for (int i = 1; i < kConnections; ++i)
        if (connectManager[i].fd < 0) return i;
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

int connectTo(int fd, const sockaddr *sa, socklen_t len) {
    if (connect(fd, sa, len) == 0) return 0;
    if (errno != EINTR) return -1;
    // An interrupted blocking connect goes on in the background: wait for it.
    pollfd p{fd, POLLOUT, 0};
    while (poll(&p, 1, -1) < 0)
        if (errno != EINTR) return -1;
    int err = 0;
    socklen_t errLen = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0 || err != 0) {
        if (err != 0) errno = err;
        return -1;
    }
    return 0;
}

sockaddr_in ipv4Address(int port, in_addr_t addr) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = addr;
    return sa;
}

// Connects e's socket to the first resolved address of e's family. Names the
// resolver does not know are taken as dotted IPv4 text; text that is not one
// either comes back as the broadcast address, to which nothing is attempted.
int connectByName(const connectManager_t &e, const char *cAddr, int port) {
    char service[64];
    std::snprintf(service, sizeof service, "%d", port);
    const Resolved r(cAddr, service);
    if (r.rc != 0) {
        const in_addr_t addr = inet_addr(cAddr);
        if (addr == INADDR_NONE && std::strcmp(cAddr, "255.255.255.255") != 0) return -1;
        const sockaddr_in sa = ipv4Address(port, addr);
        return connectTo(e.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    }
    for (const addrinfo *a = r.list; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET) {
            if (e.iAF != AF_INET) continue;
            const auto *in = reinterpret_cast<const sockaddr_in *>(a->ai_addr);
            const sockaddr_in sa = ipv4Address(port, in->sin_addr.s_addr);
            return connectTo(e.fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
        }
        if (e.iAF == AF_INET6) return connectTo(e.fd, a->ai_addr, a->ai_addrlen);
    }
    return -1;  // no address of the entry's family
}

}  // namespace

void netEnsureTable() {
    if (runningFlag != 0x2014) return;
    runningFlag = 0;
    for (auto &e : connectManager) {
        e.fd = -1;
        e.lastfd = 0;
        for (int &slot : e.clientfd) slot = -1;
    }
}

bool netIsOpen(int cIndex) {
    netEnsureTable();
    return inTable(cIndex) && connectManager[cIndex].fd >= 0;
}

extern "C" int Open_Socket(int localport, int protocol, int ipv6) {
    netEnsureTable();
    const int cIndex = firstFreeEntry();
    if (cIndex < 0) return -1;
    connectManager_t &e = connectManager[cIndex];

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

extern "C" int Connect_TCP(int cIndex, char *cAddr, int port) {
    netEnsureTable();
    if (!inTable(cIndex)) return -1;
    connectManager_t &e = connectManager[cIndex];
    int result = -1;
    if (cAddr != nullptr) result = connectByName(e, cAddr, port);

    int nonBlocking = 1;
    if (ioctl(e.fd, FIONBIO, &nonBlocking) != 0) {
        Close_Socket(cIndex);
        return -1;
    }
    return result;
}

extern "C" int Listen_Socket(int cIndex) {
    netEnsureTable();
    if (!inTable(cIndex)) return -1;
    connectManager[cIndex].peerport = 0;
    return listen(connectManager[cIndex].fd, 0);
}

extern "C" int Accept_Socket(int cIndex) {
    if (!netIsOpen(cIndex)) return -1;
    connectManager_t &listener = connectManager[cIndex];

    pollfd p{listener.fd, POLLIN, 0};
    const timespec wait{0, 10000};
    if (ppoll(&p, 1, &wait, nullptr) <= 0) return 0;
    if ((p.revents & POLLIN) == 0) return 0;

    const int newIndex = firstFreeEntry();
    if (newIndex < 0) return -1;
    int slot = 0;
    while (slot < kConnections && listener.clientfd[slot] >= 0) ++slot;
    if (slot == kConnections) return -1;

    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    int fd;
    do {
        fd = accept(listener.fd, reinterpret_cast<sockaddr *>(&peer), &peerLen);
    } while (fd < 0 && errno == EINTR);
    // A failing accept (the pending connection vanished, or no descriptor is
    // left) fills no slot: the slave must not be handed an entry without a socket.
    if (fd < 0) return -1;

    connectManager_t &e = connectManager[newIndex];
    e.fd = fd;
    e.localport = listener.localport;
    e.iAF = listener.iAF;
    e.protocol = listener.protocol;
    e.index = 0;
    clearHistory(e);
    listener.clientfd[slot] = newIndex;
    return 0;
}

extern "C" void Close_Socket(int cIndex) {
    if (!netIsOpen(cIndex)) return;
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

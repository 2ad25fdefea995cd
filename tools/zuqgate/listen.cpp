// The gateway's sockets: the listening ones (every local address, IPv4 and
// IPv6, or the addresses one name or number gives), the clients taken from
// them, and the bytes to and from each, never waited for.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway.h"

namespace zuqgate {
namespace {

// Connections taken per wake at most: a flood of connects cannot keep the
// loop from the clients it has.
constexpr int kAcceptsPerRound = 64;

// Opens one listening socket and prints its line; false with errno set.
bool openListener(const sockaddr *addr, socklen_t len, Options *options, std::vector<int> *fds) {
    const int fd = socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // IPv4 has its own socket: the IPv6 one must not claim its port too.
    if (addr->sa_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    if (bind(fd, addr, len) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t boundLen = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &boundLen);
    char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<sockaddr *>(&bound), boundLen, host, sizeof host, port,
                sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    std::printf("zuqgate: listening on %s port %s\n", host, port);
    // With port 0 every further socket takes the port the first one got.
    if (options->port == 0) options->port = std::atoi(port);
    fds->push_back(fd);
    return true;
}

}  // namespace

std::vector<int> openListeners(Options *options) {
    std::vector<int> fds;
    const std::string port = std::to_string(options->port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    if (options->address.empty()) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(options->port));
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!openListener(reinterpret_cast<sockaddr *>(&v4), sizeof v4, options, &fds))
            std::fprintf(stderr, "zuqgate: IPv4 port %d: %s\n", options->port,
                         std::strerror(errno));
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(options->port));
        v6.sin6_addr = in6addr_any;
        // A host without IPv6 is served on IPv4 alone.
        if (!openListener(reinterpret_cast<sockaddr *>(&v6), sizeof v6, options, &fds))
            std::fprintf(stderr, "zuqgate: IPv6 port %d: %s\n", options->port,
                         std::strerror(errno));
    } else {
        addrinfo *found = nullptr;
        const int rc = getaddrinfo(options->address.c_str(), port.c_str(), &hints, &found);
        if (rc != 0) {
            std::fprintf(stderr, "zuqgate: %s: %s\n", options->address.c_str(), gai_strerror(rc));
            return fds;
        }
        for (addrinfo *a = found; a != nullptr; a = a->ai_next) {
            if (a->ai_family == AF_INET)
                reinterpret_cast<sockaddr_in *>(a->ai_addr)->sin_port =
                    htons(static_cast<uint16_t>(options->port));
            else if (a->ai_family == AF_INET6)
                reinterpret_cast<sockaddr_in6 *>(a->ai_addr)->sin6_port =
                    htons(static_cast<uint16_t>(options->port));
            if (!openListener(a->ai_addr, a->ai_addrlen, options, &fds))
                std::fprintf(stderr, "zuqgate: %s port %d: %s\n", options->address.c_str(),
                             options->port, std::strerror(errno));
        }
        freeaddrinfo(found);
    }
    std::fflush(stdout);
    return fds;
}

bool Gateway::listen() {
    listeners_ = openListeners(&options_);
    return !listeners_.empty();
}

void Gateway::acceptAll(int listener) {
    for (int n = 0; n < kAcceptsPerRound; ++n) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors (the whole system): the connection stays
            // waiting, so the listeners rest a while instead of spinning.
            if (errno == EMFILE || errno == ENFILE) acceptRestUntilMs_ = monoMs() + 100;
            return;  // or none left, or one that gave up before we took it
        }
        auto free = std::find_if(clients_.begin(), clients_.end(),
                                 [](const Client &c) { return c.fd < 0; });
        // Every place taken: the client heard from longest ago makes room, so
        // that silent connections never lock a new client out. A write in
        // progress is never cut off: when every client waits on one, the
        // newcomer is closed at once.
        if (free == clients_.end()) {
            const int idlest = idlestClient();
            if (idlest < 0) {
                close(fd);
                continue;
            }
            drop(idlest);
            free = clients_.begin() + idlest;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // A client that never reads pins at most this much kernel memory
        // before its answers fill what the gateway keeps for it and it is
        // dropped; the kernel would otherwise let it grow to megabytes.
        const int sendBuffer = 64 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        free->fd = fd;
        free->inLen = free->outLen = 0;
        free->hold = Hold::None;
        free->lastHeardMs = monoMs();
        free->heardOrder = ++heardCount_;
        free->partialSinceMs = 0;
    }
}

int Gateway::idlestClient() const {
    int idlest = -1;
    for (size_t i = 0; i < clients_.size(); ++i) {
        const Client &c = clients_[i];
        if (c.fd < 0 || c.hold != Hold::None) continue;
        if (idlest < 0 || c.heardOrder < clients_[static_cast<size_t>(idlest)].heardOrder)
            idlest = static_cast<int>(i);
    }
    return idlest;
}

void Gateway::drop(int i) {
    Client &c = clients_[static_cast<size_t>(i)];
    if (c.fd < 0) return;
    close(c.fd);
    c.fd = -1;
    // A write it had posted stays posted: the queue's next write waits for
    // the slot to come back idle all the same.
    for (auto &q : writeQueue_) q.erase(std::remove(q.begin(), q.end(), i), q.end());
    confirming_.erase(std::remove(confirming_.begin(), confirming_.end(), i), confirming_.end());
    c.hold = Hold::None;
}

void Gateway::receive(int i) {
    Client &c = clients_[static_cast<size_t>(i)];
    const ssize_t n = recv(c.fd, c.in + c.inLen, static_cast<size_t>(kInRoom - c.inLen), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        drop(i);
        return;
    }
    if (n < 0) return;
    c.inLen += static_cast<int>(n);
    c.lastHeardMs = monoMs();
    c.heardOrder = ++heardCount_;
    serveInput(i);
}

void Gateway::flush(int i) {
    Client &c = clients_[static_cast<size_t>(i)];
    const ssize_t n = ::send(c.fd, c.out, static_cast<size_t>(c.outLen), MSG_NOSIGNAL);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop(i);
        return;
    }
    c.outLen -= static_cast<int>(n);
    std::memmove(c.out, c.out + n, static_cast<size_t>(c.outLen));
}

void Gateway::send(int i, const uint8_t *body, int length) {
    Client &c = clients_[static_cast<size_t>(i)];
    // The answer's header: the request's transaction and protocol identifiers.
    uint8_t frame[kHeader + kMaxBody];
    std::memcpy(frame, c.in, 4);
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length);
    std::memcpy(frame + kHeader, body, static_cast<size_t>(length));
    const int total = kHeader + length;
    int sent = 0;
    if (c.outLen == 0) {
        const ssize_t n = ::send(c.fd, frame, static_cast<size_t>(total), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            drop(i);
            return;
        }
        sent = n > 0 ? static_cast<int>(n) : 0;
    }
    if (sent == total) return;
    // A client that does not read its answers goes once they fill its buffer,
    // rather than holding the loop up or growing without end.
    if (c.outLen + total - sent > kOutRoom) {
        drop(i);
        return;
    }
    std::memcpy(c.out + c.outLen, frame + sent, static_cast<size_t>(total - sent));
    c.outLen += total - sent;
}

}  // namespace zuqgate

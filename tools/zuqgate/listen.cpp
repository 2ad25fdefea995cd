// The gateway's listening sockets: every local address, IPv4 and IPv6, or
// the addresses one name or number gives.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway.h"

namespace zuqgate {
namespace {

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

}  // namespace zuqgate

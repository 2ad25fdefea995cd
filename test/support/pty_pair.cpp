#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace fbtest {

PtyPair::PtyPair() {
    char name[256];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) throw std::runtime_error("openpty");
    path = name;
}

PtyPair::~PtyPair() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
}

void writeAll(int fd, const void *data, size_t len) {
    auto *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n <= 0) throw std::runtime_error("write");
        p += n;
        len -= static_cast<size_t>(n);
    }
}

long long monoMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::vector<unsigned char> readFor(int fd, size_t len, int timeoutMs) {
    std::vector<unsigned char> out;
    const long long end = monoMs() + timeoutMs;
    while (out.size() < len) {
        const long long left = end - monoMs();
        if (left <= 0) break;
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        unsigned char buf[4096];
        const size_t want = std::min(sizeof buf, len - out.size());
        const ssize_t n = read(fd, buf, want);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

void drain(int fd) {
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 0) <= 0) return;
        unsigned char buf[4096];
        if (read(fd, buf, sizeof buf) <= 0) return;
    }
}

}  // namespace fbtest

// The service manager's notification protocol, implemented directly: it is
// a few lines, and the controller's build takes no extra library for it.
#include "notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

int notifyFd = -1;
sockaddr_un notifyAddr{};
socklen_t notifyAddrLen = 0;
long long watchdogMs = 0;

}  // namespace

bool notifyInit(void) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) return false;
    const size_t len = std::strlen(path);
    if (len < 2 || len >= sizeof notifyAddr.sun_path) return false;
    notifyAddr.sun_family = AF_UNIX;
    std::memcpy(notifyAddr.sun_path, path, len);
    // A leading '@' names an abstract socket: its first byte is zero.
    if (path[0] == '@') notifyAddr.sun_path[0] = '\0';
    notifyAddrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    notifyFd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (notifyFd < 0) return false;

    const char *usec = std::getenv("WATCHDOG_USEC");
    const char *pid = std::getenv("WATCHDOG_PID");
    if (usec != nullptr && (pid == nullptr || std::atol(pid) == static_cast<long>(getpid()))) {
        const long long us = std::atoll(usec);
        if (us > 0) watchdogMs = us / 2000;
        if (us > 0 && watchdogMs == 0) watchdogMs = 1;
    }
    return true;
}

int notifySend(const char *text) {
    if (notifyFd < 0 || text == nullptr) return -1;
    const ssize_t n = sendto(notifyFd, text, std::strlen(text), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr *>(&notifyAddr), notifyAddrLen);
    return n < 0 ? -1 : 0;
}

long long notifyWatchdogMs(void) {
    return notifyFd < 0 ? 0 : watchdogMs;
}

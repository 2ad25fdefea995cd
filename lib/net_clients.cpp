// What the connection table keeps for an accepted client beyond its entry:
// the listener that took it, how recently it was heard from, the answers it
// has not read yet; and for a listening entry, the set of descriptors its
// slave waits on. A slave serves many clients from one loop, so none of this
// may ever wait on a client.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "net_private.h"

namespace {

// Answers waiting for a client that does not read, beyond what its socket
// holds: two of the longest frames. A client that lets more pile up is
// closed, so that neither memory nor the loop is held by it.
constexpr int kQueueRoom = 4096;

// The key under which a listener's own descriptor sits in its wait set;
// clients sit under their entry index.
constexpr uint64_t kListenerKey = kConnections;

struct Client {
    int listener;     // listening entry + 1; 0 for none
    int slot;         // in the listener's clientfd
    uint64_t heard;   // order of the last sign of life, for the idlest
    int queued;       // bytes waiting in `queue`
    uint8_t *queue;   // kQueueRoom bytes from the C allocator, kept for the process
    bool inSet;       // in the wait set (of its listener, or its own for a listener)
    uint32_t events;  // what it is watched for there
    int waitSet;      // a listening entry's epoll descriptor + 1; 0 none yet
};
// Plain data, zero from the start: a master-only program that links this
// object needs no C++ runtime.
Client clients[kConnections];
uint64_t lastHeard = 0;

bool inTable(int cIndex) {
    return cIndex >= 0 && cIndex < kConnections;
}

// Sends as much of buf as the socket takes now: bytes sent, or -1 when the
// connection failed. Never raises SIGPIPE.
int sendNow(int fd, const uint8_t *buf, int count) {
    int done = 0;
    while (done < count) {
        const ssize_t n =
            send(fd, buf + done, static_cast<size_t>(count - done), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return -1;
    }
    return done;
}

// The wait set of a listening entry, made on first use; -1 when it cannot be.
int waitSetOf(int listener) {
    Client &l = clients[listener];
    if (l.waitSet == 0) {
        const int fd = epoll_create1(EPOLL_CLOEXEC);
        if (fd < 0) return -1;
        l.waitSet = fd + 1;
        l.inSet = false;
    }
    return l.waitSet - 1;
}

// Puts fd into the set under `key`, watched for `events`, or changes what it
// is watched for; no call when nothing changes.
bool watch(int set, int fd, uint64_t key, Client &c, uint32_t events) {
    if (c.inSet && c.events == events) return true;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = key;
    if (epoll_ctl(set, c.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) return false;
    c.inSet = true;
    c.events = events;
    return true;
}

}  // namespace

void netClientOpened(int cIndex, int listener, int slot) {
    Client &c = clients[cIndex];
    c.listener = listener + 1;
    c.slot = slot;
    c.heard = ++lastHeard;
    c.queued = 0;
    c.inSet = false;
}

void netClientGone(int cIndex) {
    if (!inTable(cIndex)) return;
    Client &c = clients[cIndex];
    // Out of the set by hand: a copy of the descriptor in a child process
    // would otherwise keep it there after the close.
    if (c.inSet && c.listener != 0 && clients[c.listener - 1].waitSet != 0)
        epoll_ctl(clients[c.listener - 1].waitSet - 1, EPOLL_CTL_DEL, connectManager[cIndex].fd,
                  nullptr);
    if (c.waitSet != 0) close(c.waitSet - 1);
    c.waitSet = 0;
    c.inSet = false;
    c.listener = 0;
    c.queued = 0;
}

// Called for every client before every wait: it touches nothing beyond the
// client's own record unless something changed.
bool netWatchClient(int listener, int cIndex) {
    Client &c = clients[cIndex];
    const uint32_t events = EPOLLIN | (c.queued > 0 ? EPOLLOUT : 0u);
    if (c.inSet && c.events == events) return true;
    const int set = waitSetOf(listener);
    return set >= 0 &&
           watch(set, connectManager[cIndex].fd, static_cast<uint64_t>(cIndex), c, events);
}

int netWaitClients(int listener, bool resting, int timeoutMs, int *slots, bool *incoming) {
    *incoming = false;
    const int set = waitSetOf(listener);
    // A resting listener stays in the set, watched for nothing.
    if (set < 0 || !watch(set, connectManager[listener].fd, kListenerKey, clients[listener],
                          resting ? 0u : static_cast<uint32_t>(EPOLLIN)))
        return -1;
    epoll_event events[kConnections + 1];
    const int n = epoll_wait(set, events, kConnections + 1, timeoutMs);
    int count = 0;
    for (int i = 0; i < n; ++i) {
        const uint64_t key = events[i].data.u64;
        if (key == kListenerKey) {
            *incoming = !resting;
            continue;
        }
        const int c = static_cast<int>(key);
        if (netIsClientOf(c, listener)) slots[count++] = clients[c].slot;
    }
    return n < 0 ? -1 : count;
}

// Set only while the entry is open: netAcceptInto gives it a descriptor
// first, Close_Socket clears it.
bool netIsClientOf(int cIndex, int listener) {
    return inTable(cIndex) && clients[cIndex].listener == listener + 1;
}

void netClientHeard(int cIndex) {
    if (inTable(cIndex)) clients[cIndex].heard = ++lastHeard;
}

int netIdlestSlot(int listener) {
    const connectManager_t &l = connectManager[listener];
    int idlest = -1;
    uint64_t oldest = UINT64_MAX;
    for (int slot = 0; slot < kConnections; ++slot) {
        const int c = l.clientfd[slot];
        if (c < 0 || !netIsClientOf(c, listener) || clients[c].heard >= oldest) continue;
        oldest = clients[c].heard;
        idlest = slot;
    }
    return idlest;
}

bool netQueued(int cIndex) {
    return inTable(cIndex) && clients[cIndex].queued > 0;
}

int netFlush(int cIndex) {
    if (!netIsOpen(cIndex)) return -1;
    Client &c = clients[cIndex];
    if (c.queued == 0) return 0;
    const int n = sendNow(connectManager[cIndex].fd, c.queue, c.queued);
    if (n < 0) return -1;
    c.queued -= n;
    std::memmove(c.queue, c.queue + n, static_cast<size_t>(c.queued));
    return 0;
}

int netSendWhole(int cIndex, const void *buf, int count) {
    if (!netIsOpen(cIndex)) return -1;
    if (connectManager[cIndex].protocol != 0)
        return sock_write(cIndex, const_cast<void *>(buf), static_cast<size_t>(count)) == count
                   ? 0
                   : -1;
    Client &c = clients[cIndex];
    const auto *bytes = static_cast<const uint8_t *>(buf);
    // Behind answers still waiting, never before them.
    if (netFlush(cIndex) < 0) return -1;
    int sent = 0;
    if (c.queued == 0) {
        sent = sendNow(connectManager[cIndex].fd, bytes, count);
        if (sent < 0) return -1;
        if (sent == count) return 0;
    }
    if (c.queue == nullptr) c.queue = static_cast<uint8_t *>(std::malloc(kQueueRoom));
    if (c.queue == nullptr || c.queued + count - sent > kQueueRoom) {
        // The rest of the answer cannot wait: the connection goes rather than
        // carry part of it and leave the client reading out of step.
        Close_Socket(cIndex);
        return -1;
    }
    std::memcpy(c.queue + c.queued, bytes + sent, static_cast<size_t>(count - sent));
    c.queued += count - sent;
    return 0;
}

// The Modbus/TCP slave's wait: one poll() over the listening socket and every
// client together, every waiting connection accepted, each client's partial
// request kept until it completes, clients served in turn.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <new>

#include "modbus_engine.h"
#include "modbus_tcp.h"
#include "net_private.h"

namespace fieldbus::tcp {
namespace {

// Connections accepted in one round at most, so a flood of connects cannot
// hold the call.
constexpr int kAcceptsPerRound = 64;

// What a client has sent of its next request. Kept per connection entry
// from the first byte it sends; a new connection on the entry starts empty.
struct Partial {
    int got = 0;
    uint8_t bytes[pdu::kFrameMax];
};
// Allocated with the C allocator and kept for the process: a master-only
// program that links this object (quorvat) then needs no C++ runtime.
std::array<Partial *, kConnections> partials{};

Partial *partialOf(int client) {
    Partial *&p = partials[static_cast<size_t>(client)];
    if (p == nullptr) {
        void *room = std::calloc(1, sizeof(Partial));
        if (room == nullptr) std::abort();  // as an allocation failure always ended
        p = ::new (room) Partial;
    }
    return p;
}

void forget(int client) {
    if (partials[static_cast<size_t>(client)]) partials[static_cast<size_t>(client)]->got = 0;
}

int firstFreeSlot(const connectManager_t &listener) {
    for (int slot = 0; slot < kConnections; ++slot)
        if (listener.clientfd[slot] < 0) return slot;
    return -1;
}

bool listenerReady(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// Takes every connection waiting on the listener (bounded per round), once
// a wait has found it ready; the slots taken go to `taken`. Returns their
// number.
int acceptWaiting(int cPort, int *taken) {
    connectManager_t &listener = connectManager[cPort];
    int n = 0;
    for (int i = 0; i < kAcceptsPerRound && (i == 0 || listenerReady(listener.fd)); ++i) {
        const int slot = firstFreeSlot(listener);
        if (slot < 0) break;
        if (Accept_Socket(cPort) != 0 || listener.clientfd[slot] < 0) break;
        forget(listener.clientfd[slot]);
        taken[n++] = slot;
    }
    return n;
}

// The clients the last wait found readable and not yet read, in turn order:
// they are read before the next wait, as one wait serves several busy
// clients.
struct ReadySet {
    int listener = -1;
    int count = 0, next = 0;
    std::array<int, kConnections> slots;
};
ReadySet ready;

enum class Read { More, Complete, Failed };

// Reads what the client has waiting, never past the end of its request (a
// second request sent behind it stays in the socket).
Read readClient(int client, Partial &p) {
    for (;;) {
        const int target = requestTarget(p.bytes, p.got);
        if (target <= p.got) return Read::Complete;  // complete, or a length that fits none
        const ssize_t n = recv(connectManager[client].fd, p.bytes + p.got,
                               static_cast<size_t>(target - p.got), MSG_DONTWAIT);
        if (n > 0) {
            p.got += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::More;
        return Read::Failed;  // end of stream or a failed socket
    }
}

}  // namespace

namespace {

enum class Outcome { Pending, Request, Dropped, Closed };

// Reads the client in `slot`; on a complete request copies it out.
Outcome serveSlot(connectManager_t &listener, int slot, uint8_t *frame, int *got, int *client) {
    const int c = listener.clientfd[slot];
    if (c < 0 || connectManager[c].fd < 0) return Outcome::Pending;
    Partial &p = *partialOf(c);
    const Read state = readClient(c, p);
    if (state == Read::More) return Outcome::Pending;
    listener.lastfd = (slot + 1) % kConnections;
    if (state == Read::Failed) {
        forget(c);
        Close_Socket(c);
        listener.clientfd[slot] = -1;
        return Outcome::Closed;
    }
    std::copy(p.bytes, p.bytes + p.got, frame);
    *got = p.got;
    p.got = 0;
    // A frame whose header and body disagree leaves the stream out of step:
    // what waits behind it is dropped with it.
    if (!consistent(frame, *got)) {
        netDiscardPending(c);
        return Outcome::Dropped;
    }
    *client = c;
    return Outcome::Request;
}

int resultOf(Outcome o) {
    return o == Outcome::Request ? 0 : o == Outcome::Closed ? -1 : pdu::kSlaveNoRequest;
}

}  // namespace

int nextRequest(int cPort, WORD wTimeout, uint8_t *frame, int *got, int *client) {
    if (!netIsOpen(cPort)) return -1;
    connectManager_t &listener = connectManager[cPort];
    const long long deadline = engine::nowMs() + wTimeout;

    if (ready.listener != cPort) {
        ready.listener = cPort;
        ready.count = ready.next = 0;
    }
    while (ready.next < ready.count) {
        const Outcome o = serveSlot(listener, ready.slots[static_cast<size_t>(ready.next++)], frame,
                                    got, client);
        if (o != Outcome::Pending) return resultOf(o);
    }

    std::array<pollfd, kConnections + 1> fds;
    std::array<int, kConnections + 1> slots;
    for (;;) {
        // Clients from lastfd on, so that each gets its turn; the listener last.
        int n = 0;
        const int from = listener.lastfd;
        for (int k = 0; k < kConnections; ++k) {
            const int slot = (from + k) % kConnections;
            const int c = listener.clientfd[slot];
            if (c < 0 || connectManager[c].fd < 0) continue;
            fds[static_cast<size_t>(n)] = {connectManager[c].fd, POLLIN, 0};
            slots[static_cast<size_t>(n++)] = slot;
        }
        fds[static_cast<size_t>(n)] = {listener.fd, POLLIN, 0};
        const long long left = deadline - engine::nowMs();
        const int r =
            poll(fds.data(), static_cast<nfds_t>(n + 1), static_cast<int>(left > 0 ? left : 0));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return pdu::kSlaveNoRequest;

        ready.count = ready.next = 0;
        for (int i = 0; i < n; ++i)
            if (fds[static_cast<size_t>(i)].revents != 0)
                ready.slots[static_cast<size_t>(ready.count++)] = slots[static_cast<size_t>(i)];
        // New connections are taken at once, so that busy clients cannot keep
        // them out, and join this round in their turn: a request may already
        // wait on them.
        if (fds[static_cast<size_t>(n)].revents != 0) {
            int *taken = ready.slots.data() + ready.count;
            const int added = acceptWaiting(cPort, taken);
            ready.count += added;
            if (added > 0)
                std::sort(ready.slots.begin(), ready.slots.begin() + ready.count,
                          [from](int x, int y) {
                              return (x - from + kConnections) % kConnections <
                                     (y - from + kConnections) % kConnections;
                          });
        }
        while (ready.next < ready.count) {
            const Outcome o = serveSlot(listener, ready.slots[static_cast<size_t>(ready.next++)],
                                        frame, got, client);
            if (o != Outcome::Pending) return resultOf(o);
        }
        if (deadline - engine::nowMs() <= 0) return pdu::kSlaveNoRequest;
    }
}

}  // namespace fieldbus::tcp

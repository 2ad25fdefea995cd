// The Modbus/TCP slave's wait: one wait over the listening socket and every
// client together, every waiting connection accepted, each client's partial
// request kept until it completes, clients served in turn. The wait is an
// epoll set kept per listener (net_clients.cpp): a poll() over a thousand
// idle connections costs about a millisecond of kernel time on every call.
// No client holds the others up: answers it does not read wait in its own
// queue, a request must be whole soon after its first byte, and a full table
// makes room by closing the client heard from longest ago.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "modbus_engine.h"
#include "modbus_tcp.h"
#include "net_private.h"

namespace fieldbus::tcp {
namespace {

// Connections accepted in one round at most, so a flood of connects cannot
// hold the call.
constexpr int kAcceptsPerRound = 64;

// A request must be whole this long after its first byte. A peer that sends
// a header and then a byte now and then would otherwise keep its entry, and
// enough of them the whole table, for as long as it likes.
constexpr int kRequestLimitMs = 4000;

// Out of descriptors, the listener is left out of the wait this long: the
// connection that could not be taken keeps it readable, and the wait would
// otherwise spin.
constexpr int kAcceptRestMs = 100;

// The kernel's send buffer of a client, in bytes: answers a client does not
// read fill it, then the client's queue, then it is closed. Left to itself the
// kernel lets it grow to megabytes per connection, which a few clients that
// never read would pin for as long as they stay; a Modbus client that waits
// for its answers never has more than a few hundred bytes in flight.
constexpr int kClientSendBuffer = 64 * 1024;

// What a client has sent of its next request. Kept per connection entry
// from the first byte it sends; a new connection on the entry starts empty.
struct Partial {
    int got = 0;
    uint8_t bytes[pdu::kFrameMax];
};
// Allocated with the C allocator and kept for the process: a master-only
// program that links this object (quorvat) then needs no C++ runtime.
std::array<Partial *, kConnections> partials{};
// Per entry: when the first byte of the request being read came, 0 for none.
// Apart from the requests, so that a look at every client before each wait
// stays in a few pages.
std::array<long long, kConnections> requestSince{};
// Per entry: a whole request already read waits in its Partial (a client
// that sent several at once). The socket may hold nothing more, so the wait
// would never report it: it is served without waiting.
std::array<bool, kConnections> requestHeld{};
// Per listening entry: until when it rests after running out of descriptors.
std::array<long long, kConnections> restUntilMs{};

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
    requestSince[static_cast<size_t>(client)] = 0;
    requestHeld[static_cast<size_t>(client)] = false;
}

void closeClient(connectManager_t &listener, int slot) {
    const int c = listener.clientfd[slot];
    forget(c);
    Close_Socket(c);
    listener.clientfd[slot] = -1;
}

bool listenerReady(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// Takes every connection waiting on the listener (bounded per round), once
// a wait has found it ready; the slots taken go to `taken`. Returns their
// number. A full table makes room by closing the client heard from longest
// ago, so that silent connections never lock a new client out; with none of
// ours to close, the newcomer is closed at once rather than left waiting (it
// would keep the wait awake).
int acceptWaiting(int cPort, int *taken, long long now) {
    connectManager_t &listener = connectManager[cPort];
    int n = 0;
    for (int i = 0; i < kAcceptsPerRound && (i == 0 || listenerReady(listener.fd)); ++i) {
        int slot = -1;
        int rc = netAcceptInto(cPort, &slot);
        const bool outOfDescriptors = rc < 0 && (errno == EMFILE || errno == ENFILE);
        if (rc == kNetNoRoom || outOfDescriptors) {
            const int idlest = netIdlestSlot(cPort);
            if (idlest >= 0) {
                closeClient(listener, idlest);
                rc = netAcceptInto(cPort, &slot);
            }
        }
        if (rc == kNetNoRoom) rc = netRefusePending(cPort) == 0 ? kNetNoRoom : -1;
        if (rc == kNetNoRoom) continue;
        if (rc < 0) {
            if (errno == ECONNABORTED || errno == EPROTO) continue;  // gone before taken
            if (errno != EAGAIN && errno != EWOULDBLOCK) restUntilMs[cPort] = now + kAcceptRestMs;
            break;
        }
        forget(listener.clientfd[slot]);
        setsockopt(connectManager[listener.clientfd[slot]].fd, SOL_SOCKET, SO_SNDBUF,
                   &kClientSendBuffer, sizeof kClientSendBuffer);
        taken[n++] = slot;
    }
    return n;
}

// The clients the last wait found ready and not yet served, in turn order:
// they are served before the next wait, as one wait serves several busy
// clients. Each accept may add a slot already there (a client closed to make
// room, its slot taken again).
struct ReadySet {
    int listener = -1;
    int count = 0, next = 0;
    std::array<int, 2 * kConnections + kAcceptsPerRound> slots;
};
ReadySet ready;

enum class Read { More, Complete, Failed };

// Reads what the client has waiting until a request is whole: as much as
// there is room for, in one call as a rule (what follows the request is kept
// in `p` for the next one).
Read readClient(int client, Partial &p) {
    for (;;) {
        const int target = requestTarget(p.bytes, p.got);
        if (target <= p.got) return Read::Complete;  // complete, or a length that fits none
        const ssize_t n = recv(connectManager[client].fd, p.bytes + p.got,
                               static_cast<size_t>(pdu::kFrameMax - p.got), MSG_DONTWAIT);
        if (n > 0) {
            if (p.got == 0) requestSince[static_cast<size_t>(client)] = engine::nowMs();
            p.got += static_cast<int>(n);
            netClientHeard(client);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::More;
        return Read::Failed;  // end of stream or a failed socket
    }
}

enum class Outcome { Pending, Request, Dropped, Closed };

// Sends the client in `slot` what waits for it, then reads it; on a complete
// request copies it out.
Outcome serveSlot(connectManager_t &listener, int slot, uint8_t *frame, int *got, int *client) {
    const int c = listener.clientfd[slot];
    if (c < 0 || connectManager[c].fd < 0) return Outcome::Pending;
    Partial &p = *partialOf(c);
    const Read state = netFlush(c) < 0 ? Read::Failed : readClient(c, p);
    if (state == Read::More) return Outcome::Pending;
    listener.lastfd = (slot + 1) % kConnections;
    if (state == Read::Failed) {
        closeClient(listener, slot);
        return Outcome::Closed;
    }
    // A header whose length fits no request leaves nothing to follow the
    // stream by: what waits behind it is dropped with it.
    const int length = requestTarget(p.bytes, p.got);
    if (length < 0) {
        std::copy(p.bytes, p.bytes + p.got, frame);
        *got = p.got;
        forget(c);
        netDiscardPending(c);
        return Outcome::Dropped;
    }
    std::copy(p.bytes, p.bytes + length, frame);
    *got = length;
    // What came behind it is the start of the next request.
    const int rest = p.got - length;
    std::memmove(p.bytes, p.bytes + length, static_cast<size_t>(rest));
    p.got = rest;
    requestSince[static_cast<size_t>(c)] = rest > 0 ? engine::nowMs() : 0;
    requestHeld[static_cast<size_t>(c)] = rest > 0 && requestTarget(p.bytes, rest) <= rest;
    *client = c;
    return Outcome::Request;
}

int resultOf(Outcome o) {
    return o == Outcome::Request ? 0 : o == Outcome::Closed ? -1 : pdu::kSlaveNoRequest;
}

// Goes over the listener's clients before a wait: frees the slots of
// connections closed elsewhere (a reply whose queue ran over, the
// application), closes the clients whose request is overdue, and keeps the
// others in the wait. *due is lowered to the moment the next request falls due.
// The slots of clients with a whole request held go to `held`; their number
// is returned.
int sweep(int cPort, long long now, long long *due, int *held) {
    int n = 0;
    connectManager_t &listener = connectManager[cPort];
    for (int slot = 0; slot < kConnections; ++slot) {
        const int c = listener.clientfd[slot];
        if (c < 0) continue;
        if (!netIsClientOf(c, cPort)) {
            listener.clientfd[slot] = -1;  // the entry is no longer ours to close
            continue;
        }
        const long long since = requestSince[static_cast<size_t>(c)];
        if (since != 0) {
            if (now - since >= kRequestLimitMs) {
                closeClient(listener, slot);
                continue;
            }
            *due = std::min(*due, since + kRequestLimitMs);
        }
        if (!netWatchClient(cPort, c)) {
            closeClient(listener, slot);  // cannot be waited on
            continue;
        }
        if (requestHeld[static_cast<size_t>(c)]) held[n++] = slot;
    }
    return n;
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
        const Outcome o =
            serveSlot(listener, ready.slots[static_cast<size_t>(ready.next++)], frame, got, client);
        if (o != Outcome::Pending) return resultOf(o);
    }

    for (;;) {
        const long long now = engine::nowMs();
        long long wake = deadline;
        int held[kConnections];
        const int heldCount = sweep(cPort, now, &wake, held);
        if (heldCount > 0) wake = now;  // served now, with whatever else is ready
        const long long restUntil = restUntilMs[static_cast<size_t>(cPort)];
        if (now < restUntil) wake = std::min(wake, restUntil);
        const long long left = wake - now;
        bool incoming = false;
        ready.count = ready.next = 0;
        const int r = netWaitClients(cPort, now < restUntil, static_cast<int>(left > 0 ? left : 0),
                                     ready.slots.data(), &incoming);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            // No set to wait on (out of descriptors): the call still takes its
            // time, so that a loop calling it does not spin.
            if (left > 0) poll(nullptr, 0, static_cast<int>(deadline - now));
            return pdu::kSlaveNoRequest;
        }
        if (r == 0 && !incoming && heldCount == 0) {
            // An overdue request or a listener's rest, not the call's time-out.
            if (engine::nowMs() < deadline) continue;
            return pdu::kSlaveNoRequest;
        }
        ready.count = r;
        for (int i = 0; i < heldCount; ++i)
            ready.slots[static_cast<size_t>(ready.count++)] = held[i];
        // New connections are taken at once, so that busy clients cannot keep
        // them out, and join this round: a request may already wait on them.
        if (incoming) ready.count += acceptWaiting(cPort, ready.slots.data() + ready.count, now);
        // Served in turn: from the slot after the last one served.
        const int from = listener.lastfd;
        std::sort(ready.slots.begin(), ready.slots.begin() + ready.count, [from](int x, int y) {
            return (x - from + kConnections) % kConnections <
                   (y - from + kConnections) % kConnections;
        });
        // A client with a request held may have sent more as well: once a round.
        ready.count =
            static_cast<int>(std::unique(ready.slots.begin(), ready.slots.begin() + ready.count) -
                             ready.slots.begin());
        while (ready.next < ready.count) {
            const Outcome o = serveSlot(listener, ready.slots[static_cast<size_t>(ready.next++)],
                                        frame, got, client);
            if (o != Outcome::Pending) return resultOf(o);
        }
        if (deadline - engine::nowMs() <= 0) return pdu::kSlaveNoRequest;
    }
}

}  // namespace fieldbus::tcp

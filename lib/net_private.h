// The connection table, shared by the socket operations and the Modbus/TCP
// engine. Everything else reaches it only through the operations in net.h.
#pragma once

#include <time.h>

#include "net.h"

constexpr int kConnections = 1024;

struct connectManager_t {
    char addr[256];              // datagram peer (host or address text), "" when unset
    int localport;               // port given to Open_Socket; accepted entries copy the listener's
    int peerport;                // datagram peer's port
    int protocol;                // 0 TCP stream; anything else a UDP socket (1: datagram calls)
    int iAF;                     // AF_INET or AF_INET6
    int fd;                      // descriptor; -1 marks a free entry
    int lastfd;                  // listening entries: client slot where the next scan starts
    int clientfd[kConnections];  // listening entries: indexes of accepted clients, -1 free
    unsigned int index;          // Modbus/TCP transaction identifier of this connection
};

extern connectManager_t connectManager[kConnections] __attribute__((visibility("hidden")));

// True for an index inside the table whose entry holds a descriptor. Entries
// are set up on first use (a free entry reads fd -1 once an operation, this
// one included, has met it): check an index with this before reading its
// entry directly.
bool netIsOpen(int cIndex) __attribute__((visibility("hidden")));

// Reads and drops whatever is already waiting on entry cIndex, without
// waiting. Returns the number of bytes dropped, or -1 when the peer has
// closed the stream or the socket failed.
int netDiscardPending(int cIndex) __attribute__((visibility("hidden")));

// ---- accepted clients (net.cpp, net_clients.cpp) ----

// netAcceptInto's result when the table or the listener's slots are full.
constexpr int kNetNoRoom = -2;

// Accepts one connection that a wait found pending on the listening entry
// cIndex into the lowest free entry and client slot (*slot). 0; kNetNoRoom
// with nothing accepted; or -1 when accept failed (errno as it left it; the
// connection stays pending after EMFILE or ENFILE).
int netAcceptInto(int cIndex, int *slot) __attribute__((visibility("hidden")));

// Accepts one pending connection on the listening entry cIndex and closes it
// at once. 0, or -1 when accept failed (errno as it left it).
int netRefusePending(int cIndex) __attribute__((visibility("hidden")));

// Bookkeeping of an entry accepted by a listening entry: who accepted it
// (into which slot), when it was last heard from, the answers it has not
// taken yet. Set up by netAcceptInto; cleared by Close_Socket before the
// descriptor goes (a listening entry's wait goes with it).
void netClientOpened(int cIndex, int listener, int slot) __attribute__((visibility("hidden")));
void netClientGone(int cIndex) __attribute__((visibility("hidden")));

// True when the open entry cIndex was accepted by `listener` and not closed since.
bool netIsClientOf(int cIndex, int listener) __attribute__((visibility("hidden")));

// Records that client cIndex sent something: it is no longer the idlest.
void netClientHeard(int cIndex) __attribute__((visibility("hidden")));

// The slot of `listener`'s client heard from longest ago, or -1 when it has none.
int netIdlestSlot(int listener) __attribute__((visibility("hidden")));

// Sends count bytes (one answer) to the stream entry cIndex without waiting:
// what the socket does not take now is queued behind what already waits and
// sent as the client reads. 0 sent or queued whole; -1 the entry is not open
// or the connection failed; -1 as well when the queue has no room, and the
// connection is then closed, so that it never carries part of an answer.
// Datagram entries send at once, as sock_write.
int netSendWhole(int cIndex, const void *buf, int count) __attribute__((visibility("hidden")));

// Keeps `listener`'s client cIndex in the listener's wait: for input, and
// while answers wait in its queue, for room to send them. False when the
// wait cannot take it.
bool netWatchClient(int listener, int cIndex) __attribute__((visibility("hidden")));

// Waits up to timeoutMs for `listener`'s clients and, unless `resting`, for
// connections pending on it. The slots of the ready clients go to `slots`
// (room for kConnections), *incoming tells whether connections wait. Returns
// the number of slots, 0 on time-out, or -1 with errno (EINTR: a signal).
// The wait is one set kept for the listener, so that a wait costs the
// same however many clients sit idle.
int netWaitClients(int listener, bool resting, int timeoutMs, int *slots, bool *incoming)
    __attribute__((visibility("hidden")));

// True while answers wait in cIndex's queue.
bool netQueued(int cIndex) __attribute__((visibility("hidden")));

// Sends what waits in cIndex's queue as far as the socket takes it, without
// waiting. 0, or -1 when the connection failed.
int netFlush(int cIndex) __attribute__((visibility("hidden")));

// Milliseconds on the monotonic clock, for time-outs spread over several waits.
inline long long netNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

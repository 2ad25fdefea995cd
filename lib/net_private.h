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

// Milliseconds on the monotonic clock, for time-outs spread over several waits.
inline long long netNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

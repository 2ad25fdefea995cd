// A pseudo-terminal pair for tests: the library opens the slave by path, the
// test plays the far end on the master.
#pragma once

#include <string>
#include <vector>

namespace fbtest {

struct PtyPair {
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    int master = -1;
    int slave = -1;  // kept open so the master never sees a hang-up
    std::string path;
};

// Writes all bytes to fd.
void writeAll(int fd, const void *data, size_t len);
inline void writeAll(int fd, const std::vector<unsigned char> &b) {
    writeAll(fd, b.data(), b.size());
}

// Reads until `len` bytes arrived or `timeoutMs` passed; returns what came.
std::vector<unsigned char> readFor(int fd, size_t len, int timeoutMs);

// Discards whatever is waiting on fd now.
void drain(int fd);

// Milliseconds on the monotonic clock.
long long monoMs();

}  // namespace fbtest

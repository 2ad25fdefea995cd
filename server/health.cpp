// The server's health record beside the region.
#include "health.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
std::string healthName(const char *regionName) {
    return std::string(regionName) + IOSHARE_HEALTH_SUFFIX;
}
uint32_t lastGeneration = 0;

// Differs from the one before in this process and, by the clock and the
// pid, from those of other starts; never 0.
uint32_t newGeneration(uint32_t previous) {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    uint32_t g = static_cast<uint32_t>(t.tv_nsec) ^ static_cast<uint32_t>(t.tv_sec) * 2654435761u ^
                 static_cast<uint32_t>(getpid()) << 16;
    while (g == 0 || g == previous) ++g;
    return g;
}

}  // namespace

ioshareHealth *createHealth(const char *regionName) {
    const std::string name = healthName(regionName);
    // Made new at every start, and never adopted: a record someone else put
    // under the name beforehand would let them forge the server's word. One
    // this process may not remove refuses the start (errno EEXIST).
    if (shm_unlink(name.c_str()) != 0 && errno != ENOENT) {
        const int why = errno;
        std::fprintf(stderr, "health record %s is another user's and cannot be removed (%s)\n",
                     name.c_str(), std::strerror(why));
        errno = EEXIST;
        return nullptr;
    }
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0640);
    if (fd == -1) {
        const bool taken = errno == EEXIST;
        std::perror("shm_open health");
        if (taken) errno = EEXIST;  // slipped in since: not this server's
        return nullptr;
    }
    // Readable by the region's group, written by the server alone: the
    // umask must not decide that.
    fchmod(fd, 0640);
    if (ftruncate(fd, static_cast<off_t>(sizeof(ioshareHealth))) == -1) {
        std::perror("ftruncate health");
        close(fd);
        return nullptr;
    }
    void *p = mmap(nullptr, sizeof(ioshareHealth), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        std::perror("mmap health");
        return nullptr;
    }
    auto *h = static_cast<ioshareHealth *>(p);
    healthBeginWrite(h);
    const uint32_t sequence = h->sequence;
    std::memset(h, 0, sizeof *h);
    h->sequence = sequence;
    h->generation = newGeneration(lastGeneration);
    lastGeneration = h->generation;
    h->version = IOSHARE_HEALTH_VERSION;
    h->size = sizeof *h;
    h->serverPid = static_cast<int32_t>(getpid());
    h->boardId = IOSHARE_NO_BOARD;
    h->state = IOSHARE_STATE_STARTING;
    h->updatedMs = healthNowMs();
    healthEndWrite(h);
    return h;
}

void removeHealth(const char *regionName) {
    shm_unlink(healthName(regionName).c_str());
}

long long healthNowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void healthBeginWrite(ioshareHealth *h) {
    if (h == nullptr) return;
    // Odd from here to the end of the write (a sequence left odd by a server
    // killed mid-write stays odd until this write ends it).
    const uint32_t s = __atomic_load_n(&h->sequence, __ATOMIC_RELAXED);
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer models no fences (and refuses to build them).
    __atomic_store_n(&h->sequence, (s | 1u), __ATOMIC_SEQ_CST);
#else
    __atomic_store_n(&h->sequence, (s | 1u), __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
#endif
}

void healthEndWrite(ioshareHealth *h) {
    if (h == nullptr) return;
    h->updatedMs = healthNowMs();
    const uint32_t s = __atomic_load_n(&h->sequence, __ATOMIC_RELAXED);
    __atomic_store_n(&h->sequence, s + 1, __ATOMIC_RELEASE);
}

void healthSetState(ioshareHealth *h, unsigned state) {
    if (h == nullptr) return;
    healthBeginWrite(h);
    h->state = state;
    healthEndWrite(h);
}

void healthSetError(ioshareHealth *h, const char *text) {
    if (h == nullptr) return;
    std::snprintf(h->lastError, sizeof h->lastError, "%s", text);
}

// Client helpers for the server's shared region: open and map it, lock it,
// post requests, read and write single points in the images' byte orders.
#include "ioshare.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ioshare_region.h"

namespace {

constexpr useconds_t kPollUs = 500;

using ioshare::Kind;

// Byte offset of the point at `addr` in the kind's image (bit offset for
// bits), or -1 when it lies outside. A 32-bit input is two registers, so its
// address lies an even number of registers from the base.
long pointOffset(const ioShare_t *share, const Kind &k, int32_t addr) {
    long long first = static_cast<long long>(addr) - share->*k.base;
    if (k.bytesPerPoint == 4) {
        if (first % 2 != 0) return -1;
        first /= 2;
    }
    if (first < 0 || first >= ioshare::roomOf(k)) return -1;
    return static_cast<long>(k.bytesPerPoint == 0 ? first : first * k.bytesPerPoint);
}

bool bitAt(const unsigned char *p, size_t bit) {
    return (p[bit / 8] >> (bit % 8) & 1u) != 0;
}

long long monoMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Locks until `end`: a mutex left unrecoverable by a careless client is
// mended by the server's next lock, so that one is waited out.
bool lockUntil(ioShare_t *share, long long end) {
    for (;;) {
        if (ioshare_lock(share) >= 0) return true;
        if (errno != ENOTRECOVERABLE || monoMs() >= end) return false;
        usleep(kPollUs);
    }
}

// With the mutex held, waits until the slot's address is idle (true, mutex
// held) or `end` has passed (false; *locked tells whether it is held).
bool waitIdle(ioShare_t *share, int32_t ioShare_t::*addr, long long end, bool *locked) {
    while (share->*addr != IOSHARE_IDLE) {
        ioshare_unlock(share);
        *locked = false;
        if (monoMs() >= end) return false;
        usleep(kPollUs);
        if (!lockUntil(share, end)) return false;
        *locked = true;
    }
    return true;
}

}  // namespace

namespace ioshare {

const char *regionName(const char *name) {
    if (name == nullptr || *name == '\0') {
        name = std::getenv(IOSHARE_NAME_ENV);
        if (name == nullptr || *name == '\0') name = IOSHARE_DEFAULT_NAME;
    }
    return name;
}

int repairLock(ioShare_t *share, int rc) {
    if (rc == 0) return 0;
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&share->mutex);
        return 1;
    }
    return -1;
}

void gatherBits(const unsigned char *src, size_t srcBit, unsigned char *dst, size_t count) {
    std::memset(dst, 0, (count + 7) / 8);
    for (size_t i = 0; i < count; ++i)
        if (bitAt(src, srcBit + i))
            dst[i / 8] = static_cast<unsigned char>(dst[i / 8] | 1u << (i % 8));
}

void scatterBits(const unsigned char *src, unsigned char *dst, size_t dstBit, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const size_t bit = dstBit + i;
        const auto mask = static_cast<unsigned char>(1u << (bit % 8));
        dst[bit / 8] =
            static_cast<unsigned char>(bitAt(src, i) ? dst[bit / 8] | mask : dst[bit / 8] & ~mask);
    }
}

}  // namespace ioshare

ioShare_t *ioshare_open(const char *name) {
    name = ioshare::regionName(name);
    const int fd = shm_open(name, O_RDWR, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(ioShare_t))) {
        close(fd);
        errno = EAGAIN;  // touching pages past its end would fault
        return nullptr;
    }
    void *p = mmap(nullptr, sizeof(ioShare_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int saved = errno;
    close(fd);
    errno = saved;
    return p == MAP_FAILED ? nullptr : static_cast<ioShare_t *>(p);
}

int ioshare_close(ioShare_t *share) {
    return share != nullptr && munmap(share, sizeof(ioShare_t)) == 0 ? 0 : -1;
}

int ioshare_lock(ioShare_t *share) {
    if (!ioshare::mutexSound(share)) {
        errno = ENOTRECOVERABLE;  // the server sets it up afresh on its next lock
        return -1;
    }
    // Blocks until it is had, in steps: fair against a client that keeps
    // taking it, and a mutex written over meanwhile is not waited on for good.
    int rc;
    while ((rc = ioshare::takeMutex(&share->mutex, 1000)) == ETIMEDOUT) {
        if (!ioshare::mutexSound(share)) {
            errno = ENOTRECOVERABLE;
            return -1;
        }
    }
    const int result = ioshare::repairLock(share, rc);
    if (result < 0) errno = rc;
    return result;
}

int ioshare_unlock(ioShare_t *share) {
    // One written over while it was held is left to the server, which sets it
    // up afresh: unlocking it as the kind it now has may end this process.
    if (!ioshare::mutexSound(share)) {
        errno = ENOTRECOVERABLE;
        return -1;
    }
    const int rc = pthread_mutex_unlock(&share->mutex);
    if (rc == 0) return 0;
    errno = rc;
    return -1;
}

int ioshare_signal(ioShare_t *share) {
    return pthread_cond_signal(&share->cond) == 0 ? 0 : -1;
}

int ioshare_request(ioShare_t *share, int kind, int32_t addr, int32_t count, int timeoutMs) {
    const Kind *k = ioshare::kindOf(kind);
    if (k == nullptr || k->reqAddr == nullptr || addr == IOSHARE_IDLE) return -1;
    const long long end = monoMs() + (timeoutMs > 0 ? timeoutMs : 0);
    if (!lockUntil(share, end)) return -1;
    bool locked = true;
    if (!waitIdle(share, k->reqAddr, end, &locked)) {
        if (locked) ioshare_unlock(share);
        return -2;
    }
    share->*k->reqCount = count;
    share->*k->reqAddr = addr;
    ioshare_signal(share);
    ioshare_unlock(share);
    // The server resets the address when it has taken the request; a client
    // that posts the same address after it shows as busy again, not as done.
    for (;;) {
        usleep(kPollUs);
        if (!lockUntil(share, end)) return -3;
        const bool taken = share->*k->reqAddr != addr || share->*k->reqCount != count;
        ioshare_unlock(share);
        if (taken) return 0;
        if (monoMs() >= end) return -3;
    }
}

int ioshare_get(const ioShare_t *share, int kind, int32_t addr, uint32_t *value) {
    const Kind *k = ioshare::kindOf(kind);
    if (k == nullptr) return -1;
    const long at = pointOffset(share, *k, addr);
    if (at < 0) return -1;
    const unsigned char *p = share->*k->image;
    switch (k->bytesPerPoint) {
        case 0:
            *value = p[at / 8] >> (at % 8) & 1u;
            break;
        case 2:
            *value = static_cast<uint32_t>(p[at]) << 8 | p[at + 1];
            break;
        default:
            *value = static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
                     static_cast<uint32_t>(p[at + 2]) << 8 | p[at + 3];
            break;
    }
    return 0;
}

int ioshare_put(ioShare_t *share, int kind, int32_t addr, uint32_t value) {
    if (kind != IOSHARE_BIT_OUT && kind != IOSHARE_INT_OUT) return -1;
    const Kind &k = ioshare::kKinds[kind];
    const long at = pointOffset(share, k, addr);
    if (at < 0) return -1;
    unsigned char *p = share->*k.image;
    if (kind == IOSHARE_BIT_OUT) {
        const auto mask = static_cast<unsigned char>(1u << (at % 8));
        p[at / 8] = static_cast<unsigned char>(value != 0 ? p[at / 8] | mask : p[at / 8] & ~mask);
    } else {
        p[at] = static_cast<unsigned char>(value >> 8);
        p[at + 1] = static_cast<unsigned char>(value);
    }
    return 0;
}

const ioshareHealth *ioshare_health_open(const char *name) {
    const std::string healthName = std::string(ioshare::regionName(name)) + IOSHARE_HEALTH_SUFFIX;
    const int fd = shm_open(healthName.c_str(), O_RDONLY, 0);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(ioshareHealth))) {
        close(fd);
        errno = EAGAIN;
        return nullptr;
    }
    void *p = mmap(nullptr, sizeof(ioshareHealth), PROT_READ, MAP_SHARED, fd, 0);
    const int saved = errno;
    close(fd);
    errno = saved;
    return p == MAP_FAILED ? nullptr : static_cast<const ioshareHealth *>(p);
}

int ioshare_health_close(const ioshareHealth *health) {
    return health != nullptr && munmap(const_cast<ioshareHealth *>(health), sizeof *health) == 0
               ? 0
               : -1;
}

int ioshare_health_read(const ioshareHealth *health, ioshareHealth *copy) {
    if (health == nullptr || copy == nullptr) return -1;
    // The server's writes are bracketed by two increments of the sequence:
    // a copy taken between two equal, even readings is whole.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const uint32_t before = __atomic_load_n(&health->sequence, __ATOMIC_ACQUIRE);
        if (before % 2 == 0) {
            std::memcpy(copy, health, sizeof *copy);
#if defined(__SANITIZE_THREAD__)
            // ThreadSanitizer models no fences (and refuses to build them).
            if (__atomic_load_n(&health->sequence, __ATOMIC_ACQUIRE) == before)
#else
            __atomic_thread_fence(__ATOMIC_ACQUIRE);
            if (__atomic_load_n(&health->sequence, __ATOMIC_RELAXED) == before)
#endif
                return copy->version == 0 ? -1 : 0;
        }
        usleep(kPollUs / 5);
    }
    return -1;
}

long long ioshare_inputs_age_ms(const ioshareHealth *copy) {
    if (copy == nullptr || copy->inputsMs <= 0) return -1;
    const long long age = monoMs() - copy->inputsMs;
    return age < 0 ? 0 : age;
}

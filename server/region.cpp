// The shared I/O region on the server's side.
#include "region.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *regionName(void) {
    const char *env = std::getenv(IOSHARE_NAME_ENV);
    return env != nullptr && *env != '\0' ? env : IOSHARE_DEFAULT_NAME;
}

void *mapRegion(int fd, size_t size) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        return nullptr;
    }
    return p;
}

ioShare_t *createRegion(const char *name) {
    const int fd = shm_open(name, O_RDWR | O_CREAT, 0660);
    if (fd == -1) {
        std::perror("shm_open");
        return nullptr;
    }
    if (ftruncate(fd, static_cast<off_t>(sizeof(ioShare_t))) == -1) {
        std::perror("ftruncate");
        close(fd);
        return nullptr;
    }
    void *p = mapRegion(fd, sizeof(ioShare_t));
    close(fd);  // the mapping stays
    if (p == nullptr) return nullptr;
    std::memset(p, 0, sizeof(ioShare_t));
    return static_cast<ioShare_t *>(p);
}

namespace {
// The thread calls report through their result, not errno: put it there so
// that perror names the real cause.
bool failed(int rc, const char *what) {
    if (rc == 0) return false;
    errno = rc;
    std::perror(what);
    return true;
}
}  // namespace

int initRegionAttributes(pthread_mutexattr_t *mutexAttr, pthread_condattr_t *condAttr) {
    if (failed(pthread_mutexattr_init(mutexAttr), "pthread_mutexattr_init")) return -1;
    if (failed(pthread_mutexattr_setpshared(mutexAttr, PTHREAD_PROCESS_SHARED),
               "pthread_mutexattr_setpshared"))
        return -1;
    if (failed(pthread_condattr_init(condAttr), "pthread_condattr_init")) return -1;
    if (failed(pthread_condattr_setpshared(condAttr, PTHREAD_PROCESS_SHARED),
               "pthread_condattr_setpshared"))
        return -1;
    return 0;
}

void idleRequestSlots(ioShare_t *share) {
    share->bitInReqAddr = IOSHARE_IDLE;
    share->bitOutReqAddr = IOSHARE_IDLE;
    share->bitOutRbReqAddr = IOSHARE_IDLE;
    share->intInReqAddr = IOSHARE_IDLE;
    share->intOutReqAddr = IOSHARE_IDLE;
    share->intOutRbReqAddr = IOSHARE_IDLE;
    share->dwordInReqAddr = IOSHARE_IDLE;
}

void initRegion(ioShare_t *share, int interval, const pthread_mutexattr_t *mutexAttr,
                const pthread_condattr_t *condAttr) {
    share->interval = interval;
    idleRequestSlots(share);
    share->tailReq = IOSHARE_IDLE;
    pthread_mutex_init(&share->mutex, mutexAttr);
    pthread_cond_init(&share->cond, condAttr);
}

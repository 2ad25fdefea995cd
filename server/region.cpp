// The shared I/O region on the server's side.
#include "region.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "../lib/ioshare_region.h"
#include "lock_waits.h"
#include "log.h"
#include "running.h"

const char *regionName(void) {
    return ioshare::regionName(nullptr);
}

void *mapRegion(int fd, size_t size) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        std::perror("mmap");
        return nullptr;
    }
    return p;
}

namespace {

// A client can write any kind over the mutex at any moment, also between this
// server's look at it and the C library's own. On some kinds (priority
// protection with a ceiling the thread cannot have) the library's lock,
// unlock and condition wait end the process with an assertion. Such an end
// inside one of these calls is caught here and turned into a failed call:
// the mutex is then set up afresh like any other overwritten one.
thread_local sigjmp_buf *abortCatch = nullptr;
struct sigaction abortBefore {};

void onAbort(int sig, siginfo_t *info, void *context) {
    // Only the library's own abort on this thread (raised to itself), never
    // a SIGABRT sent from outside, such as the service manager's watchdog.
    if (abortCatch != nullptr && info != nullptr && info->si_code == SI_TKILL &&
        info->si_pid == getpid())
        siglongjmp(*abortCatch, 1);
    // Anything else goes on as without this handler.
    if ((abortBefore.sa_flags & SA_SIGINFO) != 0 && abortBefore.sa_sigaction != nullptr) {
        abortBefore.sa_sigaction(sig, info, context);
    } else if (abortBefore.sa_handler == SIG_DFL) {
        signal(SIGABRT, SIG_DFL);
        raise(SIGABRT);
    } else if (abortBefore.sa_handler != SIG_IGN) {
        abortBefore.sa_handler(sig);
    }
}

void catchAborts() {
    static const bool installed = [] {
        struct sigaction sa {};
        sa.sa_sigaction = onAbort;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        return sigaction(SIGABRT, &sa, &abortBefore) == 0;
    }();
    (void)installed;
}

// `call`'s result, or `ifEnded` when the C library ended the process in it.
template <class Call>
int survive(Call call, int ifEnded) {
    catchAborts();
    sigjmp_buf here;
    sigjmp_buf *const outer = abortCatch;
    if (sigsetjmp(here, 0) != 0) {
        abortCatch = outer;
        return ifEnded;
    }
    abortCatch = &here;
    const int rc = call();
    abortCatch = outer;
    return rc;
}

// A call on the mutex that the C library ended: how it is told apart.
constexpr int kEnded = -1000;

// One wait for the mutex, after which it is looked at again.
constexpr int kLockStepMs = 250;

// Set while createRegion holds the mutex of a region left behind, until
// initRegion has set the region up again under it.
bool heldLeftMutex = false;

// The kind of the region's mutex as this server set it up (the C library's
// own field): it never changes, so anything else was written over it. -1:
// not known yet.
int expectedKind = -1;

int mutexKind(const ioShare_t *share) {
    return __atomic_load_n(&share->mutex.__data.__kind, __ATOMIC_RELAXED);
}

int mutexWord(const ioShare_t *share) {
    return __atomic_load_n(&share->mutex.__data.__lock, __ATOMIC_RELAXED);
}

// Whether the mutex's kind is no longer the one this server set up (or any
// the server would: a lock on some kinds ends the process).
bool mutexOverwritten(const ioShare_t *share) {
    const int expected = __atomic_load_n(&expectedKind, __ATOMIC_RELAXED);
    return !ioshare::mutexSound(share) || (expected != -1 && mutexKind(share) != expected);
}

void noteMutexKind(const ioShare_t *share) {
    __atomic_store_n(&expectedKind, mutexKind(share), __ATOMIC_RELAXED);
}

// Wakes everything that may sleep on one word of the region: the waiters may
// be in other processes.
void wakeAll(void *word) {
    syscall(SYS_futex, word, FUTEX_WAKE, 0x7fffffff, nullptr, nullptr, 0);
}

// Tries the mutex until `ms` have passed on the monotonic clock (a wall clock
// set back at boot must not stretch the wait): the result of the last try,
// ETIMEDOUT for a mutex still held. Tries in short steps rather than one
// clock-bound lock, which thread checkers cannot follow; only a start and a
// stop wait like this.
int lockWithin(pthread_mutex_t *mutex, int ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const long long deadline = t.tv_sec * 1000LL + t.tv_nsec / 1000000 + ms;
    for (;;) {
        const int rc = pthread_mutex_trylock(mutex);
        if (rc != EBUSY) return rc;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (t.tv_sec * 1000LL + t.tv_nsec / 1000000 >= deadline) return ETIMEDOUT;
        usleep(2000);
    }
}

// A region left behind by a server that was set up (its start-up header is
// written together with the mutex) may still be mapped by clients that take
// its mutex at any moment. Clearing it to zero would hand them an all-zero
// mutex, which they would take as a private one while this server
// initialises it as a shared one: both sides then wait for good. So the left
// mutex is taken (repaired when its holder died) and everything behind it
// cleared under it. A mutex that cannot be had within two seconds is broken
// already and is cleared with the rest.
bool takeLeftMutex(ioShare_t *share, off_t sizeFound) {
    if (sizeFound != static_cast<off_t>(sizeof(ioShare_t)) || share->tailReq != IOSHARE_IDLE)
        return false;
    // One a client spoilt is not locked at all: it is set up afresh.
    if (!ioshare::mutexSound(share)) return false;
    const int rc = lockWithin(&share->mutex, 2000);
    if (rc == EOWNERDEAD) pthread_mutex_consistent(&share->mutex);
    return rc == 0 || rc == EOWNERDEAD;
}

}  // namespace

namespace {

int regionFd = -1;

// Name under which a new region is prepared, until initRegion gives it its
// real name (publishAs); empty when the region was found under its real name.
std::string preparedName;
std::string publishAs;

// A region that does not exist yet is created under a name of its own and
// renamed once its mutex and condition are initialised (the objects live in
// /dev/shm): no client can open it before, and so none can take a mutex that
// is not initialised yet. -1 when that cannot be done; the caller then
// creates it under its real name.
int openUnpublished(const char *name) {
    preparedName = std::string(name) + ".new." + std::to_string(getpid());
    shm_unlink(preparedName.c_str());  // one a killed start of this pid left
    const int fd = shm_open(preparedName.c_str(), O_RDWR | O_CREAT | O_EXCL, 0660);
    if (fd < 0) preparedName.clear();
    return fd;
}

// The region's name for this server alone: an object already under it that
// is this user's own (a region left behind) is reused; anything else there -
// a symbolic link, another user's object, not a plain object - would let
// someone else read, forge or steer what the server publishes, and is
// removed where this process may remove it, or the start is refused.
int openOwnRegion(const char *name) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = shm_open(name, O_RDWR, 0);  // never through a link
        if (fd < 0 && errno == ENOENT) {
            const int fresh = openUnpublished(name);
            // Where a name cannot be prepared apart, it is made in place, but
            // only new: never one another process slipped in meanwhile.
            return fresh >= 0 ? fresh : shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0660);
        }
        if (fd < 0 && errno != ELOOP && errno != EACCES) return -1;  // a name refused, ...
        struct stat st {};
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid())
            return fd;
        const int why = errno;
        char what[96];
        if (fd >= 0)
            std::snprintf(what, sizeof what, "owned by user %u, not this server's user %u",
                          static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
        else if (why == ELOOP)
            std::snprintf(what, sizeof what, "a symbolic link");
        else
            std::snprintf(what, sizeof what, "another user's, closed to this one");
        if (fd >= 0) close(fd);
        if (shm_unlink(name) != 0) {
            std::fprintf(stderr, "region %s is %s and cannot be removed (%s): start refused\n",
                         name, what, std::strerror(errno));
            logMsg(0, "region %s is %s and cannot be removed: start refused", name, what);
            errno = EEXIST;
            return -1;
        }
        std::printf("region %s was %s: removed, made afresh\n", name, what);
        logMsg(1, "region %s was %s: removed, made afresh", name, what);
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

void publishRegion() {
    if (preparedName.empty()) return;
    const std::string from = "/dev/shm" + preparedName;
    const std::string to = "/dev/shm" + publishAs;
    if (rename(from.c_str(), to.c_str()) != 0) std::perror("publish region");
    preparedName.clear();
}

void removeUnpublishedRegion(void) {
    if (!preparedName.empty()) shm_unlink(preparedName.c_str());
    preparedName.clear();
}

ioShare_t *createRegion(const char *name) {
    heldLeftMutex = false;
    preparedName.clear();
    publishAs = name;
    const int fd = openOwnRegion(name);
    if (fd == -1) {
        if (errno != EEXIST) std::perror("shm_open");
        return nullptr;
    }
    // Clients of the region's group must be able to write it, and a mask of
    // the shell's must not decide that: the mode is set, not requested.
    if (fchmod(fd, 0660) == -1) std::perror("fchmod");
    struct stat found {};
    const off_t sizeFound = fstat(fd, &found) == 0 ? found.st_size : 0;
    if (ftruncate(fd, static_cast<off_t>(sizeof(ioShare_t))) == -1) {
        std::perror("ftruncate");
        close(fd);
        return nullptr;
    }
    void *p = mapRegion(fd, sizeof(ioShare_t));
    if (p == nullptr) {
        close(fd);
        return nullptr;
    }
    // Kept open: the region's size is put back through it when a client
    // cuts it short, and a fault on a cut page is repaired instead of
    // ending the server.
    if (regionFd >= 0) close(regionFd);
    regionFd = fd;
    ioshare::guardMapping(p, sizeof(ioShare_t), fd);
    auto *share = static_cast<ioShare_t *>(p);
    if (takeLeftMutex(share, sizeFound)) {
        heldLeftMutex = true;
        auto *behind = reinterpret_cast<unsigned char *>(&share->boardId);
        std::memset(behind, 0, sizeof(ioShare_t) - offsetof(ioShare_t, boardId));
        return share;
    }
    std::memset(p, 0, sizeof(ioShare_t));
    return share;
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
    // A client that dies holding the mutex must not stop the server for good.
    if (failed(pthread_mutexattr_setrobust(mutexAttr, PTHREAD_MUTEX_ROBUST),
               "pthread_mutexattr_setrobust"))
        return -1;

    if (failed(pthread_condattr_init(condAttr), "pthread_condattr_init")) return -1;
    if (failed(pthread_condattr_setpshared(condAttr, PTHREAD_PROCESS_SHARED),
               "pthread_condattr_setpshared"))
        return -1;
    // The refresh wait must not stall when the wall clock is set back.
    if (failed(pthread_condattr_setclock(condAttr, CLOCK_MONOTONIC), "pthread_condattr_setclock"))
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
    pthread_cond_init(&share->cond, condAttr);
    // Clients of a region left behind may be blocked on the condition's lock
    // (its holder died, the earlier server perhaps): they go on now.
    releaseConditionLock(share);
    noteConditionShape(share);
    if (heldLeftMutex) {
        // The left mutex is kept: clients may be waiting on it right now.
        heldLeftMutex = false;
        noteMutexKind(share);
        pthread_mutex_unlock(&share->mutex);
        return;
    }
    initRegionMutex(share, mutexAttr);
    publishRegion();  // only now can a client open it
}

namespace {
// Process-shared and, where the system allows it, robust. (Not with priority
// inheritance: the C library ends a process that locks such a mutex whose
// owner word names a thread that does not exist, which any client can write.)
pthread_mutexattr_t sharedMutexAttributes() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    return attr;
}
}  // namespace

int initRegionMutex(ioShare_t *share, const pthread_mutexattr_t *mutexAttr) {
    if (pthread_mutex_init(&share->mutex, mutexAttr) == 0) {
        noteMutexKind(share);
        return 0;
    }
    // Robust mutexes need the kernel's list of held locks; a system without
    // it refuses them (ENOTSUP): a plain process-shared mutex then, rather
    // than none at all.
    pthread_mutexattr_t plain;
    pthread_mutexattr_init(&plain);
    pthread_mutexattr_setpshared(&plain, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&share->mutex, &plain);
    pthread_mutexattr_destroy(&plain);
    noteMutexKind(share);
    return -1;
}

// A holder that died leaves the mutex locked for the next taker with
// EOWNERDEAD, repaired as every user of the region repairs it. A taker that did not
// (a client ignoring EOWNERDEAD) leaves it unrecoverable and held by nobody:
// only a fresh initialisation brings it back.
// Every repair is said in the log here, whichever thread made it.
int repairRegionLock(ioShare_t *share, int rc) {
    static int takenOver = 0;
    if (rc == 0 || rc == EOWNERDEAD) {
        const int took = ioshare::repairLock(share, rc);
        if (took == 1)
            logMsg(1, "region mutex taken over from a holder that died (%d so far)",
                   __atomic_add_fetch(&takenOver, 1, __ATOMIC_RELAXED));
        return took;
    }
    if (rc == ENOTRECOVERABLE) {
        pthread_mutexattr_t attr = sharedMutexAttributes();
        initRegionMutex(share, &attr);
        pthread_mutexattr_destroy(&attr);
        if (pthread_mutex_lock(&share->mutex) != 0) return -1;
        logMsg(1, "region mutex was left unrecoverable, initialised afresh");
        return 2;
    }
    return -1;
}

namespace {

// The state letter of thread `tid` from /proc (R, S, T, ...), or 0 when no
// such thread exists; '?' when it exists but cannot be read.
char threadState(int tid) {
    if (kill(tid, 0) != 0 && errno == ESRCH) return 0;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", tid);
    FILE *f = std::fopen(path, "re");
    if (f == nullptr) return '?';
    char buf[512] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    const char *close = std::strrchr(buf, ')');
    return close != nullptr && close[1] == ' ' && close[2] != '\0' ? close[2] : '?';
}

// Kept by this process while it sets the mutex up afresh or looks at its
// holder, so that the run loop never reads the mutex half set up.
pthread_mutex_t repairGuard = PTHREAD_MUTEX_INITIALIZER;

// The mutex, overwritten, is set up afresh, and whoever sleeps on it wakes
// to take it.
void freshMutex(ioShare_t *share) {
    pthread_mutex_lock(&repairGuard);
    pthread_mutexattr_t attr = sharedMutexAttributes();
    initRegionMutex(share, &attr);
    pthread_mutexattr_destroy(&attr);
    wakeAll(&share->mutex.__data.__lock);
    pthread_mutex_unlock(&repairGuard);
}

}  // namespace

// Waited for in steps: a mutex a client writes over meanwhile is looked at
// again between them, and a stop ends the wait. Who kept the server waiting
// long is told (LockWaits).
int lockRegion(ioShare_t *share) {
    for (;;) {
        if (mutexOverwritten(share)) {
            logMsg(1, "region mutex overwritten by a client (kind %d, not %d): initialised afresh",
                   mutexKind(share), __atomic_load_n(&expectedKind, __ATOMIC_RELAXED));
            freshMutex(share);
        }
        const int holder = mutexWord(share) & FUTEX_TID_MASK;
        timespec t0{}, t1{};
        clock_gettime(CLOCK_MONOTONIC, &t0);
        int rc = survive([&] { return ioshare::takeMutex(&share->mutex, kLockStepMs); }, kEnded);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        if (rc == kEnded) rc = EINVAL;  // not taken: looked at again
        noteLockWait(holder,
                     (t1.tv_sec - t0.tv_sec) * 1000000LL + (t1.tv_nsec - t0.tv_nsec) / 1000);
        if (rc == ETIMEDOUT || rc == EINVAL) {
            if (!serverRunning()) return -1;
            continue;
        }
        return repairRegionLock(share, rc);
    }
}

void MutexHolderWatch::tick(ioShare_t *share, long long nowMs) {
    pthread_mutex_lock(&repairGuard);
    look(share, nowMs);
    pthread_mutex_unlock(&repairGuard);
}

void MutexHolderWatch::look(ioShare_t *share, long long nowMs) {
    const int word = mutexWord(share);
    const int holder = word & FUTEX_TID_MASK;
    if (holder == 0 || (word & FUTEX_OWNER_DIED) != 0 || word != word_) {
        word_ = word;
        since_ = nowMs;
        toldStopped_ = false;
        return;
    }
    if (nowMs - since_ < 1000) return;
    const char state = threadState(holder);
    if (state == 0) {
        // Marked as left by a holder that died: the next taker repairs it as
        // the robust protocol does, unless someone took it meanwhile.
        int seen = word;
        if (__atomic_compare_exchange_n(&share->mutex.__data.__lock, &seen, FUTEX_OWNER_DIED, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
            wakeAll(&share->mutex.__data.__lock);
            logMsg(1, "region mutex held by thread %d, which does not exist: released", holder);
        }
    } else if (state == 'T' && !toldStopped_) {
        logMsg(1, "region mutex held by thread %d, which is stopped: board I/O waits for it",
               holder);
        toldStopped_ = true;
    }
    since_ = nowMs;
}

int waitRegion(ioShare_t *share, const timespec *deadline) {
    const int rc = survive(
        [&] { return pthread_cond_timedwait(&share->cond, &share->mutex, deadline); }, kEnded);
    // A mutex written over during the wait cannot be taken back.
    if (rc == kEnded || (rc == EINVAL && mutexOverwritten(share))) return -1;
    return rc == ETIMEDOUT || rc == EINVAL ? 0 : repairRegionLock(share, rc);
}

void unlockRegion(ioShare_t *share) {
    // A kind written over while it was held is not unlocked as that kind
    // (some end the process): setting it up afresh releases it.
    if (mutexOverwritten(share)) {
        logMsg(1, "region mutex overwritten by a client while held: initialised afresh");
        freshMutex(share);
        return;
    }
    if (survive([&] { return pthread_mutex_unlock(&share->mutex); }, kEnded) == kEnded) {
        // Overwritten after that look; the library let go of it before it ended.
        logMsg(1, "region mutex overwritten by a client while held: initialised afresh");
        freshMutex(share);
    }
}

int lockRegionFor(ioShare_t *share, int ms) {
    const int rc = survive([&] { return lockWithin(&share->mutex, ms); }, EINVAL);
    if (rc == ETIMEDOUT) return -2;
    if (rc == EINVAL && mutexOverwritten(share)) return -3;
    return repairRegionLock(share, rc);
}

bool restoreRegionSize(void) {
    bool restored = ioshare::mappingRepaired();
    struct stat st {};
    if (regionFd >= 0 && fstat(regionFd, &st) == 0 &&
        st.st_size != static_cast<off_t>(sizeof(ioShare_t)) &&
        ftruncate(regionFd, static_cast<off_t>(sizeof(ioShare_t))) == 0)
        restored = true;
    return restored;
}

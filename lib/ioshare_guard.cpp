// What a process that maps the region guards itself with against a client
// that spoils it: a mutex whose kind is not one the server sets up is never
// locked (a locking call on some kinds ends the process), and a region cut
// short under the mapping is put back to its size instead of killing the
// process with SIGBUS.
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>

#include "ioshare_region.h"

namespace {

// The kinds the server's mutex can have: process-shared and robust, or not
// robust where the system refuses robust mutexes. Made here with the same
// attributes, so that the C library's own values are compared.
struct Kinds {
    int value[2];
    int count = 0;
};

Kinds makeKinds() {
    Kinds k;
    for (const bool robust : {true, false}) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        if (robust) pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_t m;
        if (pthread_mutex_init(&m, &attr) == 0) {
            k.value[k.count++] = m.__data.__kind;
            pthread_mutex_destroy(&m);
        }
        pthread_mutexattr_destroy(&attr);
    }
    return k;
}

// The mapping the SIGBUS handler repairs (one region per process), and
// whether it had to.
void *guardedBase = nullptr;
size_t guardedSize = 0;
int guardedFd = -1;
volatile sig_atomic_t repaired = 0;
struct sigaction previous {};

void onBusError(int sig, siginfo_t *info, void *context) {
    const auto at = reinterpret_cast<uintptr_t>(info->si_addr);
    const auto base = reinterpret_cast<uintptr_t>(guardedBase);
    if (guardedBase == nullptr || at < base || at >= base + guardedSize) {
        // Not the region's: what would have happened without this handler.
        if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
            previous.sa_sigaction(sig, info, context);
            return;
        }
        if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN &&
            previous.sa_handler != nullptr) {
            previous.sa_handler(sig);
            return;
        }
        signal(SIGBUS, SIG_DFL);
        return;  // the access faults again, now with the default action
    }
    // The object was cut short by someone: given its size back, the access
    // is made again and finds zeros where the cut pages were. Where that is
    // refused, private zero pages take their place until the region is
    // mapped again.
    if (guardedFd < 0 || ftruncate(guardedFd, static_cast<off_t>(guardedSize)) != 0)
        mmap(guardedBase, guardedSize, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    repaired = 1;
}

// Within takeMutex: tried without sleeping this long, then slept on for
// this long, and again.
constexpr long long kSpinUs = 2000;
constexpr int kSleepMs = 5;

long long monoUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__arm__) || defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// The C library's try on a robust mutex left unrecoverable takes its word
// and returns ENOTRECOVERABLE without letting go of it again (the lock call
// does let go): let go here, or this thread's next lock would wait on itself
// and every other taker on it.
void releaseIfMine(pthread_mutex_t *mutex) {
    int *word = &mutex->__data.__lock;
    int seen = __atomic_load_n(word, __ATOMIC_RELAXED);
    if ((seen & FUTEX_TID_MASK) != static_cast<int>(syscall(SYS_gettid))) return;
    if (__atomic_compare_exchange_n(word, &seen, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED) &&
        (seen & FUTEX_WAITERS) != 0)
        syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// Sleeps on the mutex for at most `ms` on the monotonic clock: the lock
// call's result, ETIMEDOUT when it stayed held.
int sleepOn(pthread_mutex_t *mutex, int ms) {
#if defined(FIELDBUS_UNDER_TSAN) || defined(__SANITIZE_THREAD__)
    // The thread checker does not count a mutex a timed call took from a
    // holder that died: short tries instead, which it follows.
    const long long end = monoUs() + ms * 1000LL;
    for (;;) {
        const int rc = pthread_mutex_trylock(mutex);
        if (rc == ENOTRECOVERABLE) releaseIfMine(mutex);
        if (rc != EBUSY || monoUs() >= end) return rc == EBUSY ? ETIMEDOUT : rc;
        usleep(200);
    }
#else
    timespec d{};
    clock_gettime(CLOCK_MONOTONIC, &d);
    d.tv_nsec += static_cast<long>(ms) * 1000000;
    d.tv_sec += d.tv_nsec / 1000000000;
    d.tv_nsec %= 1000000000;
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &d);
#endif
}

}  // namespace

namespace ioshare {

bool mutexSound(const ioShare_t *share) {
    static const Kinds kinds = makeKinds();
    const int kind = __atomic_load_n(&share->mutex.__data.__kind, __ATOMIC_RELAXED);
    for (int i = 0; i < kinds.count; ++i)
        if (kind == kinds.value[i]) return true;
    return false;
}

void guardMapping(void *base, size_t size, int fd) {
    guardedBase = nullptr;
    guardedFd = fd;
    guardedSize = size;
    guardedBase = base;
    static bool installed = false;
    if (installed) return;
    struct sigaction sa {};
    sa.sa_sigaction = onBusError;
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    installed = sigaction(SIGBUS, &sa, &previous) == 0;
}

int takeMutex(pthread_mutex_t *mutex, int ms) {
    static const bool spin = sysconf(_SC_NPROCESSORS_ONLN) > 1;
    const long long end = monoUs() + ms * 1000LL;
    for (;;) {
        if (spin) {
            const long long spinEnd = monoUs() + kSpinUs;
            for (unsigned i = 1;; ++i) {
                const int rc = pthread_mutex_trylock(mutex);
                if (rc == ENOTRECOVERABLE) releaseIfMine(mutex);
                if (rc != EBUSY) return rc;
                relax();
                if (i % 64 == 0 && monoUs() >= spinEnd) break;
            }
        }
        const long long left = (end - monoUs()) / 1000;
        if (left <= 0) return ETIMEDOUT;
        const int rc = sleepOn(mutex, static_cast<int>(left < kSleepMs ? left : kSleepMs));
        if (rc != ETIMEDOUT) return rc;
    }
}

bool mappingRepaired() {
    if (repaired == 0) return false;
    repaired = 0;
    return true;
}

}  // namespace ioshare

// The region's condition, which clients signal to have a cycle at once: a
// thread of its own waits on it and wakes the refresh thread through a
// wake-up private to this process. A condition a client spoils, blocks or
// waits on can so delay a cycle, never stop one: the refresh thread cycles
// on its interval and finds posted requests in the slots all the same.
#include "condition.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "../lib/ioshare_region.h"
#include "log.h"
#include "region.h"
#include "running.h"

namespace {

// The waker's wait on the region's condition: it looks at the stop and at
// the condition's state at least this often.
constexpr long long kWakerWaitMs = 200;
// The refresh thread's private wait: it looks at the stop at least this often.
constexpr long long kRefreshWaitMs = 250;

// The flags of the condition as this server set it up (clock and
// process-shared, the two low bits of its waiter-reference word, which no
// wait or signal changes). -1: not known yet.
long long expectedFlags = -1;

pthread_mutex_t nudgeLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t nudgeCond;
bool nudged = false;
unsigned long long cyclesStarted = 0;

timespec monotonicIn(long long ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
    if (t.tv_nsec >= 1000000000) {
        ++t.tv_sec;
        t.tv_nsec -= 1000000000;
    }
    return t;
}

bool before(const timespec &a, const timespec &b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

void wakeAll(void *word) {
    syscall(SYS_futex, word, FUTEX_WAKE, 0x7fffffff, nullptr, nullptr, 0);
}

bool slotsPosted(const ioShare_t *share) {
    for (const ioshare::Kind &k : ioshare::kKinds)
        if (k.reqAddr != nullptr && share->*k.reqAddr != IOSHARE_IDLE) return true;
    return false;
}

void nudge() {
    pthread_mutex_lock(&nudgeLock);
    nudged = true;
    pthread_cond_signal(&nudgeCond);
    pthread_mutex_unlock(&nudgeLock);
}

// Cycles started so far. Read with the region's mutex held, it tells whether
// the cycle that takes what is posted now has started.
unsigned long long cyclesSoFar() {
    pthread_mutex_lock(&nudgeLock);
    const unsigned long long n = cyclesStarted;
    pthread_mutex_unlock(&nudgeLock);
    return n;
}

// Wakes the refresh thread unless a cycle started after `seen`: that cycle
// takes the request (the thread also looks at the slots before it waits),
// and a nudge now would only cost the board a cycle nobody asked for.
void nudgeUnlessStarted(unsigned long long seen) {
    pthread_mutex_lock(&nudgeLock);
    if (cyclesStarted == seen) {
        nudged = true;
        pthread_cond_signal(&nudgeCond);
    }
    pthread_mutex_unlock(&nudgeLock);
}

// Until the refresh thread has started a cycle after `seen`, or `ms` passed.
void awaitCycleAfter(unsigned long long seen, long long ms) {
    const timespec end = monotonicIn(ms);
    pthread_mutex_lock(&nudgeLock);
    while (cyclesStarted == seen && serverRunning())
        if (pthread_cond_timedwait(&nudgeCond, &nudgeLock, &end) == ETIMEDOUT) break;
    pthread_mutex_unlock(&nudgeLock);
}

// Garbage written over the condition shows in its flags; a waiting client
// does not, and is left alone. Called with the mutex held.
void mendCondition(ioShare_t *share) {
    if (conditionLooksSound(share, true)) return;
    logMsg(1, "region condition overwritten by a client: initialised afresh");
    reinitRegionCondition(share);
}

void *waker(void *arg) {
    auto *share = static_cast<ioShare_t *>(arg);
    // A new interval, too, is reason to start a cycle: the refresh thread's
    // wait still has the old deadline. Whenever it was set.
    int32_t interval = __atomic_load_n(&share->interval, __ATOMIC_RELAXED);
    const auto asked = [&] {
        const bool changed = share->interval != interval;
        interval = share->interval;
        return slotsPosted(share) || changed;
    };
    while (serverRunning()) {
        if (lockRegion(share) < 0) break;
        mendCondition(share);
        bool posted = asked();
        bool held = true;
        unsigned long long seen = cyclesSoFar();
        if (!posted && serverRunning()) {
            const timespec end = monotonicIn(kWakerWaitMs);
            held = waitRegion(share, &end) >= 0;
            posted = held && asked();
            seen = cyclesSoFar();
            // A condition that does not wait (spoilt in a way its flags do
            // not show) must not turn this thread into a spin.
            if (!posted && held) {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                if (before(now, end) && serverRunning()) {
                    unlockRegion(share);
                    usleep(10000);
                    continue;
                }
            }
        }
        if (held) unlockRegion(share);
        if (!posted) continue;
        nudgeUnlessStarted(seen);
        // The request is the refresh thread's now: not looked at again before
        // it has begun a cycle, or this thread would spin on it.
        awaitCycleAfter(seen, 1000);
    }
    nudge();  // the stop
    return nullptr;
}

}  // namespace

void startWaker(ioShare_t *share) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&nudgeCond, &attr);
    pthread_condattr_destroy(&attr);
    pthread_t thread;
    // Not joined: one caught in a condition a client spoilt ends with the
    // process, and holds nothing the stop needs.
    if (pthread_create(&thread, nullptr, waker, share) == 0)
        pthread_detach(thread);
    else
        logMsg(1, "no thread for the region's condition: cycles start on their interval only");
}

void awaitNudge(const timespec &deadline, const int32_t *interval) {
    // An interval changed while the waker was not looking still ends the
    // wait, at the next step.
    const int32_t waitedFor = __atomic_load_n(interval, __ATOMIC_RELAXED);
    pthread_mutex_lock(&nudgeLock);
    while (!nudged && serverRunning() && __atomic_load_n(interval, __ATOMIC_RELAXED) == waitedFor) {
        timespec step = monotonicIn(kRefreshWaitMs);
        if (before(deadline, step)) step = deadline;
        const int rc = pthread_cond_timedwait(&nudgeCond, &nudgeLock, &step);
        if (rc == ETIMEDOUT && !before(step, deadline)) break;
    }
    nudged = false;
    pthread_mutex_unlock(&nudgeLock);
}

void noteCycleStarted() {
    pthread_mutex_lock(&nudgeLock);
    ++cyclesStarted;
    nudged = false;  // whatever asked for it is served now
    pthread_cond_broadcast(&nudgeCond);
    pthread_mutex_unlock(&nudgeLock);
}

void noteConditionShape(const ioShare_t *share) {
    __atomic_store_n(&expectedFlags,
                     __atomic_load_n(&share->cond.__data.__wrefs, __ATOMIC_RELAXED) & 3u,
                     __ATOMIC_RELAXED);
}

bool conditionLooksSound(const ioShare_t *share, bool) {
    const long long expected = __atomic_load_n(&expectedFlags, __ATOMIC_RELAXED);
    if (expected < 0) return true;
    return (__atomic_load_n(&share->cond.__data.__wrefs, __ATOMIC_RELAXED) & 3u) ==
           static_cast<unsigned>(expected);
}

// The C library keeps the condition's internal lock in the two low bits of
// one word of the condition (0 free, 1 taken, 2 taken with others waiting).
bool conditionLockTaken(const ioShare_t *share) {
    return (__atomic_load_n(&share->cond.__data.__g1_orig_size, __ATOMIC_RELAXED) & 3u) != 0;
}

void releaseConditionLock(ioShare_t *share) {
    unsigned *word = &share->cond.__data.__g1_orig_size;
    __atomic_fetch_and(word, ~3u, __ATOMIC_RELEASE);
    // A shared futex: the waiters may be in other processes.
    wakeAll(word);
}

void reinitRegionCondition(ioShare_t *share) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&share->cond, &attr);
    pthread_condattr_destroy(&attr);
    noteConditionShape(share);
    // Signallers and waiters caught in what was written over it sleep on one
    // of these.
    auto &d = share->cond.__data;
    wakeAll(&d.__g1_orig_size);
    wakeAll(&d.__g_refs[0]);
    wakeAll(&d.__g_refs[1]);
    wakeAll(&d.__g_signals[0]);
    wakeAll(&d.__g_signals[1]);
    wakeAll(&d.__wrefs);
}

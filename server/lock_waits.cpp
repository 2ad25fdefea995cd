// The server's waits for the region's mutex, and who made it wait.
#include "lock_waits.h"

#include <pthread.h>
#include <time.h>

#include <cstdio>
#include <cstring>

#include "log.h"

namespace {

// A wait this long holds a cycle up noticeably.
constexpr long long kSlowUs = 20000;
constexpr long long kWindowMs = 10000;
constexpr long long kWarnEveryMs = 60000;
// Takes of the server within a window before "held at most of them" counts.
constexpr int kOftenTakes = 20;

pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;
long long windowStartMs = 0, lastWarnMs = -kWarnEveryMs;
long long windowLongest = 0, previousLongest = 0;
int windowSlow = 0;
int windowTakes = 0, windowHeld = 0;  // the server's takes, and those that found it held
uint32_t slowWaits = 0;
int32_t holderPid = 0;

long long nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The process of thread `tid`, and its name, from /proc; false when gone.
bool processOf(int tid, int *pid, char *name, size_t nameSize) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", tid);
    FILE *f = std::fopen(path, "re");
    if (f == nullptr) return false;
    char line[256];
    *pid = 0;
    std::snprintf(name, nameSize, "?");
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, "Name:", 5) == 0) std::sscanf(line + 5, " %63s", name);
        if (std::strncmp(line, "Tgid:", 5) == 0) std::sscanf(line + 5, " %d", pid);
    }
    std::fclose(f);
    return *pid > 0;
}

}  // namespace

void noteLockWait(int holderTid, long long waitedUs) {
    const long long now = nowMs();
    pthread_mutex_lock(&guard);
    if (now - windowStartMs >= kWindowMs) {
        previousLongest = windowLongest;
        windowLongest = 0;
        windowSlow = windowTakes = windowHeld = 0;
        windowStartMs = now;
    }
    if (waitedUs > windowLongest) windowLongest = waitedUs;
    ++windowTakes;
    if (holderTid > 0) ++windowHeld;
    const bool slow = waitedUs >= kSlowUs;
    // Too long once, or too often: held by a client at most of the server's
    // takes (each wait short, thanks to takeMutex, but a client that keeps
    // at it is one to know about).
    const bool often = windowTakes >= kOftenTakes && windowHeld * 2 > windowTakes;
    if (slow) {
        ++slowWaits;
        ++windowSlow;
    }
    bool warn = (slow || often) && holderTid > 0 && now - lastWarnMs >= kWarnEveryMs;
    if (warn) lastWarnMs = now;
    const int slowInWindow = windowSlow, takes = windowTakes, held = windowHeld;
    if (often) windowTakes = windowHeld = 0;
    pthread_mutex_unlock(&guard);
    if (!(slow || often) || holderTid <= 0) return;
    int pid = 0;
    char name[64];
    if (!processOf(holderTid, &pid, name, sizeof name)) return;
    __atomic_store_n(&holderPid, pid, __ATOMIC_RELAXED);
    if (warn && slow)
        logMsg(1,
               "region mutex held by process %d (%s) while the server waited %lld ms for it "
               "(%d such waits in the last %lld s): board I/O is held up",
               pid, name, waitedUs / 1000, slowInWindow, kWindowMs / 1000);
    else if (warn)
        logMsg(1,
               "region mutex held by process %d (%s) at %d of the server's last %d takes: a "
               "client takes it too often",
               pid, name, held, takes);
}

LockWaitFigures lockWaitFigures() {
    pthread_mutex_lock(&guard);
    const long long longest = windowLongest > previousLongest ? windowLongest : previousLongest;
    LockWaitFigures f{static_cast<uint32_t>(longest), slowWaits,
                      __atomic_load_n(&holderPid, __ATOMIC_RELAXED)};
    pthread_mutex_unlock(&guard);
    return f;
}

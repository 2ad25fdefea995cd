// pellora's run loop on the main thread: console, service manager, watches
// on the region's mutex and condition, and the log's upkeep.
#include <cstdio>

#include "console.h"
#include "health.h"
#include "lifecycle.h"
#include "log.h"
#include "notify.h"
#include "refresh.h"
#include "region.h"
#include "running.h"

namespace {

// Longest wait of the run loop between two looks at the stop flag, the
// console, the service manager's watchdog and the region's condition.
constexpr int kRunTickMs = 100;

// What the service manager hears while the server runs: a status line now
// and then, and the watchdog's notice only while the refresh thread makes
// progress (a stalled cycle is then restarted by the manager).
struct ServiceNotices {
    long long lastPingMs = 0;
    long long lastStatusMs = 0;

    static void status(const ioshareHealth *h, const char *prefix) {
        char text[160];
        if (h == nullptr) {
            std::snprintf(text, sizeof text, "%sSTATUS=running", prefix);
        } else {
            // The refresh thread keeps these two up to date as it runs.
            const int32_t board = __atomic_load_n(&h->boardId, __ATOMIC_RELAXED);
            const double rate = __atomic_load_n(&h->cycleRateMilli, __ATOMIC_RELAXED) / 1000.0;
            if (board == IOSHARE_NO_BOARD)
                std::snprintf(text, sizeof text, "%sSTATUS=no board answering, %.1f cycles/s",
                              prefix, rate);
            else
                std::snprintf(text, sizeof text, "%sSTATUS=board %04X, %.1f cycles/s", prefix,
                              static_cast<unsigned>(board), rate);
        }
        notifySend(text);
    }

    void tick(const ioshareHealth *h) {
        const long long now = healthNowMs();
        const long long every = notifyWatchdogMs();
        if (every > 0 && now - lastPingMs >= every &&
            !refreshStalled(now, every > 1000 ? every : 1000)) {
            notifySend("WATCHDOG=1");
            lastPingMs = now;
        }
        if (now - lastStatusMs >= 5000) {
            if (lastStatusMs != 0) status(h, "");
            lastStatusMs = now;
        }
    }
};

// Watches the region's condition from the run loop: its internal lock seen
// taken for a whole second is one a client left behind, dying or stopped
// inside a signal. It is released, so that signalling clients (and the
// thread that waits on the condition for the refresh thread) blocked on it
// go on; the condition itself is left as it is, since clients may wait on it.
struct ConditionWatch {
    long long takenSinceMs = 0;

    void tick(ioShare_t *share) {
        if (!conditionLockTaken(share)) {
            takenSinceMs = 0;
            return;
        }
        const long long now = healthNowMs();
        if (takenSinceMs == 0) takenSinceMs = now;
        if (now - takenSinceMs < 1000) return;
        releaseConditionLock(share);
        logMsg(1,
               "region condition left locked by a client (died or stopped inside a signal): "
               "released");
        takenSinceMs = 0;
    }
};

}  // namespace

void runServer(const Settings &s, const ServerRun &run) {
    // Ready: the board is discovered (or known to be missing) and the
    // refresh thread runs.
    const bool managed = notifyInit();
    ServiceNotices notices;
    if (managed) ServiceNotices::status(run.health, "READY=1\n");
    ConditionWatch watch;
    MutexHolderWatch holderWatch;
    const long long pingEvery = managed ? notifyWatchdogMs() : 0;
    const int tickMs =
        pingEvery > 0 && pingEvery < kRunTickMs ? static_cast<int>(pingEvery) : kRunTickMs;

    while (serverRunning()) {
        if (s.daemonFlag == 0) consoleService(&runningFlag);
        // SIGHUP only leaves a flag: the file is opened again here, under
        // the log's lock, while the refresh thread may be writing.
        if (takeLogReopenRequest()) reopenLog();
        logService();
        if (managed) notices.tick(run.health);
        watch.tick(run.share);
        holderWatch.tick(run.share, healthNowMs());
        // Nothing here needs a finer step: a key is answered as it comes, a
        // signal (taken by this thread alone) ends the wait, the watchdog's
        // notice and the condition watch live on hundreds of milliseconds.
        // A shorter fixed sleep costs the server more processor time than
        // its whole cycle.
        consoleWait(tickMs);
    }
    if (managed) notifySend("STOPPING=1");
}

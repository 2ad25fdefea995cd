// pellora's orderly stop: after the run loop, or after a stop asked during
// start-up.
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "board.h"
#include "console.h"
#include "daemon.h"
#include "health.h"
#include "lifecycle.h"
#include "log.h"
#include "region.h"
#include "running.h"

namespace {

// Joins the thread if it ends within `ms` on the monotonic clock: true when
// joined. Looks in short steps rather than with a clock-bound join, which
// thread checkers cannot follow.
bool joinWithin(pthread_t thread, int ms) {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    const long long deadline = t.tv_sec * 1000LL + t.tv_nsec / 1000000 + ms;
    for (;;) {
        if (pthread_tryjoin_np(thread, nullptr) == 0) return true;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (t.tv_sec * 1000LL + t.tv_nsec / 1000000 >= deadline) return false;
        usleep(2000);
    }
}

// Wakes the refresh thread and lets it finish the cycle it is in. No client
// can hold the stop up: neither one that keeps the mutex (a stopped process)
// nor one that left the condition's lock taken. Whether it ended.
bool endRefreshThread(ioShare_t *share, pthread_t thread) {
    if (conditionLockTaken(share)) {
        releaseConditionLock(share);
        logMsg(1, "region condition left locked by a client: released for the stop");
    }
    const int locked = lockRegionFor(share, 1000);  // repairs a mutex whose holder died
    // A refresh thread waiting its interval wakes now; a condition written
    // over could block the broadcast for good, and is left to the time-out.
    if (conditionLooksSound(share, true))
        pthread_cond_broadcast(&share->cond);
    else
        logMsg(1, "region condition overwritten by a client: not signalled for the stop");
    if (locked >= 0)
        unlockRegion(share);
    else if (locked == -3)
        logMsg(1, "region mutex overwritten by a client: stopping without it");
    else
        logMsg(1, "region mutex held by a client that does not let go: stopping without it");
    // One blocked on a mutex a client keeps is left behind (the process ends
    // with it).
    const bool joined = joinWithin(thread, locked >= 0 ? 1500 : 500);
    if (!joined)
        logMsg(1,
               "refresh thread did not end in time (region mutex held by a client): "
               "stopping without it");
    return joined;
}

}  // namespace

int stopInOrder(ServerRun *run) {
    if (run->consoleOn) finiConsole();
    stopServer();
    if (run->threadStarted) endRefreshThread(run->share, run->refreshThread);

    // Every orderly stop says so to clients that mapped the record, which
    // stays with them after its name goes. A refresh thread left behind is
    // blocked on a client's mutex and ends with the process a moment later.
    healthSetState(run->health, IOSHARE_STATE_STOPPED);
    removeHealth(run->shmName);
    if (shm_unlink(run->shmName) == -1) {
        std::perror("shm_unlink");
        return -1;
    }
    pthread_mutexattr_destroy(&run->mutexAttr);
    pthread_condattr_destroy(&run->condAttr);
    // A terminal that takes nothing more must not hold the stop up.
    if (run->consoleOn)
        consoleMessage("Stop Share Memory I/O Server\n");
    else
        std::printf("Stop Share Memory I/O Server\n");
    logMsg(2, "Stop Share Memory I/O Server");
    finiLog();
    finiIOBoard();
    // Last: another server may start only once this one has let go of the
    // board and the log.
    releaseLockFile();
    return 0;
}

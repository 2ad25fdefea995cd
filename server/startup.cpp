// pellora's start-up: signal handlers, lock file, log, health record and
// region, board discovery, daemon step, console and refresh thread, in that
// order.
#include <signal.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "board.h"
#include "console.h"
#include "daemon.h"
#include "health.h"
#include "lifecycle.h"
#include "log.h"
#include "msw.h"
#include "refresh.h"
#include "region.h"
#include "running.h"

namespace {

constexpr const char *kVersion = "v0.1g";
constexpr const char *kDefaultComDevice = "/dev/ttyO1";

int logReopenFlag = 0;

void sig_term(int) {
    stopServer();
}

void sig_hup(int) {
    __atomic_store_n(&logReopenFlag, 1, __ATOMIC_RELAXED);
}

void handle(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // as signal() sets it: only waits end early
    sigaction(sig, &sa, nullptr);
}

// The paths a seam replaced are shown beside the ones the server always
// prints, so an operator sees what this process really uses.
void printOverriddenPaths(const char *shmName) {
    if (std::strcmp(shmName, IOSHARE_DEFAULT_NAME) != 0)
        std::printf("share memory name = %s\n", shmName);
    const char *com = Get_Com_Device(1);
    if (com != nullptr && std::strcmp(com, kDefaultComDevice) != 0)
        std::printf("COM1 device = %s\n", com);
}

// A start that fails once the region exists takes it away again: clients
// must not find a board layout published by a server that is not running,
// nor a health record of a start still under way.
Started failStart(const ServerRun &run) {
    healthSetState(run.health, IOSHARE_STATE_STOPPED);
    removeUnpublishedRegion();
    shm_unlink(run.shmName);
    removeHealth(run.shmName);
    return Started::Failed;
}

// The refresh thread is started with the stop and reopen signals blocked,
// which it keeps: they reach the main thread, whose wait they end at once,
// and never interrupt the thread's work on the board.
bool startRefreshThread(ServerRun *run) {
    sigset_t signals, previous;
    sigemptyset(&signals);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, sig);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    run->threadStarted = pthread_create(&run->refreshThread, nullptr, writeThread, run->share) == 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return run->threadStarted;
}

}  // namespace

void installSignalHandlers(void) {
    handle(SIGTERM, sig_term);
    handle(SIGINT, sig_term);
    handle(SIGHUP, sig_hup);
}

bool takeLogReopenRequest(void) {
    return __atomic_exchange_n(&logReopenFlag, 0, __ATOMIC_RELAXED) != 0;
}

Started startServer(Settings *s, ServerRun *run) {
    // A second instance is refused here, before it touches anything the
    // running server owns: initLog would move its log aside, createRegion
    // would clear its region and initIOBoard would talk to its board.
    if (claimLockFile(s->lockPath) != 0) {
        if (s->daemonFlag != 0) std::perror("Daemon Failed");
        return Started::Failed;
    }

    // A log that cannot be opened leaves the server running without one.
    if (initLog(s->logPath, s->logLines, s->logLevel, kBanner) != 0)
        std::fprintf(stderr, "logfile %s not opened: %s\n", s->logPath,
                     errno == ELOOP ? "a symbolic link, refused" : std::strerror(errno));
    std::printf("Share Memory I/O Server %s (build at %s)\n", kVersion, __DATE__);
    std::printf(s->daemonFlag != 0 ? "Mode : daemon\n" : "Mode : interactive\n");
    std::printf("logfile = %s, level %d\n", s->logPath, s->logLevel);
    std::printf("lockfile = %s\n", s->lockPath);
    run->shmName = regionName();
    printOverriddenPaths(run->shmName);

    // The health record first: its new generation tells a client whose
    // request this start clears from the slots that it is lost.
    run->health = createHealth(run->shmName);
    // Another user's object under the record's name that cannot be removed:
    // clients would read that one as this server's word.
    if (run->health == nullptr && errno == EEXIST) {
        std::fprintf(stderr, "start refused: the health record's name is not this server's\n");
        return Started::Failed;
    }
    setRefreshHealth(run->health);
    run->share = createRegion(run->shmName);
    if (run->share == nullptr) {
        healthSetState(run->health, IOSHARE_STATE_STOPPED);
        removeUnpublishedRegion();
        removeHealth(run->shmName);
        return Started::Failed;
    }
    std::printf("share memory size = %d bytes, refresh interval %d ms\n",
                static_cast<int>(sizeof(ioShare_t)), s->interval);

    if (initRegionAttributes(&run->mutexAttr, &run->condAttr) != 0) return failStart(*run);
    initRegion(run->share, s->interval, &run->mutexAttr, &run->condAttr);

    // Discovery gives up its remaining tries as soon as a stop is asked.
    if (const int board = initIOBoard(run->share); board < 0) {
        const int err = errno;
        std::perror("I/O Board init Failed");
        if (board == -1)
            std::fprintf(stderr, "COM port 1 device %s: %s\n", Get_Com_Device(1),
                         std::strerror(err));
        stopServer();
        return failStart(*run);
    }
    if (!serverRunning()) return Started::StopAsked;
    if (run->health != nullptr) {
        healthBeginWrite(run->health);
        run->health->boardId = run->share->boardId;
        healthEndWrite(run->health);
    }

    // The handlers are in place since the first step, so the daemon holds
    // them before its pid appears in the lock file: a stop sent as soon as
    // the pid can be read still leads to the orderly stop.
    const int daemonResult = initDaemon(s->daemonFlag, s->lockPath);
    if (daemonResult < 0) {
        if (s->daemonFlag != 0) {
            std::perror("Daemon Failed");
            logMsg(1, "Daemon Failed retVal = %d\n", daemonResult);
        }
        stopServer();
        return failStart(*run);
    }
    if (!serverRunning()) return Started::StopAsked;

    if (s->daemonFlag == 0) {
        initConsole(kBanner);
        run->consoleOn = true;
    }
    if (!startRefreshThread(run)) {
        std::printf("error create thread\n");
        // The operator's terminal must not be left without echo.
        if (run->consoleOn) finiConsole();
        return failStart(*run);
    }

    // Start-up lines reach a pipe or a log collector now, not at exit:
    // whoever reads them (a supervisor, the tests) may stop the server from
    // then on, and finds the refresh thread running.
    std::fflush(stdout);
    return Started::Running;
}

// pellora, the shared-memory I/O server: command line, start-up, run loop
// and orderly stop.
#include <getopt.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "board.h"
#include "console.h"
#include "daemon.h"
#include "health.h"
#include "log.h"
#include "msw.h"
#include "notify.h"
#include "refresh.h"
#include "region.h"
#include "running.h"

int runningFlag = 1;

namespace {

constexpr const char *kVersion = "v0.1g";
constexpr const char *kBanner = "Share memory I/O Server";
constexpr const char *kDefaultComDevice = "/dev/ttyO1";
constexpr size_t kPathSize = 512;
// Longest wait of the run loop between two looks at the stop flag, the
// console, the service manager's watchdog and the region's condition.
constexpr int kRunTickMs = 100;

// Settings held for the life of the process: the log module keeps a pointer
// to logPath.
struct Settings {
    int daemonFlag = 0;
    int logLines = 0;
    int logLevel = 2;
    int interval = 100;
    char logPath[kPathSize] = "/var/log/pellora.log";
    char lockPath[kPathSize] = "/var/run/pellora.pid";
};

void print_usage(const char *prog) {
    std::printf("\nUsage: %s [OPTION] [VALUE] ...\n", prog);
    std::puts(
        "Norvane I/O share memory Server\n"
        "Options:\n"
        "-c confile     Specify the path for config file\n"
        "-d             Daemonize (Terminate and Stay Resident)\n"
        "-h             Display this help and exit\n"
        "-i interval    Specify the refresh interval in ms\n"
        "-v level       Print or log verbose debug information\n"
        "               0(Error), 1(Warning), 2(Info), 3(Debug)\n"
        "-s size        specify the maximum line of log file\n"
        "-l logfile     Specify the path for the log file\n");
}

void sig_term(int) {
    stopServer();
}

// Copies a path into a settings buffer. A path that does not fit is refused
// rather than cut: a cut path would name some other file.
bool copyPath(char (&dest)[kPathSize], const char *path, const char *what) {
    const size_t len = std::strlen(path);
    if (len >= kPathSize) {
        std::printf("%s path too long: %zu characters, at most %zu\n", what, len, kPathSize - 1);
        return false;
    }
    std::memcpy(dest, path, len + 1);
    return true;
}

enum class Parsed { Run, Help, Refused };

Parsed parseOptions(int argc, char **argv, Settings *s) {
    // A log path that does not fit is refused only once the whole command
    // line is read: -h after it still prints the usage and ends with 0.
    const char *tooLong = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "dhi:v:l:c:s:")) != -1) {
        switch (opt) {
            case 'd':
                s->daemonFlag = 1;
                break;
            case 'h':
                print_usage(argv[0]);
                return Parsed::Help;
            case 'i':
                s->interval = std::atoi(optarg);
                break;
            case 'v':
                s->logLevel = std::atoi(optarg);
                break;
            case 's':
                s->logLines = std::atoi(optarg);
                break;
            case 'l':
                if (std::strlen(optarg) >= kPathSize)
                    tooLong = optarg;
                else
                    copyPath(s->logPath, optarg, "Log file");
                break;
            default:
                break;  // -c is accepted and ignored; getopt has reported the rest
        }
    }
    if (tooLong != nullptr && !copyPath(s->logPath, tooLong, "Log file")) return Parsed::Refused;
    // The lock file's seam, read only once the command line allows a start.
    const char *lock = std::getenv("PELLORA_LOCK_FILE");
    if (lock != nullptr && *lock != '\0' && !copyPath(s->lockPath, lock, "Lock file"))
        return Parsed::Refused;
    return Parsed::Run;
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
// inside a signal. It is released (the refresh thread and signalling clients
// blocked on it go on) and the refresh thread initialises the condition
// afresh.
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
        refreshRepairCondition();
        logMsg(1,
               "region condition left locked by a client (died or stopped inside a signal): "
               "released and initialised afresh");
        takenSinceMs = 0;
    }
};

// A start that fails once the region exists takes it away again: clients
// must not find a board layout published by a server that is not running.
int failStart(const char *shmName) {
    removeUnpublishedRegion();
    shm_unlink(shmName);
    removeHealth(shmName);
    return -1;
}

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

}  // namespace

int main(int argc, char **argv) {
    static Settings s;  // outlives every use the log module makes of logPath
    switch (parseOptions(argc, argv, &s)) {
        case Parsed::Help:
            return 0;
        case Parsed::Refused:
            return -1;
        case Parsed::Run:
            break;
    }

    // A second instance is refused here, before it touches anything the
    // running server owns: initLog would empty its log, createRegion would
    // clear its region and initIOBoard would talk to its board.
    if (claimLockFile(s.lockPath) != 0) {
        if (s.daemonFlag != 0) std::perror("Daemon Failed");
        return -1;
    }

    // A log that cannot be opened leaves the server running without one.
    if (initLog(s.logPath, s.logLines, s.logLevel, kBanner) != 0)
        std::fprintf(stderr, "logfile %s not opened: %s\n", s.logPath,
                     errno == ELOOP ? "a symbolic link, refused" : std::strerror(errno));
    std::printf("Share Memory I/O Server %s (build at %s)\n", kVersion, __DATE__);
    std::printf(s.daemonFlag != 0 ? "Mode : daemon\n" : "Mode : interactive\n");
    std::printf("logfile = %s, level %d\n", s.logPath, s.logLevel);
    std::printf("lockfile = %s\n", s.lockPath);
    const char *shmName = regionName();
    printOverriddenPaths(shmName);

    // The health record first: its new generation tells a client whose
    // request this start clears from the slots that it is lost.
    ioshareHealth *health = createHealth(shmName);
    setRefreshHealth(health);
    ioShare_t *share = createRegion(shmName);
    if (share == nullptr) {
        removeUnpublishedRegion();
        removeHealth(shmName);
        return -1;
    }
    std::printf("share memory size = %d bytes, refresh interval %d ms\n",
                static_cast<int>(sizeof(ioShare_t)), s.interval);

    pthread_mutexattr_t mutexAttr;
    pthread_condattr_t condAttr;
    if (initRegionAttributes(&mutexAttr, &condAttr) != 0) return failStart(shmName);
    initRegion(share, s.interval, &mutexAttr, &condAttr);

    if (initIOBoard(share) < 0) {
        std::perror("I/O Board init Failed");
        stopServer();
        return failStart(shmName);
    }
    if (health != nullptr) {
        healthBeginWrite(health);
        health->boardId = share->boardId;
        healthEndWrite(health);
    }

    // The handler goes in before the daemon step, so that the daemon holds
    // it before its pid appears in the lock file: a stop sent as soon as the
    // pid can be read still leads to the orderly stop.
    std::signal(SIGTERM, sig_term);

    const int daemonResult = initDaemon(s.daemonFlag, s.lockPath);
    if (daemonResult < 0) {
        if (s.daemonFlag != 0) {
            std::perror("Daemon Failed");
            logMsg(1, "Daemon Failed retVal = %d\n", daemonResult);
        }
        stopServer();
        return failStart(shmName);
    }

    if (s.daemonFlag == 0) initConsole(kBanner);
    pthread_t refreshThread;
    if (pthread_create(&refreshThread, nullptr, writeThread, share) != 0) {
        std::printf("error create thread\n");
        // The operator's terminal must not be left without echo.
        if (s.daemonFlag == 0) finiConsole();
        return failStart(shmName);
    }

    // Start-up lines reach a pipe or a log collector now, not at exit, and
    // only once SIGTERM is handled: whoever reads them (a supervisor, the
    // tests) may stop the server from then on. Keep this after the handler.
    std::fflush(stdout);
    // Ready: the board is discovered (or known to be missing) and the
    // refresh thread runs.
    const bool managed = notifyInit();
    ServiceNotices notices;
    if (managed) ServiceNotices::status(health, "READY=1\n");
    ConditionWatch watch;
    MutexHolderWatch holderWatch;
    const long long pingEvery = managed ? notifyWatchdogMs() : 0;
    const int tickMs = pingEvery > 0 && pingEvery < kRunTickMs ? static_cast<int>(pingEvery)
                                                                : kRunTickMs;

    while (serverRunning()) {
        if (s.daemonFlag == 0) consoleService(&runningFlag);
        if (managed) notices.tick(health);
        watch.tick(share);
        holderWatch.tick(share, healthNowMs());
        // Nothing here needs a finer step: a key is answered as it comes,
        // SIGTERM on this thread ends the wait, the watchdog's notice and the
        // condition watch live on hundreds of milliseconds. A shorter fixed
        // sleep costs the server more processor time than its whole cycle.
        consoleWait(tickMs);
    }
    if (managed) notifySend("STOPPING=1");

    if (s.daemonFlag == 0) finiConsole();
    stopServer();
    // No client can hold the stop up: neither one that keeps the mutex (a
    // stopped process) nor one that left the condition's lock taken.
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
        pthread_mutex_unlock(&share->mutex);
    else if (locked == -3)
        logMsg(1, "region mutex overwritten by a client: stopping without it");
    else
        logMsg(1, "region mutex held by a client that does not let go: stopping without it");
    // It finishes the cycle it is in; one blocked on a mutex a client keeps
    // is left behind (the process ends with it).
    const bool joined = joinWithin(refreshThread, locked >= 0 ? 1500 : 500);
    if (!joined)
        logMsg(1,
               "refresh thread did not end in time (region mutex held by a client): "
               "stopping without it");

    // Only the refresh thread writes the health record while it lives: one
    // left behind keeps it (the record goes with the name just below).
    if (joined) healthSetState(health, IOSHARE_STATE_STOPPED);
    removeHealth(shmName);
    if (shm_unlink(shmName) == -1) {
        std::perror("shm_unlink");
        return -1;
    }
    pthread_mutexattr_destroy(&mutexAttr);
    pthread_condattr_destroy(&condAttr);
    // A terminal that takes nothing more must not hold the stop up.
    if (s.daemonFlag == 0)
        consoleMessage("Stop Share Memory I/O Server\n");
    else
        std::printf("Stop Share Memory I/O Server\n");
    logMsg(2, "Stop Share Memory I/O Server");
    finiLog();
    finiIOBoard();
    return 0;
}

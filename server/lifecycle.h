// pellora's life in three steps, as main takes them: start-up, the run loop,
// the orderly stop.
#pragma once

#include <pthread.h>

#include "ioshare.h"
#include "options.h"

constexpr const char *kBanner = "Share memory I/O Server";

// What start-up made, for the run loop and the stop to use and undo.
struct ServerRun {
    const char *shmName = nullptr;
    ioshareHealth *health = nullptr;
    ioShare_t *share = nullptr;
    pthread_mutexattr_t mutexAttr{};
    pthread_condattr_t condAttr{};
    bool consoleOn = false;
    bool threadStarted = false;
    pthread_t refreshThread{};
};

enum class Started { Running, StopAsked, Failed };

// Handlers that only store a flag: SIGTERM and SIGINT ask for the orderly
// stop, SIGHUP for the log to be opened again (takeLogReopenRequest).
void installSignalHandlers(void);

// Whether SIGHUP came since the last call.
bool takeLogReopenRequest(void);

// The start-up steps, from the lock file to the refresh thread. Running;
// StopAsked when SIGTERM or SIGINT came before the refresh thread was
// started (what was made is for stopInOrder to take away); Failed after the
// start's messages, with what it had made taken away again.
Started startServer(Settings *s, ServerRun *run);

// The run loop: console, service manager, watches on the region, the log's
// reopen and held-back counts. Returns once the server is to stop.
void runServer(const Settings &s, const ServerRun &run);

// The orderly stop: refresh thread ended, health record marked stopped, its
// name and the region's removed, log closed, COM port 1 and the lock file
// released. 0, or -1 when the region's name was already gone.
int stopInOrder(ServerRun *run);

// The run flag of the whole server.
#pragma once

// 1 until the server is to stop; only ever cleared (by SIGTERM or SIGINT,
// from the first step of start-up on, the console's "exit", or main).
// Threads and the signal handler reach it through the two helpers below,
// which are atomic.
extern int runningFlag;

// Whether the server is still to run.
inline bool serverRunning() {
    return __atomic_load_n(&runningFlag, __ATOMIC_RELAXED) != 0;
}

// Asks every loop of the server to end; safe in a signal handler.
inline void stopServer() {
    __atomic_store_n(&runningFlag, 0, __ATOMIC_RELAXED);
}

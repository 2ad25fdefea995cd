// How long the server waits for the region's mutex: a client that keeps it
// long, or takes it so often that the server keeps waiting, is named.
#pragma once

#include <cstdint>

// One wait of the server for the mutex: `holderTid` held it when the wait
// began (0: nobody, or not known), and it took `waitedUs`. A slow one is
// counted and named in a WARN line (at most one a minute).
void noteLockWait(int holderTid, long long waitedUs);

// For the health record: the longest wait of about the last ten seconds,
// slow waits so far, and the process that held the mutex in the last one.
struct LockWaitFigures {
    uint32_t longestUs;
    uint32_t slowWaits;
    int32_t holderPid;
};
LockWaitFigures lockWaitFigures();

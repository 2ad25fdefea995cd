// How long the server waits for the region's mutex: a client that keeps it
// long, or takes it so often that the server keeps waiting, is named.
#pragma once

#include <cstdint>

// One take of the mutex by the server: `holderTid` held it when the take
// began (0: nobody, or not known), and it took `waitedUs`. A slow one is
// counted, and a holder that kept the server waiting long, or held the
// mutex at most of the server's takes, is named in a WARN line (at most one
// a minute).
void noteLockWait(int holderTid, long long waitedUs);

// For the health record: the longest wait of about the last ten seconds,
// slow waits so far, and the process that held the mutex in the last one.
struct LockWaitFigures {
    uint32_t longestUs;
    uint32_t slowWaits;
    int32_t holderPid;
};
LockWaitFigures lockWaitFigures();

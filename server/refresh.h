// The refresh thread: the only user of the board once the server runs.
#pragma once

#include "ioshare.h"

// The health record the refresh thread keeps up to date (null: none). Set
// before the thread starts.
void setRefreshHealth(ioshareHealth *health);

// Entry of the refresh thread; `arg` is the region (ioShare_t *). Each cycle
// waits up to the region's interval (a client's signal, passed on by a thread
// that waits on the region's condition for it, ends the wait), serves
// the request slots, writes the output images when asked, then reads every
// mirrored range back into the images. Ends, returning null, when the server
// is to stop, after finishing the cycle it is in. Output writes the board
// does not take are sent again every cycle; while no board has answered it
// is asked for every few seconds; a port whose device went away is opened
// again.
void *writeThread(void *arg);

// Whether the refresh thread has made no progress for `limitMs`: neither
// started nor ended a cycle, nor is it in a wait whose deadline lies less
// than `limitMs` behind `nowMs` (monotonic milliseconds).
bool refreshStalled(long long nowMs, long long limitMs);


// The region's condition and the refresh thread's wake-up.
#pragma once

#include <time.h>

#include "ioshare.h"

// Starts the thread that waits on the region's condition for the refresh
// thread: a client's signal after posting a request starts a cycle at once.
void startWaker(ioShare_t *share);

// The refresh thread's wait: until `deadline` (monotonic clock), a client's
// signal passed on by the waker, a change of `*interval` (the region's), or
// the stop.
void awaitNudge(const timespec &deadline, const int32_t *interval);

// Called by the refresh thread with the region's mutex held at the start of
// every cycle: what asked for a cycle until now is served by this one.
void noteCycleStarted();

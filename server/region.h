// The shared I/O region on the server's side: create, prepare, remove.
#pragma once

#include <time.h>

#include <cstddef>

#include "ioshare.h"

// The region's name: the environment's PELLORA_SHM_NAME when set and not
// empty, else "/zuqshmio".
const char *regionName(void);

// Opens (creating, or reusing one of this user's left behind) the object
// `name`, sizes it to the record, maps it shared and clears it. An object of
// another user, or a link, under the name is removed, or the start refused
// (null with errno EEXIST, after a message). On other failures prints the
// failing call through perror and returns null; the object may stay.
ioShare_t *createRegion(const char *name);

// Puts the region back to its size when a client cut it short or made it
// longer (or a fault on a cut page did already): true when it had to, and
// the pages cut off come back as zeros, to be set up again.
bool restoreRegionSize(void);

// A region createRegion made new is prepared under a name of its own, and
// initRegion gives it its real name once its mutex and condition are
// initialised; removeUnpublishedRegion takes one away that never got there.
void removeUnpublishedRegion(void);

// Maps `size` bytes of `fd` shared for reading and writing. Null, after
// perror("mmap"), when the mapping is refused: nothing is written through it.
void *mapRegion(int fd, size_t size);

// Makes both attribute objects process-shared, the mutex robust and the
// condition's clock the monotonic one: 0, or -1 after perror of the failing
// call.
int initRegionAttributes(pthread_mutexattr_t *mutexAttr, pthread_condattr_t *condAttr);

// Writes the start-up header (interval, idle request slots, tailReq) and
// initialises the region's mutex and condition with the attributes; a new
// region then appears under its name.
void initRegion(ioShare_t *share, int interval, const pthread_mutexattr_t *mutexAttr,
                const pthread_condattr_t *condAttr);

// Sets every request slot's address to idle.
void idleRequestSlots(ioShare_t *share);

// Initialises the region's mutex with `mutexAttr`; where robust mutexes are
// refused (-1), with a plain process-shared one instead (0 when robust).
int initRegionMutex(ioShare_t *share, const pthread_mutexattr_t *mutexAttr);

// Takes the region's mutex, repairing it after a holder that died: 0 taken,
// 1 taken from a dead holder and made consistent, 2 taken after it had been
// left unrecoverable and was initialised afresh, -1 not taken (the server
// stops). Never blocks for good: a mutex written over is initialised afresh
// (with a WARN line).
int lockRegion(ioShare_t *share);

// Releases the mutex lockRegion took (one a client wrote over meanwhile is
// set up afresh instead, which releases it too).
void unlockRegion(ioShare_t *share);

// Waits on the region's condition until `deadline` (monotonic clock) with the
// mutex held, and holds it again on return; results as lockRegion (a
// time-out is 0).
int waitRegion(ioShare_t *share, const timespec *deadline);

// lockRegion's repair, for the result `rc` of a lock or wait on the mutex.
int repairRegionLock(ioShare_t *share, int rc);

// As lockRegion, but gives up after `ms` milliseconds on the monotonic
// clock: -2 then (a client holds the mutex and does not let go); -3 when
// the mutex was written over.
int lockRegionFor(ioShare_t *share, int ms);

// Watches who holds the region's mutex, from the run loop: a holder that
// keeps it for a second is looked at. One that does not exist (its word was
// written over, or it died with its list of held locks spoilt) can never
// release it: the mutex is marked as left by a dead holder, which the next
// taker repairs. One that is stopped is named in the log, once.
class MutexHolderWatch {
  public:
    void tick(ioShare_t *share, long long nowMs);

  private:
    void look(ioShare_t *share, long long nowMs);

    int word_ = 0;
    long long since_ = 0;
    bool toldStopped_ = false;
};

// Whether the condition still looks as this server set it up: its flags
// (clock, process-shared), which no wait or signal changes, are intact.
// Waiters, clients' included, are not looked at. A condition written over
// can make a signal or a broadcast block for good. (The second argument is
// no longer used.)
bool conditionLooksSound(const ioShare_t *share, bool refreshMayWait);

// Notes the condition's flags as initialised now, for conditionLooksSound.
void noteConditionShape(const ioShare_t *share);

// The condition variable's internal lock, which a client's signal holds for
// an instant: a client that dies or is stopped inside pthread_cond_signal
// leaves it taken, and every later signal and timed-out wait then blocks on
// it for good (condition variables are not robust). Whether it is taken now.
bool conditionLockTaken(const ioShare_t *share);

// Releases that lock and wakes whoever blocks on it. For a lock seen taken
// for far longer than any signal lasts.
void releaseConditionLock(ioShare_t *share);

// Initialises the region's condition afresh (process-shared, monotonic
// clock); with the mutex held and nobody waiting on the condition.
void reinitRegionCondition(ioShare_t *share);

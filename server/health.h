// The server's health record beside the region: created and removed with
// it, written by the refresh thread (and the main thread at start and stop).
#pragma once

#include "ioshare.h"

// Creates the object named after the region `regionName` afresh (one
// already there is removed first), mode 0640 whatever the umask, maps it
// and fills in version, size, pid and a new generation. The record, or null
// after a message: errno EEXIST when the name holds another user's object
// that cannot be removed (the start must be refused: clients would read
// that one), anything else when the server may run without one.
ioshareHealth *createHealth(const char *regionName);

// Removes the object's name (the mapping stays with the process).
void removeHealth(const char *regionName);

// Milliseconds on the monotonic clock, as the record counts them.
long long healthNowMs();

// Opens and closes one write of the record: readers retry a copy taken
// while the sequence is odd. Both accept null (no record).
void healthBeginWrite(ioshareHealth *h);
void healthEndWrite(ioshareHealth *h);

// Sets the state, in one whole write.
void healthSetState(ioshareHealth *h, unsigned state);

// Keeps `text` as the last error, cut to fit (inside a write).
void healthSetError(ioshareHealth *h, const char *text);

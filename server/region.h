// The shared I/O region on the server's side: create, prepare, remove.
#pragma once

#include <cstddef>

#include "ioshare.h"

// The region's name: the environment's PELLORA_SHM_NAME when set and not
// empty, else "/zuqshmio".
const char *regionName(void);

// Opens (creating, or reusing one left behind) the object `name`, sizes it
// to the record, maps it shared and clears it. On failure prints the failing
// call through perror and returns null; the object may stay.
ioShare_t *createRegion(const char *name);

// Maps `size` bytes of `fd` shared for reading and writing. Null, after
// perror("mmap"), when the mapping is refused: nothing is written through it.
void *mapRegion(int fd, size_t size);

// Makes both attribute objects process-shared: 0, or -1 after perror of the
// failing call.
int initRegionAttributes(pthread_mutexattr_t *mutexAttr, pthread_condattr_t *condAttr);

// Writes the start-up header (interval, idle request slots, tailReq) and
// initialises the region's mutex and condition with the attributes.
void initRegion(ioShare_t *share, int interval, const pthread_mutexattr_t *mutexAttr,
                const pthread_condattr_t *condAttr);

// Sets every request slot's address to idle.
void idleRequestSlots(ioShare_t *share);

/* Time base: wall-clock time of day and simple deadlines.
 * The deadline calls take a struct timeval, whose size follows the width of
 * time_t: on 32-bit targets the library is built with 64-bit time
 * (-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64), and so must be every program that
 * calls them. */
#ifndef FIELDBUS_TIMER_H
#define FIELDBUS_TIMER_H

#include <sys/time.h>

#include "common.h"

FIELDBUS_BEGIN_DECLS

/* Microseconds since the epoch, from the wall clock. */
__tod_t _time_get_tod(void);

/* Milliseconds since the epoch (truncated, never rounded up). */
__tod_t _time_get_todMS(void);

/* Fills *deadline with now + usec, normalised (tv_usec in 0..999999). */
void _time_set_deadline(uint32_t usec, struct timeval *deadline);

/* -1 when the deadline has been reached or passed, 0 while it lies ahead. */
int _time_out(struct timeval *deadline);

FIELDBUS_END_DECLS

#endif

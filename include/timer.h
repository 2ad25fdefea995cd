/* Time base: wall-clock time of day and simple deadlines. */
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

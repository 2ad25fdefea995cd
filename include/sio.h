/* Serial device registry: raw terminal set-up and restore by descriptor.
 * Not thread-safe: one thread at a time. */
#ifndef FIELDBUS_SIO_H
#define FIELDBUS_SIO_H

#include <termios.h>

#include "common.h"

FIELDBUS_BEGIN_DECLS

/* One registry entry per open descriptor. The entry owns both termios
 * records; name is the caller's pointer (not a copy), null in entries
 * created on demand for a descriptor sio_open never registered. */
struct sio {
    struct sio *next;
    int fd;
    const char *name;
    struct termios *options;     /* settings this layer applies */
    struct termios *old_options; /* settings found at sio_open, restored by sio_close */
};

/* Head of the registry, in order of creation; null when empty. */
extern struct sio *sio_list;

/* Descriptor of the first named entry whose name equals port, 0 when none. */
int _sio_device(const char *port);
/* Entry for fd, created and appended when missing; null only without memory. */
struct sio *_sio_follow(int fd);
/* Unlinks and frees the entry for fd: 0, or -1 when there is none. */
int _sio_trim(int fd);

/* Opens (or reuses, when registered) port raw at baud with the given
 * framing (data: CS5..CS8; parity 0 none, 1 odd, 2 even; stop 0 one, 2 two).
 * Returns the descriptor, or 0 on any failure: bad codes (checked before any
 * descriptor is touched), a path that cannot be opened, or one that is not a
 * terminal whose settings can be read and set (a regular file, a FIFO,
 * /dev/null: opened for the check only, nothing written).
 * Opening a registered path again counts one more user of the same
 * descriptor: the new framing and speed then apply to every user (the last
 * open's settings are in force), while the settings to restore stay those
 * found by the first open. */
int sio_open(const char *port, speed_t baud, tcflag_t data, tcflag_t parity, tcflag_t stop);
/* Gives up one user of fd. The last user restores the saved settings, drops
 * the entry and closes: 0, or -1 when close fails. */
int sio_close(int fd);
/* Non-canonical input (clears ICRNL and ICANON); pending input is discarded. */
void sio_set_noncan(int fd);
/* Canonical input (sets ICRNL and ICANON); pending input is discarded. */
void sio_set_canon(int fd);
/* Read timer: VMIN and VTIME (tenths of a second); pending input is discarded. */
void sio_set_timer(int fd, cc_t vmin, cc_t vtime);
/* New speed, then writes one "\r". 0, or -1 when the speed cannot be set:
 * the descriptor is then closed and its entry removed. */
int sio_set_baud(int fd, speed_t baud);

FIELDBUS_END_DECLS

#endif

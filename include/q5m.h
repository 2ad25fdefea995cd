/* Module command protocol: one ASCII command line out, one answer line back,
 * each ended by CR, optionally with two uppercase hexadecimal checksum
 * characters before the CR. Works on a descriptor opened by sio_open; how
 * long a read waits is up to the descriptor's VMIN/VTIME. No state: one
 * thread at a time per descriptor. */
#ifndef FIELDBUS_Q5M_H
#define FIELDBUS_Q5M_H

#include "common.h"

FIELDBUS_BEGIN_DECLS

/* Copies cmd up to its first NUL, CR or LF into cbuf and appends CR and NUL.
 * cbuf needs the command length + 2 bytes. Returns cbuf. */
char *_q5m_gum_cr(void *cbuf, const char *cmd);

/* As _q5m_gum_cr, with the two checksum characters (byte sum modulo 256,
 * uppercase hex, high digit first) before the CR. cbuf needs length + 4. */
char *_q5m_gum_chksum(void *cbuf, const char *cmd);

/* Checks a received line, which ends at its first CR, LF or NUL: 0 when the
 * last two characters are the checksum of those before them, else -1. A line
 * of fewer than two characters cannot carry a checksum and gives -1. */
int _q5m_chksum(const char *str);

/* The receivers below store at most rmax answer bytes into rbuf and may put a
 * NUL after them, so rbuf holds rmax + 1 bytes; a negative rmax gives -1.
 * Line readers read byte by byte up to and including the first CR and return
 * the count stored (NUL-terminated), 0 when a read ran out of time before the
 * CR, -1 on a failed read; after 0 or -1 rbuf holds the bytes so far, not
 * terminated. One-read members do a single read and return its count, the
 * answer terminated, or -1. Checksum members refuse a command of more than 124
 * characters and an answer failing _q5m_chksum with -1. Members taking texp
 * store the microseconds the call took there (texp may be null). */

/* Sends the checksum line of cmd, then reads the answer line and checks it. */
int q5m_send_readt_cs(int fd, const char *cmd, char *rbuf, int rmax, __tod_t *texp);
/* Writes cmd unchanged (no CR added), then reads the answer line. */
int q5m_send_readt(int fd, const char *cmd, char *rbuf, int rmax, __tod_t *texp);
/* Sends the checksum line of cmd, then one read, checked. */
int q5m_send_read_cs(int fd, const char *cmd, char *rbuf, int rmax);
/* Writes cmd unchanged, then one read. */
int q5m_send_read(int fd, const char *cmd, char *rbuf, int rmax);
/* Reads an answer line and checks its checksum. */
int q5m_readt_cs(int fd, char *rbuf, int rmax, __tod_t *texp);
/* Reads an answer line. */
int q5m_readt(int fd, char *rbuf, int rmax, __tod_t *texp);
/* One read, checked; an empty read fails the check (-1). */
int q5m_read_cs(int fd, char *rbuf, int rmax);
/* One read: whatever had arrived, possibly part of a line. */
int q5m_read(int fd, char *rbuf, int rmax);
/* Writes the checksum line of cmd in one write: 0, or -1 when the write
 * failed or cmd is longer than 124 characters (then nothing is written). */
int q5m_send_cs(int fd, const char *cmd);
/* Writes cmd unchanged in one write: 0, or -1 when the write failed. */
int q5m_send(int fd, const char *cmd);

FIELDBUS_END_DECLS

#endif

// The server's levelled log file: one entry per call, stamped with a level
// label and the local time, flushed at once, appended to (so that a copy and
// truncate by a rotation tool leaves no hole), moved to "<path>.1" when it
// grows past its entry limit. Safe to call from several threads.
#pragma once

// Keeps `path` (the caller's buffer, not a copy), sets the entry limit when
// maxlogline > 0, the level when level >= 0 and the banner when shorter than
// 128 characters, then moves a non-empty file at the path to "<path>.1"
// (replacing an older one: the previous run's entries are kept), opens the
// path for appending and writes the start entry.
// 0, or -1 when the file cannot be opened (every later entry is then -1).
int initLog(char *path, int maxlogline, int level, const char *banner);

// Levelled entry "[label] time : message". 0 when written or when `level` is
// above the log level; -1 when no log is open.
int logMsg(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Error entry, written at any log level, on one line (a newline ending the
// message is dropped), followed by strerror(errno) of the moment of the call
// unless errno is 0. Always -1.
int logError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Hexadecimal dump of `size` bytes of `data`, 16 to a line; results as logMsg.
int logMsgDump(int level, char *data, int size);

// Warning entry for a refused client request of `kind` (the region's request
// slot kinds, 0 to 7): the first 5 of each kind within a minute are written,
// the rest only counted; once the minute is over one entry says how many
// were not written. A flood of refusals costs a count, not the log.
void logRefusal(int kind, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Writes what is due of the counts logRefusal holds back; for the server's
// run loop, which calls it now and then.
void logService(void);

// Opens the path again (after a rotation tool moved the file away, the new
// entries go to a new file under the path) and continues there; the old
// file is closed. Safe against entries written at the same time. When the
// path cannot be opened the log goes on in the file it had.
void reopenLog(void);

// Closes the log file; later entries return -1 until initLog opens it again.
void finiLog(void);

// The server's levelled log file: one entry per call, stamped with a level
// label and the local time, flushed at once, emptied when it grows past its
// entry limit. Safe to call from several threads.
#pragma once

// Keeps `path` (the caller's buffer, not a copy), sets the entry limit when
// maxlogline > 0, the level when level >= 0 and the banner when shorter than
// 128 characters, then opens the file emptied and writes the start entry.
// 0, or -1 when the file cannot be opened (every later entry is then -1).
int initLog(char *path, int maxlogline, int level, const char *banner);

// Levelled entry "[label] time : message". 0 when written or when `level` is
// above the log level; -1 when no log is open.
int logMsg(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Error entry, written at any log level, with strerror(errno) of the moment
// of the call. Always -1.
int logError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Hexadecimal dump of `size` bytes of `data`, 16 to a line; results as logMsg.
int logMsgDump(int level, char *data, int size);

// Closes the log file; later entries return -1 until initLog opens it again.
void finiLog(void);

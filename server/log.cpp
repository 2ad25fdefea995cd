// The server's levelled log file.
#include "log.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Longest message text of one entry; longer ones are cut.
constexpr size_t kTextSize = 4096;

FILE *logfp = nullptr;
int logline = 0;
char *logfile = nullptr;
int MAXLOGLINE = 1024;
int logLevel = 2;
char strBanner[128] = "Server";

// The last entry written (label and text), and how many identical entries
// have come since without being written: a client that floods refused
// requests must not be able to push everything else out of the log.
char lastEntry[kTextSize + 16] = "";
char lastLabel[16] = "";
int repeats = 0;

// One lock around the limit test, the re-open and the write: a thread must
// never write into a stream that another thread is closing at the limit.
pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER;

struct Guard {
    Guard() { pthread_mutex_lock(&logLock); }
    ~Guard() { pthread_mutex_unlock(&logLock); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

struct Label {
    char text[16];
};

Label labelFor(int level) {
    static constexpr const char *kNames[] = {"ERROR ", "WARN  ", "INFO  ", "DEBUG "};
    Label l{};
    if (level <= 3)
        std::snprintf(l.text, sizeof l.text, "%s", kNames[level < 0 ? 0 : level]);
    else
        std::snprintf(l.text, sizeof l.text, "DEBUG%d", level - 3);
    return l;
}

// ctime's 24 characters without its newline, from a thread-safe call.
struct Stamp {
    char text[32];
};

Stamp stampOf(time_t when) {
    Stamp s{};
    if (ctime_r(&when, s.text) == nullptr) s.text[0] = '\0';
    return s;
}

// Opens the log emptied, without following a symbolic link: the server runs
// as root and must not be led into truncating whatever file a link names.
FILE *openLogFile(const char *path) {
    if (path == nullptr) return nullptr;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    FILE *fp = fdopen(fd, "w");
    if (fp == nullptr) close(fd);
    return fp;
}

// Steps shared by every entry, with the lock held: empties the file at the
// limit (writing the clear header with `clearLabel`), then counts the entry.
// False when no log is open afterwards.
bool prepareEntry(const Stamp &stamp, const char *clearLabel) {
    if (logline > MAXLOGLINE) {
        if (logfp != nullptr) std::fclose(logfp);
        logfp = openLogFile(logfile);
        if (logfp == nullptr) return false;
        logline = 0;
        std::fprintf(logfp, "%s Log\n", strBanner);
        std::fprintf(logfp, "[%s] %.24s clear log\n", clearLabel, stamp.text);
    }
    if (logfp == nullptr) return false;
    ++logline;
    return true;
}

// With the lock held: whether the entry `text` under `label` repeats the
// last one written, which is then only counted. A different entry first
// writes how often the last one was held back.
bool heldBack(const char *label, const char *text, const Stamp &stamp) {
    char entry[sizeof lastEntry];
    std::snprintf(entry, sizeof entry, "%s|%s", label, text);
    if (logfp != nullptr && std::strcmp(entry, lastEntry) == 0) {
        ++repeats;
        return true;
    }
    std::memcpy(lastEntry, entry, sizeof lastEntry);
    if (repeats > 0 && prepareEntry(stamp, "INFO")) {
        std::fprintf(logfp, "[%s] %.24s : last message repeated %d times\n", lastLabel, stamp.text,
                     repeats);
    }
    std::snprintf(lastLabel, sizeof lastLabel, "%s", label);
    repeats = 0;
    return false;
}

// Writes out the count of entries held back, at the end of the log.
void flushRepeats() {
    if (repeats == 0 || logfp == nullptr) return;
    const Stamp stamp = stampOf(std::time(nullptr));
    std::fprintf(logfp, "[%s] %.24s : last message repeated %d times\n", lastLabel, stamp.text,
                 repeats);
    std::fflush(logfp);
    repeats = 0;
}

}  // namespace

int initLog(char *path, int maxlogline, int level, const char *banner) {
    {
        Guard g;
        logfile = path;
        if (maxlogline > 0) MAXLOGLINE = maxlogline;
        if (level >= 0) logLevel = level;
        std::snprintf(strBanner, sizeof strBanner, "%s", "Server");
        if (banner != nullptr && std::strlen(banner) < sizeof strBanner)
            std::snprintf(strBanner, sizeof strBanner, "%s", banner);
        if (logfp != nullptr) std::fclose(logfp);
        logfp = openLogFile(path);
        logline = 0;
        lastEntry[0] = '\0';
        repeats = 0;
        if (logfp == nullptr) return -1;
    }
    logMsg(2, "%s Log Start", strBanner);
    return 0;
}

int logMsg(int level, const char *fmt, ...) {
    if (level > logLevel) return 0;
    const Label label = labelFor(level);
    const Stamp stamp = stampOf(std::time(nullptr));
    char text[kTextSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    Guard g;
    if (heldBack(label.text, text, stamp)) return 0;
    if (!prepareEntry(stamp, "INFO")) return -1;
    std::fprintf(logfp, "[%s] %.24s : %s\n", label.text, stamp.text, text);
    std::fflush(logfp);
    return 0;
}

int logError(const char *fmt, ...) {
    const int err = errno;  // before anything below can change it
    const Stamp stamp = stampOf(std::time(nullptr));
    char text[kTextSize];
    va_list ap;
    va_start(ap, fmt);
    int len = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    len = len < 0 ? 0 : std::min<int>(len, sizeof text - 1);
    std::snprintf(text + len, sizeof text - static_cast<size_t>(len), " (%s)", std::strerror(err));
    Guard g;
    if (heldBack("ERROR ", text, stamp)) return -1;
    if (!prepareEntry(stamp, "INFO")) return -1;
    std::fprintf(logfp, "[ERROR ] %.24s : %s\n", stamp.text, text);
    std::fflush(logfp);
    return -1;
}

int logMsgDump(int level, char *data, int size) {
    if (level > logLevel) return 0;
    const Label label = labelFor(level);
    const Stamp stamp = stampOf(std::time(nullptr));
    Guard g;
    lastEntry[0] = '\0';  // a dump is never held back, nor taken for a repeat
    if (!prepareEntry(stamp, "INFO  ")) return -1;
    std::fprintf(logfp, "[%s] %.24s : dump %d bytes", label.text, stamp.text, size);
    for (int i = 0; data != nullptr && i < size; ++i) {
        if (i % 16 == 0) std::fprintf(logfp, "\n%02X : ", static_cast<unsigned>(i));
        std::fprintf(logfp, "%02X ", static_cast<unsigned>(static_cast<unsigned char>(data[i])));
    }
    std::fputc('\n', logfp);
    std::fflush(logfp);
    return 0;
}

void finiLog(void) {
    Guard g;
    flushRepeats();
    if (logfp != nullptr) std::fclose(logfp);
    logfp = nullptr;
}

// The server's levelled log file.
#include "log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
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

// Refusals of client requests are limited per request kind as well: a client
// alternating two refused requests is not folded by the repeat count above,
// and would otherwise fill the file to its limit within seconds. Per kind,
// this many entries within a window; the rest are counted, and the count is
// written once the window is over. The last budget takes kinds out of range.
constexpr int kRefusalKinds = 8;
constexpr int kRefusalsPerWindow = 5;
constexpr long long kRefusalWindowMs = 60000;

struct RefusalBudget {
    bool open = false;  // a window runs, since sinceMs
    long long sinceMs = 0;
    int written = 0;
    int dropped = 0;
    int kind = 0;  // as the count entry names it
};
std::array<RefusalBudget, kRefusalKinds + 1> refusals{};

long long monotonicMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The clock of the refusal windows: monotonic, so that setting the wall
// clock neither opens the flood gates nor holds counts back for good. The
// unit tests put a clock of their own here.
long long (*logClockMs)() = monotonicMs;

// One lock around the limit test, the re-open and the write: a thread must
// never write into a stream that another thread is closing at the limit or
// at a reopen.
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

// Opens the log for appending (`empty`: emptied first), without following a
// symbolic link: the server runs as root and must not be led into writing
// whatever file a link names. Appending matters when a rotation tool copies
// the file and truncates it under the server: a plain write would go on at
// the old offset, behind a hole of zero bytes.
FILE *openLogFile(const char *path, bool empty) {
    if (path == nullptr) return nullptr;
    const int flags =
        O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | (empty ? O_TRUNC : 0);
    const int fd = open(path, flags, 0644);
    if (fd < 0) return nullptr;
    FILE *fp = fdopen(fd, "a");
    if (fp == nullptr) close(fd);
    return fp;
}

// Moves a non-empty file at `path` to "<path>.1", replacing an older one, so
// that the entries it holds are kept. True when moved or when there is
// nothing to keep; false for anything else at the path (a link is not moved:
// opening the path then refuses it) or when the rename fails.
bool moveToPrevious(const char *path) {
    struct stat st {};
    if (lstat(path, &st) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) return false;
    if (st.st_size == 0) return true;  // an empty file must not replace the .1 there
    char previous[PATH_MAX];
    if (std::snprintf(previous, sizeof previous, "%s.1", path) >= static_cast<int>(sizeof previous))
        return false;
    return std::rename(path, previous) == 0;
}

// Steps shared by every entry, with the lock held: at the limit moves the
// file's entries to "<path>.1" and starts a new file (writing the header with
// `clearLabel`), then counts the entry. False when no log is open afterwards.
bool prepareEntry(const Stamp &stamp, const char *clearLabel) {
    if (logline > MAXLOGLINE) {
        if (logfp != nullptr) std::fclose(logfp);
        // A file that cannot be moved is emptied instead: whatever happens,
        // the log stays bounded.
        const bool moved = logfile != nullptr && moveToPrevious(logfile);
        logfp = openLogFile(logfile, !moved);
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

// With the lock held: one entry "[label] time : text", unless it repeats the
// last one. False when no log is open.
bool writeEntry(const char *label, const char *text, const Stamp &stamp) {
    if (heldBack(label, text, stamp)) return true;
    if (!prepareEntry(stamp, "INFO")) return false;
    std::fprintf(logfp, "[%s] %.24s : %s\n", label, stamp.text, text);
    std::fflush(logfp);
    return true;
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

// With the lock held: ends the refusal window of `b` once it is over (at
// once when `force`), writing how many refusals it did not write.
void closeWindow(RefusalBudget &b, long long nowMs, bool force) {
    if (!b.open || (!force && nowMs - b.sinceMs < kRefusalWindowMs)) return;
    if (b.dropped > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "%d more refused requests of kind %d not logged",
                      b.dropped, b.kind);
        writeEntry(labelFor(1).text, text, stampOf(std::time(nullptr)));
    }
    b = RefusalBudget{};
}

bool sameFile(FILE *a, FILE *b) {
    struct stat sa {
    }, sb{};
    return a != nullptr && b != nullptr && fstat(fileno(a), &sa) == 0 &&
           fstat(fileno(b), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
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
        // The previous run's entries (those that tell why it ended) are kept;
        // where they cannot be moved, this run's are added after them.
        if (path != nullptr) moveToPrevious(path);
        logfp = openLogFile(path, false);
        logline = 0;
        lastEntry[0] = '\0';
        repeats = 0;
        refusals = {};
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
    return writeEntry(label.text, text, stamp) ? 0 : -1;
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
    // One line per event: the reason goes on the message's own line, and
    // only where the system gave one (a time-out has none).
    while (len > 0 && text[len - 1] == '\n') text[--len] = '\0';
    if (err != 0)
        std::snprintf(text + len, sizeof text - static_cast<size_t>(len), " (%s)",
                      std::strerror(err));
    Guard g;
    writeEntry("ERROR ", text, stamp);
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

void logRefusal(int kind, const char *fmt, ...) {
    if (1 > logLevel) return;
    const Stamp stamp = stampOf(std::time(nullptr));
    char text[kTextSize];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    const long long now = logClockMs();
    Guard g;
    RefusalBudget &b = refusals[kind >= 0 && kind < kRefusalKinds ? kind : kRefusalKinds];
    closeWindow(b, now, false);
    if (!b.open) {
        b.open = true;
        b.sinceMs = now;
    }
    b.kind = kind;
    if (b.written >= kRefusalsPerWindow) {
        ++b.dropped;
        return;
    }
    ++b.written;
    writeEntry(labelFor(1).text, text, stamp);
}

void logService(void) {
    const long long now = logClockMs();
    Guard g;
    for (RefusalBudget &b : refusals) closeWindow(b, now, false);
}

void reopenLog(void) {
    const Stamp stamp = stampOf(std::time(nullptr));
    Guard g;
    if (logfile == nullptr) return;  // not opened, or closed for good
    FILE *fp = openLogFile(logfile, false);
    if (fp == nullptr) {
        char text[kTextSize];
        std::snprintf(text, sizeof text, "log file %.3000s not reopened (%s): written on here",
                      logfile, std::strerror(errno));
        writeEntry(labelFor(1).text, text, stamp);
        return;
    }
    flushRepeats();  // the count belongs beside the entry it counts
    // A reopen of the very file the log writes (a signal with no rotation
    // before it) keeps its count towards the limit.
    if (!sameFile(logfp, fp)) logline = 0;
    if (logfp != nullptr) std::fclose(logfp);
    logfp = fp;
    lastEntry[0] = '\0';
    if (logLevel >= 2) writeEntry(labelFor(2).text, "log file reopened", stamp);
}

void finiLog(void) {
    Guard g;
    for (RefusalBudget &b : refusals) closeWindow(b, 0, true);
    flushRepeats();
    if (logfp != nullptr) std::fclose(logfp);
    logfp = nullptr;
    logfile = nullptr;
}

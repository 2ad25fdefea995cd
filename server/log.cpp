// The server's levelled log file.
#include "log.h"

#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

FILE *logfp = nullptr;
int logline = 0;
char *logfile = nullptr;
int MAXLOGLINE = 1024;
int logLevel = 2;
char strBanner[128] = "Server";

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

// Steps shared by every entry, with the lock held: empties the file at the
// limit (writing the clear header with `clearLabel`), then counts the entry.
// False when no log is open afterwards.
bool prepareEntry(const Stamp &stamp, const char *clearLabel) {
    if (logline > MAXLOGLINE) {
        if (logfp != nullptr) std::fclose(logfp);
        logfp = logfile != nullptr ? std::fopen(logfile, "w") : nullptr;
        if (logfp == nullptr) return false;
        logline = 0;
        std::fprintf(logfp, "%s Log\n", strBanner);
        std::fprintf(logfp, "[%s] %.24s clear log\n", clearLabel, stamp.text);
    }
    if (logfp == nullptr) return false;
    ++logline;
    return true;
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
        logfp = path != nullptr ? std::fopen(path, "w") : nullptr;
        logline = 0;
        if (logfp == nullptr) return -1;
    }
    logMsg(2, "%s Log Start", strBanner);
    return 0;
}

int logMsg(int level, const char *fmt, ...) {
    if (level > logLevel) return 0;
    const Label label = labelFor(level);
    const Stamp stamp = stampOf(std::time(nullptr));
    Guard g;
    if (!prepareEntry(stamp, "INFO")) return -1;
    std::fprintf(logfp, "[%s] %.24s : ", label.text, stamp.text);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(logfp, fmt, ap);
    va_end(ap);
    std::fputc('\n', logfp);
    std::fflush(logfp);
    return 0;
}

int logError(const char *fmt, ...) {
    const int err = errno;  // before anything below can change it
    const Stamp stamp = stampOf(std::time(nullptr));
    Guard g;
    if (!prepareEntry(stamp, "INFO")) return -1;
    std::fprintf(logfp, "[ERROR ] %.24s : ", stamp.text);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(logfp, fmt, ap);
    va_end(ap);
    std::fprintf(logfp, " (%s)\n", std::strerror(err));
    std::fflush(logfp);
    return -1;
}

int logMsgDump(int level, char *data, int size) {
    if (level > logLevel) return 0;
    const Label label = labelFor(level);
    const Stamp stamp = stampOf(std::time(nullptr));
    Guard g;
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
    if (logfp != nullptr) std::fclose(logfp);
    logfp = nullptr;
}

// Two-wire RS-485 on COM ports: settings by port number, the direction of
// the transceiver, and the echo check on what comes back after a frame.
#include "rs485.h"

#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msw.h"

namespace fieldbus::rs485 {
namespace {

constexpr unsigned kPorts = 50;
constexpr int kKnownFlags = FIELDBUS_RS485_ON | FIELDBUS_RS485_RTS_LOW | FIELDBUS_RS485_ECHO;
// A pause longer than this between two reads ends a burst: bytes of our own
// echo before it are not handed on with a reply that follows it.
constexpr long long kMinGapUs = 5000;
// How much later than its last byte's time on the line an echo may still
// come back: USB adapters hand input on in packets, every 16 ms by default.
constexpr long long kEchoSlackUs = 20000;

// ---- settings by port number ----

std::array<bool, kPorts> called{};
std::array<Settings, kPorts> given{};

// ---- the system's calls ----

int sysGetMode(int fd, serial_rs485 *conf) {
    return ioctl(fd, TIOCGRS485, conf);
}
int sysSetMode(int fd, serial_rs485 *conf) {
    return ioctl(fd, TIOCSRS485, conf);
}
int sysSetRts(int fd, bool high) {
    const int bits = TIOCM_RTS;
    return ioctl(fd, high ? TIOCMBIS : TIOCMBIC, &bits);
}
int sysDrain(int fd) {
    return tcdrain(fd);
}
long long sysNowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
void sysSleepUntilUs(long long t) {
    const timespec until{static_cast<time_t>(t / 1000000), static_cast<long>(t % 1000000) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

constexpr LineCalls kSystem{sysGetMode, sysSetMode, sysSetRts, sysDrain, sysNowUs, sysSleepUntilUs};
const LineCalls *calls = &kSystem;

// ---- descriptors under RS-485 ----

enum class Direction { none, kernel, rts };

// Bytes that went out, or that were taken from the line and are owed to a
// reader. Grown as needed, freed with the descriptor's state.
struct Buffer {
    uint8_t *data = nullptr;
    size_t size = 0, capacity = 0;
    bool reserve(size_t n) {
        if (n <= capacity) return true;
        auto *grown = static_cast<uint8_t *>(std::realloc(data, n));
        if (grown == nullptr) return false;
        data = grown;
        capacity = n;
        return true;
    }
    void release() {
        std::free(data);
        *this = Buffer{};
    }
};

struct Line {
    int fd = -1;  // -1: a free entry
    Settings settings;
    Direction direction = Direction::none;
    serial_rs485 found{};  // the kernel's mode before Open_Com set it
    long long charUs = 0;
    // The echo to expect: echo.data[0 .. echo.size) went out; `matched` of
    // them came back so far, the ones from `burstAt` on in the present burst.
    Buffer echo;
    bool expecting = false;
    size_t matched = 0, burstAt = 0;
    long long lastReadUs = 0;
    // Bytes owed to a reader, handed out from `owedAt`.
    Buffer owed;
    size_t owedAt = 0;

    bool rtsLow() const { return (settings.flags & FIELDBUS_RS485_RTS_LOW) != 0; }
    long long gapUs() const { return std::max(kMinGapUs, 4 * charUs); }
};

// At most one descriptor per port number is open at a time.
std::array<Line, kPorts> lines{};
unsigned inUse = 0;

Line *find(int fd) {
    if (inUse == 0) return nullptr;
    for (Line &l : lines)
        if (l.fd == fd) return &l;
    return nullptr;
}

void drop(Line *l) {
    l->echo.release();
    l->owed.release();
    *l = Line{};
    --inUse;
}

// Puts n bytes ahead of what is owed to readers.
void oweFirst(Line *l, const uint8_t *data, size_t n) {
    const size_t rest = l->owed.size - l->owedAt;
    if (!l->owed.reserve(rest + n)) return;
    std::memmove(l->owed.data + n, l->owed.data + l->owedAt, rest);
    std::memcpy(l->owed.data, data, n);
    l->owed.size = rest + n;
    l->owedAt = 0;
}

// Reads at most `room` bytes and takes the expected echo out of them: the
// count handed to buf, 0 when the line had nothing (or hung up), -1 with
// errno on a failed read, and -2 when all that came was echo.
ssize_t filterRead(Line *l, uint8_t *buf, size_t room) {
    if (l->owedAt < l->owed.size) {
        const size_t n = std::min(room, l->owed.size - l->owedAt);
        std::memcpy(buf, l->owed.data + l->owedAt, n);
        l->owedAt += n;
        return static_cast<ssize_t>(n);
    }
    if (!l->expecting) return ::read(l->fd, buf, room);
    // No further than the echo's end: what follows it stays on the line.
    uint8_t got[256];
    const size_t want = std::min({room, l->echo.size - l->matched, sizeof got});
    const ssize_t n = ::read(l->fd, got, want);
    if (n <= 0) return n;
    const long long now = calls->nowUs();
    if (now - l->lastReadUs > l->gapUs()) l->burstAt = l->matched;
    l->lastReadUs = now;
    if (std::memcmp(got, l->echo.data + l->matched, static_cast<size_t>(n)) == 0) {
        l->matched += static_cast<size_t>(n);
        if (l->matched == l->echo.size) l->expecting = false;
        return -2;
    }
    // Not our frame after all: what came in this burst is the far end's,
    // the matching start included (an answer begins with the address the
    // request began with). What came before a pause was a broken echo of
    // ours and goes.
    l->expecting = false;
    const size_t early = l->matched - l->burstAt;
    if (early == 0) {
        std::memcpy(buf, got, static_cast<size_t>(n));
        return n;
    }
    oweFirst(l, got, static_cast<size_t>(n));
    oweFirst(l, l->echo.data + l->burstAt, early);
    return filterRead(l, buf, room);
}

void forgetHeld(Line *l) {
    l->owed.size = 0;
    l->owedAt = 0;
}

}  // namespace

bool valid(const Settings &s) {
    if ((s.flags & ~kKnownFlags) != 0) return false;
    if (s.beforeUs < 0 || s.beforeUs > kMaxDelayUs || s.afterUs < 0 || s.afterUs > kMaxDelayUs)
        return false;
    const bool on = (s.flags & FIELDBUS_RS485_ON) != 0;
    return on || ((s.flags & FIELDBUS_RS485_RTS_LOW) == 0 && s.beforeUs == 0 && s.afterUs == 0);
}

bool parse(const char *text, Settings *out) {
    Settings s;
    const char *p = text;
    for (;;) {
        const char *end = std::strchr(p, ',');
        if (end == nullptr) end = p + std::strlen(p);
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        const char *last = end;
        while (last > p && (last[-1] == ' ' || last[-1] == '\t')) --last;
        const auto word = static_cast<size_t>(last - p);
        auto is = [&](const char *w) {
            return word == std::strlen(w) && strncasecmp(p, w, word) == 0;
        };
        // before=N / after=N: 1 to 6 digits, nothing else.
        auto number = [&](const char *key, int *value) {
            const size_t k = std::strlen(key);
            if (word <= k || word > k + 6 || strncasecmp(p, key, k) != 0) return false;
            int v = 0;
            for (const char *d = p + k; d < last; ++d) {
                if (*d < '0' || *d > '9') return false;
                v = v * 10 + (*d - '0');
            }
            *value = v;
            return true;
        };
        if (is("on"))
            s.flags |= FIELDBUS_RS485_ON;
        else if (is("rts-low"))
            s.flags |= FIELDBUS_RS485_RTS_LOW;
        else if (is("echo"))
            s.flags |= FIELDBUS_RS485_ECHO;
        else if (!number("before=", &s.beforeUs) && !number("after=", &s.afterUs))
            return false;
        if (*end == '\0') break;
        p = end + 1;
    }
    if (!valid(s)) return false;
    *out = s;
    return true;
}

bool settingsFor(unsigned port, Settings *out) {
    if (called[port - 1]) {
        *out = given[port - 1];
        return true;
    }
    char var[32];
    std::snprintf(var, sizeof var, "FIELDBUS_COM%u_RS485", port);
    const char *env = std::getenv(var);
    *out = Settings{};
    if (env == nullptr || *env == '\0') return true;
    if (parse(env, out)) return true;
    errno = EINVAL;
    return false;
}

const LineCalls *useLineCalls(const LineCalls *next) {
    const LineCalls *before = calls;
    calls = next != nullptr ? next : &kSystem;
    return before;
}

int atOpen(unsigned port, int fd, bool shared, long long charUs) {
    Settings s;
    if (!settingsFor(port, &s)) return -1;
    Line *l = find(fd);
    // A descriptor new to the registry only has the number of one closed
    // behind the library's back: nothing of that one applies to it.
    if (l != nullptr && !shared) {
        drop(l);
        l = nullptr;
    }
    const bool wasKernel = l != nullptr && l->direction == Direction::kernel;
    if (s.flags == 0) {
        if (wasKernel) calls->setMode(fd, &l->found);
        if (l != nullptr) drop(l);
        return 0;
    }
    Direction direction = Direction::none;
    serial_rs485 found{};
    if ((s.flags & FIELDBUS_RS485_ON) != 0) {
        if (wasKernel)
            found = l->found;
        else if (calls->getMode(fd, &found) != 0)
            found = serial_rs485{};
        serial_rs485 conf{};
        const bool low = (s.flags & FIELDBUS_RS485_RTS_LOW) != 0;
        conf.flags = SER_RS485_ENABLED | (low ? SER_RS485_RTS_AFTER_SEND : SER_RS485_RTS_ON_SEND);
        // The kernel counts whole milliseconds: never shorter than asked.
        conf.delay_rts_before_send = static_cast<uint32_t>((s.beforeUs + 999) / 1000);
        conf.delay_rts_after_send = static_cast<uint32_t>((s.afterUs + 999) / 1000);
        if (calls->setMode(fd, &conf) == 0 && (conf.flags & SER_RS485_ENABLED) != 0) {
            direction = Direction::kernel;
        } else {
            // No such mode in the driver: RTS is switched from here, and
            // released from the start (the open raised it).
            if (calls->setRts(fd, low) != 0) return -1;
            direction = Direction::rts;
        }
    }
    if (wasKernel && direction != Direction::kernel) calls->setMode(fd, &l->found);
    for (size_t i = 0; l == nullptr && i < lines.size(); ++i)
        if (lines[i].fd < 0) {
            l = &lines[i];
            l->fd = fd;
            ++inUse;
        }
    if (l == nullptr) {
        errno = EMFILE;
        return -1;
    }
    l->settings = s;
    l->direction = direction;
    l->found = found;
    l->charUs = charUs;
    l->expecting = false;
    forgetHeld(l);
    return 0;
}

void atClose(int fd) {
    Line *l = find(fd);
    if (l == nullptr) return;
    if (l->direction == Direction::kernel) calls->setMode(fd, &l->found);
    drop(l);
}

void beginFrame(int fd) {
    Line *l = find(fd);
    if (l == nullptr) return;
    const int saved = errno;
    l->expecting = false;
    forgetHeld(l);
    if (l->direction == Direction::rts) {
        calls->setRts(fd, !l->rtsLow());
        if (l->settings.beforeUs > 0) calls->sleepUntilUs(calls->nowUs() + l->settings.beforeUs);
    }
    errno = saved;
}

void endFrame(int fd, const void *sent, ssize_t count) {
    Line *l = find(fd);
    if (l == nullptr) return;
    const int saved = errno;
    if (l->direction == Direction::rts) {
        // Released only once the last stop bit has left the transmitter.
        calls->drain(fd);
        if (l->settings.afterUs > 0) calls->sleepUntilUs(calls->nowUs() + l->settings.afterUs);
        calls->setRts(fd, l->rtsLow());
    }
    if ((l->settings.flags & FIELDBUS_RS485_ECHO) != 0 && count > 0 &&
        l->echo.reserve(static_cast<size_t>(count))) {
        std::memcpy(l->echo.data, sent, static_cast<size_t>(count));
        l->echo.size = static_cast<size_t>(count);
        l->matched = l->burstAt = 0;
        l->lastReadUs = calls->nowUs();
        l->expecting = true;
    }
    errno = saved;
}

ssize_t read(int fd, void *buf, size_t room, bool blocking) {
    Line *l = find(fd);
    if (l == nullptr) return ::read(fd, buf, room);
    for (;;) {
        const ssize_t n = filterRead(l, static_cast<uint8_t *>(buf), room);
        if (n != -2) return n;
        if (!blocking) {
            errno = EAGAIN;
            return -1;
        }
    }
}

bool waiting(int fd) {
    const Line *l = find(fd);
    return l != nullptr && l->owedAt < l->owed.size;
}

void discarded(int fd) {
    if (Line *l = find(fd)) forgetHeld(l);
}

void settleEcho(int fd) {
    Line *l = find(fd);
    if (l == nullptr || !l->expecting) return;
    const long long end = calls->nowUs() +
                          static_cast<long long>(l->echo.size - l->matched) * l->charUs +
                          kEchoSlackUs;
    uint8_t got[256];
    while (l->expecting) {
        const long long left = end - calls->nowUs();
        if (left <= 0) return;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>((left + 999) / 1000));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p.revents & POLLIN) == 0) return;
        const ssize_t n = filterRead(l, got, sizeof got);
        if (n == -2) continue;
        // The far end's bytes are owed to the next reader.
        if (n > 0) oweFirst(l, got, static_cast<size_t>(n));
        return;
    }
}

}  // namespace fieldbus::rs485

extern "C" int Set_Com_RS485(char port, int flags, int delayBeforeUs, int delayAfterUs) {
    const auto n = static_cast<unsigned char>(port);
    const fieldbus::rs485::Settings s{flags, delayBeforeUs, delayAfterUs};
    if (n < 1 || n > fieldbus::rs485::kPorts || !fieldbus::rs485::valid(s)) return 2;
    fieldbus::rs485::called[n - 1] = true;
    fieldbus::rs485::given[n - 1] = s;
    return 0;
}

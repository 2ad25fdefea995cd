// Numbered COM ports: the port table, open and close by number, and the raw
// request/answer exchange.
#include "msw.h"

#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "msw_private.h"
#include "rs485.h"
#include "sio.h"

int _fd[50] = {0};

namespace {

constexpr int kPorts = 50;

constexpr bool validPort(unsigned char port) {
    return port >= 1 && port <= kPorts;
}

// Default device paths: 1..5 are /dev/ttyO<n>, 6..50 are /dev/ttyS<n-2>.
// Written once per port, on first use, into fixed storage: the registry keeps
// pointers to them, and a program that only reaches the serial layer through
// the Modbus engine needs no C++ runtime for them.
const char *defaultPath(unsigned char port) {
    static char paths[kPorts][16];  // "/dev/ttyS48" and room for the compiler's worst case
    char *path = paths[port - 1];
    if (path[0] == '\0') {
        if (port <= 5)
            std::snprintf(path, sizeof paths[0], "/dev/ttyO%u", static_cast<unsigned>(port));
        else
            std::snprintf(path, sizeof paths[0], "/dev/ttyS%u", static_cast<unsigned>(port - 2));
    }
    return path;
}

// Overridden paths. The registry stores the pointer it is given, so every
// path ever handed out stays alive for the process: interned, never freed.
struct Interned {
    Interned *next;
    char text[1];
};
Interned *interned = nullptr;
std::array<const char *, kPorts> overrides{};

const char *intern(const char *path) {
    for (Interned *i = interned; i != nullptr; i = i->next)
        if (std::strcmp(i->text, path) == 0) return i->text;
    const size_t len = std::strlen(path);
    auto *i = static_cast<Interned *>(std::malloc(sizeof(Interned) + len));
    if (i == nullptr) return nullptr;
    std::memcpy(i->text, path, len + 1);
    i->next = interned;
    interned = i;
    return i->text;
}

const char *devicePath(unsigned char port) {
    if (overrides[port - 1] != nullptr) return overrides[port - 1];
    char var[32];
    std::snprintf(var, sizeof var, "FIELDBUS_COM%u", static_cast<unsigned>(port));
    const char *env = std::getenv(var);
    if (env != nullptr && *env != '\0') {
        const char *kept = intern(env);
        if (kept != nullptr) return kept;
    }
    return defaultPath(port);
}

bool speedFor(DWORD baudrate, speed_t *speed) {
    static constexpr std::array<std::pair<DWORD, speed_t>, 8> kRates{{{1200, B1200},
                                                                      {2400, B2400},
                                                                      {4800, B4800},
                                                                      {9600, B9600},
                                                                      {19200, B19200},
                                                                      {38400, B38400},
                                                                      {57600, B57600},
                                                                      {115200, B115200}}};
    for (const auto &r : kRates)
        if (r.first == baudrate) {
            *speed = r.second;
            return true;
        }
    return false;
}

// Exchanges are timed on the monotonic clock, so a step of the wall clock
// (set from the network after boot) neither cuts one short nor stretches it,
// and in 64 bits, so that a time-out of 65535 ms can be exceeded.
int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Ports whose line was last found hung up (adapter unplugged, far end gone).
// Such a line never recovers on the same descriptor; the flag goes with the
// next Open_Com or Close_Com of the port.
std::array<bool, kPorts> hungUp{};

// Open_Com and Close_Com calls per port (fieldbus::com::opening).
std::array<unsigned, kPorts> openings{};

constexpr WORD kExchangeFailed = 65535;

// True when a readiness report or a read result says the terminal has hung
// up or reached end of file: nothing can ever arrive on it again.
bool lineGone(short revents) {
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (revents & POLLIN) == 0;
}
bool readGone(ssize_t got) {
    return got == 0 || (got < 0 && errno == EIO);
}

// Puts the line into pure polling (VMIN 0, VTIME 0) without discarding input.
void setPolling(int fd) {
    struct sio *e = _sio_follow(fd);
    if (e == nullptr) return;
    e->options->c_cc[VMIN] = 0;
    e->options->c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, e->options);
}

// Gives up one share of a descriptor no entry of the table names any more;
// the last port number on it takes its RS-485 state along.
int releaseShare(int fd) {
    bool named = false;
    for (int other : _fd) named = named || other == fd;
    if (!named) fieldbus::rs485::atClose(fd);
    return sio_close(fd);
}

}  // namespace

unsigned fieldbus::com::opening(char port) {
    const auto n = static_cast<unsigned char>(port);
    return validPort(n) ? openings[n - 1] : 0;
}

extern "C" int Set_Com_Device(char port, const char *path) {
    const auto n = static_cast<unsigned char>(port);
    if (!validPort(n)) return 2;
    if (path == nullptr || *path == '\0') {
        overrides[n - 1] = nullptr;
        return 0;
    }
    const char *kept = intern(path);
    if (kept == nullptr) return 2;
    overrides[n - 1] = kept;
    return 0;
}

extern "C" const char *Get_Com_Device(char port) {
    const auto n = static_cast<unsigned char>(port);
    return validPort(n) ? devicePath(n) : nullptr;
}

extern "C" WORD Open_Com(char port, DWORD baudrate, char cData, char cParity, char cStop) {
    const auto n = static_cast<unsigned char>(port);
    if (!validPort(n)) return 2;
    speed_t speed = B0;
    if (!speedFor(baudrate, &speed)) return 3;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (cData < 5 || cData > 8) return 1;
    if (cParity != 0 && cParity != 1 && cParity != 2) return 1;
    if (cStop != 0 && cStop != 2) return 1;
    const char *path = devicePath(n);
    const bool shared = _sio_device(path) != 0;
    const int fd = sio_open(path, speed, kSizes[cData - 5], static_cast<tcflag_t>(cParity),
                            static_cast<tcflag_t>(cStop));
    if (fd == 0) return 2;
    // One character on the line: start, data, parity and stop bits.
    const long long charBits = 1 + cData + (cParity != 0 ? 1 : 0) + (cStop == 2 ? 2 : 1);
    if (fieldbus::rs485::atOpen(n, fd, shared, charBits * 1000000 / baudrate) != 0) {
        const int why = errno;
        sio_close(fd);
        errno = why;
        return 2;
    }
    // Opening a port again counts one more user of the descriptor in the
    // registry; the port keeps a single share, so the earlier one goes
    // (it only closes the device when the path changed in between).
    const int previous = _fd[n - 1];
    _fd[n - 1] = fd;
    if (previous != 0) releaseShare(previous);
    hungUp[n - 1] = false;
    ++openings[n - 1];
    return 0;
}

// A port whose table entry is 0 names no device: refused with 2 rather than
// acting on descriptor 0 (standard input) in its place.
extern "C" BOOL Close_Com(char port) {
    const auto n = static_cast<unsigned char>(port);
    if (!validPort(n) || _fd[n - 1] == 0) return 2;
    const int fd = _fd[n - 1];
    _fd[n - 1] = 0;
    if (releaseShare(fd) == -1) {
        _fd[n - 1] = fd;
        return 1;
    }
    hungUp[n - 1] = false;
    ++openings[n - 1];
    return 0;
}

// The wait blocks in poll() with the time that remains instead of spinning
// on non-blocking reads; the results, the elapsed time reported modulo 65536
// and the strictly-greater time-out test are those of a one-byte polling loop.
// A line that hangs up ends the exchange at once with 65535, which the Modbus
// engines take for a failed exchange. A receive-only call on a port already
// reported hung up waits out its time-out before it says so again, so that a
// slave loop polling a vanished device does not spin.
extern "C" WORD Send_Receive(char cPort, char *szCmd, WORD wLen, char *szResult, WORD wLenR,
                             WORD wTimeOut, WORD *wT) {
    const int64_t t_start = monotonicMs();
    auto elapsed = [t_start] { return monotonicMs() - t_start; };
    char *p = szResult;
    char *const limit = szResult + wLenR;
    const auto n = static_cast<unsigned char>(cPort);
    if (!validPort(n) || _fd[n - 1] == 0) return 2;
    const int fd = _fd[n - 1];
    setPolling(fd);
    auto gone = [&] {
        if (wLen == 0 && hungUp[n - 1])
            for (int64_t left = wTimeOut + 1 - elapsed(); left > 0; left = wTimeOut + 1 - elapsed())
                poll(nullptr, 0, static_cast<int>(left));
        hungUp[n - 1] = true;
        *wT = static_cast<WORD>(elapsed());
        return kExchangeFailed;
    };

    if (wLen != 0) {
        tcflush(fd, TCIFLUSH);
        fieldbus::rs485::beginFrame(fd);
        const ssize_t written = write(fd, szCmd, wLen);
        fieldbus::rs485::endFrame(fd, szCmd, written);
        if (written == -1) {
            if (errno == EIO) hungUp[n - 1] = true;  // a terminal that has hung up
            *wT = static_cast<WORD>(elapsed());
            return kExchangeFailed;
        }
    }

    while (p < limit) {
        const int64_t before = elapsed();
        // Time until the elapsed count first exceeds wTimeOut.
        const int wait = before > wTimeOut ? 0 : static_cast<int>(wTimeOut - before) + 1;
        pollfd pfd{fd, POLLIN, 0};
        // Bytes the echo check has taken from the line already: poll does
        // not see them.
        const bool held = fieldbus::rs485::waiting(fd);
        const int r = held ? 1 : poll(&pfd, 1, wait);
        if (held) pfd.revents = POLLIN;
        if (r > 0 && lineGone(pfd.revents)) return gone();
        // Once the time-out has passed, only the byte of this last poll
        // counts: what is waiting behind it stays on the line.
        const size_t room = elapsed() > wTimeOut ? 1 : static_cast<size_t>(limit - p);
        if (r > 0) {
            const ssize_t got = fieldbus::rs485::read(fd, p, room, false);
            if (got > 0)
                p += got;
            else if (readGone(got))
                return gone();
        }
        const int64_t now = elapsed();
        *wT = static_cast<WORD>(now);
        if (now > wTimeOut) return static_cast<WORD>(p - szResult);
    }
    *wT = static_cast<WORD>(elapsed());
    return wLenR;
}

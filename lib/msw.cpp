// Numbered COM ports: the port table, open and close by number, and the raw
// request/answer exchange.
#include "msw.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sio.h"
#include "timer.h"

int _fd[50] = {0};

namespace {

constexpr int kPorts = 50;

constexpr bool validPort(unsigned char port) {
    return port >= 1 && port <= kPorts;
}

// Default device paths: 1..5 are /dev/ttyO<n>, 6..50 are /dev/ttyS<n-2>.
// Built once; the registry keeps pointers to them.
const std::array<std::string, kPorts> &defaultPaths() {
    static const std::array<std::string, kPorts> paths = [] {
        std::array<std::string, kPorts> p;
        for (int n = 1; n <= kPorts; ++n)
            p[n - 1] =
                n <= 5 ? "/dev/ttyO" + std::to_string(n) : "/dev/ttyS" + std::to_string(n - 2);
        return p;
    }();
    return paths;
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
    return defaultPaths()[port - 1].c_str();
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

WORD elapsedSince(__tod_t start) {
    return static_cast<WORD>(_time_get_todMS() - start);
}

// Puts the line into pure polling (VMIN 0, VTIME 0) without discarding input.
void setPolling(int fd) {
    struct sio *e = _sio_follow(fd);
    if (e == nullptr) return;
    e->options->c_cc[VMIN] = 0;
    e->options->c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, e->options);
}

}  // namespace

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
    const int fd = sio_open(devicePath(n), speed, kSizes[cData - 5], static_cast<tcflag_t>(cParity),
                            static_cast<tcflag_t>(cStop));
    if (fd == 0) return 2;
    _fd[n - 1] = fd;
    return 0;
}

// A port whose table entry is 0 names no device: refused with 2 rather than
// acting on descriptor 0 (standard input) in its place.
extern "C" BOOL Close_Com(char port) {
    const auto n = static_cast<unsigned char>(port);
    if (!validPort(n) || _fd[n - 1] == 0) return 2;
    if (sio_close(_fd[n - 1]) == -1) return 1;
    _fd[n - 1] = 0;
    return 0;
}

// The wait blocks in poll() with the time that remains instead of spinning
// on non-blocking reads; the results, the 16-bit elapsed time and the
// strictly-greater time-out test are those of a one-byte polling loop.
extern "C" WORD Send_Receive(char cPort, char *szCmd, WORD wLen, char *szResult, WORD wLenR,
                             WORD wTimeOut, WORD *wT) {
    const __tod_t t_start = _time_get_todMS();
    char *p = szResult;
    char *const limit = szResult + wLenR;
    const auto n = static_cast<unsigned char>(cPort);
    if (!validPort(n) || _fd[n - 1] == 0) return 2;
    const int fd = _fd[n - 1];
    setPolling(fd);

    if (wLen != 0) {
        tcflush(fd, TCIFLUSH);
        if (write(fd, szCmd, wLen) == -1) {
            *wT = elapsedSince(t_start);
            return 65535;
        }
    }

    bool pollable = true;
    while (p < limit) {
        const WORD elapsed = elapsedSince(t_start);
        // Time until the elapsed count first exceeds wTimeOut.
        const int wait = elapsed > wTimeOut ? 0 : static_cast<int>(wTimeOut - elapsed) + 1;
        if (pollable) {
            pollfd pfd{fd, POLLIN, 0};
            const int r = poll(&pfd, 1, wait);
            if (r > 0 && (pfd.revents & POLLIN) == 0) pollable = false;  // hang-up or error
        } else if (wait > 0) {
            // The line reports hang-up without data: nothing can arrive, so
            // just let the time pass without burning the processor.
            poll(nullptr, 0, wait);
        }
        // Once the time-out has passed, only the byte of this last poll
        // counts: what is waiting behind it stays on the line.
        const WORD before = elapsedSince(t_start);
        const size_t room = before > wTimeOut ? 1 : static_cast<size_t>(limit - p);
        const ssize_t got = read(fd, p, room);
        *wT = elapsedSince(t_start);
        if (got > 0) {
            p += got;
            pollable = true;
        }
        if (*wT > wTimeOut) return static_cast<WORD>(p - szResult);
    }
    *wT = elapsedSince(t_start);
    return wLenR;
}

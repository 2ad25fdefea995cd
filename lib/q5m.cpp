// Module command protocol: building, checking, sending and reading lines.
#include "q5m.h"

#include <poll.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <ctime>

#include "rs485.h"

namespace {

// Longest command the checksum senders take: it fills cmd_buf with the two
// checksum characters, CR and NUL.
constexpr std::size_t kMaxChecksumCommand = 124;
constexpr std::size_t kCmdBufSize = kMaxChecksumCommand + 4;

constexpr bool endsLine(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}

constexpr char hexDigit(unsigned v) {
    return "0123456789ABCDEF"[v & 0xFU];
}

// Copies the command part of cmd into out and returns the number of bytes
// copied; *sum receives their byte sum.
std::size_t copyCommand(char *out, const char *cmd, unsigned *sum) {
    std::size_t n = 0;
    unsigned s = 0;
    for (; !endsLine(cmd[n]); ++n) {
        out[n] = cmd[n];
        s += static_cast<unsigned char>(cmd[n]);
    }
    *sum = s;
    return n;
}

// Microseconds on the monotonic clock: a step of the wall clock during an
// exchange must not show in the time it took.
__tod_t monotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<__tod_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// Stores the time the call took into *out when the call returns.
class Stopwatch {
  public:
    explicit Stopwatch(__tod_t *out) : out_(out), start_(monotonicUs()) {}
    ~Stopwatch() {
        if (out_ != nullptr) *out_ = monotonicUs() - start_;
    }
    Stopwatch(const Stopwatch &) = delete;
    Stopwatch &operator=(const Stopwatch &) = delete;

  private:
    __tod_t *out_;
    __tod_t start_;
};

int writeString(int fd, const char *line) {
    fieldbus::rs485::beginFrame(fd);
    const ssize_t written = write(fd, line, std::strlen(line));
    fieldbus::rs485::endFrame(fd, line, written);
    return written == -1 ? -1 : 0;
}

int sendChecksummed(int fd, const char *cmd) {
    if (std::strlen(cmd) > kMaxChecksumCommand) return -1;
    char cmd_buf[kCmdBufSize];
    return writeString(fd, _q5m_gum_chksum(cmd_buf, cmd));
}

// A read of 0 bytes is the read timer running out, unless the terminal has
// hung up (adapter unplugged, far end gone): a hung-up line reads 0 at once
// for ever, and callers must see a failure, not a module that is silent.
int emptyRead(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return -1;
    return 0;
}

// What the line reader got: a stored, terminated line of `value` bytes
// (complete), or the result of the read that ended it early, 0 (out of time)
// or -1 (failed), with the bytes so far in rbuf and no terminator.
struct Line {
    int value;
    bool complete;
};

// Byte by byte up to the CR, so whatever follows the line stays in the
// driver for the next reader.
Line readLine(int fd, char *rbuf, int rmax) {
    char *p = rbuf;
    char *const limit = rbuf + rmax;
    while (p < limit) {
        const ssize_t got = fieldbus::rs485::read(fd, p, 1, true);
        if (got <= 0) return {got < 0 ? -1 : emptyRead(fd), false};
        if (*p++ == '\r') break;
    }
    *p = '\0';
    return {static_cast<int>(p - rbuf), true};
}

int readOnce(int fd, char *rbuf, int rmax) {
    const ssize_t got = fieldbus::rs485::read(fd, rbuf, static_cast<std::size_t>(rmax), true);
    if (got < 0 || (got == 0 && emptyRead(fd) < 0)) return -1;
    rbuf[got] = '\0';
    return static_cast<int>(got);
}

// A stored answer (count >= 0, terminated) whose checksum is wrong fails.
int checked(int result, const char *rbuf) {
    return result >= 0 && _q5m_chksum(rbuf) != 0 ? -1 : result;
}

int checked(Line line, const char *rbuf) {
    return line.complete ? checked(line.value, rbuf) : line.value;
}

}  // namespace

extern "C" char *_q5m_gum_cr(void *cbuf, const char *cmd) {
    char *out = static_cast<char *>(cbuf);
    unsigned sum = 0;
    const std::size_t n = copyCommand(out, cmd, &sum);
    out[n] = '\r';
    out[n + 1] = '\0';
    return out;
}

extern "C" char *_q5m_gum_chksum(void *cbuf, const char *cmd) {
    char *out = static_cast<char *>(cbuf);
    unsigned sum = 0;
    const std::size_t n = copyCommand(out, cmd, &sum);
    out[n] = hexDigit(sum >> 4);
    out[n + 1] = hexDigit(sum);
    out[n + 2] = '\r';
    out[n + 3] = '\0';
    return out;
}

extern "C" int _q5m_chksum(const char *str) {
    if (str == nullptr) return -1;
    std::size_t len = 0;
    unsigned sum = 0;
    for (; !endsLine(str[len]); ++len) sum += static_cast<unsigned char>(str[len]);
    // Fewer than two characters cannot hold a checksum; looking for one
    // would read before the string.
    if (len < 2) return -1;
    const char high = str[len - 2];
    const char low = str[len - 1];
    sum -= static_cast<unsigned char>(high) + static_cast<unsigned char>(low);
    if (high != hexDigit(sum >> 4)) return -1;
    if (low != hexDigit(sum)) return -1;
    return 0;
}

extern "C" int q5m_send_cs(int fd, const char *cmd) {
    return sendChecksummed(fd, cmd);
}

extern "C" int q5m_send(int fd, const char *cmd) {
    return writeString(fd, cmd);
}

// A negative rmax would make the read size huge or the store position lie
// before rbuf: refused before anything is sent or read.
extern "C" int q5m_send_readt_cs(int fd, const char *cmd, char *rbuf, int rmax, __tod_t *texp) {
    Stopwatch watch(texp);
    if (rmax < 0 || sendChecksummed(fd, cmd) != 0) return -1;
    return checked(readLine(fd, rbuf, rmax), rbuf);
}

extern "C" int q5m_send_readt(int fd, const char *cmd, char *rbuf, int rmax, __tod_t *texp) {
    Stopwatch watch(texp);
    if (rmax < 0 || writeString(fd, cmd) != 0) return -1;
    return readLine(fd, rbuf, rmax).value;
}

extern "C" int q5m_send_read_cs(int fd, const char *cmd, char *rbuf, int rmax) {
    if (rmax < 0 || sendChecksummed(fd, cmd) != 0) return -1;
    return checked(readOnce(fd, rbuf, rmax), rbuf);
}

extern "C" int q5m_send_read(int fd, const char *cmd, char *rbuf, int rmax) {
    if (rmax < 0 || writeString(fd, cmd) != 0) return -1;
    return readOnce(fd, rbuf, rmax);
}

extern "C" int q5m_readt_cs(int fd, char *rbuf, int rmax, __tod_t *texp) {
    Stopwatch watch(texp);
    if (rmax < 0) return -1;
    return checked(readLine(fd, rbuf, rmax), rbuf);
}

extern "C" int q5m_readt(int fd, char *rbuf, int rmax, __tod_t *texp) {
    Stopwatch watch(texp);
    if (rmax < 0) return -1;
    return readLine(fd, rbuf, rmax).value;
}

extern "C" int q5m_read_cs(int fd, char *rbuf, int rmax) {
    if (rmax < 0) return -1;
    return checked(readOnce(fd, rbuf, rmax), rbuf);
}

extern "C" int q5m_read(int fd, char *rbuf, int rmax) {
    if (rmax < 0) return -1;
    return readOnce(fd, rbuf, rmax);
}

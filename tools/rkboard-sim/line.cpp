// The virtual board's end of the serial line and its serving loop.
#include "line.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crc16.h"

namespace rksim {

namespace {

constexpr int64_t kGapNs = 10'000'000;  // silence that ends a frame the length rules could not
constexpr size_t kCommandMax = 65536;   // longest command line taken
// A paced answer's last byte goes out on time, not when a sleep ends (tens
// of microseconds later on an idle processor): the last stretch before it is
// waited out awake. Otherwise the board's own wake-up would count as line
// time in every exchange.
constexpr int64_t kCloseWaitNs = 100'000;
// While the board is in its terminal's background it looks this often
// whether it has been brought to the foreground (fg) and may read again.
constexpr int64_t kForegroundLookNs = 500'000'000;

int64_t monoNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Time `bytes` take on the line: ten bits each (start, eight data, stop) at
// 115200 baud.
int64_t lineNs(size_t bytes) {
    return static_cast<int64_t>(bytes) * 10'000'000'000 / 115200;
}

// Bytes the line has carried whole `elapsed` nanoseconds after the first
// one began to leave.
size_t bytesDue(int64_t elapsed) {
    return elapsed < 0 ? 0 : static_cast<size_t>(elapsed * 115200 / 10'000'000'000);
}

// Whether the board may read its standard input now. A terminal is read
// only while the board is in its foreground: a job started with & (or sent
// there by Ctrl-Z and bg) would be stopped by SIGTTIN at its first read and
// answer nothing more, and what is typed there belongs to the program in the
// foreground. A terminal that is not the board's controlling one (the call
// fails) cannot stop it.
bool ownsInput(bool terminal) {
    if (!terminal) return true;
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground < 0 || foreground == getpgrp();
}

// State of one serving loop: the request being received, the answer being
// sent, the command line being typed.
struct Loop {
    Board &board;
    bool paced;
    FILE *trace;
    int master;
    int slave;
    bool terminal;  // standard input is a terminal

    uint8_t rx[kFrameMax]{};
    size_t rxLen = 0;
    int64_t rxFirst = 0;    // when the first byte of rx arrived
    int64_t rxLast = 0;     // when the latest byte arrived
    bool skipping = false;  // dropping bytes until the line falls silent

    uint8_t tx[kFrameMax]{};
    size_t txLen = 0;
    size_t txSent = 0;
    int64_t txStart = 0;  // when the answer's first byte is due
    bool txBlocked = false;

    char cmd[kCommandMax]{};
    size_t cmdLen = 0;
    bool cmdOverflow = false;
    bool stdinOpen = true;
    bool quit = false;

    void traceRequest(const Served &s, const Fault &f, int64_t arrival) {
        if (trace == nullptr) return;
        char outcome[32];
        if (f.mode == FaultMode::Silent)
            std::snprintf(outcome, sizeof outcome, "silent");
        else if (f.mode == FaultMode::Late)
            std::snprintf(outcome, sizeof outcome, "late:%u", f.arg);
        else if (f.mode == FaultMode::BadCrc)
            std::snprintf(outcome, sizeof outcome, "badcrc");
        else if (s.exception != 0)
            std::snprintf(outcome, sizeof outcome, "exception:%u", s.exception);
        else if (s.slave == 0)
            std::snprintf(outcome, sizeof outcome, "broadcast");
        else
            std::snprintf(outcome, sizeof outcome, "ok");
        std::fprintf(trace, "%lld %u %u %u %s\n", static_cast<long long>(arrival / 1000),
                     s.function, s.address, s.count, outcome);
    }

    // Serves the complete request at the start of rx that arrived at `arrival`.
    void serve(size_t len, int64_t arrival) {
        const bool ours = rx[0] == board.slaveId || rx[0] == 0;
        if (!ours) return;  // another slave's business
        ++board.served;
        const Fault f = rx[0] != 0 ? takeFault(board, rx[1]) : Fault{};
        Served s = describeRequest(rx, len);
        size_t n = 0;
        if (f.mode != FaultMode::Silent) {
            const auto forced = static_cast<uint8_t>(f.mode == FaultMode::Exception ? f.arg : 0);
            n = serveRequest(board.mem, board.slaveId, rx, len, forced, tx, &s);
        }
        traceRequest(s, f, arrival);
        if (n == 0) return;
        if (f.mode == FaultMode::BadCrc) tx[n - 1] ^= 0x5A;
        txLen = n;
        txSent = 0;
        txStart = arrival + (f.mode == FaultMode::Late ? int64_t{f.arg} * 1'000'000 : 0);
    }

    // Looks at the received bytes; returns the time it wants to look again.
    int64_t handleReceived(int64_t now) {
        if (skipping) {
            if (now - rxLast < kGapNs) return rxLast + kGapNs;
            skipping = false;
        }
        while (rxLen > 0 && txLen == 0) {
            ScanResult r = scanRequest(rx, rxLen);
            if (r.kind == Scan::Need) {
                if (now - rxLast < kGapNs) return rxLast + kGapNs;
                // Silence ends the frame: take it if its CRC checks.
                const bool whole = rxLen >= 4 && getCRC16(rx, static_cast<int>(rxLen)) == 0;
                r = whole ? ScanResult{Scan::Frame, rxLen} : ScanResult{Scan::Junk, 0};
            }
            if (r.kind == Scan::Junk) {
                rxLen = 0;
                skipping = now - rxLast < kGapNs;
                return skipping ? rxLast + kGapNs : INT64_MAX;
            }
            const int64_t ready = paced ? rxFirst + lineNs(r.length) : now;
            if (now < ready) return ready;
            serve(r.length, ready);
            std::memmove(rx, rx + r.length, rxLen - r.length);
            rxLen -= r.length;
            rxFirst = now;
        }
        return INT64_MAX;
    }

    // Sends what of the answer is due; returns when more will be.
    int64_t sendAnswer(int64_t now) {
        if (txLen == 0 || now < txStart) return txLen == 0 ? INT64_MAX : txStart;
        const size_t due = paced ? std::min(txLen, bytesDue(now - txStart)) : txLen;
        if (due > txSent) {
            const ssize_t w = write(master, tx + txSent, due - txSent);
            if (w > 0) {
                txSent += static_cast<size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                // Nobody reads the device: drop the stale answers queued
                // there once, then give this one up if there is still no room.
                if (txBlocked) {
                    txLen = txSent = 0;
                    txBlocked = false;
                    return now;
                }
                tcflush(slave, TCIFLUSH);
                txBlocked = true;
                return now;
            }
        }
        txBlocked = false;
        if (txSent >= txLen) {
            txLen = txSent = 0;
            return now;  // the next request may be waiting already
        }
        return paced ? txStart + lineNs(txSent + 1) : now;
    }

    void readLine(int64_t now) {
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) return;
            if (booting(board, now)) continue;  // a booting board hears nothing
            if (!skipping && rxLen == 0) rxFirst = now;
            rxLast = now;
            if (skipping) continue;
            if (rxLen + static_cast<size_t>(n) > sizeof rx) {
                rxLen = 0;  // longer than any frame: not a request
                skipping = true;
                continue;
            }
            std::memcpy(rx + rxLen, buf, static_cast<size_t>(n));
            rxLen += static_cast<size_t>(n);
        }
    }

    void readCommands() {
        char buf[4096];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        // Sent to the background between the look and the read (SIGTTIN is
        // ignored, so the read fails instead of stopping the board).
        if (n < 0 && errno == EIO && !ownsInput(terminal)) return;
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
            stdinOpen = false;  // the board goes on serving the line
            return;
        }
        for (ssize_t i = 0; i < n && !quit; ++i) {
            if (buf[i] != '\n') {
                if (cmdLen + 1 < sizeof cmd)
                    cmd[cmdLen++] = buf[i];
                else
                    cmdOverflow = true;
                continue;
            }
            cmd[cmdLen] = '\0';
            const int64_t bootedAt = board.bootedAtNs;
            if (cmdOverflow) {
                std::printf("error: line longer than %zu characters\n", sizeof cmd - 1);
                std::fflush(stdout);
            } else if (!runCommand(board, cmd, stdout)) {
                quit = true;
            }
            // A power cycle loses the request half received and cuts the
            // answer half sent.
            if (board.bootedAtNs != bootedAt) {
                rxLen = txLen = txSent = 0;
                skipping = txBlocked = false;
            }
            cmdLen = 0;
            cmdOverflow = false;
        }
    }
};

// A stop signal waiting (they are blocked outside ppoll), taken; 0: none.
int takeStopSignal() {
    sigset_t pending;
    if (sigpending(&pending) != 0) return 0;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigismember(&pending, sig) != 1) continue;
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, sig);
        const timespec none{};
        if (sigtimedwait(&one, nullptr, &none) == sig) return sig;
    }
    return 0;
}

}  // namespace

bool Line::open(const std::string &link, std::string *error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    char name[256];
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        *error = std::string("pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    device_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY);
    if (slave_ < 0) {
        *error = device_ + ": " + std::strerror(errno);
        return false;
    }
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B115200);
    tcsetattr(slave_, TCSANOW, &t);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);

    if (link.empty()) return true;
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = link + " exists and is not a symbolic link";
        return false;
    }
    // A link made aside and renamed over the old one: the path never names
    // nothing, and never a half-made link.
    const std::string aside = link + ".new" + std::to_string(getpid());
    unlink(aside.c_str());
    if (symlink(device_.c_str(), aside.c_str()) != 0 || rename(aside.c_str(), link.c_str()) != 0) {
        *error = link + ": " + std::strerror(errno);
        unlink(aside.c_str());
        return false;
    }
    link_ = link;
    return true;
}

void Line::close() {
    if (!link_.empty()) {
        char target[256];
        const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
        if (n >= 0) {
            target[n] = '\0';
            if (device_ == target) unlink(link_.c_str());
        }
        link_.clear();
    }
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

int Line::run(Board &board, bool paced, bool commands, FILE *trace, const sigset_t &waitMask,
              volatile sig_atomic_t *stop) {
    static Loop loop{board, paced, trace, master_, slave_, isatty(STDIN_FILENO) == 1};
    loop.stdinOpen = commands;
    // A paced line keeps byte times of 87 us: the kernel's default 50 us of
    // timer slack would make every answer late by most of a byte.
    if (paced) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    int64_t signalsSeen = 0;
    while (*stop == 0 && !loop.quit) {
        const int64_t now = monoNs();
        // The stop signals come through ppoll only when it is interrupted: a
        // line or an input that is always ready never lets it be, so they
        // are looked for here too (at most once a millisecond).
        if (now - signalsSeen >= 1'000'000) {
            signalsSeen = now;
            if (const int sig = takeStopSignal(); sig != 0) *stop = sig;
            if (*stop != 0) break;
        }
        loop.readLine(now);
        // In this order: a request served now has its answer sent at once.
        const int64_t look = loop.handleReceived(now);
        const int64_t wake = std::min(look, loop.sendAnswer(now));
        if (wake <= now) continue;
        if (paced) {
            const bool lastByteNext =
                loop.txLen > 0 && wake >= loop.txStart + lineNs(loop.txLen) - 1;
            if (lastByteNext && wake - now <= kCloseWaitNs) continue;
        }

        const bool listen = loop.stdinOpen && ownsInput(loop.terminal);
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (loop.txBlocked ? POLLOUT : 0)), 0},
                         {listen ? STDIN_FILENO : -1, POLLIN, 0}};
        timespec timeout{};
        int64_t wait = wake == INT64_MAX ? -1 : wake - now;
        if (loop.stdinOpen && !listen && (wait < 0 || wait > kForegroundLookNs))
            wait = kForegroundLookNs;
        if (wait >= 0) {
            timeout.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
            timeout.tv_nsec = static_cast<long>(wait % 1'000'000'000);
        }
        const int r = ppoll(fds, 2, wait >= 0 ? &timeout : nullptr, &waitMask);
        if (r > 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) loop.readCommands();
    }
    return 0;
}

}  // namespace rksim

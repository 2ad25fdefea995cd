// The Modbus engine's transport side: collection under a deadline, the
// master transaction, the serial link and its quiet-line rule, and the serial
// slave collection. The framings (modbus_rtu.cpp, modbus_ascii.cpp,
// modbus_tcp.cpp) supply the judges and the wrapping.
#include "modbus_engine.h"

#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "msw.h"
#include "msw_private.h"
#include "rs485.h"
#include "sio.h"

namespace fieldbus::engine {
namespace {

constexpr int kPorts = 50;
constexpr int kCollectAttempts = 3;
// How long a write may wait for room before it counts as failed.
constexpr int kWriteStallMs = 1000;

// After a failed exchange the next request first waits for a silent line;
// its length is that exchange's time-out, kept within these bounds, and the
// whole wait at most kQuietRounds of it (a babbling line must not hold the
// master for ever).
constexpr int kQuietMinMs = 5;
constexpr int kQuietMaxMs = 1000;
constexpr int kQuietRounds = 4;

struct LineState {
    bool hungUp = false;  // the last slave collection found the line gone
    bool unsettled = false;
    long long since = 0;  // when the failed exchange ended
    int quietMs = 0;
};
std::array<LineState, kPorts> lines{};

// What a slave has read on a port and not yet taken as a request: the tail of
// a burst that brought two requests at once is the next call's first.
struct Held {
    unsigned opening = 0;  // the port's opening the bytes were read in
    int count = 0;
    long long lastUs = 0;  // when the last of them was read
    uint8_t bytes[pdu::kFrameMax];
};
std::array<Held, kPorts> held{};

Held &heldOn(char cPort) {
    Held &h = held[static_cast<unsigned char>(cPort) - 1];
    const unsigned opening = com::opening(cPort);
    if (h.opening != opening) {
        h.opening = opening;
        h.count = 0;
    }
    return h;
}

int portFd(char cPort) {
    return _fd[static_cast<unsigned char>(cPort) - 1];
}

long long nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The line silence that ends an RTU frame, in microseconds: 3.5 characters of
// 11 bits at the port's speed up to 19200 baud, 1.75 ms above (and for a
// speed not known here).
long long silenceUs(int fd) {
    static constexpr std::pair<speed_t, long long> kSlow[] = {
        {B1200, 1200}, {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200}};
    const struct sio *e = _sio_follow(fd);
    if (e != nullptr)
        for (const auto &r : kSlow)
            if (cfgetispeed(e->options) == r.first) return 38500000 / r.second;
    return 1750;
}

int writeFrame(int fd, const uint8_t *data, int length) {
    int done = 0;
    const long long deadline = nowMs() + kWriteStallMs;
    while (done < length) {
        const ssize_t n = write(fd, data + done, static_cast<size_t>(length - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            const long long left = deadline - nowMs();
            if (left <= 0) return -1;
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, static_cast<int>(left));
            continue;
        }
        return -1;
    }
    return done;
}

int serialSend(int index, const uint8_t *data, int length) {
    const int fd = portFd(static_cast<char>(index));
    rs485::beginFrame(fd);
    const int done = writeFrame(fd, data, length);
    rs485::endFrame(fd, data, done);
    return done;
}

int serialReceive(int index, uint8_t *data, int room) {
    const ssize_t n =
        rs485::read(portFd(static_cast<char>(index)), data, static_cast<size_t>(room), false);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // Readable but nothing to read: the terminal hung up.
    return -1;
}

}  // namespace

long long nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int collect(const Link &link, uint8_t *buf, int room, int *got, long long deadline, Judge judge,
            const void *ctx) {
    // Bytes usually come in bursts: right after a read that returned some,
    // the rest of the burst is read at once, without waiting on the line.
    bool burst = false;
    for (;;) {
        const int verdict = judge(buf, got, ctx);
        if (verdict == kComplete) return kComplete;
        if (*got >= room) return 1;
        if (burst && link.nonBlocking && verdict > 0) {
            burst = false;
            // Nothing read here is not yet a hang-up: the wait below tells.
            const int n = link.receive(link.index, buf + *got, std::min(verdict, room - *got));
            if (n > 0) {
                *got += n;
                burst = true;
                continue;
            }
        }
        const long long left = deadline - nowMs();
        if (left <= 0) return 1;
        pollfd p{link.fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0) {
            if (errno == EINTR) continue;
            return kLinkFailed;
        }
        if (r == 0) continue;  // the loop sees whether the deadline has passed
        if ((p.revents & POLLIN) == 0) return kLinkFailed;  // hang-up or error, no data
        const int n = link.receive(link.index, buf + *got, std::min(verdict, room - *got));
        if (n < 0) return kLinkFailed;
        *got += n;
        burst = n > 0;
    }
}

bool serialUsable(char cPort) {
    const auto n = static_cast<unsigned char>(cPort);
    return n >= 1 && n <= kPorts && _fd[n - 1] != 0;
}

Link serialLink(char cPort) {
    Link link;
    link.fd = portFd(cPort);
    link.index = static_cast<unsigned char>(cPort);
    link.send = serialSend;
    link.receive = serialReceive;
    link.nonBlocking = true;
    // Pure polling, as the raw exchange leaves the line: reads never block.
    // The entry holds what was last applied, so a line already polling is
    // not set again on every request.
    if (struct sio *e = _sio_follow(link.fd);
        e != nullptr && (e->options->c_cc[VMIN] != 0 || e->options->c_cc[VTIME] != 0)) {
        e->options->c_cc[VMIN] = 0;
        e->options->c_cc[VTIME] = 0;
        tcsetattr(link.fd, TCSANOW, e->options);
    }
    return link;
}

void serialPrepare(char cPort) {
    const int fd = portFd(cPort);
    LineState &line = lines[static_cast<unsigned char>(cPort) - 1];
    if (line.unsettled) {
        line.unsettled = false;
        long long lastByte = line.since;
        const long long hardStop = nowMs() + static_cast<long long>(kQuietRounds) * line.quietMs;
        uint8_t sink[256];
        for (;;) {
            const long long now = nowMs();
            const long long quietLeft = line.quietMs - (now - lastByte);
            if (quietLeft <= 0 || now >= hardStop) break;
            pollfd p{fd, POLLIN, 0};
            const int r = poll(&p, 1, static_cast<int>(std::min(quietLeft, hardStop - now)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) continue;
            if ((p.revents & POLLIN) == 0) break;
            if (read(fd, sink, sizeof sink) <= 0) break;
            lastByte = nowMs();
        }
    }
    tcflush(fd, TCIFLUSH);
    heldOn(cPort).count = 0;
}

void serialOutcome(char cPort, bool failed, WORD wTimeout) {
    LineState &line = lines[static_cast<unsigned char>(cPort) - 1];
    line.unsettled = failed;
    if (!failed) return;
    line.since = nowMs();
    line.quietMs = std::clamp(static_cast<int>(wTimeout), kQuietMinMs, kQuietMaxMs);
}

int transact(const Link &link, const uint8_t *frame, int length, uint8_t *answer, int room,
             Judge judge, const void *ctx, long long timeoutMs, WORD *wT) {
    const long long start = nowMs();
    if (length > 0 && link.send(link.index, frame, length) != length) {
        if (wT != nullptr) *wT = static_cast<WORD>(nowMs() - start);
        return kWriteFailed;
    }
    int got = 0;
    const int r = collect(link, answer, room, &got, start + timeoutMs, judge, ctx);
    if (wT != nullptr) *wT = static_cast<WORD>(nowMs() - start);
    if (r == kLinkFailed) return kLinkFailed;
    return got;
}

namespace {

// Collects into what is held for a port until the judge finds a whole request
// at its front (kComplete, its length in *length), `deadline` (ms) has passed
// (1), or the link fails (kLinkFailed); *heard is set when bytes came. With
// gapUs, silence on the line for that long ends a frame. Silence is measured
// on the times the bytes are read: it counts only once the line has been
// seen empty, so bytes that waited unread behind others (a pseudo-terminal
// or an adapter hands a burst over at once) belong to the same frame.
int collectHeld(const Link &link, Held &h, long long deadline, long long gapUs, SlaveJudge judge,
                const void *ctx, int *length, bool *heard) {
    bool silent = false;
    for (;;) {
        if (h.count > 0 && judge(h.bytes, &h.count, length, silent, ctx)) return kComplete;
        if (silent) h.count = 0;  // what came before the silence, the judge did not take
        silent = false;
        if (h.count == pdu::kFrameMax) {
            // No request in a full room: its first half goes, and the judge
            // goes on from there. No request with a layout is that long, and
            // one without must end in silence, which this line never gave.
            constexpr int kHalf = pdu::kFrameMax / 2;
            std::copy(h.bytes + kHalf, h.bytes + h.count, h.bytes);
            h.count -= kHalf;
            continue;
        }
        const long long now = nowUs();
        long long wait = deadline * 1000 - now;
        if (wait <= 0) return 1;
        const bool timing = gapUs > 0 && h.count > 0;
        if (timing) wait = std::clamp(h.lastUs + gapUs - now, 0LL, wait);
        pollfd p{link.fd, POLLIN, 0};
        const timespec ts{static_cast<time_t>(wait / 1000000),
                          static_cast<long>(wait % 1000000) * 1000};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            return kLinkFailed;
        }
        if (r == 0) {
            silent = timing && nowUs() - h.lastUs >= gapUs;
            continue;  // the loop sees whether the deadline has passed
        }
        if ((p.revents & POLLIN) == 0) return kLinkFailed;  // hang-up or error, no data
        const int n = link.receive(link.index, h.bytes + h.count, pdu::kFrameMax - h.count);
        if (n < 0) return kLinkFailed;
        if (n > 0) {
            h.count += n;
            h.lastUs = nowUs();
            *heard = true;
        }
    }
}

}  // namespace

int serialCollect(char cPort, WORD wTimeout, uint8_t *frame, SlaveJudge judge, const void *ctx,
                  bool silenceEnds) {
    if (!serialUsable(cPort)) return pdu::kSlaveNoRequest;
    const Link link = serialLink(cPort);
    LineState &line = lines[static_cast<unsigned char>(cPort) - 1];
    Held &h = heldOn(cPort);
    const long long gapUs = silenceEnds ? silenceUs(link.fd) : 0;
    const long long start = nowMs();
    for (int attempt = 0; attempt < kCollectAttempts; ++attempt) {
        // The time-out passes once the elapsed count exceeds it.
        const long long deadline = nowMs() + wTimeout + 1;
        int length = 0;
        bool heard = false;
        const int r = collectHeld(link, h, deadline, gapUs, judge, ctx, &length, &heard);
        if (r == kLinkFailed) {
            // A vanished device reads as ready for ever. The first hang-up is
            // reported at once; while the line stays gone, each later call
            // waits out its time-out first, so a slave loop polling it does
            // not spin.
            if (line.hungUp)
                for (long long left = start + wTimeout + 1 - nowMs(); left > 0;
                     left = start + wTimeout + 1 - nowMs())
                    poll(nullptr, 0, static_cast<int>(left));
            line.hungUp = true;
            h.count = 0;
            return pdu::kSlaveExchangeFailed;
        }
        line.hungUp = false;
        if (r == kComplete) {
            // The request goes to the caller; what came behind it stays.
            std::copy(h.bytes, h.bytes + length, frame);
            std::copy(h.bytes + length, h.bytes + h.count, h.bytes);
            h.count -= length;
            return length;
        }
        if (!heard) break;
    }
    return pdu::kSlaveNoRequest;
}

int serialReply(char cPort, bool ascii, const uint8_t *body, int length) {
    if (!serialUsable(cPort)) return pdu::kExchangeFailed;
    uint8_t frame[pdu::kFrameMax];
    const int n = ascii ? asciiWrap(body, length, frame) : rtuWrap(body, length, frame);
    const Link link = serialLink(cPort);
    // Input waiting is left for the next collection: it may be the next
    // request, sent behind the one answered.
    return link.send(link.index, frame, n) == n ? pdu::kOk : pdu::kExchangeFailed;
}

}  // namespace fieldbus::engine

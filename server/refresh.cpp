// The refresh thread: request slots, full-image writes and periodic reads.
#include "refresh.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "board.h"
#include "health.h"
#include "ioshare.h"
#include "log.h"
#include "modbus.h"
#include "msw.h"
#include "refresh_rules.h"
#include "region.h"
#include "running.h"

// Copies of the output images taken when a write request is served, sent
// after the mutex is released. Only the refresh thread touches them.
unsigned char bitOutCache[IOSHARE_AREA_SIZE];
unsigned char intOutCache[IOSHARE_AREA_SIZE];

namespace {

constexpr char kPort = 1;
constexpr char kSlave = 1;
constexpr WORD kTimeoutMs = 50;
constexpr useconds_t kLockRetryUs = 100000;
// While no board has answered, it is asked for again this often.
constexpr long long kDiscoveryMs = 3000;
// Shortest wait of a cycle that has no board to talk to (no board found, or
// the port gone): interval 0 must not spin through empty cycles.
constexpr long long kIdleWaitMs = 100;
// Cycles in a row in which the board answered nothing before COM port 1 is
// closed and opened again (an adapter unplugged and plugged back in is a new
// device under the same path), and the back-off between two reopens.
constexpr int kReopenAfterCycles = 3;
constexpr long long kReopenFirstMs = 1000;
constexpr long long kReopenMaxMs = 8000;

using Image = unsigned char[IOSHARE_AREA_SIZE];

// First address and number of points of one kind, as the cycle found them.
struct Span {
    int32_t base, count;
};

// The layout, taken afresh each cycle: everything after the wait uses it.
struct Layout {
    Span bitIn, bitOut, intIn, intOut, dwordIn;
};

// An output write that the board has not taken yet: sent again every cycle
// until it is (a client was told its request was taken). The first failure
// and the recovery are logged once each.
struct PendingWrite {
    explicit PendingWrite(const char *what) : name(what) {}
    const char *name;
    bool pending = false;
    bool failing = false;
    bool triedThisCycle = false;
    int32_t addr = 0, count = 0;
    unsigned char data[IOSHARE_AREA_SIZE] = {};  // the on-demand writes' own copy
};

// What the refresh thread keeps from one cycle to the next.
struct CycleState {
    ioshareHealth *health = nullptr;
    // Writes beyond the mirrored range (their own points) and full-range
    // writes (from bitOutCache / intOutCache), bits then registers.
    PendingWrite bitsBeyond{"bit output"}, bitsFull{"bit output"};
    PendingWrite regsBeyond{"int output"}, regsFull{"int output"};
    bool readFailing[5] = {};
    bool boardPresent = false;
    long long nextDiscoveryMs = 0;
    unsigned refusedId = 0;
    bool portOpen = true;
    int silentCycles = 0;
    long long nextReopenMs = 0;
    long long reopenBackoffMs = kReopenFirstMs;
    bool reopenFailing = false;
    long long rateFromMs = 0;
    uint64_t rateFromCycles = 0;
};

ioshareHealth *refreshHealth = nullptr;

enum class Item { Bit, Register };

// One request slot: where it lies, the range it is tested against, the image
// its data sit in, the function that carries it, and for a read the log line
// of a failure (a write's result is not looked at).
struct Slot {
    int32_t ioShare_t::*addr;
    int32_t ioShare_t::*count;
    Span Layout::*span;
    Image ioShare_t::*image;
    char function;
    Item item;
    const char *failFormat;
    const char *name;
};

// In the order they are served.
constexpr Slot kSlots[] = {
    {&ioShare_t::bitOutReqAddr, &ioShare_t::bitOutReqCount, &Layout::bitOut,
     &ioShare_t::bitOutImage, 15, Item::Bit, nullptr, "bit output"},
    {&ioShare_t::bitInReqAddr, &ioShare_t::bitInReqCount, &Layout::bitIn, &ioShare_t::bitInImage, 2,
     Item::Bit, "bit input faile at %d retVal = %d\n", "bit input"},
    {&ioShare_t::bitOutRbReqAddr, &ioShare_t::bitOutRbReqCount, &Layout::bitOut,
     &ioShare_t::bitOutRbImage, 1, Item::Bit, "bit output readback faile at %d retVal = %d\n",
     "bit output readback"},
    {&ioShare_t::intOutReqAddr, &ioShare_t::intOutReqCount, &Layout::intOut,
     &ioShare_t::intOutImage, 16, Item::Register, nullptr, "int output"},
    {&ioShare_t::intInReqAddr, &ioShare_t::intInReqCount, &Layout::intIn, &ioShare_t::intInImage, 4,
     Item::Register, "int input faile at %d retVal = %d\n", "int input"},
    {&ioShare_t::intOutRbReqAddr, &ioShare_t::intOutRbReqCount, &Layout::intOut,
     &ioShare_t::intOutRbImage, 3, Item::Register, "int output readback faile at %d retVal = %d\n",
     "int output readback"},
};

// One periodic read: registers per point (2 for the 32-bit inputs) and the
// image bytes of a count.
struct PeriodicRead {
    char function;
    Span Layout::*span;
    int registersPerPoint;
    Image ioShare_t::*image;
    size_t (*bytes)(int32_t);
};

// In the order they are made.
constexpr PeriodicRead kReads[] = {
    {1, &Layout::bitOut, 1, &ioShare_t::bitOutRbImage, bitImageBytes},
    {3, &Layout::intOut, 1, &ioShare_t::intOutRbImage, registerImageBytes},
    {2, &Layout::bitIn, 1, &ioShare_t::bitInImage, bitImageBytes},
    {4, &Layout::intIn, 1, &ioShare_t::intInImage, registerImageBytes},
    {4, &Layout::dwordIn, 2, &ioShare_t::dwordInImage, dwordImageBytes},
};

// Address and count go out as their low 16 bits.
int transfer(char function, long long addr, long long count, unsigned char *buf, size_t bufLen) {
    return modbusRequest(kPort, kSlave, function, static_cast<WORD>(addr), static_cast<WORD>(count),
                         reinterpret_cast<char *>(buf), static_cast<WORD>(bufLen), kTimeoutMs,
                         nullptr);
}

// Failures worth sending again: nothing came, the exchange failed, or the
// answer was not the one asked for. An exception is the board's refusal and
// a request too long for a frame never fits: both end the write.
bool worthRetrying(int rc) {
    return rc == 11 || rc == 12 || rc == 15;
}

// Says in the log when the mutex had to be repaired; false when it is not held.
bool held(int lockResult) {
    if (lockResult == 1) logMsg(1, "region mutex taken over from a holder that died");
    if (lockResult == 2) logMsg(1, "region mutex was left unrecoverable, initialised afresh");
    if (lockResult < 0) logMsg(0, "region mutex cannot be taken");
    return lockResult >= 0;
}

Layout takeLayout(const ioShare_t *s) {
    return {{s->bitInBase, s->bitInCount},
            {s->bitOutBase, s->bitOutCount},
            {s->intInBase, s->intInCount},
            {s->intOutBase, s->intOutCount},
            {s->dwordInBase, s->dwordInCount}};
}

// A request posted while the thread was busy with the board came with a
// signal nobody waited for: it is served now rather than an interval later.
bool requestWaiting(const ioShare_t *share) {
    for (const Slot &s : kSlots)
        if (share->*s.addr != IOSHARE_IDLE) return true;
    return false;
}

void noteError(CycleState *st, const char *fmt, const char *what, long long addr, int rc) {
    if (st->health == nullptr) return;
    char text[IOSHARE_HEALTH_ERROR_SIZE];
    std::snprintf(text, sizeof text, fmt, what, addr, rc);
    healthSetError(st->health, text);
}

// Sends one write and keeps it pending while the board does not take it.
// True when the board took it.
bool sendWrite(CycleState *st, PendingWrite *w, char function, const unsigned char *data) {
    unsigned char buf[IOSHARE_AREA_SIZE];
    std::memcpy(buf, data, sizeof buf);  // an exception answer lands in the buffer given
    const int rc = transfer(function, w->addr, w->count, buf, sizeof buf);
    if (rc == 0) {
        if (w->failing) logMsg(2, "%s write at %d taken by the board again", w->name, w->addr);
        w->failing = false;
        w->pending = false;
        return true;
    }
    // A write of nothing (a board without that kind) has nothing to converge.
    w->pending = worthRetrying(rc) && w->count > 0;
    if (st->health != nullptr) {
        healthBeginWrite(st->health);
        ++st->health->failedWrites;
        noteError(st, "%s write at %lld failed retVal = %d", w->name, w->addr, rc);
        healthEndWrite(st->health);
    }
    if (!w->failing)
        logMsg(1, "%s write at %d failed retVal = %d%s", w->name, w->addr, rc,
               w->pending ? ", sent again every cycle until the board takes it" : "");
    w->failing = w->pending;
    return false;
}

void noteFailedRequest(CycleState *st, const Slot &s, int32_t addr, int rc) {
    if (st->health == nullptr) return;
    healthBeginWrite(st->health);
    ++st->health->failedRequests;
    noteError(st, "%s request at %lld failed retVal = %d", s.name, addr, rc);
    healthEndWrite(st->health);
}

// The transfer of a request beyond the range, with its data at point
// addr - base of the slot's image (the caller made sure they fit there).
void carry(CycleState *st, ioShare_t *share, const Slot &s, int32_t addr, int32_t count,
           int32_t base, unsigned char *buf) {
    const auto first = static_cast<size_t>(static_cast<long long>(addr) - base);
    const auto n = static_cast<size_t>(count);
    unsigned char *image = share->*s.image;
    if (s.function == 15 || s.function == 16) {
        PendingWrite *w = s.function == 15 ? &st->bitsBeyond : &st->regsBeyond;
        // Sent from a copy: on an exception answer the library puts the code
        // into the buffer it was given, which must not be the client's image.
        // A newer request of the kind replaces one still pending.
        std::memset(w->data, 0, sizeof w->data);
        if (s.function == 15)
            gatherBits(image, first, w->data, n);
        else
            std::memcpy(w->data, image + 2 * first, 2 * n);
        w->addr = addr;
        w->count = count;
        w->triedThisCycle = true;
        sendWrite(st, w, s.function, w->data);
        return;
    }
    const int rc = transfer(s.function, addr, count, buf, IOSHARE_AREA_SIZE);
    if (rc != 0) {
        logError(s.failFormat, addr, rc);
        noteFailedRequest(st, s, addr, rc);
        return;
    }
    if (s.item == Item::Bit)
        scatterBits(buf, image, first, n);
    else
        std::memcpy(image + 2 * first, buf, 2 * n);
}

void serveSlot(CycleState *st, ioShare_t *share, const Slot &s, const Layout &layout,
               unsigned char *buf) {
    const int32_t addr = share->*s.addr;
    if (addr == IOSHARE_IDLE) return;
    const int32_t count = share->*s.count;
    const Span span = layout.*s.span;
    if (s.function == 15) {
        std::memcpy(bitOutCache, share->bitOutImage, bitImageBytes(span.count));
        st->bitsFull.pending = true;
    } else if (s.function == 16) {
        std::memcpy(intOutCache, share->intOutImage, registerImageBytes(span.count));
        st->regsFull.pending = true;
    }
    if (beyondRange(addr, count, span.base, span.count)) {
        // A request must never make the server read or write outside the
        // image it names (below the base, or past the image's room).
        const int32_t room = s.item == Item::Bit ? IOSHARE_BIT_POINTS : IOSHARE_REGISTERS;
        if (insideImage(addr, count, span.base, room))
            carry(st, share, s, addr, count, span.base, buf);
        else
            logMsg(1, "%s request at %d count %d outside the image, refused", s.name, addr, count);
    }
    share->*s.addr = IOSHARE_IDLE;
}

// The writes taken this cycle, and those the board has not taken yet: the
// requested points beyond the range first, then the full range, as a
// request's own transfers come before the full-image write. A write beyond
// the range tried during this cycle's requests waits for the next cycle.
void writeOutputs(CycleState *st, const Layout &layout) {
    st->bitsFull.addr = layout.bitOut.base;
    st->bitsFull.count = layout.bitOut.count;
    st->regsFull.addr = layout.intOut.base;
    st->regsFull.count = layout.intOut.count;
    const struct {
        PendingWrite *write;
        char function;
        const unsigned char *data;
    } kOrder[] = {{&st->bitsBeyond, 15, st->bitsBeyond.data},
                  {&st->bitsFull, 15, bitOutCache},
                  {&st->regsBeyond, 16, st->regsBeyond.data},
                  {&st->regsFull, 16, intOutCache}};
    for (const auto &w : kOrder) {
        if (w.write->pending && !w.write->triedThisCycle) sendWrite(st, w.write, w.function, w.data);
        w.write->triedThisCycle = false;
    }
}

const char *const kReadNames[] = {"coils", "holding registers", "discrete inputs",
                                  "input registers", "32-bit inputs"};

// The periodic reads; the number of them that were made (made counts those
// that failed too) and that succeeded.
struct ReadResult {
    int made = 0, ok = 0;
};

ReadResult readImages(CycleState *st, ioShare_t *share, const Layout &layout, unsigned char *buf) {
    ReadResult result;
    int i = 0;
    for (const PeriodicRead &r : kReads) {
        const int index = i++;
        const Span span = layout.*r.span;
        if (span.count <= 0) continue;
        ++result.made;
        const int rc = transfer(r.function, span.base,
                                static_cast<long long>(span.count) * r.registersPerPoint, buf,
                                IOSHARE_AREA_SIZE);
        if (rc != 0) {
            // Logged when the reads start failing and when they come back,
            // not every cycle: the image keeps its last values meanwhile.
            if (!st->readFailing[index])
                logMsg(1, "periodic read of %s at %d failed retVal = %d, inputs kept as they were",
                       kReadNames[index], span.base, rc);
            st->readFailing[index] = true;
            if (st->health != nullptr) {
                healthBeginWrite(st->health);
                ++st->health->failedReads;
                noteError(st, "periodic read of %s at %lld failed retVal = %d", kReadNames[index],
                          span.base, rc);
                healthEndWrite(st->health);
            }
            continue;
        }
        if (st->readFailing[index])
            logMsg(2, "periodic read of %s at %d answered again", kReadNames[index], span.base);
        st->readFailing[index] = false;
        ++result.ok;
        if (!held(lockRegion(share))) continue;
        std::memcpy(share->*r.image, buf, r.bytes(span.count));
        pthread_mutex_unlock(&share->mutex);
    }
    return result;
}

// While no board has answered: asks again when it is time, and starts
// cycling on the layout of a board that answers.
void discover(CycleState *st, ioShare_t *share, long long now) {
    if (now < st->nextDiscoveryMs) return;
    st->nextDiscoveryMs = now + kDiscoveryMs;
    const unsigned id = rediscoverIOBoard(share);
    if (id == 0) {
        ++st->silentCycles;
        return;
    }
    st->silentCycles = 0;
    if (findBoardLayout(id) == nullptr) {
        if (id != st->refusedId) logMsg(1, "rk-board ID=%04X answered, not a known board", id);
        st->refusedId = id;
        return;
    }
    st->boardPresent = true;
    logMsg(2, "rk-board ID=%04X found, refresh cycle started", id);
    if (st->health != nullptr) {
        healthBeginWrite(st->health);
        st->health->boardId = static_cast<int32_t>(id);
        st->health->state = IOSHARE_STATE_CYCLING;
        healthEndWrite(st->health);
    }
}

// After several cycles in which nothing answered, COM port 1 is closed and
// opened again, with a growing pause between two tries: a device that went
// away and came back under the same path is a new device to the system.
void reopenPortIfGone(CycleState *st, long long now) {
    if (st->portOpen && st->silentCycles < kReopenAfterCycles) return;
    if (now < st->nextReopenMs) return;
    st->nextReopenMs = now + st->reopenBackoffMs;
    st->reopenBackoffMs = st->reopenBackoffMs * 2 > kReopenMaxMs ? kReopenMaxMs
                                                                 : st->reopenBackoffMs * 2;
    if (st->portOpen) Close_Com(kPort);
    st->portOpen = Open_Com(kPort, 115200, 8, 0, 0) == 0;
    st->silentCycles = 0;
    if (st->portOpen) {
        logMsg(2, "COM port 1 (%s) opened again", Get_Com_Device(kPort));
        st->reopenFailing = false;
    } else if (!st->reopenFailing) {
        logMsg(1, "COM port 1 (%s) cannot be opened, tried again every few seconds",
               Get_Com_Device(kPort));
        st->reopenFailing = true;
    }
    if (st->health != nullptr) {
        healthBeginWrite(st->health);
        ++st->health->portReopens;
        if (!st->portOpen) {
            st->health->state = IOSHARE_STATE_NO_PORT;
            healthSetError(st->health, "COM port 1 cannot be opened");
        }
        healthEndWrite(st->health);
    }
}

// The deadline of the cycle's wait. With no board to talk to, the wait is
// at least kIdleWaitMs and ends when the next discovery or reopen is due.
timespec waitDeadline(const CycleState &st, const ioShare_t *share) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec deadline = refreshDeadline(now, share->interval);
    if (st.boardPresent && st.portOpen) return deadline;
    const long long nowMs = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    long long endMs = deadline.tv_sec * 1000LL + deadline.tv_nsec / 1000000;
    if (endMs < nowMs + kIdleWaitMs) endMs = nowMs + kIdleWaitMs;
    const long long due = st.portOpen ? st.nextDiscoveryMs : st.nextReopenMs;
    if (endMs > due) endMs = due > nowMs ? due : nowMs;
    deadline.tv_sec = static_cast<time_t>(endMs / 1000);
    deadline.tv_nsec = static_cast<long>(endMs % 1000 * 1000000);
    return deadline;
}

// The cycle's figures in the health record.
void recordCycle(CycleState *st, const ReadResult &reads, long long cycleUs) {
    ioshareHealth *h = st->health;
    if (h == nullptr) return;
    const long long now = healthNowMs();
    healthBeginWrite(h);
    ++h->cycles;
    h->lastCycleUs = static_cast<uint32_t>(cycleUs);
    if (reads.made > 0 && reads.ok == reads.made) h->inputsMs = now;
    if (now - st->rateFromMs >= 1000) {
        if (st->rateFromMs > 0)
            h->cycleRateMilli = static_cast<uint32_t>((h->cycles - st->rateFromCycles) * 1000000 /
                                                      static_cast<uint64_t>(now - st->rateFromMs));
        st->rateFromMs = now;
        st->rateFromCycles = h->cycles;
    }
    if (!st->portOpen)
        h->state = IOSHARE_STATE_NO_PORT;
    else if (!st->boardPresent)
        h->state = IOSHARE_STATE_NO_BOARD;
    else
        h->state = reads.made > 0 && reads.ok == 0 ? IOSHARE_STATE_FAILING : IOSHARE_STATE_CYCLING;
    healthEndWrite(h);
}

long long nowUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

}  // namespace

void setRefreshHealth(ioshareHealth *health) {
    refreshHealth = health;
}

void *writeThread(void *arg) {
    auto *share = static_cast<ioShare_t *>(arg);
    unsigned char buf[IOSHARE_AREA_SIZE];
    static CycleState st;  // large (the pending writes' data): not on the thread's stack
    st.health = refreshHealth;
    st.boardPresent = share->boardId != IOSHARE_NO_BOARD;
    st.nextDiscoveryMs = healthNowMs() + kDiscoveryMs;
    if (st.health != nullptr) {
        healthBeginWrite(st.health);
        st.health->boardId = share->boardId;
        st.health->state = st.boardPresent ? IOSHARE_STATE_CYCLING : IOSHARE_STATE_NO_BOARD;
        healthEndWrite(st.health);
    }
    while (serverRunning()) {
        if (!held(lockRegion(share))) {
            usleep(kLockRetryUs);
            continue;
        }
        // Tested again under the mutex: a stop whose broadcast came while
        // this thread was busy would otherwise leave it waiting an interval.
        if (serverRunning() && !requestWaiting(share)) {
            const timespec deadline = waitDeadline(st, share);
            if (!held(waitRegion(share, &deadline))) {
                usleep(kLockRetryUs);
                continue;
            }
        }
        const long long startUs = nowUs();
        const Layout layout = takeLayout(share);
        for (const Slot &s : kSlots) serveSlot(&st, share, s, layout, buf);
        pthread_mutex_unlock(&share->mutex);
        ReadResult reads;
        if (st.portOpen) {
            writeOutputs(&st, layout);
            reads = readImages(&st, share, layout, buf);
            if (reads.made > 0) st.silentCycles = reads.ok == 0 ? st.silentCycles + 1 : 0;
            if (reads.ok > 0) st.reopenBackoffMs = kReopenFirstMs;
            if (!st.boardPresent) discover(&st, share, healthNowMs());
        }
        reopenPortIfGone(&st, healthNowMs());
        recordCycle(&st, reads, nowUs() - startUs);
    }
    return nullptr;
}

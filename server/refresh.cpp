// The refresh thread: request slots, full-image writes and periodic reads.
#include "refresh.h"

#include <sched.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../lib/ioshare_region.h"
#include "board.h"
#include "condition.h"
#include "health.h"
#include "ioshare.h"
#include "lock_waits.h"
#include "log.h"
#include "modbus.h"
#include "msw.h"
#include "outputs.h"
#include "refresh_rules.h"
#include "region.h"
#include "running.h"

// Copies of the output images taken when a write request is served, sent
// after the mutex is released. Only the refresh thread touches them.
unsigned char bitOutCache[IOSHARE_AREA_SIZE];
unsigned char intOutCache[IOSHARE_AREA_SIZE];

namespace {

constexpr char kPort = 1;
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
// Periodic reads that fail one after the other before the board counts as
// gone: one lost answer is not a restart.
constexpr int kSilentReads = 3;

using ioshare::Kind;
using ioshare::kKinds;

// First address and number of points of one kind, as the cycle found them.
struct Span {
    int32_t base, count;
};

// The layout, taken afresh each cycle: everything after the wait uses it.
struct Layout {
    Span of[ioshare::kKindCount];
};

// The request slots in the order they are served, and for a read the log
// line of a failure (a write's failure is logged as a pending write).
struct Slot {
    int kind;
    const char *failFormat;
};

constexpr Slot kSlots[] = {
    {IOSHARE_BIT_OUT, nullptr},
    {IOSHARE_BIT_IN, "bit input faile at %d retVal = %d\n"},
    {IOSHARE_BIT_OUT_RB, "bit output readback faile at %d retVal = %d\n"},
    {IOSHARE_INT_OUT, nullptr},
    {IOSHARE_INT_IN, "int input faile at %d retVal = %d\n"},
    {IOSHARE_INT_OUT_RB, "int output readback faile at %d retVal = %d\n"},
};

// The periodic reads in the order they are made, with their names in the log.
struct PeriodicRead {
    int kind;
    const char *name;
};

constexpr PeriodicRead kReads[] = {
    {IOSHARE_BIT_OUT_RB, "coils"},       {IOSHARE_INT_OUT_RB, "holding registers"},
    {IOSHARE_BIT_IN, "discrete inputs"}, {IOSHARE_INT_IN, "input registers"},
    {IOSHARE_DWORD_IN, "32-bit inputs"},
};

// Bytes of the image that mirrors `count` points of the kind.
size_t imageBytes(const Kind &k, int32_t count) {
    switch (k.bytesPerPoint) {
        case 0:
            return bitImageBytes(count);
        case 2:
            return registerImageBytes(count);
        default:
            return dwordImageBytes(count);
    }
}

// What the refresh thread keeps from one cycle to the next.
struct CycleState {
    ioshareHealth *health = nullptr;
    Outputs out;  // the writes owed to the board, the slots' progress
    bool readFailing[5] = {};
    unsigned char answers[5][IOSHARE_AREA_SIZE];  // the periodic reads' answers, in kReads order
    int failedInRow = 0;                          // periodic reads that failed one after the other
    bool boardBack = false;  // a read succeeded after kSilentReads or more failed
    bool boardPresent = false;
    int32_t boardId = IOSHARE_NO_BOARD;
    int32_t interval = 100;  // as the last cycle found it
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

// Progress of the thread, for the watchdog: when it last started or ended a
// cycle, and the deadline of the wait it is in (0: none).
long long beatMs = 0;
long long waitingUntilMs = 0;

void beat(long long waitUntil) {
    __atomic_store_n(&waitingUntilMs, waitUntil, __ATOMIC_RELAXED);
    __atomic_store_n(&beatMs, healthNowMs(), __ATOMIC_RELAXED);
}

// False when the mutex is not held (the repairs are logged where they are made).
bool held(int lockResult) {
    if (lockResult < 0 && serverRunning()) logMsg(0, "region mutex cannot be taken");
    return lockResult >= 0;
}

Layout takeLayout(const ioShare_t *s) {
    Layout l{};
    for (int k = 0; k < ioshare::kKindCount; ++k)
        l.of[k] = {s->*kKinds[k].base, s->*kKinds[k].count};
    return l;
}

// A request posted while the thread was busy with the board came with a
// signal nobody waited for: it is served now rather than an interval later.
bool requestWaiting(const ioShare_t *share) {
    for (const Slot &s : kSlots)
        if (__atomic_load_n(&(share->*kKinds[s.kind].reqAddr), __ATOMIC_RELAXED) != IOSHARE_IDLE)
            return true;
    return false;
}

void noteError(CycleState *st, const char *fmt, const char *what, long long addr, int rc) {
    if (st->health == nullptr) return;
    char text[IOSHARE_HEALTH_ERROR_SIZE];
    std::snprintf(text, sizeof text, fmt, what, addr, rc);
    healthSetError(st->health, text);
}

void noteFailedRequest(CycleState *st, const Kind &k, int32_t addr, int rc) {
    if (st->health == nullptr) return;
    healthBeginWrite(st->health);
    ++st->health->failedRequests;
    noteError(st, "%s request at %lld failed retVal = %d", k.name, addr, rc);
    healthEndWrite(st->health);
}

// The read of a request beyond the range, into point addr - base of the
// slot's image (the caller made sure it fits there). True when it succeeded.
bool carryRead(CycleState *st, ioShare_t *share, const Slot &s, int32_t addr, int32_t count,
               int32_t base, unsigned char *buf) {
    const Kind &k = kKinds[s.kind];
    const auto first = static_cast<size_t>(static_cast<long long>(addr) - base);
    const auto n = static_cast<size_t>(count);
    unsigned char *image = share->*k.image;
    const int rc = boardTransfer(k.function, addr, count, buf, IOSHARE_AREA_SIZE);
    if (rc != 0) {
        // Only a failed exchange (11) has a system error behind it; a
        // time-out or a wrong answer has none to show.
        if (rc != 11) errno = 0;
        logError(s.failFormat, addr, rc);
        noteFailedRequest(st, k, addr, rc);
        return false;
    }
    if (k.bytesPerPoint == 0)
        scatterBits(buf, image, first, n);
    else
        std::memcpy(image + 2 * first, buf, 2 * n);
    return true;
}

// A read request: carried at once when it reaches beyond the range, else
// served by this cycle's periodic read, which settles it.
void takeRead(CycleState *st, ioShare_t *share, const Slot &s, int32_t addr, int32_t count,
              const Span span, unsigned char *buf) {
    const Kind &k = kKinds[s.kind];
    const uint32_t n = numberRequest(&st->out, s.kind);
    // A request must never make the server read or write outside the image
    // it names (below the base, or past the image's room).
    const bool inside = insideImage(addr, count, span.base, ioshare::roomOf(k));
    if (beyondRange(addr, count, span.base, span.count)) {
        if (!inside)
            logRefusal(s.kind, "%s request at %d count %d outside the image, refused", k.name, addr,
                       count);
        if (!inside || !carryRead(st, share, s, addr, count, span.base, buf))
            refuseRequests(&st->out, s.kind, n, n);
        return;
    }
    if (!inside)
        refuseRequests(&st->out, s.kind, n, n);  // below the base: none of it is mirrored
    else if (count > 0)
        st->out.books[s.kind].readFrom = n;
}

void serveSlot(CycleState *st, ioShare_t *share, const Slot &s, const Layout &layout,
               unsigned char *buf) {
    const Kind &k = kKinds[s.kind];
    const int32_t addr = share->*k.reqAddr;
    if (addr == IOSHARE_IDLE) return;
    const int32_t count = share->*k.reqCount;
    const Span span = layout.of[s.kind];
    if (k.function == 15 || k.function == 16)
        takeWrite(&st->out, k.function == 15 ? &st->out.bits : &st->out.regs, share->*k.image, addr,
                  count, span.base, span.count);
    else
        takeRead(st, share, s, addr, count, span, buf);
    share->*k.reqAddr = IOSHARE_IDLE;
}

// The periodic reads; the number of them that were made (made counts those
// that failed too) and that succeeded.
struct ReadResult {
    int made = 0, ok = 0;
    bool read[ioshare::kKindCount] = {};  // by kind: its periodic read succeeded
};

OutputKind *outputOf(CycleState *st, int readKind) {
    return readKind == IOSHARE_BIT_OUT_RB   ? &st->out.bits
           : readKind == IOSHARE_INT_OUT_RB ? &st->out.regs
                                            : nullptr;
}

// The reads are made one after the other, and their answers copied into
// the images under one hold of the mutex: a client that keeps taking it
// costs the cycle one wait, not one per kind.
ReadResult readImages(CycleState *st, ioShare_t *share, const Layout &layout) {
    ReadResult result;
    int index = -1;
    for (const PeriodicRead &r : kReads) {
        ++index;
        const Kind &k = kKinds[r.kind];
        const Span span = layout.of[r.kind];
        if (span.count <= 0) continue;
        ++result.made;
        const int rc = boardTransfer(k.function, span.base,
                                     static_cast<long long>(span.count) * k.registersPerPoint,
                                     st->answers[index], IOSHARE_AREA_SIZE);
        if (rc != 0) {
            // Logged when the reads start failing and when they come back,
            // not every cycle: the image keeps its last values meanwhile.
            if (!st->readFailing[index])
                logMsg(1, "periodic read of %s at %d failed retVal = %d, inputs kept as they were",
                       r.name, span.base, rc);
            st->readFailing[index] = true;
            ++st->failedInRow;
            if (st->health != nullptr) {
                healthBeginWrite(st->health);
                ++st->health->failedReads;
                noteError(st, "periodic read of %s at %lld failed retVal = %d", r.name, span.base,
                          rc);
                healthEndWrite(st->health);
            }
            continue;
        }
        if (st->readFailing[index])
            logMsg(2, "periodic read of %s at %d answered again", r.name, span.base);
        st->readFailing[index] = false;
        if (st->failedInRow >= kSilentReads) st->boardBack = true;
        st->failedInRow = 0;
        ++result.ok;
        result.read[r.kind] = true;
    }
    if (result.ok > 0 && held(lockRegion(share))) {
        index = -1;
        for (const PeriodicRead &r : kReads) {
            ++index;
            const Kind &k = kKinds[r.kind];
            if (result.read[r.kind])
                std::memcpy(share->*k.image, st->answers[index],
                            imageBytes(k, layout.of[r.kind].count));
        }
        unlockRegion(share);
    } else if (result.ok > 0) {
        for (bool &read : result.read) read = false;  // stopping: nothing reached the images
    }
    // The writes sent before a read-back are on the board and in its image
    // now: said at once, not at the end of the cycle.
    index = -1;
    for (const PeriodicRead &r : kReads) {
        ++index;
        OutputKind *out = outputOf(st, r.kind);
        if (out == nullptr) continue;
        afterReadBack(&st->out, out, result.read[r.kind] ? st->answers[index] : nullptr,
                      layout.of[r.kind].count);
    }
    publishProgress(&st->out);
    return result;
}

// The outputs the board drives when it is found are what it is brought
// back to after a restart, until a client writes others.
void holdOutputs(CycleState *st, ioShare_t *share) {
    if (!held(lockRegion(share))) return;
    std::memcpy(bitOutCache, share->bitOutImage, sizeof bitOutCache);
    std::memcpy(intOutCache, share->intOutImage, sizeof intOutCache);
    unlockRegion(share);
    st->out.bits.cacheHeld = st->out.regs.cacheHeld = true;
}

// A client cut the region short, and its size was put back: the pages it
// cut are zeros now. Where that took the header, the server's part is set
// up again as it was (board, layout, interval, idle slots, the trailer's
// values) and the output images as clients last set them; the mutex and the
// condition are found spoilt and set up afresh by their next users, and
// the inputs come back with this cycle's reads. Called with the mutex held.
void rebuildRegion(CycleState *st, ioShare_t *share) {
    if (share->tailReq == IOSHARE_IDLE) {
        logMsg(1, "region resized by a client: its size put back");
        return;
    }
    logMsg(1, "region cut short by a client: its size, header and output images put back");
    const BoardLayout *b = st->boardPresent ? findBoardLayout(st->boardId) : nullptr;
    share->boardId = b != nullptr ? st->boardId : IOSHARE_NO_BOARD;
    share->interval = st->interval;
    if (b != nullptr) {
        const int32_t layout[][2] = {
            {b->bitInBase, b->bitInCount},    {b->bitOutBase, b->bitOutCount},
            {b->bitOutBase, b->bitOutCount},  {b->intInBase, b->intInCount},
            {b->intOutBase, b->intOutCount},  {b->intOutBase, b->intOutCount},
            {b->dwordInBase, b->dwordInCount}};
        for (int k = 0; k < ioshare::kKindCount; ++k) {
            share->*kKinds[k].base = layout[k][0];
            share->*kKinds[k].count = layout[k][1];
        }
    }
    idleRequestSlots(share);
    share->auxSize = IOSHARE_AREA_SIZE;
    share->tailReq = IOSHARE_IDLE;
    share->tailSlots = IOSHARE_TAIL_SLOTS;
    share->tailSlotSize = IOSHARE_TAIL_SLOT_SIZE;
    std::memcpy(share->bitOutImage, bitOutCache, sizeof bitOutCache);
    std::memcpy(share->intOutImage, intOutCache, sizeof intOutCache);
}

// The reads taken this cycle are settled by its periodic reads: in the
// image when the read of their kind succeeded, failed when it did not.
void settleReads(CycleState *st, const ReadResult &reads) {
    for (int kind = 0; kind < IOSHARE_SLOT_KINDS; ++kind) {
        SlotBook &b = st->out.books[kind];
        if (b.readFrom == 0) continue;
        if (!reads.read[kind]) refuseRequests(&st->out, kind, b.readFrom, b.readFrom);
        b.readFrom = 0;
    }
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
    st->boardId = static_cast<int32_t>(id);
    holdOutputs(st, share);
    logMsg(2, "rk-board ID=%04X found, refresh cycle started", id);
    if (st->health != nullptr) {
        healthBeginWrite(st->health);
        __atomic_store_n(&st->health->boardId, static_cast<int32_t>(id), __ATOMIC_RELAXED);
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
    st->reopenBackoffMs =
        st->reopenBackoffMs * 2 > kReopenMaxMs ? kReopenMaxMs : st->reopenBackoffMs * 2;
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

bool passed(const timespec &deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// The deadline of the cycle's wait. With no board to talk to, the wait is
// at least kIdleWaitMs and ends when the next discovery or reopen is due.
timespec waitDeadline(const CycleState &st, const ioShare_t *share) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec deadline = refreshDeadline(now, __atomic_load_n(&share->interval, __ATOMIC_RELAXED));
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
            __atomic_store_n(&h->cycleRateMilli,
                             static_cast<uint32_t>((h->cycles - st->rateFromCycles) * 1000000 /
                                                   static_cast<uint64_t>(now - st->rateFromMs)),
                             __ATOMIC_RELAXED);
        st->rateFromMs = now;
        st->rateFromCycles = h->cycles;
    }
    const LockWaitFigures waits = lockWaitFigures();
    h->lockLongestUs = waits.longestUs;
    h->lockSlowWaits = waits.slowWaits;
    h->lockHolderPid = waits.holderPid;
    if (!st->portOpen)
        h->state = IOSHARE_STATE_NO_PORT;
    else if (!st->boardPresent)
        h->state = IOSHARE_STATE_NO_BOARD;
    else
        h->state = reads.made > 0 && reads.ok == 0 ? IOSHARE_STATE_FAILING : IOSHARE_STATE_CYCLING;
    healthEndWrite(h);
}

// Real-time mode: with PELLORA_RT_PRIORITY set to 1-99 the refresh thread
// runs on SCHED_FIFO at that priority and the process's memory is locked,
// so other programs on the controller cannot stretch the board's cycle. A
// system that denies it costs a WARN line; the server then runs as before.
void enterRealTime() {
    const char *text = std::getenv("PELLORA_RT_PRIORITY");
    if (text == nullptr || *text == '\0') return;
    char *end = nullptr;
    const long priority = std::strtol(text, &end, 10);
    if (*end != '\0' || priority < 1 || priority > 99) {
        logMsg(1, "PELLORA_RT_PRIORITY=%s is not a priority from 1 to 99: ignored", text);
        return;
    }
    sched_param param{};
    param.sched_priority = static_cast<int>(priority);
    const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
    if (rc != 0) {
        logMsg(1, "real-time priority %ld refused (%s): running as before", priority,
               std::strerror(rc));
        return;
    }
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
        logMsg(1, "memory not locked (%s): the cycle may wait for paging", std::strerror(errno));
    logMsg(2, "refresh thread on SCHED_FIFO priority %ld", priority);
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


bool refreshStalled(long long nowMs, long long limitMs) {
    const long long waitUntil = __atomic_load_n(&waitingUntilMs, __ATOMIC_RELAXED);
    if (waitUntil > 0 && nowMs <= waitUntil + limitMs) return false;
    const long long last = __atomic_load_n(&beatMs, __ATOMIC_RELAXED);
    return last > 0 && nowMs - last > limitMs;
}

void *writeThread(void *arg) {
    auto *share = static_cast<ioShare_t *>(arg);
    unsigned char buf[IOSHARE_AREA_SIZE];
    enterRealTime();
    static CycleState st;  // large (the pending writes' data): not on the thread's stack
    st.health = refreshHealth;
    st.out.health = refreshHealth;
    st.out.bits.cache = bitOutCache;
    st.out.regs.cache = intOutCache;
    st.boardPresent = share->boardId != IOSHARE_NO_BOARD;
    st.boardId = share->boardId;
    st.interval = share->interval;
    if (st.boardPresent) holdOutputs(&st, share);
    st.nextDiscoveryMs = healthNowMs() + kDiscoveryMs;
    if (st.health != nullptr) {
        healthBeginWrite(st.health);
        __atomic_store_n(&st.health->boardId, share->boardId, __ATOMIC_RELAXED);
        st.health->state = st.boardPresent ? IOSHARE_STATE_CYCLING : IOSHARE_STATE_NO_BOARD;
        healthEndWrite(st.health);
    }
    startWaker(share);
    beat(0);
    while (serverRunning()) {
        // The interval, or a client's signal passed on by the waker. Posted
        // requests are found in the slots whether or not a signal came: a
        // condition a client spoilt costs a cycle's latency, not the cycle.
        if (!requestWaiting(share)) {
            const timespec deadline = waitDeadline(st, share);
            beat(deadline.tv_sec * 1000LL + deadline.tv_nsec / 1000000);
            // A deadline already passed (interval 0, or a cycle longer than
            // the interval) is no reason to wait at all.
            if (!passed(deadline)) awaitNudge(deadline, &share->interval);
        }
        const bool cut = restoreRegionSize();
        if (!held(lockRegion(share))) continue;  // only while stopping
        noteCycleStarted();
        if (cut) rebuildRegion(&st, share);
        st.interval = share->interval;
        beat(0);
        const long long startUs = nowUs();
        const Layout layout = takeLayout(share);
        for (const Slot &s : kSlots) serveSlot(&st, share, s, layout, buf);
        // Published with the slots emptied, under the same hold of the mutex:
        // a client sees its request gone and numbered at once.
        publishProgress(&st.out);
        unlockRegion(share);
        ReadResult reads;
        if (st.portOpen) {
            const Span bits = layout.of[IOSHARE_BIT_OUT], regs = layout.of[IOSHARE_INT_OUT];
            sendOutputs(&st.out, bits.base, bits.count, regs.base, regs.count);
            reads = readImages(&st, share, layout);
            if (reads.made > 0) st.silentCycles = reads.ok == 0 ? st.silentCycles + 1 : 0;
            if (reads.ok > 0) st.reopenBackoffMs = kReopenFirstMs;
            // A board that answers again after a silence may have restarted
            // with its outputs off: they are brought back.
            if (st.boardBack) resendOutputs(&st.out);
            st.boardBack = false;
            if (!st.boardPresent) discover(&st, share, healthNowMs());
        }
        st.out.bits.frontTried = st.out.regs.frontTried = false;
        settleReads(&st, reads);
        publishProgress(&st.out);
        reopenPortIfGone(&st, healthNowMs());
        recordCycle(&st, reads, nowUs() - startUs);
        beat(0);
    }
    return nullptr;
}

// The soak's client processes and the ledger they keep, in memory shared with
// the test, of every request they posted, how it ended, and every waiting
// request they replaced. A client process writes only its own entries, so a
// SIGKILL at any moment costs at most its last, still pending, entry.
#pragma once

#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <random>

#include "ioshare.h"

namespace soak {

constexpr int kClients = 8;

// Board 0C2A's mirrored ranges, which fix what lies beyond them.
struct KindUse {
    int kind;
    int function;      // carried to the board by this function
    int32_t base;      // first address of the range
    int32_t count;     // points in the range
    int32_t maxCount;  // of the requests clients post
    int32_t ioShare_t::*reqAddr;
    int32_t ioShare_t::*reqCount;
};

constexpr KindUse kKinds[] = {
    {IOSHARE_BIT_IN, 2, 32, 4, 16, &ioShare_t::bitInReqAddr, &ioShare_t::bitInReqCount},
    {IOSHARE_BIT_OUT, 15, 0, 4, 3, &ioShare_t::bitOutReqAddr, &ioShare_t::bitOutReqCount},
    {IOSHARE_BIT_OUT_RB, 1, 0, 4, 16, &ioShare_t::bitOutRbReqAddr, &ioShare_t::bitOutRbReqCount},
    {IOSHARE_INT_IN, 4, 0, 4, 8, &ioShare_t::intInReqAddr, &ioShare_t::intInReqCount},
    {IOSHARE_INT_OUT, 16, 32, 2, 3, &ioShare_t::intOutReqAddr, &ioShare_t::intOutReqCount},
    {IOSHARE_INT_OUT_RB, 3, 32, 2, 8, &ioShare_t::intOutRbReqAddr, &ioShare_t::intOutRbReqCount},
};

constexpr int kDiscreteInputs = 0, kCoils = 1, kInputRegisters = 3, kHoldingRegisters = 4;

// Every client asks for points from its own address, base + id: the address
// in a slot names the client whose request it is.
inline int32_t addressOf(const KindUse &k, int id) {
    return k.base + id;
}

// Whether a request reaches past the mirrored range and so gets a transfer
// of its own.
inline bool beyondRange(const KindUse &k, int32_t addr, int32_t count) {
    return static_cast<int64_t>(addr) + count > static_cast<int64_t>(k.base) + k.count;
}

enum EntryState : int32_t { Pending = 1, Taken, Busy, Unseen, Failed, Replacement };

// One request (or, as Replacement, a waiting request seen and replaced).
struct Entry {
    int32_t state;  // stored last
    int32_t kind;   // index into kKinds
    int32_t addr, count;
    int64_t postedUs, resolvedUs;
};

// One client process, an incarnation of a client id.
struct Incarnation {
    int32_t id, generation, pid;
    int32_t quiesced;   // stopped posting at the end of the chaos phase
    int32_t settled;    // settle round done and checked
    int32_t failure;    // first failure code, 0 none
    int32_t inLibrary;  // 1 while taking, holding or giving back the mutex
    int64_t resolved;   // requests resolved so far, the test's sign of progress
    uint32_t finalCoil, finalRegister;
};

enum Phase : int32_t { Chaos = 0, Quiesce, Settle };

// Header of the shared mapping; incarnations and entries follow it.
struct alignas(8) Ledger {
    int32_t phase;
    int32_t timeoutMs;  // for each request
    int32_t incarnationCapacity, incarnationsUsed;
    int32_t entryCapacity, entriesUsed;
    int32_t ledgerFull;
    uint8_t inputBits[24];        // discrete inputs from 32 on, as the board has them
    uint16_t inputRegisters[16];  // input registers from 0 on

    Incarnation *incarnations() { return reinterpret_cast<Incarnation *>(this + 1); }
    Entry *entries() { return reinterpret_cast<Entry *>(incarnations() + incarnationCapacity); }
    static size_t bytes(int incarnations, int entries) {
        return sizeof(Ledger) + sizeof(Incarnation) * static_cast<size_t>(incarnations) +
               sizeof(Entry) * static_cast<size_t>(entries);
    }
};

template <typename T>
T loadShared(const T &v) {
    return __atomic_load_n(&v, __ATOMIC_ACQUIRE);
}
template <typename T>
void storeShared(T &v, T value) {
    __atomic_store_n(&v, value, __ATOMIC_RELEASE);
}

inline int64_t monoUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// A client process's side. Odd ids post over whatever waits in a slot (the
// protocol lets a post replace a waiting request); even ids go through
// ioshare_request, which waits for the slot to be idle.
class Client {
  public:
    Client(Ledger *ledger, int index, uint64_t seed)
        : l_(ledger), me_(ledger->incarnations()[index]), rng_(seed) {}

    // Runs the client until its settle round is done; the exit status is 0
    // when everything it checked held.
    [[noreturn]] void run(const char *shmName) {
        share_ = ioshare_open(shmName);
        if (share_ == nullptr) fail(1);
        while (loadShared(l_->phase) == Chaos) {
            if (!act()) usleep(1000);
            usleep(static_cast<useconds_t>(rng_() % 1500));
        }
        storeShared(me_.quiesced, 1);
        while (loadShared(l_->phase) == Quiesce) usleep(1000);
        settle();
        storeShared(me_.settled, 1);
        _exit(0);
    }

  private:
    // The region's mutex, marked in the ledger from before it is taken until
    // after it is given back: the test stops a process outside that span when
    // the mutex cannot be recovered from a holder that died.
    bool lock() {
        storeShared(me_.inLibrary, 1);
        if (ioshare_lock(share_) >= 0) return true;
        storeShared(me_.inLibrary, 0);
        return false;
    }
    void unlock() {
        ioshare_unlock(share_);
        storeShared(me_.inLibrary, 0);
    }

    [[noreturn]] void fail(int code) {
        storeShared(me_.failure, code);
        _exit(code);
    }

    Entry *newEntry() {
        const int32_t at = __atomic_fetch_add(&l_->entriesUsed, 1, __ATOMIC_ACQ_REL);
        if (at >= l_->entryCapacity) {
            storeShared(l_->ledgerFull, 1);
            return nullptr;
        }
        return &l_->entries()[at];
    }

    // Counts the (replaced) request seen waiting in a slot before a post.
    void noteReplaced(int k, int32_t addr, int32_t count) {
        Entry *e = newEntry();
        if (e == nullptr) return;
        e->kind = k;
        e->addr = addr;
        e->count = count;
        e->postedUs = e->resolvedUs = monoUs();
        storeShared(e->state, static_cast<int32_t>(Replacement));
    }

    // Posts (addr, count) in the slot of kKinds[k] and follows it until it
    // leaves the slot; the outcome goes into the entry. False when the ledger
    // is full and nothing was posted.
    bool post(int k, int32_t addr, int32_t count, bool patient, int32_t *outcome = nullptr) {
        Entry *e = newEntry();
        if (e == nullptr) return false;
        const KindUse &use = kKinds[k];
        e->kind = k;
        e->addr = addr;
        e->count = count;
        e->postedUs = monoUs();
        storeShared(e->state, static_cast<int32_t>(Pending));
        int32_t state = Failed;
        if (patient) {
            storeShared(me_.inLibrary, 1);
            const int rc = ioshare_request(share_, use.kind, addr, count, l_->timeoutMs);
            storeShared(me_.inLibrary, 0);
            state = rc == 0 ? Taken : rc == -2 ? Busy : rc == -3 ? Unseen : Failed;
        } else {
            state = postOver(use, k, addr, count);
        }
        e->resolvedUs = monoUs();
        storeShared(e->state, state);
        __atomic_fetch_add(&me_.resolved, 1, __ATOMIC_ACQ_REL);
        if (outcome != nullptr) *outcome = state;
        return true;
    }

    int32_t postOver(const KindUse &use, int k, int32_t addr, int32_t count) {
        if (!lock()) return Failed;
        if (share_->*use.reqAddr != IOSHARE_IDLE)
            noteReplaced(k, share_->*use.reqAddr, share_->*use.reqCount);
        share_->*use.reqCount = count;
        share_->*use.reqAddr = addr;
        ioshare_signal(share_);
        unlock();
        const int64_t end = monoUs() + int64_t{l_->timeoutMs} * 1000;
        for (;;) {
            usleep(500);
            if (!lock()) return Failed;
            const bool gone = share_->*use.reqAddr != addr || share_->*use.reqCount != count;
            unlock();
            if (gone) return Taken;
            if (monoUs() >= end) return Unseen;
        }
    }

    int32_t pick(int32_t most) { return 1 + static_cast<int32_t>(rng_() % most); }

    // A slow reader: holds the mutex for up to a millisecond while it looks
    // at its points, so that kills land inside the lock as well.
    void look() {
        if (!lock()) fail(3);
        uint32_t v = 0;
        for (const KindUse &use : kKinds) ioshare_get(share_, use.kind, addressOf(use, me_.id), &v);
        usleep(static_cast<useconds_t>(rng_() % 1000));
        unlock();
    }

    // One random request of the chaos phase (a write puts a fresh value into
    // the client's own point first), or a look at the images.
    bool act() {
        if (rng_() % 4 == 0) {
            look();
            return true;
        }
        const int k = static_cast<int>(rng_() % std::size(kKinds));
        const KindUse &use = kKinds[k];
        const int32_t addr = addressOf(use, me_.id);
        if (use.kind == IOSHARE_BIT_OUT || use.kind == IOSHARE_INT_OUT) {
            if (!lock()) fail(3);
            const uint64_t v = use.kind == IOSHARE_BIT_OUT ? rng_() & 1 : rng_() & 0xFFFF;
            ioshare_put(share_, use.kind, addr, static_cast<uint32_t>(v));
            unlock();
        }
        return post(k, addr, pick(use.maxCount), me_.id % 2 == 0);
    }

    // The last outputs, then reads whose data must arrive whole: faults are
    // off by now and nobody replaces a request any more.
    void settle() {
        me_.finalCoil = rng_() & 1;
        me_.finalRegister = rng_() & 0xFFFF;
        if (!lock()) fail(3);
        ioshare_put(share_, IOSHARE_BIT_OUT, addressOf(kKinds[kCoils], me_.id), me_.finalCoil);
        ioshare_put(share_, IOSHARE_INT_OUT, addressOf(kKinds[kHoldingRegisters], me_.id),
                    me_.finalRegister);
        unlock();
        const int id = me_.id;
        // The inputs read start past the byte that the periodic read of the
        // mirrored range (32..35) rewrites whole, bits 36..39 included.
        struct Step {
            int k;
            int32_t addr, count;
        };
        for (const Step s : {Step{kCoils, id, 1}, Step{kHoldingRegisters, 32 + id, 1},
                             Step{kDiscreteInputs, 40 + id, 8}, Step{kInputRegisters, id, 5}}) {
            int32_t outcome = 0;
            if (!post(s.k, s.addr, s.count, true, &outcome)) fail(4);
            if (outcome != Taken) fail(5);
        }
        if (!lock()) fail(3);
        bool right = true;
        for (int i = 0; i < 8; ++i) {
            uint32_t v = 9;
            right = right && ioshare_get(share_, IOSHARE_BIT_IN, 40 + id + i, &v) == 0 &&
                    v == l_->inputBits[8 + id + i];
        }
        for (int i = 0; i < 5; ++i) {
            uint32_t v = 0x10000;
            right = right && ioshare_get(share_, IOSHARE_INT_IN, id + i, &v) == 0 &&
                    v == l_->inputRegisters[id + i];
        }
        unlock();
        if (!right) fail(6);
    }

    Ledger *l_;
    Incarnation &me_;
    std::mt19937_64 rng_;
    ioShare_t *share_ = nullptr;
};

}  // namespace soak

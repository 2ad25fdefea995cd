// The shared region described once, for the client helpers, the server and
// the gateway: its kinds (slot, image, layout fields, function, bytes per
// point), the name lookup, the lock repair and the bit moves of its images.
// Private to the project: clients use the helpers of ioshare.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ioshare.h"

namespace ioshare {

using Image = unsigned char[IOSHARE_AREA_SIZE];

// One kind of the region, indexed by enum ioshareKind.
struct Kind {
    int32_t ioShare_t::*reqAddr;  // its request slot (null: none)
    int32_t ioShare_t::*reqCount;
    Image ioShare_t::*image;    // where its points sit
    int32_t ioShare_t::*base;   // first Modbus address of the mirrored range
    int32_t ioShare_t::*count;  // points in the mirrored range
    int bytesPerPoint;          // 0 for bits, 2 for registers, 4 for 32-bit inputs
    char function;              // Modbus function of its slot, or of its periodic read
    int registersPerPoint;      // registers a point takes on the wire (bits: 1)
    const char *name;           // for log lines
};

inline constexpr Kind kKinds[] = {
    {&ioShare_t::bitInReqAddr, &ioShare_t::bitInReqCount, &ioShare_t::bitInImage,
     &ioShare_t::bitInBase, &ioShare_t::bitInCount, 0, 2, 1, "bit input"},
    {&ioShare_t::bitOutReqAddr, &ioShare_t::bitOutReqCount, &ioShare_t::bitOutImage,
     &ioShare_t::bitOutBase, &ioShare_t::bitOutCount, 0, 15, 1, "bit output"},
    {&ioShare_t::bitOutRbReqAddr, &ioShare_t::bitOutRbReqCount, &ioShare_t::bitOutRbImage,
     &ioShare_t::bitOutBase, &ioShare_t::bitOutCount, 0, 1, 1, "bit output readback"},
    {&ioShare_t::intInReqAddr, &ioShare_t::intInReqCount, &ioShare_t::intInImage,
     &ioShare_t::intInBase, &ioShare_t::intInCount, 2, 4, 1, "int input"},
    {&ioShare_t::intOutReqAddr, &ioShare_t::intOutReqCount, &ioShare_t::intOutImage,
     &ioShare_t::intOutBase, &ioShare_t::intOutCount, 2, 16, 1, "int output"},
    {&ioShare_t::intOutRbReqAddr, &ioShare_t::intOutRbReqCount, &ioShare_t::intOutRbImage,
     &ioShare_t::intOutBase, &ioShare_t::intOutCount, 2, 3, 1, "int output readback"},
    {nullptr, nullptr, &ioShare_t::dwordInImage, &ioShare_t::dwordInBase, &ioShare_t::dwordInCount,
     4, 4, 2, "32-bit input"},
};

inline constexpr int kKindCount = sizeof kKinds / sizeof kKinds[0];
static_assert(kKindCount == IOSHARE_DWORD_IN + 1, "one entry per enum ioshareKind");

// The kind's entry, or null for a number outside enum ioshareKind.
inline const Kind *kindOf(int kind) {
    return kind >= 0 && kind < kKindCount ? &kKinds[kind] : nullptr;
}

// Points an image of the kind holds: 16384 bits, 1024 registers, 512 32-bit inputs.
inline int32_t roomOf(const Kind &k) {
    return k.bytesPerPoint == 0 ? IOSHARE_BIT_POINTS : IOSHARE_AREA_SIZE / k.bytesPerPoint;
}

// The region's name: `name` when given, else the environment's
// IOSHARE_NAME_ENV when set and not empty, else IOSHARE_DEFAULT_NAME.
const char *regionName(const char *name);

// The repair after a lock of the region's mutex returned `rc`: a holder that
// died (EOWNERDEAD) leaves the fields whole (words and bytes), so marking the
// mutex consistent is all there is to do. 0 taken, 1 taken from a dead holder,
// -1 not taken (rc is then the cause).
int repairLock(ioShare_t *share, int rc);

// Whether the region's mutex has a kind the server sets up. One written over
// is never locked (a lock on some kinds ends the calling process): the
// server sets it up afresh.
bool mutexSound(const ioShare_t *share);

// Guards this process's mapping of the region: a SIGBUS on its pages (the
// object cut short by a client) gives the object its size back through `fd`,
// which the caller keeps open, and the access goes on (on zeros where pages
// were cut). One mapping per process; called again for a new one.
void guardMapping(void *base, size_t size, int fd);

// Whether the guard had to repair the mapping since the last call.
bool mappingRepaired();

// Takes `mutex` within `ms` milliseconds: the lock call's result, ETIMEDOUT
// when it stayed held. A client that takes the mutex again as soon as it
// lets go leaves it free for an instant only, and a waiter asleep in the
// kernel wakes too late for that instant, every time (the mutex is not
// fair). So it is tried for a short while without sleeping first (where
// another processor runs the holder meanwhile), then slept on a little (on
// the monotonic clock), and tried again.
int takeMutex(pthread_mutex_t *mutex, int ms);

// Copies `count` bits from `src` starting at bit `srcBit` (LSB first) to the
// start of `dst`, whose first (count + 7) / 8 bytes are cleared first.
void gatherBits(const unsigned char *src, size_t srcBit, unsigned char *dst, size_t count);

// Copies `count` bits from the start of `src` into `dst` from bit `dstBit`;
// the bits of `dst` around them keep their values.
void scatterBits(const unsigned char *src, unsigned char *dst, size_t dstBit, size_t count);

// ---- Following a request until the board has it ----
// For ioshare_request_confirmed and the gateway: a request posted in a slot,
// its take number once the server took it, and how it was settled, read off
// the server's health record (see ioshareSlotProgress in ioshare.h).

struct Ticket {
    int kind = 0;
    int32_t addr = 0, count = 0;
    uint32_t generation = 0;  // of the server it was posted to
    int32_t serverPid = 0;
    uint32_t takenBefore = 0;  // the slot's `taken` when it was posted
    uint32_t number = 0;       // its take number; 0 until taken
};

enum class Stage {
    Posted,     // still in the slot
    Taken,      // taken, not settled yet
    Done,       // on the board / in the image
    Refused,    // refused when taken or later, or replaced in the slot
    Restarted,  // the server it was posted to is gone
};

// Copies the health record and checks that it carries request progress.
bool readProgress(const ioshareHealth *health, ioshareHealth *copy);

// With the mutex held and the slot idle: writes the request into the slot
// (count, then address), signals the server and fills `t` from `copy`, a
// copy of the health record taken with the mutex held.
void post(ioShare_t *share, const ioshareHealth &copy, int kind, int32_t addr, int32_t count,
          Ticket *t);

// With the mutex held and a copy of the health record taken with it held:
// Posted, Taken (t->number set), Refused or Restarted.
Stage takeStage(const ioShare_t *share, const ioshareHealth &copy, Ticket *t);

// With the mutex held: takes a request back from the slot while the server
// has not taken it. True when it was still there (and is gone now).
bool withdraw(ioShare_t *share, const Ticket &t);

// From any copy of the health record, for a taken ticket: Taken, Done,
// Refused or Restarted.
Stage settleStage(const ioshareHealth &copy, const Ticket &t);

}  // namespace ioshare

// The refresh thread: request slots, full-image writes and periodic reads.
#include "refresh.h"

#include <time.h>
#include <unistd.h>

#include <cstring>

#include "ioshare.h"
#include "log.h"
#include "modbus.h"
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

using Image = unsigned char[IOSHARE_AREA_SIZE];

// First address and number of points of one kind, as the cycle found them.
struct Span {
    int32_t base, count;
};

// The layout, taken afresh each cycle: everything after the wait uses it.
struct Layout {
    Span bitIn, bitOut, intIn, intOut, dwordIn;
};

struct Dirty {
    bool bits = false;
    bool registers = false;
};

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

// The transfer of a request beyond the range, with its data at point
// addr - base of the slot's image (the caller made sure they fit there).
void carry(ioShare_t *share, const Slot &s, int32_t addr, int32_t count, int32_t base,
           unsigned char *buf) {
    const auto first = static_cast<size_t>(static_cast<long long>(addr) - base);
    const auto n = static_cast<size_t>(count);
    unsigned char *image = share->*s.image;
    if (s.function == 15) {
        gatherBits(image, first, buf, n);
        transfer(15, addr, count, buf, IOSHARE_AREA_SIZE);
        return;
    }
    if (s.function == 16) {
        // Sent from a copy: on an exception answer the library puts the code
        // into the buffer it was given, which must not be the client's image.
        std::memcpy(buf, image + 2 * first, 2 * n);
        transfer(16, addr, count, buf, IOSHARE_AREA_SIZE);
        return;
    }
    const int rc = transfer(s.function, addr, count, buf, IOSHARE_AREA_SIZE);
    if (rc != 0) {
        logError(s.failFormat, addr, rc);
        return;
    }
    if (s.item == Item::Bit)
        scatterBits(buf, image, first, n);
    else
        std::memcpy(image + 2 * first, buf, 2 * n);
}

void serveSlot(ioShare_t *share, const Slot &s, const Layout &layout, Dirty *dirty,
               unsigned char *buf) {
    const int32_t addr = share->*s.addr;
    if (addr == IOSHARE_IDLE) return;
    const int32_t count = share->*s.count;
    const Span span = layout.*s.span;
    if (s.function == 15) {
        std::memcpy(bitOutCache, share->bitOutImage, bitImageBytes(span.count));
        dirty->bits = true;
    } else if (s.function == 16) {
        std::memcpy(intOutCache, share->intOutImage, registerImageBytes(span.count));
        dirty->registers = true;
    }
    if (beyondRange(addr, count, span.base, span.count)) {
        // A request must never make the server read or write outside the
        // image it names (below the base, or past the image's room).
        const int32_t room = s.item == Item::Bit ? IOSHARE_BIT_POINTS : IOSHARE_REGISTERS;
        if (insideImage(addr, count, span.base, room))
            carry(share, s, addr, count, span.base, buf);
        else
            logMsg(1, "%s request at %d count %d outside the image, refused", s.name, addr, count);
    }
    share->*s.addr = IOSHARE_IDLE;
}

void writeOutputs(const Layout &layout, const Dirty &dirty) {
    if (dirty.bits)
        transfer(15, layout.bitOut.base, layout.bitOut.count, bitOutCache, sizeof bitOutCache);
    if (dirty.registers)
        transfer(16, layout.intOut.base, layout.intOut.count, intOutCache, sizeof intOutCache);
}

void readImages(ioShare_t *share, const Layout &layout, unsigned char *buf) {
    for (const PeriodicRead &r : kReads) {
        const Span span = layout.*r.span;
        if (span.count <= 0) continue;
        if (transfer(r.function, span.base,
                     static_cast<long long>(span.count) * r.registersPerPoint, buf,
                     IOSHARE_AREA_SIZE) != 0)
            continue;
        if (!held(lockRegion(share))) continue;
        std::memcpy(share->*r.image, buf, r.bytes(span.count));
        pthread_mutex_unlock(&share->mutex);
    }
}

}  // namespace

void *writeThread(void *arg) {
    auto *share = static_cast<ioShare_t *>(arg);
    unsigned char buf[IOSHARE_AREA_SIZE];
    while (serverRunning()) {
        if (!held(lockRegion(share))) {
            usleep(kLockRetryUs);
            continue;
        }
        // Tested again under the mutex: a stop whose broadcast came while
        // this thread was busy would otherwise leave it waiting an interval.
        if (serverRunning() && !requestWaiting(share)) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            const timespec deadline = refreshDeadline(now, share->interval);
            if (!held(waitRegion(share, &deadline))) {
                usleep(kLockRetryUs);
                continue;
            }
        }
        const Layout layout = takeLayout(share);
        Dirty dirty;
        for (const Slot &s : kSlots) serveSlot(share, s, layout, &dirty, buf);
        pthread_mutex_unlock(&share->mutex);
        writeOutputs(layout, dirty);
        readImages(share, layout, buf);
    }
    return nullptr;
}

// The outputs clients wrote, carried to the board until it has them, and
// the progress of every slot's requests as the health record shows it.
#include "outputs.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "../lib/ioshare_region.h"
#include "health.h"
#include "log.h"
#include "modbus.h"
#include "refresh_rules.h"

namespace {

constexpr char kPort = 1;
constexpr char kSlave = 1;
constexpr WORD kTimeoutMs = 50;

enum class Sent { Taken, Refused, NoAnswer };

const char *nameOf(const OutputKind &out) {
    return ioshare::kKinds[out.kind].name;
}

void setBit(uint32_t *words, uint32_t n, bool on) {
    const uint32_t bit = n % IOSHARE_REFUSED_BITS;
    if (on)
        words[bit / 32] |= 1u << (bit % 32);
    else
        words[bit / 32] &= ~(1u << (bit % 32));
}

// Sends one write from a copy of `data` (an exception answer lands in the
// buffer given). Nothing came, or an answer that did not check, is worth
// sending again; an exception, or a request no frame can carry, is the
// board's (or the line's) final word.
Sent sendWrite(Outputs *o, char function, int32_t addr, int32_t count, const unsigned char *data,
               bool *failing) {
    unsigned char buf[IOSHARE_AREA_SIZE];
    std::memcpy(buf, data, sizeof buf);
    const int rc = boardTransfer(function, addr, count, buf, sizeof buf);
    const char *name = function == 15 ? "bit output" : "int output";
    if (rc == 0) {
        if (*failing) logMsg(2, "%s write at %d taken by the board again", name, addr);
        *failing = false;
        return Sent::Taken;
    }
    const bool again = rc == 11 || rc == 12 || rc == 15;
    if (o->health != nullptr) {
        char text[IOSHARE_HEALTH_ERROR_SIZE];
        std::snprintf(text, sizeof text, "%s write at %d failed retVal = %d", name, addr, rc);
        healthBeginWrite(o->health);
        ++o->health->failedWrites;
        healthSetError(o->health, text);
        healthEndWrite(o->health);
    }
    if (!*failing || !again)
        logMsg(1, "%s write at %d failed retVal = %d%s", name, addr, rc,
               again ? ", sent again every cycle until the board takes it"
                     : ": refused, not sent again");
    *failing = again;
    return again ? Sent::NoAnswer : Sent::Refused;
}

// The oldest request of the kind not settled yet, 0 when none.
uint32_t oldestOpen(const Outputs &o, int kind) {
    const OutputKind *out = kind == IOSHARE_BIT_OUT   ? &o.bits
                            : kind == IOSHARE_INT_OUT ? &o.regs
                                                      : nullptr;
    if (out == nullptr) return o.books[kind].readFrom;
    uint32_t oldest = 0;
    const uint32_t taken = o.books[kind].taken;
    const uint32_t open[] = {out->size > 0 ? out->queue[out->head].number : 0u, out->fullFrom,
                             out->backFrom};
    // The one furthest behind `taken` (numbers wrap around).
    for (uint32_t n : open)
        if (n != 0 && (oldest == 0 || taken - n > taken - oldest)) oldest = n;
    return oldest;
}

void popFront(OutputKind *out) {
    out->head = (out->head + 1) % kWriteQueueRoom;
    --out->size;
    out->frontFailing = false;
}

// Sends the queued writes beyond the range, oldest first, until one finds
// no answer: a later write must not overtake an earlier one.
void sendQueue(Outputs *o, OutputKind *out) {
    if (out->frontTried) return;  // it went out with the request, this cycle
    while (out->size > 0) {
        QueuedWrite &w = out->queue[out->head];
        const Sent sent = sendWrite(o, out->function, w.addr, w.count, w.data, &out->frontFailing);
        if (sent == Sent::NoAnswer) return;
        if (sent == Sent::Refused) refuseRequests(o, out->kind, w.number, w.number);
        popFront(out);
    }
}

void sendFull(Outputs *o, OutputKind *out) {
    if (!out->fullPending) return;
    const Sent sent =
        sendWrite(o, out->function, out->fullAddr, out->fullCount, out->cache, &out->fullFailing);
    // A write of nothing (a board without that kind) has nothing to converge.
    out->fullPending = sent == Sent::NoAnswer && out->fullCount > 0;
    if (sent == Sent::NoAnswer || out->fullFrom == 0) return;
    if (sent == Sent::Refused) {
        refuseRequests(o, out->kind, out->fullFrom, out->fullCovers);
        // What the board refused is not what it should be brought back to.
        out->cacheHeld = false;
    } else if (out->backFrom == 0) {
        out->backFrom = out->fullFrom;
    }
    out->fullFrom = 0;
}

bool sameOutputs(const OutputKind &out, const unsigned char *readBack, int32_t count) {
    if (out.function == 16) return std::memcmp(readBack, out.cache, registerImageBytes(count)) == 0;
    for (int32_t i = 0; i < count; ++i)
        if (((readBack[i / 8] ^ out.cache[i / 8]) >> (i % 8) & 1) != 0) return false;
    return true;
}

}  // namespace

int boardTransfer(char function, long long addr, long long count, unsigned char *buf,
                  size_t bufLen) {
    return modbusRequest(kPort, kSlave, function, static_cast<WORD>(addr), static_cast<WORD>(count),
                         reinterpret_cast<char *>(buf), static_cast<WORD>(bufLen), kTimeoutMs,
                         nullptr);
}

uint32_t numberRequest(Outputs *o, int kind) {
    SlotBook &b = o->books[kind];
    const uint32_t n = ++b.taken;
    setBit(b.refused, n, false);
    return n;
}

void refuseRequests(Outputs *o, int kind, uint32_t from, uint32_t to) {
    SlotBook &b = o->books[kind];
    // More than the bits hold: the oldest are told as unknown anyway.
    if (to - from >= IOSHARE_REFUSED_BITS) from = to - (IOSHARE_REFUSED_BITS - 1);
    for (uint32_t n = from;; ++n) {
        setBit(b.refused, n, true);
        if (n == to) break;
    }
}

void takeWrite(Outputs *o, OutputKind *out, const unsigned char *image, int32_t addr, int32_t count,
               int32_t base, int32_t size) {
    const uint32_t n = numberRequest(o, out->kind);
    const ioshare::Kind &k = ioshare::kKinds[out->kind];
    const bool bits = out->function == 15;
    std::memcpy(out->cache, image, bits ? bitImageBytes(size) : registerImageBytes(size));
    out->fullPending = true;
    out->cacheHeld = out->takenThisCycle = true;
    out->resent = false;
    out->mismatchCycles = 0;
    if (!insideImage(addr, count, base, ioshare::roomOf(k))) {
        // Never read or written outside the image it names.
        if (beyondRange(addr, count, base, size))
            logRefusal(out->kind, "%s request at %d count %d outside the image, refused", k.name,
                       addr, count);
        refuseRequests(o, out->kind, n, n);
        return;
    }
    if (beyondRange(addr, count, base, size)) {
        if (out->size == kWriteQueueRoom) {
            logRefusal(out->kind,
                       "%s write at %d count %d refused: %d writes beyond the range wait already",
                       k.name, addr, count, kWriteQueueRoom);
            refuseRequests(o, out->kind, n, n);
            return;
        }
        QueuedWrite &w = out->queue[(out->head + out->size) % kWriteQueueRoom];
        w.number = n;
        w.addr = addr;
        w.count = count;
        const auto first = static_cast<size_t>(static_cast<long long>(addr) - base);
        std::memset(w.data, 0, sizeof w.data);
        if (bits)
            gatherBits(image, first, w.data, static_cast<size_t>(count));
        else
            std::memcpy(w.data, image + 2 * first, 2 * static_cast<size_t>(count));
        const bool alone = out->size == 0;
        ++out->size;
        // Sent at once, as the request's own transfer, unless older ones wait.
        if (alone) {
            const Sent sent = sendWrite(o, out->function, addr, count, w.data, &out->frontFailing);
            out->frontTried = sent == Sent::NoAnswer;
            if (sent == Sent::Refused) refuseRequests(o, out->kind, n, n);
            if (sent != Sent::NoAnswer) popFront(out);
        }
        if (static_cast<long long>(addr) >= static_cast<long long>(base) + size) return;
    }
    if (size <= 0) return;  // no range to write: settled with its own transfer
    if (out->fullFrom == 0) out->fullFrom = n;
    out->fullCovers = n;
}

void sendOutputs(Outputs *o, int32_t bitBase, int32_t bitCount, int32_t regBase, int32_t regCount) {
    o->bits.fullAddr = bitBase;
    o->bits.fullCount = bitCount;
    o->regs.fullAddr = regBase;
    o->regs.fullCount = regCount;
    for (OutputKind *out : {&o->bits, &o->regs}) {
        sendQueue(o, out);
        sendFull(o, out);
        out->frontTried = false;
    }
}

void afterReadBack(Outputs *o, OutputKind *out, const unsigned char *readBack, int32_t count) {
    const bool taken = out->takenThisCycle;
    out->takenThisCycle = false;
    if (readBack == nullptr) return;
    out->backFrom = 0;  // what was sent before it shows in the read-back image now
    if (!out->cacheHeld || out->fullPending || count <= 0) return;
    if (sameOutputs(*out, readBack, count)) {
        if (out->overridden) logMsg(2, "%ss on the board follow the clients again", nameOf(*out));
        out->mismatchCycles = 0;
        out->resent = out->overridden = false;
        return;
    }
    // Two cycles in a row with no client write between them: the board
    // lost them (a restart) or keeps them on purpose. Sent again once; a
    // board that keeps its own values then is left with them, and said so.
    if (taken || ++out->mismatchCycles < 2) return;
    out->mismatchCycles = 0;
    if (!out->resent) {
        out->resent = true;
        out->fullPending = true;
        ++o->resends;
        logMsg(1, "%ss read back from the board differ from what clients set: sent again",
               nameOf(*out));
    } else if (!out->overridden) {
        out->overridden = true;
        logMsg(1, "the board keeps its %ss other than clients set them: left as they are",
               nameOf(*out));
    }
}

void resendOutputs(Outputs *o) {
    bool any = false;
    for (OutputKind *out : {&o->bits, &o->regs})
        if (out->cacheHeld && out->fullCount > 0) {
            out->fullPending = any = true;
            out->mismatchCycles = 0;
        }
    if (!any) return;
    ++o->resends;
    logMsg(1, "board answers again: output images sent again");
}

void publishProgress(Outputs *o) {
    ioshareHealth *h = o->health;
    if (h == nullptr) return;
    healthBeginWrite(h);
    for (int kind = 0; kind < IOSHARE_SLOT_KINDS; ++kind) {
        const SlotBook &b = o->books[kind];
        ioshareSlotProgress &p = h->slots[kind];
        const uint32_t oldest = oldestOpen(*o, kind);
        p.taken = b.taken;
        p.confirmed = oldest != 0 ? oldest - 1 : b.taken;
        std::memcpy(p.refused, b.refused, sizeof p.refused);
    }
    h->outputResends = o->resends;
    h->outputsOverridden = (o->bits.overridden ? 1u << IOSHARE_BIT_OUT : 0u) |
                           (o->regs.overridden ? 1u << IOSHARE_INT_OUT : 0u);
    healthEndWrite(h);
}

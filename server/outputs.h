// What the refresh thread owes the board: the outputs clients wrote, until
// the board has them, and how far the requests of every slot have come (the
// request progress of the health record).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ioshare.h"

// Writes beyond the mirrored range the board has not taken yet, per kind.
constexpr int kWriteQueueRoom = 32;

// The numbers of one slot's requests (ioshareSlotProgress).
struct SlotBook {
    uint32_t taken = 0;
    uint32_t refused[IOSHARE_REFUSED_BITS / 32] = {};
    uint32_t readFrom = 0;  // a read waiting for this cycle's periodic read (0: none)
};

// A write beyond the mirrored range, with its own copy of the points.
struct QueuedWrite {
    uint32_t number;
    int32_t addr, count;
    unsigned char data[IOSHARE_AREA_SIZE];
};

// One kind of output: coils (15) or holding registers (16).
struct OutputKind {
    OutputKind(int k, char f) : kind(k), function(f) {}
    int kind;
    char function;
    unsigned char *cache = nullptr;  // the image as last taken, sent as the full-range write
    QueuedWrite queue[kWriteQueueRoom];
    int head = 0, size = 0;
    bool frontTried = false;  // the queue's first write went out with this cycle's requests
    bool frontFailing = false;
    // The full-range write: pending, the requests it carries (fullFrom ..
    // fullCovers, 0: none), and those sent waiting for the read-back.
    bool fullPending = false, fullFailing = false;
    uint32_t fullFrom = 0, fullCovers = 0, backFrom = 0;
    int32_t fullAddr = 0, fullCount = 0;
    // Following the board: the cache holds what clients want on it; the
    // read-back has differed from it for mismatchCycles cycles; the images
    // were sent again for that; the board keeps other values all the same.
    bool cacheHeld = false, takenThisCycle = false, resent = false, overridden = false;
    int mismatchCycles = 0;
};

struct Outputs {
    SlotBook books[IOSHARE_SLOT_KINDS];
    OutputKind bits{IOSHARE_BIT_OUT, 15};
    OutputKind regs{IOSHARE_INT_OUT, 16};
    uint32_t resends = 0;
    ioshareHealth *health = nullptr;
};

// A board transfer on COM port 1 to slave 1; address and count go out as
// their low 16 bits. The library's result code.
int boardTransfer(char function, long long addr, long long count, unsigned char *buf,
                  size_t bufLen);

// Numbers the request just found in the slot of `kind` and returns it.
uint32_t numberRequest(Outputs *o, int kind);

// Settles request `n` as refused (a range: every number from..to).
void refuseRequests(Outputs *o, int kind, uint32_t from, uint32_t to);

// A write request just taken (mutex held): the cache copied from the image
// and the full-range write marked, a write beyond the range sent at once or
// queued behind the ones before it. `image` is the kind's output image.
void takeWrite(Outputs *o, OutputKind *out, const unsigned char *image, int32_t addr, int32_t count,
               int32_t base, int32_t size);

// The writes owed, without the mutex: the queued writes beyond the range in
// order (up to the first the board does not answer), then the full range.
void sendOutputs(Outputs *o, int32_t bitBase, int32_t bitCount, int32_t regBase, int32_t regCount);

// After the periodic read-back of `out` (answer in `readBack`, null when it
// failed): the writes sent before it are settled, and a board whose outputs
// keep differing from the cache is sent the images again, once.
void afterReadBack(Outputs *o, OutputKind *out, const unsigned char *readBack, int32_t count);

// The board answers again after a silence: the output images go again.
void resendOutputs(Outputs *o);

// Publishes every slot's progress and the outputs' state in the health record.
void publishProgress(Outputs *o);

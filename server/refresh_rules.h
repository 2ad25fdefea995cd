// The refresh cycle's arithmetic, free of the region and the board: the wait's
// deadline, image lengths, which requests are carried to the board, and the
// bit moves between an image and a transfer buffer.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "../lib/ioshare_region.h"

// Absolute deadline of a wait of `interval` ms from `now`. Above 1000 ms
// only whole seconds count (1500 waits one second); up to 1000 ms the
// nanoseconds are normalised, and 0 or a negative interval gives a deadline
// already passed. Only now's microseconds are used.
timespec refreshDeadline(const timespec &now, int interval);

// Bytes of the images that mirror `count` points, never more than an image
// holds: bits (count - 1) / 8 + 1 (so 0 gives 1), registers 2 per count,
// 32-bit inputs 4 per count. A negative count gives 0.
size_t bitImageBytes(int32_t count);
size_t registerImageBytes(int32_t count);
size_t dwordImageBytes(int32_t count);

// Whether a request (addr, count) reaches beyond the mirrored range
// base .. base + size - 1 and so needs a transfer of its own.
bool beyondRange(int32_t addr, int32_t count, int32_t base, int32_t size);

// Whether points addr .. addr + count - 1 all lie in an image of `room`
// points whose point 0 is Modbus address `base`.
bool insideImage(int32_t addr, int32_t count, int32_t base, int32_t room);

// The bit moves between an image and a transfer buffer are the region's,
// described once with it.
using ioshare::gatherBits;
using ioshare::scatterBits;

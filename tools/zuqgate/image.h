// A checked request served from, or applied to, the region's images, with the
// board's own address map: the mirrored range of each kind, as the server's
// layout fields give it, clamped to the image's real room so that no value of
// those fields (which any client can change) reaches outside an image.
// Every function here expects the region's mutex held.
#pragma once

#include <cstdint>

#include "ioshare.h"
#include "modbus_map.h"

namespace zuqgate {

// Data bytes of the answer to a read (function 1-4) into `data` (room for
// 250 bytes): their number, or the negated exception code (kIllegalAddress
// when the range does not lie wholly inside the mirrored points).
int readImage(const ioShare_t &r, const fieldbus::regmap::Request &req, uint8_t *data);

// Whether a write (function 5, 6, 15, 16) lies wholly inside the mirrored
// outputs of its kind.
bool writeInside(const ioShare_t &r, const fieldbus::regmap::Request &req);

// Puts a write's values into the output image; false (nothing written) when
// it does not lie inside the mirrored outputs.
bool writeImage(ioShare_t &r, const fieldbus::regmap::Request &req);

// The request slot (address, count) a write goes through: the coil slot
// for 5 and 15, the holding-register slot for 6 and 16.
int32_t *slotAddr(ioShare_t &r, uint8_t function);
int32_t *slotCount(ioShare_t &r, uint8_t function);

// Reads a field another process may change at any moment exactly once.
inline int32_t once(const int32_t &field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

}  // namespace zuqgate

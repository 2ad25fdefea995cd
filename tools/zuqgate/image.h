// A checked request served from, or applied to, the region's images, with the
// board's own address map: the mirrored range of each kind, as the server's
// layout fields give it, clamped to the image's real room so that no value of
// those fields (which any client can change) reaches outside an image.
// Every function here expects the region's mutex held.
#pragma once

#include <cstdint>

#include "ioshare.h"
#include "ioshare_region.h"
#include "modbus_map.h"
#include "modbus_pdu.h"

namespace zuqgate {

// Data bytes of the answer to a read (function 1-4) into `data` (room for
// 250 bytes): their number, or the negated exception code (kIllegalAddress
// when the range does not lie wholly inside the mirrored points).
int readImage(const ioShare_t &r, const fieldbus::regmap::Request &req, uint8_t *data);

// The kind whose output image and request slot a write (function 5, 6, 15,
// 16, 0x16, 0x17) goes through: the bit outputs or the register outputs. Null
// for any other function.
const ioshare::Kind *writeKind(uint8_t function);

// Puts a write's values into the output image; false (nothing written) when
// it does not lie inside the mirrored outputs.
bool writeImage(ioShare_t &r, const fieldbus::regmap::Request &req);

// Copies the points a write (function 5, 6, 15, 16) is about to change from
// the output image into `before` (room for 250 bytes), bits packed as
// function 15 carries them, registers two bytes each. False when the write
// does not lie inside the mirrored outputs.
bool saveImage(const ioShare_t &r, const fieldbus::regmap::Request &req, uint8_t *before);

// Takes a write that was not carried out back out of the output image: each
// point gets its value from `before` again while it still holds the value
// the write put there (another write may have changed it since).
void restoreImage(ioShare_t &r, const fieldbus::regmap::Request &req, const uint8_t *before);

// Reads a field another process may change at any moment exactly once.
inline int32_t once(const int32_t &field) {
    return __atomic_load_n(&field, __ATOMIC_RELAXED);
}

}  // namespace zuqgate

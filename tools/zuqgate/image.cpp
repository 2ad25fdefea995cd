// Reads and writes of Modbus requests against the region's images.
#include "image.h"

#include <cstring>

namespace zuqgate {
namespace {

using fieldbus::regmap::kIllegalAddress;
using fieldbus::regmap::rangeInside;
using fieldbus::regmap::Request;

// A kind's mirrored range as the gateway may use it: the first address and
// the number of points, at most the image's room. A base outside the Modbus
// addresses mirrors nothing (and keeps base + count far from overflowing).
struct Range {
    int32_t base;
    int32_t count;
};

Range mirrored(const int32_t &base, const int32_t &count, int32_t room) {
    const int32_t b = once(base), n = once(count);
    if (b < 0 || b > 0xFFFF || n <= 0) return {0, 0};
    return {b, n < room ? n : room};
}

Range bitsIn(const ioShare_t &r) {
    return mirrored(r.bitInBase, r.bitInCount, IOSHARE_BIT_POINTS);
}
Range bitsOut(const ioShare_t &r) {
    return mirrored(r.bitOutBase, r.bitOutCount, IOSHARE_BIT_POINTS);
}
Range regsIn(const ioShare_t &r) {
    return mirrored(r.intInBase, r.intInCount, IOSHARE_REGISTERS);
}
Range regsOut(const ioShare_t &r) {
    return mirrored(r.intOutBase, r.intOutCount, IOSHARE_REGISTERS);
}
// The 32-bit inputs as the board's registers, two each.
Range dwordRegs(const ioShare_t &r) {
    const Range d = mirrored(r.dwordInBase, r.dwordInCount, IOSHARE_DWORDS);
    return {d.base, 2 * d.count};
}

bool inside(const Request &req, Range range) {
    return rangeInside(req, range.base, range.count);
}

// Packs `quantity` bits of `image` from bit `first` on, least significant
// first, as Modbus carries them.
int packBits(const unsigned char *image, int first, int quantity, uint8_t *data) {
    const int bytes = (quantity + 7) / 8;
    std::memset(data, 0, static_cast<size_t>(bytes));
    for (int i = 0; i < quantity; ++i) {
        const int at = first + i;
        if (image[at / 8] >> (at % 8) & 1)
            data[i / 8] = static_cast<uint8_t>(data[i / 8] | 1 << (i % 8));
    }
    return bytes;
}

int copyRegs(const unsigned char *image, int first, int quantity, uint8_t *data) {
    std::memcpy(data, image + 2 * first, static_cast<size_t>(2 * quantity));
    return 2 * quantity;
}

// Input registers: the 16-bit inputs and the 32-bit inputs are both read
// with function 4, so each register comes from whichever range holds it.
int readInputRegs(const ioShare_t &r, const Request &req, uint8_t *data) {
    const Range in = regsIn(r), dw = dwordRegs(r);
    for (int i = 0; i < req.quantity; ++i) {
        const int32_t a = req.address + i;
        const unsigned char *src = nullptr;
        if (a >= in.base && a < in.base + in.count)
            src = r.intInImage + 2 * (a - in.base);
        else if (a >= dw.base && a < dw.base + dw.count)
            src = r.dwordInImage + 2 * (a - dw.base);
        else
            return -kIllegalAddress;
        data[2 * i] = src[0];
        data[2 * i + 1] = src[1];
    }
    return 2 * req.quantity;
}

}  // namespace

int readImage(const ioShare_t &r, const Request &req, uint8_t *data) {
    Range range{};
    switch (req.function) {
        case 1:
            range = bitsOut(r);
            if (!inside(req, range)) return -kIllegalAddress;
            return packBits(r.bitOutRbImage, req.address - range.base, req.quantity, data);
        case 2:
            range = bitsIn(r);
            if (!inside(req, range)) return -kIllegalAddress;
            return packBits(r.bitInImage, req.address - range.base, req.quantity, data);
        case 3:
            range = regsOut(r);
            if (!inside(req, range)) return -kIllegalAddress;
            return copyRegs(r.intOutRbImage, req.address - range.base, req.quantity, data);
        case 4:
            return readInputRegs(r, req, data);
        default:
            return -fieldbus::regmap::kIllegalFunction;
    }
}

bool writeInside(const ioShare_t &r, const Request &req) {
    switch (req.function) {
        case 5:
        case 15:
            return inside(req, bitsOut(r));
        case 6:
        case 16:
            return inside(req, regsOut(r));
        default:
            return false;
    }
}

bool writeImage(ioShare_t &r, const Request &req) {
    const bool bits = req.function == 5 || req.function == 15;
    // One look at the layout for both the check and the copy.
    const Range range = bits ? bitsOut(r) : regsOut(r);
    if (!inside(req, range)) return false;
    const int first = req.address - range.base;
    if (!bits) {
        std::memcpy(r.intOutImage + 2 * first, req.data, static_cast<size_t>(2 * req.quantity));
        return true;
    }
    for (int i = 0; i < req.quantity; ++i) {
        // Function 5 carries 0xFF00 for on; 15 carries the bits packed.
        const bool on = req.function == 5 ? req.data[0] == 0xFF : (req.data[i / 8] >> (i % 8) & 1);
        const int at = first + i;
        const auto mask = static_cast<unsigned char>(1u << (at % 8));
        unsigned char &byte = r.bitOutImage[at / 8];
        byte = static_cast<unsigned char>(on ? byte | mask : byte & ~mask);
    }
    return true;
}

int32_t *slotAddr(ioShare_t &r, uint8_t function) {
    return function == 5 || function == 15 ? &r.bitOutReqAddr : &r.intOutReqAddr;
}

int32_t *slotCount(ioShare_t &r, uint8_t function) {
    return function == 5 || function == 15 ? &r.bitOutReqCount : &r.intOutReqCount;
}

}  // namespace zuqgate

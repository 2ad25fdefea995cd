// Reads and writes of Modbus requests against the region's images.
#include "image.h"

#include <algorithm>
#include <cstring>

namespace zuqgate {
namespace {

using fieldbus::regmap::kIllegalAddress;
using fieldbus::regmap::rangeInside;
using fieldbus::regmap::Request;
using ioshare::Kind;
using ioshare::kKindCount;
using ioshare::kKinds;

// A kind's mirrored range as the gateway may use it: the first address and
// the number of the board's points (bits, or registers: a 32-bit input is
// two), at most the image's room. A base outside the Modbus addresses
// mirrors nothing (and keeps base + count far from overflowing).
struct Range {
    int32_t base;
    int32_t count;
};

Range mirrored(const ioShare_t &r, const Kind &k) {
    const int32_t b = once(r.*k.base), n = once(r.*k.count);
    if (b < 0 || b > 0xFFFF || n <= 0) return {0, 0};
    return {b, std::min(n, ioshare::roomOf(k)) * k.registersPerPoint};
}

// Registers of a read (function 3 or 4), each from the first kind read with
// that function that mirrors it: function 4 reads the 16-bit inputs, then the
// 32-bit inputs. Every kind's image holds two bytes per register.
int readRegisters(const ioShare_t &r, const Request &req, uint8_t *data) {
    const Kind *kinds[kKindCount];
    Range ranges[kKindCount];
    int served = 0;
    for (const Kind &k : kKinds) {
        if (k.function != req.function) continue;
        kinds[served] = &k;
        ranges[served++] = mirrored(r, k);
    }
    for (int i = 0; i < req.quantity; ++i) {
        const int32_t a = req.address + i;
        int j = 0;
        while (j < served && !(a >= ranges[j].base && a < ranges[j].base + ranges[j].count)) ++j;
        if (j == served) return -kIllegalAddress;
        const unsigned char *src = r.*kinds[j]->image + 2 * (a - ranges[j].base);
        data[2 * i] = src[0];
        data[2 * i + 1] = src[1];
    }
    return 2 * req.quantity;
}

}  // namespace

int readImage(const ioShare_t &r, const Request &req, uint8_t *data) {
    switch (req.function) {
        case 1:  // the coils as read back from the board
        case 2: {
            const Kind &k = kKinds[req.function == 1 ? IOSHARE_BIT_OUT_RB : IOSHARE_BIT_IN];
            const Range range = mirrored(r, k);
            if (!rangeInside(req, range.base, range.count)) return -kIllegalAddress;
            ioshare::gatherBits(r.*k.image, static_cast<size_t>(req.address - range.base), data,
                                req.quantity);
            return (req.quantity + 7) / 8;
        }
        case 3:
        case 4:
            return readRegisters(r, req, data);
        default:
            return -fieldbus::regmap::kIllegalFunction;
    }
}

const Kind *writeKind(uint8_t function) {
    switch (function) {
        case 5:
        case 15:
            return &kKinds[IOSHARE_BIT_OUT];
        case 6:
        case 16:
        case fieldbus::pdu::kMaskWrite:
        case fieldbus::pdu::kReadWriteRegisters:
            return &kKinds[IOSHARE_INT_OUT];
        default:
            return nullptr;
    }
}

bool saveImage(const ioShare_t &r, const Request &req, uint8_t *before) {
    const Kind *k = writeKind(req.function);
    if (k == nullptr) return false;
    const Range range = mirrored(r, *k);
    if (!rangeInside(req, range.base, range.count)) return false;
    const auto first = static_cast<size_t>(req.address - range.base);
    if (k->bytesPerPoint != 0)
        std::memcpy(before, r.*k->image + 2 * first, static_cast<size_t>(2 * req.quantity));
    else
        ioshare::gatherBits(r.*k->image, first, before, req.quantity);
    return true;
}

void restoreImage(ioShare_t &r, const Request &req, const uint8_t *before) {
    const Kind *k = writeKind(req.function);
    if (k == nullptr) return;
    const Range range = mirrored(r, *k);
    if (!rangeInside(req, range.base, range.count)) return;
    const auto first = static_cast<size_t>(req.address - range.base);
    unsigned char *image = r.*k->image;
    const auto bit = [](const unsigned char *p, size_t i) {
        return (p[i / 8] >> (i % 8) & 1) != 0;
    };
    for (size_t i = 0; i < static_cast<size_t>(req.quantity); ++i) {
        if (k->bytesPerPoint != 0) {
            unsigned char *at = image + 2 * (first + i);
            if (std::memcmp(at, req.data + 2 * i, 2) == 0) std::memcpy(at, before + 2 * i, 2);
            continue;
        }
        const bool written = req.function == 5 ? req.data[0] == 0xFF : bit(req.data, i);
        if (bit(image, first + i) == written && bit(before, i) != written) {
            const auto mask = static_cast<unsigned char>(1u << ((first + i) % 8));
            image[(first + i) / 8] = static_cast<unsigned char>(image[(first + i) / 8] ^ mask);
        }
    }
}

bool writeImage(ioShare_t &r, const Request &req) {
    const Kind *k = writeKind(req.function);
    if (k == nullptr) return false;
    // One look at the layout for both the check and the copy.
    const Range range = mirrored(r, *k);
    if (!rangeInside(req, range.base, range.count)) return false;
    const auto first = static_cast<size_t>(req.address - range.base);
    unsigned char *image = r.*k->image;
    if (k->bytesPerPoint != 0) {
        std::memcpy(image + 2 * first, req.data, static_cast<size_t>(2 * req.quantity));
        return true;
    }
    // Function 5 carries 0xFF00 for on; 15 carries the bits packed.
    const unsigned char single = req.data[0] == 0xFF ? 1 : 0;
    ioshare::scatterBits(req.function == 5 ? &single : req.data, image, first, req.quantity);
    return true;
}

}  // namespace zuqgate

// Register-map server: request bytes in, answer out, the map checked. The map
// (starts and counts from the first bytes) sits inside guarded arrays; no
// request may change a guard, write outside a good write's range, or give an
// answer that is not an exception, a read of exactly the asked points, the
// echo of a write, or an identity answer that fits a frame.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "modbus_map.h"
#include "modbus_serve.h"

namespace {

constexpr int kGuard = 16;
constexpr int kPoints = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 4 || size > 260) return 0;
    unsigned char coils[kPoints + 2 * kGuard], discrete[kPoints + 2 * kGuard];
    unsigned short holding[kPoints + 2 * kGuard], input[kPoints + 2 * kGuard];
    std::memset(coils, 0x5A, sizeof coils);
    std::memset(discrete, 1, sizeof discrete);
    for (int i = 0; i < kPoints + 2 * kGuard; ++i) {
        holding[i] = static_cast<unsigned short>(0xA000 + i);
        input[i] = static_cast<unsigned short>(0xB000 + i);
    }
    // Starts near 0 and near 65535; counts from 0 to kPoints.
    const int start = data[0] & 1 ? 65536 - kPoints : data[0] >> 1;
    const int count = data[1] % (kPoints + 1);
    const int negative = (data[2] & 1) ? -1 : 1;  // a negative count or start holds nothing
    fieldbusMap map{start,
                    count,
                    start,
                    count,
                    start * negative,
                    count,
                    start,
                    count * negative,
                    coils + kGuard,
                    discrete + kGuard,
                    holding + kGuard,
                    input + kGuard};
    data += 3;
    size -= 3;

    uint8_t answer[2048];
    int length = -1;
    const int rc = fieldbus::regmap::serveBody(&map, data, static_cast<int>(size), answer, &length);
    if (length < 3 || length > 2048) __builtin_trap();
    if (answer[0] != data[0]) __builtin_trap();
    if ((rc & 0x80) != 0) {
        if (length != 3 || answer[2] < 1 || answer[2] > 3) __builtin_trap();
    } else {
        fieldbus::regmap::Request req;
        if (fieldbus::regmap::checkRequest(data, static_cast<int>(size), &req) != 0)
            __builtin_trap();  // answered something the checks refuse
        const int echo = rc == 0x16 ? 8 : 6;
        if (rc <= 4 || rc == 0x17) {
            if (length != 3 + answer[2]) __builtin_trap();
        } else if (rc == 0x11 || rc == 0x2B) {
            if (length > fieldbus::regmap::kMaxBody) __builtin_trap();
        } else if (length != echo || std::memcmp(answer, data, static_cast<size_t>(echo)) != 0) {
            __builtin_trap();
        }
    }
    for (int i = 0; i < kGuard; ++i) {
        for (int at : {i, kPoints + kGuard + i}) {
            if (coils[at] != 0x5A || discrete[at] != 1 || holding[at] != 0xA000 + at ||
                input[at] != 0xB000 + at)
                __builtin_trap();
        }
    }
    // Inside the arrays only 0 or 1 may be written to coils, and only by a write.
    for (int i = kGuard; i < kGuard + kPoints; ++i)
        if (coils[i] != 0x5A && ((rc != 5 && rc != 15) || coils[i] > 1)) __builtin_trap();
    return 0;
}

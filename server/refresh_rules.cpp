// The refresh cycle's arithmetic.
#include "refresh_rules.h"

#include <algorithm>
#include <cstring>

#include "ioshare.h"

namespace {

constexpr long long kNanosPerSecond = 1000000000LL;

size_t clampToArea(long long bytes) {
    return static_cast<size_t>(std::clamp<long long>(bytes, 0, IOSHARE_AREA_SIZE));
}

}  // namespace

timespec refreshDeadline(const timespec &now, int interval) {
    const long long micros = now.tv_nsec / 1000;
    long long seconds = now.tv_sec;
    long long nanos;
    if (interval > 1000) {
        seconds += interval / 1000;
        nanos = micros * 1000;
    } else {
        // 64-bit: a large negative interval must not overflow on the way.
        nanos = (micros + interval * 1000LL) * 1000;
        seconds += nanos / kNanosPerSecond;
        nanos %= kNanosPerSecond;
        if (nanos < 0) {
            nanos += kNanosPerSecond;
            --seconds;
        }
    }
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(seconds);
    deadline.tv_nsec = static_cast<long>(nanos);
    return deadline;
}

size_t bitImageBytes(int32_t count) {
    return count < 0 ? 0 : clampToArea((count - 1LL) / 8 + 1);
}

size_t registerImageBytes(int32_t count) {
    return clampToArea(count * 2LL);
}

size_t dwordImageBytes(int32_t count) {
    return clampToArea(count * 4LL);
}

// The sums are formed in 64 bits: a client's values near the limits of int32
// must not overflow (the comparison is otherwise the 32-bit one).
bool beyondRange(int32_t addr, int32_t count, int32_t base, int32_t size) {
    return static_cast<long long>(addr) + count > static_cast<long long>(base) + size;
}

bool insideImage(int32_t addr, int32_t count, int32_t base, int32_t room) {
    const long long first = static_cast<long long>(addr) - base;
    return count >= 0 && first >= 0 && first + count <= room;
}

// Cycles per second of pellora at interval 0 against rkboard-sim keeping the
// pace of a 115200-baud line, as a share of the limit the line itself sets
// for the same frames (target: at least 0.95).
#include <cstdio>
#include <vector>

#include "pellora_rig.h"

namespace {

constexpr double kBitsPerByte = 10;  // start, 8 data bits, stop
constexpr double kBaud = 115200;

// Bytes on the line for one read of `count` points: the 8-byte request and
// the answer (address, function, byte count, data, CRC).
int readBytes(int dataBytes) {
    return 8 + 5 + dataBytes;
}

}  // namespace

int main() {
    bench::Rig rig;
    if (!rig.start("0C2A", true, 0)) return 1;
    ioShare_t *s = rig.share;
    ioshare_lock(s);
    const int bytes = (s->bitOutCount > 0 ? readBytes((s->bitOutCount + 7) / 8) : 0) +
                      (s->intOutCount > 0 ? readBytes(s->intOutCount * 2) : 0) +
                      (s->bitInCount > 0 ? readBytes((s->bitInCount + 7) / 8) : 0) +
                      (s->intInCount > 0 ? readBytes(s->intInCount * 2) : 0) +
                      (s->dwordInCount > 0 ? readBytes(s->dwordInCount * 4) : 0);
    ioshare_unlock(s);
    const double limit = kBaud / (kBitsPerByte * bytes);

    usleep(500000);
    rig.newTrace();
    usleep(5000000);
    // Whole cycles between the first and the last start of one in the trace.
    std::vector<long long> starts;
    for (const bench::Served &e : rig.newTrace())
        if (e.function == 1) starts.push_back(e.micros);
    if (starts.size() < 2) {
        std::fprintf(stderr, "no cycles seen\n");
        return 1;
    }
    const double rate = (starts.size() - 1) / ((starts.back() - starts.front()) / 1e6);
    std::printf(
        "paced board 0C2A, interval 0: %d bytes per cycle on the line, limit %.1f "
        "cycles/s\n",
        bytes, limit);
    std::printf(
        "measured %.1f cycles/s over %zu cycles: %.3f of the limit (target at least "
        "0.95)\n",
        rate, starts.size() - 1, rate / limit);
    return 0;
}

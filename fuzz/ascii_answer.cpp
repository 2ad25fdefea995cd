// ASCII master answer check: a request built from the first bytes, then the
// rest as the answer text that arrived (optionally encoded from bytes first,
// so that well-formed frames are reached quickly).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "modbus.h"
#include "modbus_pdu.h"

using namespace fieldbus::pdu;

namespace {
constexpr uint8_t kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16, 70};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 7) return 0;
    const uint8_t function = kFunctions[data[0] % sizeof kFunctions];
    const auto count = static_cast<WORD>((data[1] << 8) | data[2]);
    const WORD addr = data[3];
    const bool encode = (data[4] & 1) != 0;
    const auto bufLen = static_cast<WORD>(((data[5] << 8) | data[6]) % 4097);
    data += 7;
    size -= 7;

    // Functions 5 and 6 take their value from cBuf whatever wBufLen says: the
    // caller always provides those two bytes.
    std::vector<char> cBuf(bufLen < 2 ? 2 : bufLen, 0x5A);
    uint8_t request[kFrameMax];
    Plan plan;
    if (buildRequest(kAscii, 1, function, addr, count, cBuf.data(), bufLen, request, &plan) != kOk)
        return 0;

    std::vector<char> text;
    if (encode && size <= 1021) {
        std::vector<char> body(data, data + size);
        text.resize(2 * size + 5);
        BinToAsc(text.data(), body.data(), static_cast<int>(size));
    } else {
        text.assign(data, data + size);
    }
    const size_t cap = static_cast<size_t>(2 * plan.answerLength + 5);
    if (text.size() > cap) text.resize(cap);
    uint8_t scratch[kFrameMax];
    const std::vector<char> before = cBuf;
    const int rc = asciiTakeAnswer(plan, request, text.data(), static_cast<int>(text.size()),
                                   scratch, cBuf.data());
    if (rc != kOk && rc != kException && rc != kBadAnswer) __builtin_trap();
    if (rc == kBadAnswer && cBuf != before) __builtin_trap();
    return 0;
}

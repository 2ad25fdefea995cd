// RTU master answer check: a request built from the first bytes, then the
// rest as the answer that arrived. Buffers are exactly as long as their
// contents, so any read or write beyond them is caught.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crc16.h"
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
    const bool appendCrc = (data[4] & 1) != 0;
    const auto bufLen = static_cast<WORD>(((data[5] << 8) | data[6]) % 4097);
    data += 7;
    size -= 7;

    // Functions 5 and 6 take their value from cBuf whatever wBufLen says: the
    // caller always provides those two bytes.
    std::vector<char> cBuf(bufLen < 2 ? 2 : bufLen, 0x5A);
    uint8_t request[kFrameMax];
    Plan plan;
    if (buildRequest(kRtu, 1, function, addr, count, cBuf.data(), bufLen, request, &plan) != kOk)
        return 0;

    std::vector<uint8_t> frame(data, data + size);
    if (appendCrc && frame.size() <= kFrameMax - 2) {
        const uint16_t crc = getCRC16(frame.data(), static_cast<int>(frame.size()));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    }
    // The exchange never delivers more than the expected answer length.
    const size_t cap = static_cast<size_t>(plan.answerLength + 2);
    if (frame.size() > cap) frame.resize(cap);
    const std::vector<char> before = cBuf;
    const int rc =
        rtuTakeAnswer(plan, request, frame.data(), static_cast<int>(frame.size()), cBuf.data());
    if (rc != kOk && rc != kException && rc != kBadAnswer) __builtin_trap();
    if (rc == kBadAnswer && cBuf != before) __builtin_trap();  // refused answers change nothing
    return 0;
}

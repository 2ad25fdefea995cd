// RTU slave request check: collected bytes, judged complete or not, then
// parsed for a slave address and a cBuf size taken from the first bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crc16.h"
#include "modbus_pdu.h"

using namespace fieldbus::pdu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t netId = data[0] & 0x03;  // 0 (any) and a few addresses
    const bool appendCrc = (data[0] & 0x80) != 0;
    const auto bufLen = static_cast<WORD>(((data[1] << 8) | data[2]) % 2049);
    data += 3;
    size -= 3;

    std::vector<uint8_t> frame(data, data + size);
    if (appendCrc && frame.size() <= kFrameMax - 2) {
        const uint16_t crc = getCRC16(frame.data(), static_cast<int>(frame.size()));
        frame.push_back(static_cast<uint8_t>(crc >> 8));
        frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    }
    if (frame.size() > kFrameMax) frame.resize(kFrameMax);
    if (!rtuRequestComplete(frame.data(), static_cast<int>(frame.size()))) return 0;

    std::vector<char> cBuf(bufLen);
    SlaveRequest out;
    const int rc = rtuParseRequest(netId, frame.data(), static_cast<int>(frame.size()), cBuf.data(),
                                   bufLen, &out);
    if (rc > static_cast<int>(bufLen)) __builtin_trap();        // never more than cBuf holds
    if (rc > static_cast<int>(frame.size())) __builtin_trap();  // nothing that did not arrive
    return 0;
}

// ASCII slave request check: collected text, judged complete or not, then
// decoded and parsed for a slave address and cBuf size from the first bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "modbus.h"
#include "modbus_pdu.h"

using namespace fieldbus::pdu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t netId = data[0] & 0x03;
    const bool encode = (data[0] & 0x80) != 0;
    const auto bufLen = static_cast<WORD>(((data[1] << 8) | data[2]) % 2049);
    data += 3;
    size -= 3;

    std::vector<char> text;
    if (encode && size <= 1021) {
        std::vector<char> body(data, data + size);
        text.resize(2 * size + 5);
        BinToAsc(text.data(), body.data(), static_cast<int>(size));
    } else {
        text.assign(data, data + size);
    }
    if (text.size() > kFrameMax) text.resize(kFrameMax);
    if (!asciiRequestComplete(text.data(), static_cast<int>(text.size()))) return 0;

    uint8_t scratch[kFrameMax];
    std::vector<char> cBuf(bufLen);
    SlaveRequest out;
    const int rc = asciiParseRequest(netId, text.data(), static_cast<int>(text.size()), scratch,
                                     cBuf.data(), bufLen, &out);
    if (rc > static_cast<int>(bufLen)) __builtin_trap();  // never more than cBuf holds
    return 0;
}

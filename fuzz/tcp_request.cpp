// Modbus/TCP slave request check: a byte stream cut into requests the way the
// slave reads it, each request parsed for a unit and cBuf size from the first
// bytes; a header whose length fits no request ends the stream, as the slave
// drops what waits behind it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "modbus_tcp.h"

using namespace fieldbus;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint8_t unit = data[0] % 4;  // 0 accepts any unit
    const auto bufLen = static_cast<WORD>(((data[1] << 8) | data[2]) % 2100);
    data += 3;
    size -= 3;

    size_t pos = 0;
    while (pos < size) {
        uint8_t frame[pdu::kFrameMax];
        int got = 0;
        for (;;) {
            const int target = tcp::requestTarget(frame, got);
            if (target > pdu::kFrameMax) __builtin_trap();
            if (target <= got) break;
            const size_t take = std::min(static_cast<size_t>(target - got), size - pos);
            if (take == 0) return 0;  // a partial request, dropped
            std::memcpy(frame + got, data + pos, take);
            got += static_cast<int>(take);
            pos += take;
        }
        // Exactly the request's bytes: a read past them is a finding.
        const std::vector<uint8_t> request(frame, frame + got);
        std::vector<char> cBuf(bufLen, 0);
        pdu::SlaveRequest out;
        int trans = -1;
        bool disagrees = false;
        const int rc = tcp::parseRequest(unit, request.data(), got, cBuf.data(), bufLen, &out,
                                         &trans, &disagrees);
        if (rc >= 0) {
            const bool single = out.function == 5 || out.function == 6;
            const bool fits =
                single ? rc == 2 && bufLen >= 2 : rc <= bufLen;
            if (disagrees || !fits) __builtin_trap();
            if (trans != ((request[0] << 8) | request[1])) __builtin_trap();
            // Data handed out lies inside the request that arrived.
            const int at = out.function == 70 ? 8 : out.function <= 6 ? 10 : 13;
            if (rc > 0 && (at + rc > got || std::memcmp(cBuf.data(), request.data() + at,
                                                        static_cast<size_t>(rc)) != 0))
                __builtin_trap();
        } else if (rc != pdu::kSlaveNoRequest && rc != pdu::kSlaveUnhandled &&
                   rc != pdu::kSlaveNoRoom) {
            __builtin_trap();
        }
        if (tcp::requestTarget(frame, got) < 0) return 0;
    }
    return 0;
}

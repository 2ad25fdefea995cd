// Modbus/TCP master answer check: a request built from the first bytes, then
// the rest as the answer bytes that arrived.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "modbus_tcp.h"

using namespace fieldbus;

namespace {
constexpr uint8_t kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16, 70};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 8) return 0;
    const uint8_t function = kFunctions[data[0] % sizeof kFunctions];
    const auto count = static_cast<WORD>((data[1] << 8) | data[2]);
    const WORD addr = data[3];
    const auto bufLen = static_cast<WORD>(((data[4] << 8) | data[5]) % 4097);
    const unsigned transaction = (data[6] << 8) | data[7];
    data += 8;
    size -= 8;
    if (size > pdu::kFrameMax) size = pdu::kFrameMax;

    // Functions 5 and 6 take their value from cBuf whatever wBufLen says.
    std::vector<char> cBuf(bufLen < 2 ? 2 : bufLen, 0x5A);
    uint8_t request[pdu::kFrameMax];
    pdu::Plan plan;
    if (pdu::buildRequest(pdu::kTcp, 1, function, addr, count, cBuf.data(), bufLen,
                          request + tcp::kHeader, &plan) != pdu::kOk)
        return 0;
    tcp::putHeader(request, transaction, plan.requestLength);

    // Exactly the bytes that arrived: a read past them is a finding.
    const std::vector<uint8_t> answer(data, data + size);
    (void)tcp::answerComplete(answer.data(), static_cast<int>(answer.size()));
    const std::vector<char> before = cBuf;
    const int rc = tcp::takeAnswer(plan, transaction, request, answer.data(),
                                   static_cast<int>(answer.size()), cBuf.data());
    if (rc != pdu::kOk && rc != pdu::kException && rc != pdu::kBadAnswer) __builtin_trap();
    if (rc == pdu::kBadAnswer && cBuf != before) __builtin_trap();
    if (rc == pdu::kOk && plan.copyLength > 0) {
        // What reached cBuf came from the answer's data field.
        if (answer.size() < static_cast<size_t>(tcp::kHeader + 3 + plan.copyLength))
            __builtin_trap();
        if (std::memcmp(cBuf.data(), answer.data() + tcp::kHeader + 3,
                        static_cast<size_t>(plan.copyLength)) != 0)
            __builtin_trap();
    }
    return 0;
}

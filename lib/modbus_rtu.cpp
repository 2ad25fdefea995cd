// Modbus RTU on numbered COM ports: the master transaction and the slave's
// receive and answer. Frames are body + CRC (high byte of getCRC16 first).
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "crc16.h"
#include "modbus.h"
#include "modbus_engine.h"
#include "modbus_pdu.h"

using namespace fieldbus::pdu;

namespace {

namespace engine = fieldbus::engine;

// Frame of at least address, function, two data bytes and the CRC.
constexpr int kMinRequest = 8;

uint16_t crcOf(const uint8_t *frame, int length) {
    return getCRC16(const_cast<uint8_t *>(frame), length);
}

}  // namespace

namespace fieldbus::pdu {

int rtuTakeAnswer(const Plan &plan, const uint8_t *request, const uint8_t *frame, int received,
                  char *cBuf) {
    if (received < 1 || crcOf(frame, received) != 0) return kBadAnswer;
    return takeAnswer(plan, request, frame, received - kRtu.checkBytes, cBuf);
}

bool rtuRequestComplete(const uint8_t *frame, int received) {
    return received >= kMinRequest && crcOf(frame, received) == 0;
}

int rtuParseRequest(uint8_t cNetID, const uint8_t *frame, int received, char *cBuf, WORD wBufLen,
                    SlaveRequest *out) {
    return parseRequest(kRtu, cNetID, frame, received - kRtu.checkBytes, cBuf, wBufLen, out);
}

}  // namespace fieldbus::pdu

namespace fieldbus::engine {

int rtuWrap(const uint8_t *body, int length, uint8_t *frame) {
    if (frame != body) std::memmove(frame, body, static_cast<size_t>(length));
    const uint16_t crc = crcOf(frame, length);
    frame[length] = static_cast<uint8_t>(crc >> 8);
    frame[length + 1] = static_cast<uint8_t>(crc & 0xFF);
    return length + 2;
}

int rtuJudgeAnswer(uint8_t *buf, int *got, const void *ctx) {
    const auto &expect = *static_cast<const Expect *>(ctx);
    int total = expect.plan != nullptr
                    ? pdu::answerBodyLength(*expect.plan, buf, *got) + kRtu.checkBytes
                    : expect.frameLength;
    // An exception answer is address, function | 0x80, code and CRC.
    const auto exception = static_cast<uint8_t>(expect.function | 0x80);
    if (*got >= 2 && buf[1] == exception && exception != expect.function) total = 5;
    return *got >= total ? kComplete : total - *got;
}

bool rtuJudgeRequest(uint8_t *buf, int *got, int *frame, bool silent, const void *ctx) {
    const auto &scan = *static_cast<const SlaveScan *>(ctx);
    const int n = *got;
    int live = n;  // the first start that may still become a request
    for (int s = 0; s < n; ++s) {
        const uint8_t *p = buf + s;
        const int m = n - s;
        const bool ours = scan.unit == 0 || p[0] == scan.unit || (scan.broadcast && p[0] == 0);
        // Function codes 0 and 128-255 start no request.
        if (!ours || (m >= 2 && (p[1] == 0 || (p[1] & 0x80) != 0))) continue;
        // The whole frame by the function's layout (a lower bound for 15 and
        // 16 until their byte count is in), CRC included.
        const int body = m >= 2 ? pdu::requestBodyLength(p, m) : -1;
        const int layout = body < 0 ? -1 : body + 2;
        int length = 0;
        if (layout > 0 && m >= layout) {
            if (crcOf(p, layout) == 0) {
                length = layout;
            } else {
                // No request of its layout starts here. One longer than its
                // layout (bytes beyond its data) whose CRC checks over all
                // that came is whole once the line falls silent: it gets its
                // exception; until then a later request waits for it.
                if (live == n) live = s;
                if (!silent) break;
                if (m < scan.minFrame || crcOf(p, m) != 0) continue;
                length = m;
            }
        } else if (layout > 0 || m < 2) {
            // Not whole yet: a request starting later waits for this one,
            // unless the line has fallen silent and it never will be. A
            // frame shorter than its layout (a function alone, an address
            // without its quantity, a byte count beyond the data) whose CRC
            // checks over all that came is whole then: it gets its exception.
            if (live == n) live = s;
            if (!silent) break;
            if (layout < 0 || m < scan.minFrame || crcOf(p, m) != 0) continue;
            length = m;
        } else {
            // No fixed layout: whole when the line falls silent and the CRC
            // checks over all that came.
            if (live == n) live = s;
            if (!silent || m < scan.minFrame || crcOf(p, m) != 0) continue;
            length = m;
        }
        std::copy(buf + s, buf + n, buf);
        *got = m;
        *frame = length;
        return true;
    }
    std::copy(buf + live, buf + n, buf);
    *got = n - live;
    return false;
}

}  // namespace fieldbus::engine

extern "C" int modbusRequest(char cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount,
                             char *cBuf, WORD wBufLen, WORD wTimeout, WORD *wT) {
    uint8_t cModbusRequest[kFrameMax];
    uint8_t cReceive[kFrameMax];
    Plan plan;
    const int built =
        buildRequest(kRtu, static_cast<uint8_t>(cNetID), static_cast<uint8_t>(cFunction), wAddr,
                     wCount, cBuf, wBufLen, cModbusRequest, &plan);
    if (built != kOk) return built;
    // An unusable port is a failed exchange: nothing is sent, nothing judged.
    if (!engine::serialUsable(cPort)) return kExchangeFailed;
    const int iCount = engine::rtuWrap(cModbusRequest, plan.requestLength, cModbusRequest);
    const engine::Expect expect{plan.function, plan.answerLength + kRtu.checkBytes, &plan};
    const engine::Link link = engine::serialLink(cPort);
    engine::serialPrepare(cPort);
    // The time-out passes once the elapsed count exceeds it.
    const int got = engine::transact(link, cModbusRequest, iCount, cReceive, expect.frameLength,
                                     engine::rtuJudgeAnswer, &expect, wTimeout + 1LL, wT);
    int result = kExchangeFailed;
    if (got == 0)
        result = kNoAnswer;
    else if (got > 0)
        result = rtuTakeAnswer(plan, cModbusRequest, cReceive, got, cBuf);
    engine::serialOutcome(cPort, result == kNoAnswer || result == kBadAnswer, wTimeout);
    return result;
}

extern "C" int modbusRead(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen,
                          int *dataAddr, int *dataCount, WORD wTimeout) {
    uint8_t cReceive[kFrameMax];
    const engine::SlaveScan scan{static_cast<uint8_t>(cNetID), false, kMinRequest};
    const int iRetLen =
        engine::serialCollect(cPort, wTimeout, cReceive, engine::rtuJudgeRequest, &scan, true);
    if (iRetLen < 0) return iRetLen;
    SlaveRequest req;
    const int rc =
        rtuParseRequest(static_cast<uint8_t>(cNetID), cReceive, iRetLen, cBuf, wBufLen, &req);
    // A refused request to us still says its function: the caller may answer
    // it with an exception.
    if (rc == kSlaveUnhandled || rc == kSlaveNoRoom) *function = req.function;
    if (rc < 0) return rc;
    *function = req.function;
    *dataAddr = req.dataAddr;
    *dataCount = req.dataCount;
    return rc;
}

extern "C" int modbusReply(char cPort, char cNetID, int function, char *cBuf, WORD wBufLen,
                           WORD wAddr, WORD wCount) {
    (void)wCount;
    uint8_t cModbusRequest[kFrameMax];
    int length = 0;
    const int built = buildReply(kRtu, static_cast<uint8_t>(cNetID), function, cBuf, wBufLen, wAddr,
                                 cModbusRequest, &length);
    if (built != kOk) return built;
    // Reporting "written" for a port that cannot be written would hide the
    // failure from the slave loop.
    return engine::serialReply(cPort, false, cModbusRequest, length);
}

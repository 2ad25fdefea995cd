// Modbus RTU on numbered COM ports: the master transaction and the slave's
// receive and answer. Frames are body + CRC (high byte of getCRC16 first).
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
    int total = expect.frameLength;
    // An exception answer is address, function | 0x80, code and CRC.
    const auto exception = static_cast<uint8_t>(expect.function | 0x80);
    if (*got >= 2 && buf[1] == exception && exception != expect.function) total = 5;
    return *got >= total ? kComplete : total - *got;
}

int rtuJudgeRequest(uint8_t *buf, int *got, int *frame, const void *ctx) {
    const int minFrame = *static_cast<const int *>(ctx);
    const int n = *got;
    if (n < 2) return kMinRequest - n;
    // The whole frame by the function's layout (a lower bound for 15 and 16
    // until their byte count is in), CRC included; bytes behind it are the
    // next frame's.
    const int body = pdu::requestBodyLength(buf, n);
    const int layout = body < 0 ? -1 : body + 2;
    if (layout > 0) {
        if (n < layout) return layout - n;
        if (crcOf(buf, layout) == 0) {
            *frame = layout;
            return kComplete;
        }
    }
    // No fixed layout, or one whose check failed: as bytes keep coming, the
    // CRC over all of them decides once the line falls silent.
    if (n >= minFrame && crcOf(buf, n) == 0) {
        *frame = n;
        return kSettle;
    }
    return pdu::kFrameMax - n;
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
    const engine::Expect expect{plan.function, plan.answerLength + kRtu.checkBytes};
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
    const int iRetLen =
        engine::serialCollect(cPort, wTimeout, cReceive, engine::rtuJudgeRequest, &kMinRequest);
    if (iRetLen < 0) return iRetLen;
    SlaveRequest req;
    const int rc =
        rtuParseRequest(static_cast<uint8_t>(cNetID), cReceive, iRetLen, cBuf, wBufLen, &req);
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

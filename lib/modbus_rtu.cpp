// Modbus RTU on numbered COM ports: the master transaction and the slave's
// receive and answer. Frames are body + CRC (high byte of getCRC16 first).
#include <cstdint>

#include "crc16.h"
#include "modbus.h"
#include "modbus_pdu.h"

using namespace fieldbus::pdu;

namespace {

// Frame of at least address, function, two data bytes and the CRC.
constexpr int kMinRequest = 8;
constexpr int kCollectAttempts = 3;

uint16_t crcOf(const uint8_t *frame, int length) {
    return getCRC16(const_cast<uint8_t *>(frame), length);
}

int appendCrc(uint8_t *frame, int length) {
    const uint16_t crc = crcOf(frame, length);
    frame[length] = static_cast<uint8_t>(crc >> 8);
    frame[length + 1] = static_cast<uint8_t>(crc & 0xFF);
    return length + 2;
}

// Send_Receive answers 2 for a port number outside 1..50 or a port that is
// not open, which cannot be told from a two-byte answer; such a port is
// recognised here instead of judging two bytes that never came.
bool portUsable(char cPort) {
    const auto n = static_cast<unsigned char>(cPort);
    return n >= 1 && n <= 50 && _fd[n - 1] != 0;
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
    if (!portUsable(cPort)) return kExchangeFailed;
    const int iCount = appendCrc(cModbusRequest, plan.requestLength);
    const int iRetLen = plan.answerLength + kRtu.checkBytes;
    WORD fakewT = 0;
    const WORD RetValue =
        Send_Receive(cPort, reinterpret_cast<char *>(cModbusRequest), static_cast<WORD>(iCount),
                     reinterpret_cast<char *>(cReceive), static_cast<WORD>(iRetLen), wTimeout,
                     wT != nullptr ? wT : &fakewT);
    if (RetValue == 0) return kNoAnswer;
    if (RetValue > kFrameMax) return kExchangeFailed;
    return rtuTakeAnswer(plan, cModbusRequest, cReceive, RetValue, cBuf);
}

extern "C" int modbusRead(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen,
                          int *dataAddr, int *dataCount, WORD wTimeout) {
    // Three immediate attempts on an unusable port could only end here.
    if (!portUsable(cPort)) return kSlaveNoRequest;
    uint8_t cReceive[kFrameMax];
    int iRetLen = 0;
    WORD fakewT = 0;
    for (int attempt = 0; attempt < kCollectAttempts; ++attempt) {
        const WORD got =
            Send_Receive(cPort, nullptr, 0, reinterpret_cast<char *>(cReceive) + iRetLen,
                         static_cast<WORD>(kFrameMax - iRetLen), wTimeout, &fakewT);
        if (got > kFrameMax - iRetLen) return kSlaveExchangeFailed;
        iRetLen += got;
        if (rtuRequestComplete(cReceive, iRetLen)) {
            SlaveRequest req;
            const int rc = rtuParseRequest(static_cast<uint8_t>(cNetID), cReceive, iRetLen, cBuf,
                                           wBufLen, &req);
            if (rc < 0) return rc;
            *function = req.function;
            *dataAddr = req.dataAddr;
            *dataCount = req.dataCount;
            return rc;
        }
        if (iRetLen == 0) return kSlaveNoRequest;
    }
    return kSlaveNoRequest;
}

extern "C" int modbusReply(char cPort, char cNetID, int function, char *cBuf, WORD wBufLen,
                           WORD wAddr, WORD wCount) {
    (void)wCount;
    uint8_t cModbusRequest[kFrameMax];
    char cReceive[1];
    int length = 0;
    const int built = buildReply(kRtu, static_cast<uint8_t>(cNetID), function, cBuf, wBufLen, wAddr,
                                 cModbusRequest, &length);
    if (built != kOk) return built;
    // Reporting "written" for a port that cannot be written would hide the
    // failure from the slave loop.
    if (!portUsable(cPort)) return kExchangeFailed;
    const int iCount = appendCrc(cModbusRequest, length);
    WORD fakewT = 0;
    const WORD RetValue = Send_Receive(cPort, reinterpret_cast<char *>(cModbusRequest),
                                       static_cast<WORD>(iCount), cReceive, 0, 0, &fakewT);
    if (RetValue > kFrameMax) return kExchangeFailed;
    return kOk;
}

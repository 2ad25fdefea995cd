// Modbus ASCII on numbered COM ports: the text form of a body (':', two
// hexadecimal digits per byte, LRC, CR LF), the master transaction and the
// slave's receive and answer.
#include <cstdint>

#include "modbus.h"
#include "modbus_pdu.h"

using namespace fieldbus::pdu;

namespace {

constexpr int kCollectAttempts = 3;

char hexDigit(unsigned nibble) {
    return static_cast<char>(nibble < 10 ? 0x30 + nibble : 0x37 + nibble);
}

// Digit values are neither masked nor validated: only 0-9 and A-F decode
// right; anything else yields a wrong byte that the LRC usually refuses.
int digitValue(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u <= 0x39 ? u - 0x30 : u - 0x37;
}

int decode(uint8_t *result, const char *input, int inputLen) {
    if (inputLen <= 4 || input[0] != ':') return -1;
    // The text is taken to end in CR LF, which are not examined.
    const int pairs = (inputLen - 3) / 2;
    unsigned sum = 0;
    for (int k = 0; k < pairs; ++k) {
        const int high = digitValue(input[2 * k + 1]);
        const int low = digitValue(input[2 * k + 2]);
        const auto byte = static_cast<uint8_t>(static_cast<unsigned>(high * 16) & 0xFFu) |
                          static_cast<uint8_t>(low);
        result[k] = static_cast<uint8_t>(byte);
        sum += result[k];
    }
    if ((sum & 0xFFu) != 0) return -1;
    return pairs - 1;
}

int encode(char *result, const uint8_t *input, int inputLen) {
    // A negative length would place the LRC and CR LF before the buffer: it
    // encodes as an empty body.
    if (inputLen < 0) inputLen = 0;
    result[0] = ':';
    unsigned sum = 0;
    for (int i = 0; i < inputLen; ++i) {
        sum += input[i];
        result[2 * i + 1] = hexDigit(input[i] >> 4);
        result[2 * i + 2] = hexDigit(input[i] & 0x0Fu);
    }
    const auto lrc = static_cast<uint8_t>(-sum);
    result[2 * inputLen + 1] = hexDigit(lrc >> 4);
    result[2 * inputLen + 2] = hexDigit(lrc & 0x0Fu);
    result[2 * inputLen + 3] = '\r';
    result[2 * inputLen + 4] = '\n';
    return 2 * inputLen + 5;
}

// See modbus_rtu.cpp: Send_Receive's 2 for an unusable port looks like two
// characters of answer.
bool portUsable(char cPort) {
    const auto n = static_cast<unsigned char>(cPort);
    return n >= 1 && n <= 50 && _fd[n - 1] != 0;
}

}  // namespace

namespace fieldbus::pdu {

int asciiTakeAnswer(const Plan &plan, const uint8_t *request, const char *text, int chars,
                    uint8_t *scratch, char *cBuf) {
    const int body = decode(scratch, text, chars);
    if (body < 0) return kBadAnswer;
    return takeAnswer(plan, request, scratch, body, cBuf);
}

bool asciiRequestComplete(const char *text, int chars) {
    return chars >= 2 && text[chars - 2] == '\r' && text[chars - 1] == '\n';
}

int asciiParseRequest(uint8_t cNetID, const char *text, int chars, uint8_t *scratch, char *cBuf,
                      WORD wBufLen, SlaveRequest *out) {
    const int body = decode(scratch, text, chars);
    if (body < 0) return kSlaveNoRequest;
    return parseRequest(kAscii, cNetID, scratch, body, cBuf, wBufLen, out);
}

}  // namespace fieldbus::pdu

extern "C" int BinToAsc(char *result, char *input, int inputLen) {
    return encode(result, reinterpret_cast<const uint8_t *>(input), inputLen);
}

extern "C" int AscToBin(char *result, char *input, int inputLen) {
    return decode(reinterpret_cast<uint8_t *>(result), input, inputLen);
}

extern "C" int modbusRequestA(char cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount,
                              char *cBuf, WORD wBufLen, WORD wTimeout, WORD *wT) {
    uint8_t cModbusRequest[kFrameMax];
    char cTemp[kFrameMax];
    uint8_t cReceive[kFrameMax];
    Plan plan;
    const int built =
        buildRequest(kAscii, static_cast<uint8_t>(cNetID), static_cast<uint8_t>(cFunction), wAddr,
                     wCount, cBuf, wBufLen, cModbusRequest, &plan);
    if (built != kOk) return built;
    if (!portUsable(cPort)) return kExchangeFailed;
    const int chars = encode(cTemp, cModbusRequest, plan.requestLength);
    // Body and LRC as text between ':' and CR LF.
    const int iRetLen = 2 * (plan.answerLength + 1) + 3;
    WORD fakewT = 0;
    const WORD RetValue =
        Send_Receive(cPort, cTemp, static_cast<WORD>(chars), cTemp, static_cast<WORD>(iRetLen),
                     wTimeout, wT != nullptr ? wT : &fakewT);
    if (RetValue == 0 || RetValue == 1) return kNoAnswer;  // one character is no answer
    if (RetValue > kFrameMax) return kExchangeFailed;
    return asciiTakeAnswer(plan, cModbusRequest, cTemp, RetValue, cReceive, cBuf);
}

extern "C" int modbusReadA(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen,
                           int *dataAddr, int *dataCount, WORD wTimeout) {
    if (!portUsable(cPort)) return kSlaveNoRequest;
    char cTemp[kFrameMax];
    uint8_t cReceive[kFrameMax];
    int chars = 0;
    WORD fakewT = 0;
    for (int attempt = 0; attempt < kCollectAttempts; ++attempt) {
        const WORD got = Send_Receive(cPort, nullptr, 0, cTemp + chars,
                                      static_cast<WORD>(kFrameMax - chars), wTimeout, &fakewT);
        if (got > kFrameMax - chars) return kSlaveExchangeFailed;
        chars += got;
        if (asciiRequestComplete(cTemp, chars)) {
            SlaveRequest req;
            const int rc = asciiParseRequest(static_cast<uint8_t>(cNetID), cTemp, chars, cReceive,
                                             cBuf, wBufLen, &req);
            if (rc < 0) return rc;
            *function = req.function;
            *dataAddr = req.dataAddr;
            *dataCount = req.dataCount;
            return rc;
        }
        if (chars == 0) return kSlaveNoRequest;
    }
    return kSlaveNoRequest;
}

extern "C" int modbusReplyA(char cPort, char cNetID, int function, char *cBuf, WORD wBufLen,
                            WORD wAddr, WORD wCount) {
    (void)wCount;
    uint8_t cModbusRequest[kFrameMax];
    char cTemp[kFrameMax];
    char cReceive[1];
    int length = 0;
    const int built = buildReply(kAscii, static_cast<uint8_t>(cNetID), function, cBuf, wBufLen,
                                 wAddr, cModbusRequest, &length);
    if (built != kOk) return built;
    if (!portUsable(cPort)) return kExchangeFailed;
    const int chars = encode(cTemp, cModbusRequest, length);
    WORD fakewT = 0;
    const WORD RetValue =
        Send_Receive(cPort, cTemp, static_cast<WORD>(chars), cReceive, 0, 0, &fakewT);
    if (RetValue > kFrameMax) return kExchangeFailed;
    return kOk;
}

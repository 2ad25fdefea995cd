// Modbus ASCII on numbered COM ports: the text form of a body (':', two
// hexadecimal digits per byte, LRC, CR LF), the master transaction and the
// slave's receive and answer.
#include <cstdint>
#include <cstring>

#include "modbus.h"
#include "modbus_engine.h"
#include "modbus_pdu.h"

using namespace fieldbus::pdu;

namespace {

namespace engine = fieldbus::engine;

char hexDigit(unsigned nibble) {
    return static_cast<char>(nibble < 10 ? 0x30 + nibble : 0x37 + nibble);
}

// The value of a hexadecimal digit in either case, or -1 for any other
// character: a character that is no digit must never decode to some byte.
int digitValue(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    return -1;
}

// ':' pairs of digits CR LF, nothing else; the LRC (last pair) must check.
int decode(uint8_t *result, const char *input, int inputLen) {
    if (inputLen <= 4 || input[0] != ':') return -1;
    if (input[inputLen - 2] != '\r' || input[inputLen - 1] != '\n') return -1;
    if ((inputLen - 3) % 2 != 0) return -1;  // half a byte is no byte
    const int pairs = (inputLen - 3) / 2;
    unsigned sum = 0;
    for (int k = 0; k < pairs; ++k) {
        const int high = digitValue(input[2 * k + 1]);
        const int low = digitValue(input[2 * k + 2]);
        if (high < 0 || low < 0) return -1;
        result[k] = static_cast<uint8_t>(high * 16 + low);
        sum += result[k];
    }
    if ((sum & 0xFFu) != 0) return -1;
    return pairs - 1;
}

int encode(char *result, const uint8_t *input, int inputLen) {
    // A negative length would place the LRC and CR LF before the buffer: it
    // encodes as an empty body.
    if (inputLen < 0) inputLen = 0;
    unsigned sum = 0;
    // From the last byte down, so a body already in place at result + 1 (or
    // in the same buffer) is read before its characters overwrite it.
    for (int i = 0; i < inputLen; ++i) sum += input[i];
    for (int i = inputLen - 1; i >= 0; --i) {
        const uint8_t b = input[i];
        result[2 * i + 1] = hexDigit(b >> 4);
        result[2 * i + 2] = hexDigit(b & 0x0Fu);
    }
    result[0] = ':';
    const auto lrc = static_cast<uint8_t>(-sum);
    result[2 * inputLen + 1] = hexDigit(lrc >> 4);
    result[2 * inputLen + 2] = hexDigit(lrc & 0x0Fu);
    result[2 * inputLen + 3] = '\r';
    result[2 * inputLen + 4] = '\n';
    return 2 * inputLen + 5;
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

namespace fieldbus::engine {

int asciiWrap(const uint8_t *body, int length, uint8_t *frame) {
    return encode(reinterpret_cast<char *>(frame), body, length);
}

bool asciiJudge(uint8_t *buf, int *got, int *frame, bool, const void *ctx) {
    const auto &scan = *static_cast<const SlaveScan *>(ctx);
    // The frame being collected starts at the last ':' seen; CR LF after it
    // ends it. Whatever came before that ':' is noise and is dropped, so a
    // stray byte on the line costs no request; a whole frame that is not a
    // request to this slave (another slave's request or answer, a failed
    // LRC) is passed over; what follows the CR LF is kept for the next frame.
    int start = -1;
    for (int i = 0; i < *got; ++i) {
        if (buf[i] == ':') {
            start = i;
        } else if (start >= 0 && buf[i] == '\n' && i > start && buf[i - 1] == '\r') {
            const int length = i + 1 - start;
            uint8_t body[kFrameMax / 2];
            const bool addressed =
                decode(body, reinterpret_cast<const char *>(buf + start), length) >= 1;
            if (addressed &&
                (scan.unit == 0 || body[0] == scan.unit || (scan.broadcast && body[0] == 0))) {
                std::memmove(buf, buf + start, static_cast<size_t>(*got - start));
                *got -= start;
                *frame = length;
                return true;
            }
            start = -1;
        }
    }
    if (start < 0) {
        *got = 0;
    } else if (start > 0) {
        std::memmove(buf, buf + start, static_cast<size_t>(*got - start));
        *got -= start;
    }
    return false;
}

int asciiDecode(uint8_t *body, const uint8_t *text, int chars) {
    return decode(body, reinterpret_cast<const char *>(text), chars);
}

int asciiJudgeAnswer(uint8_t *buf, int *got, const void *) {
    // The line was cleared before the request went out: the answer is taken
    // as it comes, ':' first, and ends at CR LF.
    const int n = *got;
    if (n >= 2 && buf[n - 2] == '\r' && buf[n - 1] == '\n') return kComplete;
    return kFrameMax - n;
}

}  // namespace fieldbus::engine

extern "C" int BinToAsc(char *result, char *input, int inputLen) {
    return encode(result, reinterpret_cast<const uint8_t *>(input), inputLen);
}

extern "C" int AscToBin(char *result, char *input, int inputLen) {
    return decode(reinterpret_cast<uint8_t *>(result), input, inputLen);
}

extern "C" int modbusRequestA(char cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount,
                              char *cBuf, WORD wBufLen, WORD wTimeout, WORD *wT) {
    uint8_t cModbusRequest[kFrameMax];
    uint8_t cTemp[kFrameMax];
    uint8_t cReceive[kFrameMax];
    Plan plan;
    const int built =
        buildRequest(kAscii, static_cast<uint8_t>(cNetID), static_cast<uint8_t>(cFunction), wAddr,
                     wCount, cBuf, wBufLen, cModbusRequest, &plan);
    if (built != kOk) return built;
    if (!engine::serialUsable(cPort)) return kExchangeFailed;
    const int chars = engine::asciiWrap(cModbusRequest, plan.requestLength, cTemp);
    // Body and LRC as text between ':' and CR LF.
    const int iRetLen = 2 * (plan.answerLength + 1) + 3;
    const engine::Link link = engine::serialLink(cPort);
    engine::serialPrepare(cPort);
    const int got = engine::transact(link, cTemp, chars, cTemp, iRetLen, engine::asciiJudgeAnswer,
                                     nullptr, wTimeout + 1LL, wT);
    int result = kExchangeFailed;
    if (got == 0 || got == 1)
        result = kNoAnswer;  // one character is no answer
    else if (got > 1)
        result = asciiTakeAnswer(plan, cModbusRequest, reinterpret_cast<const char *>(cTemp), got,
                                 cReceive, cBuf);
    engine::serialOutcome(cPort, result == kNoAnswer || result == kBadAnswer, wTimeout);
    return result;
}

extern "C" int modbusReadA(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen,
                           int *dataAddr, int *dataCount, WORD wTimeout) {
    uint8_t cTemp[kFrameMax];
    uint8_t cReceive[kFrameMax];
    const engine::SlaveScan scan{static_cast<uint8_t>(cNetID), false, 0};
    const int chars =
        engine::serialCollect(cPort, wTimeout, cTemp, engine::asciiJudge, &scan, false);
    if (chars < 0) return chars;
    SlaveRequest req;
    const int rc =
        asciiParseRequest(static_cast<uint8_t>(cNetID), reinterpret_cast<const char *>(cTemp),
                          chars, cReceive, cBuf, wBufLen, &req);
    // A refused request to us still says its function: the caller may answer
    // it with an exception.
    if (rc == kSlaveUnhandled || rc == kSlaveNoRoom) *function = req.function;
    if (rc < 0) return rc;
    *function = req.function;
    *dataAddr = req.dataAddr;
    *dataCount = req.dataCount;
    return rc;
}

extern "C" int modbusReplyA(char cPort, char cNetID, int function, char *cBuf, WORD wBufLen,
                            WORD wAddr, WORD wCount) {
    (void)wCount;
    uint8_t cModbusRequest[kFrameMax];
    int length = 0;
    const int built = buildReply(kAscii, static_cast<uint8_t>(cNetID), function, cBuf, wBufLen,
                                 wAddr, cModbusRequest, &length);
    if (built != kOk) return built;
    return engine::serialReply(cPort, true, cModbusRequest, length);
}

// The register-map server: a slave that answers from, and writes into, the
// caller's arrays, over the engine's collection in each framing.
#include "modbus_serve.h"

#include <cstring>

#include "modbus_engine.h"
#include "modbus_map.h"
#include "modbus_tcp.h"
#include "net.h"
#include "net_private.h"

namespace fieldbus::regmap {
namespace {

// One kind of points as the map describes it.
struct Points {
    int start = 0;
    int count = 0;
    unsigned char *bits = nullptr;
    unsigned short *registers = nullptr;
};

Points pointsFor(const fieldbusMap &map, uint8_t function) {
    Points p;
    switch (function) {
        case 1:
        case 5:
        case 15:
            p = {map.coilStart, map.coilCount, map.coils, nullptr};
            break;
        case 2:
            p = {map.discreteStart, map.discreteCount, map.discrete, nullptr};
            break;
        case 3:
        case 6:
        case 16:
        case fieldbus::pdu::kMaskWrite:
        case fieldbus::pdu::kReadWriteRegisters:
            p = {map.holdingStart, map.holdingCount, nullptr, map.holding};
            break;
        case 4:
            p = {map.inputStart, map.inputCount, nullptr, map.input};
            break;
        default:
            break;
    }
    // A kind without its array holds no points.
    if (p.bits == nullptr && p.registers == nullptr) p.count = 0;
    return p;
}

int word(const uint8_t *p) {
    return (p[0] << 8) | p[1];
}

}  // namespace

int serveBody(fieldbusMap *map, const uint8_t *body, int length, uint8_t *answer,
              int *answerLength) {
    const uint8_t unit = length >= 1 ? body[0] : 0;
    const uint8_t function = length >= 2 ? body[1] : 0;
    Request req;
    int code = checkRequest(body, length, &req);
    Points points;
    const bool identity =
        function == fieldbus::pdu::kReportServerId || function == fieldbus::pdu::kEncapsulated;
    if (code == 0 && identity) {
        code = identityBody(req, processIdentity(), answer, answerLength);
        if (code == 0) return function;
    } else if (code == 0) {
        points = pointsFor(*map, function);
        // 0x17: both ranges are checked before anything is written.
        if (!rangeInside(req, points.start, points.count) ||
            (function == fieldbus::pdu::kReadWriteRegisters &&
             !rangeInside(readPart(req), points.start, points.count)))
            code = kIllegalAddress;
    }
    if (code != 0) {
        *answerLength = exceptionBody(unit, function, static_cast<uint8_t>(code), answer);
        return function | 0x80;
    }
    const int first = req.address - points.start;  // inside the array: rangeInside held
    const int n = req.quantity;
    answer[0] = unit;
    answer[1] = function;
    switch (function) {
        case 1:
        case 2: {
            const int bytes = (n + 7) / 8;
            answer[2] = static_cast<uint8_t>(bytes);
            std::memset(answer + 3, 0, static_cast<size_t>(bytes));
            for (int i = 0; i < n; ++i)
                if (points.bits[first + i] != 0)
                    answer[3 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
            *answerLength = 3 + bytes;
            break;
        }
        case 3:
        case 4:
            answer[2] = static_cast<uint8_t>(2 * n);
            for (int i = 0; i < n; ++i) {
                answer[3 + 2 * i] = static_cast<uint8_t>(points.registers[first + i] >> 8);
                answer[4 + 2 * i] = static_cast<uint8_t>(points.registers[first + i]);
            }
            *answerLength = 3 + 2 * n;
            break;
        case 5:
            points.bits[first] = word(req.data) == 0xFF00 ? 1 : 0;
            break;
        case 6:
            points.registers[first] = static_cast<unsigned short>(word(req.data));
            break;
        case 15:
            for (int i = 0; i < n; ++i) points.bits[first + i] = (req.data[i / 8] >> (i % 8)) & 1;
            break;
        case 16:
            for (int i = 0; i < n; ++i)
                points.registers[first + i] = static_cast<unsigned short>(word(req.data + 2 * i));
            break;
        case fieldbus::pdu::kMaskWrite: {
            const int andMask = word(req.data), orMask = word(req.data + 2);
            const int value = points.registers[first];
            points.registers[first] =
                static_cast<unsigned short>((value & andMask) | (orMask & ~andMask));
            std::memcpy(answer + 2, body + 2, 6);  // the echo: address and both masks
            *answerLength = 8;
            break;
        }
        case fieldbus::pdu::kReadWriteRegisters: {
            // Written first, then read: a read over the written registers
            // gives the new values.
            for (int i = 0; i < n; ++i)
                points.registers[first + i] = static_cast<unsigned short>(word(req.data + 2 * i));
            const int from = req.readAddress - points.start;
            const int reads = req.readQuantity;
            answer[2] = static_cast<uint8_t>(2 * reads);
            for (int i = 0; i < reads; ++i) {
                answer[3 + 2 * i] = static_cast<uint8_t>(points.registers[from + i] >> 8);
                answer[4 + 2 * i] = static_cast<uint8_t>(points.registers[from + i]);
            }
            *answerLength = 3 + 2 * reads;
            break;
        }
        default:
            break;
    }
    if (function == 5 || function == 6 || function == 15 || function == 16) {
        // The echo: address and value, or address and quantity.
        std::memcpy(answer + 2, body + 2, 4);
        *answerLength = 6;
    }
    return function;
}

}  // namespace fieldbus::regmap

namespace {

namespace engine = fieldbus::engine;
namespace pdu = fieldbus::pdu;

// Shortest RTU request: address, function and CRC (a function this server
// does not handle still gets its exception answer).
constexpr int kMinRtuRequest = 4;

// Serves a collected serial body: another slave's request is passed over,
// one to address 0 is applied without an answer.
int serveSerial(char cPort, bool ascii, char cNetID, fieldbusMap *map, const uint8_t *body,
                int length) {
    if (length < 2) return pdu::kSlaveNoRequest;
    const auto id = static_cast<uint8_t>(cNetID);
    const bool broadcast = body[0] == 0;
    if (id != 0 && body[0] != id && !broadcast) return pdu::kSlaveNoRequest;
    uint8_t answer[pdu::kFrameMax];
    int answerLength = 0;
    const int answered = fieldbus::regmap::serveBody(map, body, length, answer, &answerLength);
    if (broadcast) return answered;
    if (engine::serialReply(cPort, ascii, answer, answerLength) != pdu::kOk)
        return pdu::kSlaveExchangeFailed;
    return answered;
}

}  // namespace

extern "C" int modbusServe(char cPort, char cNetID, fieldbusMap *map, WORD wTimeout) {
    if (map == nullptr) return pdu::kSlaveUnhandled;
    uint8_t frame[pdu::kFrameMax];
    const engine::SlaveScan scan{static_cast<uint8_t>(cNetID), true, kMinRtuRequest};
    const int got =
        engine::serialCollect(cPort, wTimeout, frame, engine::rtuJudgeRequest, &scan, true);
    if (got < 0) return got;
    return serveSerial(cPort, false, cNetID, map, frame, got - pdu::kRtu.checkBytes);
}

extern "C" int modbusServeA(char cPort, char cNetID, fieldbusMap *map, WORD wTimeout) {
    if (map == nullptr) return pdu::kSlaveUnhandled;
    uint8_t text[pdu::kFrameMax];
    const engine::SlaveScan scan{static_cast<uint8_t>(cNetID), true, 0};
    const int chars =
        engine::serialCollect(cPort, wTimeout, text, engine::asciiJudge, &scan, false);
    if (chars < 0) return chars;
    uint8_t body[pdu::kFrameMax];
    const int length = engine::asciiDecode(body, text, chars);
    if (length < 0) return pdu::kSlaveNoRequest;
    return serveSerial(cPort, true, cNetID, map, body, length);
}

extern "C" int modbusServeE(int cPort, char cNetID, fieldbusMap *map, WORD wTimeout) {
    if (map == nullptr) return pdu::kSlaveUnhandled;
    uint8_t frame[pdu::kFrameMax];
    int got = 0;
    int client = 0;
    const int rc = fieldbus::tcp::nextRequest(cPort, wTimeout, frame, &got, &client);
    if (rc < 0) return rc;
    const uint8_t *body = frame + fieldbus::tcp::kHeader;
    const int length = got - fieldbus::tcp::kHeader;
    const auto id = static_cast<uint8_t>(cNetID);
    if (id != 0 && body[0] != id) return pdu::kSlaveNoRequest;
    uint8_t answer[pdu::kFrameMax];
    int answerLength = 0;
    const int answered = fieldbus::regmap::serveBody(
        map, body, length, answer + fieldbus::tcp::kHeader, &answerLength);
    fieldbus::tcp::putHeader(answer, static_cast<unsigned>((frame[0] << 8) | frame[1]),
                             answerLength);
    const int total = fieldbus::tcp::kHeader + answerLength;
    if (netSendWhole(client, answer, total) != 0) return -1;
    return answered;
}

// The body of each Modbus function code, described once for every framing:
// request layout, answer length, what is copied back, what a slave hands out.
#include "modbus_pdu.h"

#include <array>
#include <cstring>

namespace fieldbus::pdu {
namespace {

enum class Shape : uint8_t {
    Read,           // address, quantity; answer: byte count and data
    WriteSingle,    // address, value; answer: echo
    WriteMultiple,  // address, quantity, byte count, data; answer: echo of address and quantity
    Raw,            // sub-function and bytes as given; answer length by sub-function
    MaskWrite,      // address, AND mask, OR mask from cBuf; answer: echo
    ReadWrite,      // read address and quantity, write address, quantity, byte count and
                    // data from cBuf; answer: byte count and the registers read
    ReportId,       // nothing; answer: byte count and that many bytes
    Identity,       // type, code and object from cBuf; answer: objects, counted
};
enum class Item : uint8_t { Bit, Register, Byte };

struct Rule {
    uint8_t function;
    Shape shape;
    Item item;
};

constexpr std::array<Rule, 13> kRules{{
    {1, Shape::Read, Item::Bit},
    {2, Shape::Read, Item::Bit},
    {3, Shape::Read, Item::Register},
    {4, Shape::Read, Item::Register},
    {5, Shape::WriteSingle, Item::Bit},
    {6, Shape::WriteSingle, Item::Register},
    {15, Shape::WriteMultiple, Item::Bit},
    {16, Shape::WriteMultiple, Item::Register},
    {70, Shape::Raw, Item::Byte},
    {kReportServerId, Shape::ReportId, Item::Byte},
    {kMaskWrite, Shape::MaskWrite, Item::Register},
    {kReadWriteRegisters, Shape::ReadWrite, Item::Register},
    {kEncapsulated, Shape::Identity, Item::Byte},
}};

// Function 70 sub-functions and the answer body length (address through
// data) each one gives.
struct SubRule {
    uint8_t sub;
    int answerLength;
};
constexpr std::array<SubRule, 11> kSubRules{{{0, 7},
                                             {4, 7},
                                             {32, 7},
                                             {5, 11},
                                             {6, 11},
                                             {7, 4},
                                             {8, 4},
                                             {37, 4},
                                             {38, 4},
                                             {41, 4},
                                             {42, 4}}};

// Echoed answers repeat address, function and the four bytes after them
// (the six after them for 0x16).
constexpr int kEchoLength = 6;
constexpr int kMaskEchoLength = 8;

// A byte-count field holds at most this many bytes.
constexpr int kCountMax = 255;

// Device identification answer: address, function, type, code, conformity
// level, more follows, next object, number of objects; then per object its
// id, its length and its bytes.
constexpr int kIdentityHeader = 8;

const Rule *ruleFor(int function) {
    for (const Rule &r : kRules)
        if (r.function == function) return &r;
    return nullptr;
}

const SubRule *subRuleFor(uint8_t sub) {
    for (const SubRule &s : kSubRules)
        if (s.sub == sub) return &s;
    return nullptr;
}

// Bytes that hold `count` items. Bits: (count - 1) / 8 + 1 with the division
// truncating toward zero, so a count of 0 still names one byte.
constexpr int itemBytes(Item item, int count) {
    switch (item) {
        case Item::Bit:
            return (count - 1) / 8 + 1;
        case Item::Register:
            return 2 * count;
        case Item::Byte:
            break;
    }
    return count;
}

void putWord(uint8_t *p, unsigned value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

int getWord(const uint8_t *p) {
    return (p[0] << 8) | p[1];
}

}  // namespace

int requestBodyLength(const uint8_t *body, int length) {
    const Rule *rule = length >= 2 ? ruleFor(body[1]) : nullptr;
    if (rule == nullptr) return -1;
    switch (rule->shape) {
        case Shape::Read:
        case Shape::WriteSingle:
            return 6;
        case Shape::WriteMultiple:
            return length >= 7 ? 7 + body[6] : 7;
        case Shape::MaskWrite:
            return 8;
        case Shape::ReadWrite:
            return length >= 11 ? 11 + body[10] : 11;
        case Shape::ReportId:
            return 2;
        case Shape::Identity:
            if (length < 3) return 3;
            return body[2] == kDeviceIdentification ? 5 : -1;
        case Shape::Raw:
            break;
    }
    return -1;
}

int answerBodyLength(const Plan &plan, const uint8_t *answer, int length) {
    if (!plan.counted) return plan.answerLength;
    if (plan.function == kReportServerId) return length >= 3 ? 3 + answer[2] : 3;
    // At most 255 objects of at most 257 bytes: no overflow, and a length
    // beyond what the collection has room for simply never completes.
    int need = kIdentityHeader;
    if (length < need) return need;
    for (int k = 0; k < answer[7]; ++k) {
        if (length < need + 2) return need + 2;
        need += 2 + answer[need + 1];
    }
    return need;
}

int buildRequest(const Envelope &env, uint8_t unit, uint8_t function, WORD wAddr, WORD wCount,
                 const char *cBuf, WORD wBufLen, uint8_t *body, Plan *plan) {
    const Rule *rule = ruleFor(function);
    if (rule == nullptr) return kUnhandled;
    const int count = wCount;
    Plan p;
    p.function = function;
    int taken = 0;      // bytes read from cBuf into the request
    int sent = 0;       // of which go on the wire
    int byteCount = 0;  // byte-count field of 15 and 16
    switch (rule->shape) {
        case Shape::Read:
            p.requestLength = 6;
            p.answerLength = 3 + itemBytes(rule->item, count);
            p.copyLength = p.answerLength - 3;
            p.byteCount = p.copyLength & 0xFF;  // a one-byte field: its low 8 bits
            break;
        case Shape::WriteSingle:
            p.requestLength = 6;
            p.answerLength = 6;
            break;
        case Shape::WriteMultiple:
            byteCount = taken = itemBytes(rule->item, count);
            // One byte per started group of 8 coils: none for a count of 0,
            // although the byte-count field then says 1.
            sent = rule->item == Item::Bit ? (count + 7) / 8 : taken;
            p.requestLength = 7 + sent;
            p.answerLength = 6;
            break;
        case Shape::Raw: {
            const SubRule *sub = subRuleFor(static_cast<uint8_t>(wAddr));
            if (sub == nullptr) return kUnhandled;
            taken = sent = count;
            p.requestLength = 3 + count;
            p.answerLength = sub->answerLength;
            p.copyLength = p.answerLength - 3 + env.checkBytes;
            break;
        }
        case Shape::MaskWrite:
            taken = sent = 6;
            p.requestLength = 8;
            p.answerLength = 8;
            break;
        case Shape::ReadWrite: {
            // The byte count sits at cBuf[8]: the fixed part must be there.
            if (wBufLen < 9) return kTooLong;
            const auto *data = reinterpret_cast<const uint8_t *>(cBuf);
            taken = sent = 9 + data[8];
            p.requestLength = 2 + taken;
            p.copyLength = 2 * getWord(data + 2);
            p.answerLength = 3 + p.copyLength;
            p.byteCount = p.copyLength & 0xFF;
            break;
        }
        case Shape::ReportId:
            p.requestLength = 2;
            p.answerLength = 3 + kCountMax;
            p.counted = true;
            break;
        case Shape::Identity:
            if (wBufLen < 3) return kTooLong;
            if (static_cast<uint8_t>(cBuf[0]) != kDeviceIdentification) return kUnhandled;
            taken = sent = 3;
            p.requestLength = 5;
            // Any number of objects up to what the framing can carry.
            p.answerLength = env.maxBody;
            p.counted = true;
            break;
    }
    p.room = wBufLen;
    // Checked before anything is copied, so a huge count never runs past the
    // frame buffer or the caller's cBuf.
    if (taken > wBufLen) return kTooLong;
    if (p.requestLength > env.maxBody || p.answerLength > env.maxBody) return kTooLong;
    // The caller's cBuf must take what a successful answer copies back: a
    // short wBufLen is refused before sending instead of overrunning cBuf.
    if (p.copyLength > wBufLen) return kTooLong;

    body[0] = unit;
    body[1] = function;
    switch (rule->shape) {
        case Shape::Read:
            putWord(body + 2, wAddr);
            putWord(body + 4, wCount);
            break;
        case Shape::WriteSingle:
            putWord(body + 2, wAddr);
            if (rule->item == Item::Bit) {
                body[4] = cBuf[0] != 0 ? 0xFF : 0x00;
                body[5] = 0x00;
            } else {
                body[4] = static_cast<uint8_t>(cBuf[0]);
                body[5] = static_cast<uint8_t>(cBuf[1]);
            }
            break;
        case Shape::WriteMultiple:
            putWord(body + 2, wAddr);
            putWord(body + 4, wCount);
            body[6] = static_cast<uint8_t>(byteCount);
            if (sent > 0) std::memcpy(body + 7, cBuf, static_cast<size_t>(sent));
            break;
        case Shape::Raw:
            body[2] = static_cast<uint8_t>(wAddr);
            if (sent > 0) std::memcpy(body + 3, cBuf, static_cast<size_t>(sent));
            break;
        case Shape::MaskWrite:
        case Shape::ReadWrite:
        case Shape::Identity:
            std::memcpy(body + 2, cBuf, static_cast<size_t>(sent));
            break;
        case Shape::ReportId:
            break;
    }
    if (rule->shape == Shape::WriteSingle || rule->shape == Shape::WriteMultiple)
        p.echoLength = kEchoLength;
    if (rule->shape == Shape::MaskWrite) p.echoLength = kMaskEchoLength;
    *plan = p;
    return kOk;
}

int takeAnswer(const Plan &plan, const uint8_t *request, const uint8_t *answer, int length,
               char *cBuf) {
    // Without a function byte there is nothing to judge (RTU: FF FF alone
    // passes the CRC check).
    if (length < 2) return kBadAnswer;
    // An answer from another slave, or another function, is no answer to this
    // request (a late answer to an earlier one, a stranger on the line): its
    // data must never be taken. No slave answers address 0 as its own, so a
    // request to 0 takes the answer of whichever slave gives one.
    if (request[0] != 0 && answer[0] != request[0]) return kBadAnswer;
    const uint8_t fn = answer[1];
    const auto exception = static_cast<uint8_t>(plan.function | 0x80);
    if (fn != plan.function && fn == exception) {
        // Never report a code that did not arrive.
        if (length < 3) return kBadAnswer;
        cBuf[0] = static_cast<char>(answer[2]);
        return kException;
    }
    if (fn != plan.function) return kBadAnswer;
    if (plan.counted) {
        // Exactly as long as its own fields say: a byte count or an object
        // length that runs past what came, or bytes left over, make it no
        // answer.
        if (answerBodyLength(plan, answer, length) != length) return kBadAnswer;
        // Device identification: the type and the code asked for, and a
        // more-follows field that is one of its two values.
        if (plan.function == kEncapsulated && (answer[2] != request[2] || answer[3] != request[3] ||
                                               (answer[5] != 0x00 && answer[5] != 0xFF)))
            return kBadAnswer;
        const int data = length - 2;
        if (data > plan.room) return kTooLong;
        std::memcpy(cBuf, answer + 2, static_cast<size_t>(data));
        return kOk;
    }
    if (plan.echoLength > 0) {
        // A short answer must not be compared against bytes that never came.
        if (length < plan.echoLength) return kBadAnswer;
        return std::memcmp(answer, request, static_cast<size_t>(plan.echoLength)) == 0 ? kOk
                                                                                       : kBadAnswer;
    }
    // A checked but short answer must not hand out bytes that never came.
    if (length < plan.answerLength) return kBadAnswer;
    // A byte count that is not the quantity's answers another request.
    if (plan.byteCount >= 0 && answer[2] != plan.byteCount) return kBadAnswer;
    if (plan.copyLength > 0) std::memcpy(cBuf, answer + 3, static_cast<size_t>(plan.copyLength));
    return kOk;
}

int parseRequest(const Envelope &env, uint8_t cNetID, const uint8_t *body, int length, char *cBuf,
                 WORD wBufLen, SlaveRequest *out) {
    if (length < 2) return kSlaveNoRequest;
    if (cNetID != 0 && body[0] != cNetID) return kSlaveNoRequest;
    // A request to us that is refused still hands back its function, so
    // that the caller can answer it with an exception.
    const auto refuse = [&](int code) {
        out->function = body[1];
        return code;
    };
    const Rule *rule = ruleFor(body[1]);
    if (rule == nullptr) return refuse(kSlaveUnhandled);
    SlaveRequest r;
    r.function = rule->function;
    int data = 0;
    switch (rule->shape) {
        case Shape::Read:
            if (length < 6) return kSlaveNoRequest;  // address and quantity must have arrived
            r.dataAddr = getWord(body + 2);
            r.dataCount = getWord(body + 4);
            break;
        case Shape::WriteSingle:
            if (length < 6) return kSlaveNoRequest;
            if (wBufLen < 2) return refuse(kSlaveNoRoom);  // the value takes two bytes of cBuf
            r.dataAddr = getWord(body + 2);
            r.dataCount = 1;
            cBuf[0] = static_cast<char>(body[4]);
            cBuf[1] = static_cast<char>(body[5]);
            data = 2;
            break;
        case Shape::WriteMultiple:
            if (length < 7) return kSlaveNoRequest;
            data = body[6];
            // A byte count that claims more than the frame holds makes no
            // request: never hand out bytes that did not arrive.
            if (length < 7 + data) return kSlaveNoRequest;
            if (data > wBufLen) return refuse(kSlaveNoRoom);
            r.dataAddr = getWord(body + 2);
            r.dataCount = getWord(body + 4);
            if (data > 0) std::memcpy(cBuf, body + 7, static_cast<size_t>(data));
            break;
        case Shape::MaskWrite:
        case Shape::ReadWrite:
        case Shape::ReportId:
        case Shape::Identity:
            return refuse(kSlaveUnhandled);
        case Shape::Raw: {
            // Everything after the function code, the check bytes included.
            const int arrived = length + env.checkBytes;
            data = arrived - 2;
            if (data > wBufLen) return refuse(kSlaveNoRoom);
            // Bytes 2-5 merely mirror the frame; where a short frame has none,
            // they read as 0 rather than as whatever the buffer held.
            auto at = [&](int i) -> int { return i < arrived ? body[i] : 0; };
            r.dataAddr = (at(2) << 8) | at(3);
            r.dataCount = (at(4) << 8) | at(5);
            if (data > 0) std::memcpy(cBuf, body + 2, static_cast<size_t>(data));
            break;
        }
    }
    *out = r;
    return data;
}

int buildReply(const Envelope &env, uint8_t unit, int function, const char *cBuf, WORD wBufLen,
               WORD wAddr, uint8_t *body, int *length) {
    if (function >= 0x81 && function <= 0xFF) {
        body[0] = unit;
        body[1] = static_cast<uint8_t>(function);
        body[2] = static_cast<uint8_t>(cBuf[0]);
        *length = 3;
        return kOk;
    }
    const Rule *rule = ruleFor(function);
    if (rule == nullptr) return kUnhandled;
    int len = 0;
    switch (rule->shape) {
        case Shape::Read:
            len = 3 + wBufLen;
            break;
        case Shape::WriteSingle:
        case Shape::WriteMultiple:
            len = 6;
            break;
        case Shape::Raw:
            len = 2 + wBufLen;
            break;
        case Shape::MaskWrite:
        case Shape::ReadWrite:
        case Shape::ReportId:
        case Shape::Identity:
            return kUnhandled;
    }
    if (len > env.maxBody) return kTooLong;
    body[0] = unit;
    body[1] = rule->function;
    switch (rule->shape) {
        case Shape::Read:
            body[2] = static_cast<uint8_t>(wBufLen);
            if (wBufLen > 0) std::memcpy(body + 3, cBuf, wBufLen);
            break;
        case Shape::WriteSingle:
        case Shape::WriteMultiple:
            putWord(body + 2, wAddr);
            body[4] = static_cast<uint8_t>(cBuf[0]);
            body[5] = static_cast<uint8_t>(cBuf[1]);
            break;
        case Shape::Raw:
            if (wBufLen > 0) std::memcpy(body + 2, cBuf, wBufLen);
            break;
        default:
            break;
    }
    *length = len;
    return kOk;
}

}  // namespace fieldbus::pdu

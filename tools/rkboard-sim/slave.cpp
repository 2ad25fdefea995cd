// The virtual board's Modbus RTU slave.
#include "slave.h"

#include <algorithm>
#include <cstring>

#include "crc16.h"

namespace rksim {

namespace {

unsigned be16(const uint8_t *p) {
    return static_cast<unsigned>(p[0]) << 8 | p[1];
}

bool crcChecks(const uint8_t *buf, size_t len) {
    return getCRC16(const_cast<uint8_t *>(buf), static_cast<int>(len)) == 0;
}

// Per function: the largest count a request may carry (the Modbus limits a
// board of this kind keeps), and whether it writes.
struct Rule {
    uint8_t function;
    unsigned maxCount;
    bool writes;
};
constexpr Rule kRules[] = {
    {1, 2000, false}, {2, 2000, false}, {3, 125, false},  {4, 125, false},
    {5, 1, true},     {6, 1, true},     {15, 1968, true}, {16, 123, true},
};

const Rule *ruleFor(uint8_t function) {
    for (const Rule &r : kRules)
        if (r.function == function) return &r;
    return nullptr;
}

// Data bytes of a function 15 or 16 request as the count field says.
size_t writeDataBytes(uint8_t function, unsigned count) {
    return function == 15 ? (count + 7) / 8 : 2 * static_cast<size_t>(count);
}

// Length of a request of function 1 to 6, 15 or 16 as its header says;
// needs the first seven bytes.
size_t requestLength(const uint8_t *frame) {
    if (frame[1] != 15 && frame[1] != 16) return 8;
    return 9 + writeDataBytes(frame[1], be16(frame + 4));
}

// Checks a known function's request; the exception code, or 0.
uint8_t validate(const Rule &rule, const uint8_t *frame, unsigned address, unsigned count) {
    if (rule.function == 5) {
        const unsigned value = be16(frame + 4);
        if (value != 0 && value != 0xFF00) return 3;
    }
    if (count < 1 || count > rule.maxCount) return 3;
    if ((rule.function == 15 || rule.function == 16) &&
        frame[6] != writeDataBytes(rule.function, count))
        return 3;
    if (address + count > kPoints) return 2;
    return 0;
}

size_t readBits(const Memory &mem, const std::array<uint8_t, kPoints / 8> &bits, unsigned address,
                unsigned count, uint8_t *out) {
    const size_t n = (count + 7) / 8;
    out[0] = static_cast<uint8_t>(n);
    std::memset(out + 1, 0, n);
    for (unsigned i = 0; i < count; ++i)
        if (mem.bit(bits, address + i)) out[1 + i / 8] |= static_cast<uint8_t>(1u << (i % 8));
    return 1 + n;
}

size_t readRegs(const std::array<uint16_t, kPoints> &regs, unsigned address, unsigned count,
                uint8_t *out) {
    out[0] = static_cast<uint8_t>(2 * count);
    for (unsigned i = 0; i < count; ++i) {
        out[1 + 2 * i] = static_cast<uint8_t>(regs[address + i] >> 8);
        out[2 + 2 * i] = static_cast<uint8_t>(regs[address + i]);
    }
    return 1 + 2 * static_cast<size_t>(count);
}

// Carries out a validated request; the answer's data field goes to `out`
// (for writes, the echo of address and value or count). Returns its length.
size_t execute(Memory &mem, const uint8_t *frame, unsigned address, unsigned count, uint8_t *out) {
    switch (frame[1]) {
        case 1:
            return readBits(mem, mem.coils, address, count, out);
        case 2:
            return readBits(mem, mem.inputs, address, count, out);
        case 3:
            return readRegs(mem.holdingRegs, address, count, out);
        case 4:
            return readRegs(mem.inputRegs, address, count, out);
        case 5:
            mem.setBit(mem.coils, address, be16(frame + 4) == 0xFF00);
            break;
        case 6:
            mem.holdingRegs[address] = static_cast<uint16_t>(be16(frame + 4));
            break;
        case 15:
            for (unsigned i = 0; i < count; ++i)
                mem.setBit(mem.coils, address + i, (frame[7 + i / 8] >> (i % 8) & 1u) != 0);
            break;
        case 16:
            for (unsigned i = 0; i < count; ++i)
                mem.holdingRegs[address + i] = static_cast<uint16_t>(be16(frame + 7 + 2 * i));
            break;
        default:
            return 0;
    }
    std::memcpy(out, frame + 2, 4);
    return 4;
}

}  // namespace

void Memory::setBoardId(unsigned id) {
    holdingRegs[kIdRegister] = static_cast<uint16_t>((id & 0xFFu) << 8);
    holdingRegs[kIdRegister + 1] = static_cast<uint16_t>(id >> 8 & 0xFFu);
}

size_t appendCrc(uint8_t *buf, size_t len) {
    const uint16_t crc = getCRC16(buf, static_cast<int>(len));
    buf[len] = static_cast<uint8_t>(crc >> 8);
    buf[len + 1] = static_cast<uint8_t>(crc & 0xFF);
    return len + 2;
}

ScanResult scanRequest(const uint8_t *buf, size_t len) {
    if (len < 2) return {Scan::Need, 0};
    size_t expected = 8;  // functions 1 to 6
    const uint8_t function = buf[1];
    if (function == 15 || function == 16) {
        if (len < 7) return {Scan::Need, 0};
        expected = requestLength(buf);
    } else if (function < 1 || function > 6) {
        // No length rule: the request ends where its CRC first checks.
        const size_t limit = std::min(len, kFrameMax);
        for (size_t n = 4; n <= limit; ++n)
            if (crcChecks(buf, n)) return {Scan::Frame, n};
        return {len >= kFrameMax ? Scan::Junk : Scan::Need, 0};
    }
    if (expected > kFrameMax) return {Scan::Junk, 0};
    if (len < expected) return {Scan::Need, 0};
    return crcChecks(buf, expected) ? ScanResult{Scan::Frame, expected} : ScanResult{Scan::Junk, 0};
}

Served describeRequest(const uint8_t *frame, size_t len) {
    Served s;
    s.slave = frame[0];
    s.function = frame[1];
    const Rule *rule = ruleFor(frame[1]);
    if (rule != nullptr && len >= 8) {
        s.address = be16(frame + 2);
        s.count = rule->maxCount == 1 ? 1 : be16(frame + 4);
    }
    return s;
}

size_t serveRequest(Memory &mem, uint8_t slaveId, const uint8_t *frame, size_t len,
                    uint8_t forcedException, uint8_t (&answer)[kFrameMax], Served *served) {
    *served = describeRequest(frame, len);
    const bool broadcast = frame[0] == 0;
    if (frame[0] != slaveId && !broadcast) return 0;

    const Rule *rule = ruleFor(frame[1]);
    uint8_t exception = 1;
    if (rule != nullptr) {
        // A frame ended by silence may disagree with its own count field:
        // its data are not all there, so nothing of it is carried out.
        exception = len >= 8 && len == requestLength(frame)
                        ? validate(*rule, frame, served->address, served->count)
                        : 3;
    }
    if (exception == 0) exception = forcedException;
    served->exception = exception;
    // A broadcast is carried out when it writes and never answered.
    if (broadcast) {
        if (exception == 0 && rule != nullptr && rule->writes)
            execute(mem, frame, served->address, served->count, answer + 2);
        return 0;
    }
    answer[0] = frame[0];
    if (exception != 0) {
        answer[1] = static_cast<uint8_t>(frame[1] | 0x80);
        answer[2] = exception;
        return appendCrc(answer, 3);
    }
    answer[1] = frame[1];
    return appendCrc(answer, 2 + execute(mem, frame, served->address, served->count, answer + 2));
}

}  // namespace rksim

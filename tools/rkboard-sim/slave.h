// The virtual board's Modbus RTU slave: request framing, the board's memory
// and the answers, independent of the library's own slave side.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace rksim {

constexpr size_t kFrameMax = 2048;     // longest frame on the line
constexpr unsigned kIdRegister = 482;  // holding registers 482 and 483 carry the identifier
constexpr unsigned kPoints = 65536;    // the whole 16-bit address space of every kind

// What the board holds: coils and discrete inputs one bit each, input and
// holding registers as numbers.
struct Memory {
    std::array<uint8_t, kPoints / 8> coils{};
    std::array<uint8_t, kPoints / 8> inputs{};
    std::array<uint16_t, kPoints> inputRegs{};
    std::array<uint16_t, kPoints> holdingRegs{};

    bool bit(const std::array<uint8_t, kPoints / 8> &a, unsigned i) const {
        return (a[i / 8] >> (i % 8) & 1u) != 0;
    }
    void setBit(std::array<uint8_t, kPoints / 8> &a, unsigned i, bool v) {
        const auto mask = static_cast<uint8_t>(1u << (i % 8));
        a[i / 8] = static_cast<uint8_t>(v ? a[i / 8] | mask : a[i / 8] & ~mask);
    }
    // Puts `id` into registers 482 and 483 as the board carries it: its low
    // byte is the high byte of 482, its high byte the low byte of 483.
    void setBoardId(unsigned id);
};

// Result of looking at the bytes received so far.
enum class Scan {
    Need,   // a request may still be completed by more bytes
    Frame,  // a complete request with a good CRC starts the buffer: `length` bytes
    Junk,   // the bytes cannot start a request this board takes: drop them
};
struct ScanResult {
    Scan kind;
    size_t length;
};

// Frames a request at the start of `buf`. Lengths come from the function
// code and the count field (not the byte-count byte, which a long request
// carries only modulo 256); for other function codes the first prefix of at
// least four bytes whose CRC checks is the request.
ScanResult scanRequest(const uint8_t *buf, size_t len);

// What a served request was, for the trace.
struct Served {
    uint8_t slave = 0;
    uint8_t function = 0;
    unsigned address = 0;
    unsigned count = 0;
    uint8_t exception = 0;  // 0 when answered normally
};

// Slave, function, address and count of the request `frame` (a Frame of
// scanRequest), without carrying it out; address and count stay 0 for a
// function the board does not know.
Served describeRequest(const uint8_t *frame, size_t len);

// Carries out the request `frame` (a Frame of scanRequest) on `mem` and
// builds the answer, CRC included, into `answer`. Returns the answer's
// length; 0 when no answer is due (another slave's request, a broadcast).
// `forcedException` answers with that exception code instead, changing nothing.
size_t serveRequest(Memory &mem, uint8_t slaveId, const uint8_t *frame, size_t len,
                    uint8_t forcedException, uint8_t (&answer)[kFrameMax], Served *served);

// Appends the CRC of the first `len` bytes of `buf`; returns len + 2.
size_t appendCrc(uint8_t *buf, size_t len);

}  // namespace rksim

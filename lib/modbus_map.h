// What a slave must check in a request before it touches any data: the
// function, the quantity against the Modbus limits, the byte count against the
// quantity and the frame. Shared by the register-map server and the region
// gateway, so a malformed request gets the same exception from both.
// Pure functions over byte buffers.
#pragma once

#include <cstdint>

namespace fieldbus::regmap {

// Exception codes of a slave answer.
constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalAddress = 2;
constexpr uint8_t kIllegalValue = 3;
constexpr uint8_t kTargetFailed = 0x0B;  // gateway: the target did not respond

// Longest request or answer body a register-map slave deals in: the unit and
// the protocol's longest PDU (253 bytes).
constexpr int kMaxBody = 254;

// A request as checked by checkRequest.
struct Request {
    uint8_t unit = 0;
    uint8_t function = 0;
    uint16_t address = 0;           // first Modbus address (0x17: of the write)
    uint16_t quantity = 0;          // points (1 for 5, 6 and 0x16; 0x17: registers written)
    const uint8_t *data = nullptr;  // 5, 6: the two value bytes; 15, 16, 0x17: the packed
                                    // values; 0x16: the AND mask, then the OR mask
    int dataBytes = 0;
    uint16_t readAddress = 0, readQuantity = 0;  // 0x17: the registers read after the write
    uint8_t idCode = 0, objectId = 0;            // 0x2B: read device id code and object id
};

// Checks a request body (unit, function, data; no envelope) of `length` bytes.
// Returns 0 with *req filled, or the exception code to answer with:
// kIllegalFunction for a function other than 1-6, 15, 16, 0x11, 0x16, 0x17,
// 0x2B (or a body with no function byte), and for 0x2B a type other than 0x0E;
// kIllegalValue for a body whose length disagrees with its function's layout,
// a quantity outside 1-2000 (read bits), 1-125 (read registers, 0x17's read),
// 1-1968 (write coils), 1-123 (write registers), 1-121 (0x17's write), a byte
// count that disagrees with the quantity, a single-coil value other than
// 0x0000 or 0xFF00, or a read device id code other than 1-4; kIllegalAddress
// for a range that runs past address 65535.
int checkRequest(const uint8_t *body, int length, Request *req);

// The register read by a 0x17 request, as a function-3 request of its own.
Request readPart(const Request &req);

// What a slave tells about itself (0x11, 0x2B): three texts of at most
// kIdentityTextMax bytes each (a longer one is cut there).
struct Identity {
    const char *vendor;
    const char *product;
    const char *revision;
};
constexpr int kIdentityTextMax = 244;  // one object alone fills a 253-byte PDU

// The identity fieldbusSetIdentity set, or the library's own name and version.
Identity processIdentity();

// Writes the answer body (room for kMaxBody bytes) to a checked 0x11 or 0x2B
// request from `id`: 0x11 the byte count, the unit as server id, run indicator
// 0xFF and the product code; 0x2B the basic objects (0 vendor, 1 product code,
// 2 revision) from the one asked for (the first for an unknown one), as many
// as fit one answer, "more follows" set when some did not, or the one object
// asked for with code 4. Returns 0 with *length set, or kIllegalAddress for
// code 4 and an object that does not exist.
int identityBody(const Request &req, const Identity &id, uint8_t *answer, int *length);

// True when points address .. address + quantity - 1 lie wholly inside
// start .. start + count - 1 (a negative start or count holds nothing).
bool rangeInside(const Request &req, int start, int count);

// Writes the exception answer body (unit, function | 0x80, code): 3 bytes.
int exceptionBody(uint8_t unit, uint8_t function, uint8_t code, uint8_t *answer);

}  // namespace fieldbus::regmap

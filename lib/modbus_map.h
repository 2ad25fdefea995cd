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

// A request of function 1-6, 15 or 16 as checked by checkRequest.
struct Request {
    uint8_t unit = 0;
    uint8_t function = 0;
    uint16_t address = 0;       // first Modbus address
    uint16_t quantity = 0;      // points (1 for 5 and 6)
    const uint8_t *data = nullptr;  // 5, 6: the two value bytes; 15, 16: the packed values
    int dataBytes = 0;
};

// Checks a request body (unit, function, data; no envelope) of `length` bytes.
// Returns 0 with *req filled, or the exception code to answer with:
// kIllegalFunction for a function other than 1-6, 15, 16 (or a body with no
// function byte); kIllegalValue for a body whose length disagrees with its
// function's layout, a quantity outside 1-2000 (read bits), 1-125 (read
// registers), 1-1968 (write coils), 1-123 (write registers), a byte count that
// disagrees with the quantity, or a single-coil value other than 0x0000 or
// 0xFF00; kIllegalAddress for a range that runs past address 65535.
int checkRequest(const uint8_t *body, int length, Request *req);

// True when points address .. address + quantity - 1 lie wholly inside
// start .. start + count - 1 (a negative start or count holds nothing).
bool rangeInside(const Request &req, int start, int count);

// Writes the exception answer body (unit, function | 0x80, code): 3 bytes.
int exceptionBody(uint8_t unit, uint8_t function, uint8_t code, uint8_t *answer);

}  // namespace fieldbus::regmap

// Malformed requests that every register-map slave must answer alike
// (modbusServe, modbusServeA, modbusServeE and zuqgate): bodies whose
// exception does not depend on the points served, so one table runs through
// all four. Byte counts that disagree with the data behind them, bodies
// shorter or longer than their layout, quantities outside the limits.
#pragma once

#include <vector>

namespace fbtest {

struct MalformedRequest {
    const char *name;
    std::vector<unsigned char> request;  // body: unit 1, function, data
    std::vector<unsigned char> answer;   // the exception answer body
};

inline std::vector<MalformedRequest> malformedRequests() {
    return {
        {"unknown function", {1, 7}, {1, 0x87, 1}},
        {"bare function code", {1, 3}, {1, 0x83, 3}},
        {"address without quantity", {1, 3, 0, 0x20}, {1, 0x83, 3}},
        {"read with a byte too many", {1, 3, 0, 0x20, 0, 1, 0}, {1, 0x83, 3}},
        {"quantity 0", {1, 4, 0, 0, 0, 0}, {1, 0x84, 3}},
        {"registers above the limit", {1, 3, 0, 0x20, 0, 126}, {1, 0x83, 3}},
        {"bits above the limit", {1, 1, 0, 0, 0x07, 0xD1}, {1, 0x81, 3}},
        {"coil value not on or off", {1, 5, 0, 1, 0x12, 0x34}, {1, 0x85, 3}},
        {"coil byte count too small", {1, 15, 0, 0, 0, 9, 1, 0xFF}, {1, 0x8F, 3}},
        {"coil quantity against byte count", {1, 15, 0, 0, 0, 4, 2, 1, 0}, {1, 0x8F, 3}},
        {"register byte count odd", {1, 16, 0, 0x20, 0, 2, 3, 0, 1, 0}, {1, 0x90, 3}},
        {"byte count beyond the data", {1, 16, 0, 0x20, 0, 2, 4, 0, 1}, {1, 0x90, 3}},
        {"data beyond the byte count", {1, 16, 0, 0x20, 0, 1, 2, 0, 1, 2, 3}, {1, 0x90, 3}},
        {"write past 65535", {1, 16, 0xFF, 0xFF, 0, 2, 4, 0, 1, 0, 2}, {1, 0x90, 2}},
        {"mask write without OR mask", {1, 0x16, 0, 0x20, 0xFF, 0xFF}, {1, 0x96, 3}},
        {"mask write a byte too long", {1, 0x16, 0, 0x20, 0, 0, 0, 0, 0}, {1, 0x96, 3}},
        {"0x17 reading 0", {1, 0x17, 0, 0x20, 0, 0, 0, 0x20, 0, 1, 2, 0, 1}, {1, 0x97, 3}},
        {"0x17 writing 0", {1, 0x17, 0, 0x20, 0, 1, 0, 0x20, 0, 0, 0}, {1, 0x97, 3}},
        {"0x17 count against quantity", {1, 0x17, 0, 32, 0, 1, 0, 32, 0, 2, 2, 0, 1}, {1, 0x97, 3}},
        {"0x17 count beyond the data", {1, 0x17, 0, 32, 0, 1, 0, 32, 0, 1, 2, 0}, {1, 0x97, 3}},
        {"0x17 reading past 65535", {1, 0x17, 255, 255, 0, 2, 0, 32, 0, 1, 2, 0, 1}, {1, 0x97, 2}},
        {"server id with data", {1, 0x11, 0}, {1, 0x91, 3}},
        {"identification bare", {1, 0x2B}, {1, 0xAB, 3}},
        {"identification of another type", {1, 0x2B, 0x0D, 1, 0}, {1, 0xAB, 1}},
        {"read device id code 5", {1, 0x2B, 0x0E, 5, 0}, {1, 0xAB, 3}},
        {"object 3 alone", {1, 0x2B, 0x0E, 4, 3}, {1, 0xAB, 2}},
    };
}

}  // namespace fbtest

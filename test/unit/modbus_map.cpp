// Request checks every slave applies before touching data: function, quantity
// limits, byte count against quantity and frame, address overflow.
#include "modbus_map.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace fieldbus::regmap;
using Bytes = std::vector<uint8_t>;

struct CheckCase {
    const char *name;
    Bytes body;
    int expected;  // 0 or the exception code
    uint16_t address, quantity;
};

// 0x17 reading `reads` registers from 0 and writing `writes` from 7.
Bytes readWrite(uint8_t reads, uint8_t writes) {
    Bytes b = {1, 23, 0, 0, 0, reads, 0, 7, 0, writes, static_cast<uint8_t>(2 * writes)};
    b.resize(b.size() + 2u * writes, 0);
    return b;
}

TEST(RegisterMapChecks, FunctionsQuantitiesAndByteCounts) {
    const std::vector<CheckCase> cases = {
        {"read coils 1..2000", {1, 1, 0, 0, 0x07, 0xD0}, 0, 0, 2000},
        {"read coils 2001", {1, 1, 0, 0, 0x07, 0xD1}, kIllegalValue, 0, 0},
        {"read inputs quantity 0", {1, 2, 0, 5, 0, 0}, kIllegalValue, 0, 0},
        {"read holding 125", {1, 3, 0, 1, 0, 125}, 0, 1, 125},
        {"read input regs 126", {1, 4, 0, 1, 0, 126}, kIllegalValue, 0, 0},
        {"read past 65535", {1, 3, 0xFF, 0xFF, 0, 2}, kIllegalAddress, 0, 0},
        {"read last register", {1, 3, 0xFF, 0xFF, 0, 1}, 0, 0xFFFF, 1},
        {"read with trailing byte", {1, 3, 0, 1, 0, 1, 9}, kIllegalValue, 0, 0},
        {"read truncated", {1, 3, 0, 1, 0}, kIllegalValue, 0, 0},
        {"bare function code", {1, 3}, kIllegalValue, 0, 0},
        {"no function byte", {1}, kIllegalFunction, 0, 0},
        {"unknown function", {1, 8, 0, 0, 0, 1}, kIllegalFunction, 0, 0},
        {"identification", {1, 43, 14, 4, 2}, 0, 0, 0},
        {"report server id", {1, 17}, 0, 0, 0},
        {"mask write", {1, 22, 0, 9, 0xFF, 0, 0, 1}, 0, 9, 1},
        {"read/write 125 and 121", readWrite(125, 121), 0, 7, 121},
        {"read/write writing 122", readWrite(1, 122), kIllegalValue, 0, 0},
        {"exception form as request", {1, 0x83, 0, 0, 0, 1}, kIllegalFunction, 0, 0},
        {"write coil on", {1, 5, 0, 7, 0xFF, 0}, 0, 7, 1},
        {"write coil value 0x1234", {1, 5, 0, 7, 0x12, 0x34}, kIllegalValue, 0, 0},
        {"write register any value", {1, 6, 0, 7, 0x12, 0x34}, 0, 7, 1},
        {"write 10 coils", {1, 15, 0, 0, 0, 10, 2, 0xFF, 0x03}, 0, 0, 10},
        {"coils byte count too small", {1, 15, 0, 0, 0, 10, 1, 0xFF}, kIllegalValue, 0, 0},
        {"coils byte count beyond frame", {1, 15, 0, 0, 0, 10, 2, 0xFF}, kIllegalValue, 0, 0},
        {"coils quantity 1969", {1, 15, 0, 0, 0x07, 0xB1, 247}, kIllegalValue, 0, 0},
        {"coils quantity 0", {1, 15, 0, 0, 0, 0, 0}, kIllegalValue, 0, 0},
        {"write 2 registers", {1, 16, 0, 4, 0, 2, 4, 1, 2, 3, 4}, 0, 4, 2},
        {"registers byte count odd", {1, 16, 0, 4, 0, 2, 3, 1, 2, 3}, kIllegalValue, 0, 0},
        {"registers quantity 124", {1, 16, 0, 4, 0, 124, 248}, kIllegalValue, 0, 0},
        {"registers frame longer than count", {1, 16, 0, 4, 0, 1, 2, 1, 2, 3}, kIllegalValue, 0, 0},
    };
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.name);
        Request req;
        req.address = 0xABCD;
        const int rc = checkRequest(c.body.data(), static_cast<int>(c.body.size()), &req);
        EXPECT_EQ(rc, c.expected);
        if (rc == 0) {
            EXPECT_EQ(req.function, c.body[1]);
            EXPECT_EQ(req.address, c.address);
            EXPECT_EQ(req.quantity, c.quantity);
            if (c.body[1] == 23) {
                EXPECT_EQ(readPart(req).address, 0);
                EXPECT_EQ(readPart(req).quantity, 125);
            }
        } else {
            EXPECT_EQ(req.address, 0xABCD) << "request written on a refusal";
        }
    }
}

TEST(RegisterMapChecks, RangeInsideAndExceptionBody) {
    Request r;
    r.address = 10;
    r.quantity = 5;
    EXPECT_TRUE(rangeInside(r, 10, 5));
    EXPECT_TRUE(rangeInside(r, 0, 15));
    EXPECT_FALSE(rangeInside(r, 11, 100));  // starts below the map
    EXPECT_FALSE(rangeInside(r, 10, 4));    // runs past its end
    EXPECT_FALSE(rangeInside(r, -5, 100));
    EXPECT_FALSE(rangeInside(r, 10, 0));
    uint8_t answer[3];
    ASSERT_EQ(exceptionBody(7, 3, kIllegalAddress, answer), 3);
    EXPECT_EQ(answer[0], 7);
    EXPECT_EQ(answer[1], 0x83);
    EXPECT_EQ(answer[2], 2);
}

}  // namespace

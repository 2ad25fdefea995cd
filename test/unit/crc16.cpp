#include "crc16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

uint16_t modbus(const char *s) {
    return getCRC16(reinterpret_cast<uint8_t *>(const_cast<char *>(s)),
                    static_cast<int>(std::strlen(s)));
}

TEST(Crc16, ModbusCheckValuesHaveBytesExchanged) {
    EXPECT_EQ(modbus("123456789"), 0x374B);
    EXPECT_EQ(modbus("abc"), 0x4957);
    EXPECT_EQ(getCRC16(nullptr, 0), 0xFFFF);
}

TEST(Crc16, FrameFollowedByItsCrcChecksToZero) {
    std::mt19937 rng(7);
    for (int len = 0; len < 300; len += 7) {
        std::vector<uint8_t> msg(static_cast<size_t>(len) + 2);
        for (int i = 0; i < len; ++i) msg[static_cast<size_t>(i)] = static_cast<uint8_t>(rng());
        const uint16_t crc = getCRC16(msg.data(), len);
        msg[static_cast<size_t>(len)] = static_cast<uint8_t>(crc >> 8);
        msg[static_cast<size_t>(len) + 1] = static_cast<uint8_t>(crc & 0xFF);
        EXPECT_EQ(getCRC16(msg.data(), len + 2), 0) << "length " << len;
    }
}

TEST(Crc16, KnownRtuFrameHasCrcLowByteFirst) {
    // Read holding registers 0x006B x3 from slave 0x11: CRC bytes 76 87 on the wire.
    uint8_t frame[] = {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03};
    const uint16_t crc = getCRC16(frame, 6);
    EXPECT_EQ(crc >> 8, 0x76);
    EXPECT_EQ(crc & 0xFF, 0x87);
}

TEST(Crc16, DnpVariants) {
    char abcd[] = "abcdXYZ";
    EXPECT_EQ(crcAll(abcd), 0xFA2C);
    char abcd2[] = "abcd!!!";
    EXPECT_EQ(crcAll(abcd2), crcAll(abcd)) << "bytes after the fourth must not count";

    char abc[] = "abc";
    EXPECT_EQ(calCRC16(abc, 0, 3), 0xF5F3);
    EXPECT_EQ(calCRC16(abc, 0, 0), 0x0000);
    EXPECT_EQ(calCRC16(abc, 0, -5), 0x0000);

    char buf[] = "\x01\x02\xAA\xBB\xCC\x09";
    char only[] = "\xAA\xBB\xCC";
    EXPECT_EQ(calCRC16(buf, 2, 3), calCRC16(only, 0, 3));
}

}  // namespace

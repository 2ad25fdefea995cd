// CRC-16 checks: the Modbus RTU frame check and two CRC-16/DNP variants.
#include "crc16.h"

#include <array>
#include <cstdint>

namespace {

// Reflected CRC table entry for index i: eight right shifts, XOR with the
// reflected polynomial after each shift that drops a 1 bit.
constexpr uint16_t reflectedEntry(unsigned i, uint16_t poly) {
    uint16_t v = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
        const bool low = (v & 1u) != 0;
        v = static_cast<uint16_t>(v >> 1);
        if (low) v = static_cast<uint16_t>(v ^ poly);
    }
    return v;
}

constexpr std::array<uint16_t, 256> reflectedTable(uint16_t poly) {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) t[i] = reflectedEntry(i, poly);
    return t;
}

constexpr auto kModbusTable = reflectedTable(0xA001);

constexpr std::array<uint8_t, 256> byteHalf(bool high) {
    std::array<uint8_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i)
        t[i] = static_cast<uint8_t>(high ? (kModbusTable[i] >> 8) : (kModbusTable[i] & 0xFF));
    return t;
}

// CRC16Hi holds the low byte of each entry and CRC16Lo the high byte: the
// two-register form keeps the running CRC with its bytes exchanged.
constexpr auto CRC16Hi = byteHalf(false);
constexpr auto CRC16Lo = byteHalf(true);
constexpr auto table = reflectedTable(0xA6BC);

static_assert(CRC16Hi[1] == 0xC1 && CRC16Hi[7] == 0x41, "CRC16Hi");
static_assert(CRC16Lo[1] == 0xC0 && CRC16Lo[7] == 0xC2, "CRC16Lo");
static_assert(table[1] == 0x365E && table[3] == 0x5AE2 && table[128] == 0xA6BC, "DNP table");

uint16_t dnp(const char *message, int index, int count, uint16_t crc) {
    for (int i = 0; i < count; ++i) {
        const auto b = static_cast<uint8_t>(message[index + i]);
        crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ b) & 0xFF]);
    }
    crc = static_cast<uint16_t>(crc ^ 0xFFFF);
    return static_cast<uint16_t>((crc << 8) | (crc >> 8));
}

}  // namespace

extern "C" uint16_t getCRC16(uint8_t *puchMsg, int DataLen) {
    uint8_t CRCHi = 0xFF;
    uint8_t CRCLo = 0xFF;
    for (int i = 0; i < DataLen; ++i) {
        const uint8_t Index = CRCHi ^ puchMsg[i];
        CRCHi = CRCLo ^ CRC16Hi[Index];
        CRCLo = CRC16Lo[Index];
    }
    return static_cast<uint16_t>(CRCHi << 8 | CRCLo);
}

extern "C" uint16_t crcAll(char *message) {
    return dnp(message, 0, 4, 0x0000);
}

extern "C" uint16_t calCRC16(char *message, int index, int count) {
    return dnp(message, index, count > 0 ? count : 0, 0xFFFF);
}

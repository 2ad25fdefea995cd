/* CRC-16 frame checks. */
#ifndef FIELDBUS_CRC16_H
#define FIELDBUS_CRC16_H

#include "common.h"

FIELDBUS_BEGIN_DECLS

/* CRC-16/MODBUS of DataLen bytes, with its two bytes exchanged: append the
 * result's high byte first. A frame followed by its CRC checks to 0. */
uint16_t getCRC16(uint8_t *puchMsg, int DataLen);

/* CRC-16/DNP of exactly the first 4 bytes of message, bytes exchanged. */
uint16_t crcAll(char *message);

/* As crcAll over message[index] .. message[index + count - 1], but with the
 * register starting at 0xFFFF. A count of 0 or less takes no byte. */
uint16_t calCRC16(char *message, int index, int count);

FIELDBUS_END_DECLS

#endif

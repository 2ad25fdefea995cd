/* The shared I/O region: the record the server lays over its POSIX
 * shared-memory object and that every client maps. Integer fields are 32-bit
 * signed in the machine's own byte order; register images hold Modbus wire
 * order (high byte first). The process-shared mutex guards every field. */
#ifndef FIELDBUS_IOSHARE_H
#define FIELDBUS_IOSHARE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "common.h"

/* Name of the object, unless the environment variable IOSHARE_NAME_ENV
 * names another one (for running beside a live server, or in tests). */
#define IOSHARE_DEFAULT_NAME "/zuqshmio"
#define IOSHARE_NAME_ENV "PELLORA_SHM_NAME"

/* Size of each data area, and the room it gives per kind. */
#define IOSHARE_AREA_SIZE 2048
#define IOSHARE_BIT_POINTS (IOSHARE_AREA_SIZE * 8)
#define IOSHARE_REGISTERS (IOSHARE_AREA_SIZE / 2)
#define IOSHARE_DWORDS (IOSHARE_AREA_SIZE / 4)

/* Idle mark of a request slot's address field, and boardId of a missing board. */
#define IOSHARE_IDLE (-1)
#define IOSHARE_NO_BOARD 0x9999

/* Trailer values written at start-up; the trailing area is
 * tailSlots * (tailSlotSize + 128) bytes. */
#define IOSHARE_TAIL_SLOTS 256
#define IOSHARE_TAIL_SLOT_SIZE 8192
#define IOSHARE_TAIL_AREA_SIZE (IOSHARE_TAIL_SLOTS * (IOSHARE_TAIL_SLOT_SIZE + 128))

/* Size of the object on the controller (32-bit ARM: 24-byte mutex). Other
 * targets differ by the size of their mutex: see IOSHARE_SHIFT. */
#define IOSHARE_SIZE_32 2146504
#define IOSHARE_SHIFT ((int)sizeof(pthread_mutex_t) - 24)
#define IOSHARE_SIZE ((size_t)(IOSHARE_SIZE_32 + IOSHARE_SHIFT))

/* The record, field by field in the order of the object. */
typedef struct ioShare {
    pthread_cond_t cond;   /* signalled by clients to start a cycle at once */
    pthread_mutex_t mutex; /* guards everything below; process-shared */
    int32_t boardId;       /* board identifier; IOSHARE_NO_BOARD when none answered */
    int32_t interval;      /* refresh interval in ms, read afresh every cycle */

    /* Request slots: (first Modbus address or IOSHARE_IDLE, count). */
    int32_t bitInReqAddr, bitInReqCount;       /* read discrete inputs (2) */
    int32_t bitOutReqAddr, bitOutReqCount;     /* write coils (15) */
    int32_t bitOutRbReqAddr, bitOutRbReqCount; /* read back coils (1) */
    int32_t intInReqAddr, intInReqCount;       /* read input registers (4) */
    int32_t intOutReqAddr, intOutReqCount;     /* write holding registers (16) */
    int32_t intOutRbReqAddr, intOutRbReqCount; /* read back holding registers (3) */
    int32_t dwordInReqAddr, dwordInReqCount;   /* reserved; never served */

    /* Board layout: first Modbus address and number of points per kind. */
    int32_t bitInBase, bitInCount;
    int32_t bitOutBase, bitOutCount;
    int32_t intInBase, intInCount;
    int32_t intOutBase, intOutCount;
    int32_t dwordInBase, dwordInCount; /* 32-bit inputs, two input registers each */
    int32_t auxBase, auxSize;          /* written at start, never read by the server */

    /* Images, point k of a kind at position k (bits LSB first, registers
     * high byte first, 32-bit inputs as two registers). */
    unsigned char bitInImage[IOSHARE_AREA_SIZE];
    unsigned char bitOutImage[IOSHARE_AREA_SIZE];
    unsigned char bitOutRbImage[IOSHARE_AREA_SIZE];
    unsigned char intInImage[IOSHARE_AREA_SIZE];
    unsigned char intOutImage[IOSHARE_AREA_SIZE];
    unsigned char intOutRbImage[IOSHARE_AREA_SIZE];
    unsigned char dwordInImage[IOSHARE_AREA_SIZE];
    unsigned char auxArea[IOSHARE_AREA_SIZE];

    /* Trailer: written at start-up, otherwise left to the clients. */
    int32_t tailReq, tailSlots, tailSlotSize, tailUsed;
    unsigned char tailArea[IOSHARE_TAIL_AREA_SIZE];
} ioShare_t;

/* The layout is a contract with clients built separately (and in C): every
 * offset is the controller's, moved by however much larger the mutex is. */
#ifdef __cplusplus
#define IOSHARE_ASSERT(expr, msg) static_assert(expr, msg)
#else
#define IOSHARE_ASSERT(expr, msg) _Static_assert(expr, msg)
#endif
#define IOSHARE_AT(field, off32) \
    IOSHARE_ASSERT(offsetof(ioShare_t, field) == (size_t)((off32) + IOSHARE_SHIFT), #field)

IOSHARE_ASSERT(sizeof(pthread_cond_t) == 48, "condition variable of 48 bytes");
IOSHARE_ASSERT(offsetof(ioShare_t, cond) == 0, "cond");
IOSHARE_ASSERT(offsetof(ioShare_t, mutex) == 48, "mutex");
IOSHARE_AT(boardId, 72);
IOSHARE_AT(interval, 76);
IOSHARE_AT(bitInReqAddr, 80);
IOSHARE_AT(bitInReqCount, 84);
IOSHARE_AT(bitOutReqAddr, 88);
IOSHARE_AT(bitOutReqCount, 92);
IOSHARE_AT(bitOutRbReqAddr, 96);
IOSHARE_AT(bitOutRbReqCount, 100);
IOSHARE_AT(intInReqAddr, 104);
IOSHARE_AT(intInReqCount, 108);
IOSHARE_AT(intOutReqAddr, 112);
IOSHARE_AT(intOutReqCount, 116);
IOSHARE_AT(intOutRbReqAddr, 120);
IOSHARE_AT(intOutRbReqCount, 124);
IOSHARE_AT(dwordInReqAddr, 128);
IOSHARE_AT(dwordInReqCount, 132);
IOSHARE_AT(bitInBase, 136);
IOSHARE_AT(bitInCount, 140);
IOSHARE_AT(bitOutBase, 144);
IOSHARE_AT(bitOutCount, 148);
IOSHARE_AT(intInBase, 152);
IOSHARE_AT(intInCount, 156);
IOSHARE_AT(intOutBase, 160);
IOSHARE_AT(intOutCount, 164);
IOSHARE_AT(dwordInBase, 168);
IOSHARE_AT(dwordInCount, 172);
IOSHARE_AT(auxBase, 176);
IOSHARE_AT(auxSize, 180);
IOSHARE_AT(bitInImage, 184);
IOSHARE_AT(bitOutImage, 2232);
IOSHARE_AT(bitOutRbImage, 4280);
IOSHARE_AT(intInImage, 6328);
IOSHARE_AT(intOutImage, 8376);
IOSHARE_AT(intOutRbImage, 10424);
IOSHARE_AT(dwordInImage, 12472);
IOSHARE_AT(auxArea, 14520);
IOSHARE_AT(tailReq, 16568);
IOSHARE_AT(tailSlots, 16572);
IOSHARE_AT(tailSlotSize, 16576);
IOSHARE_AT(tailUsed, 16580);
IOSHARE_AT(tailArea, 16584);
IOSHARE_ASSERT(sizeof(ioShare_t) == IOSHARE_SIZE, "whole object");
#if defined(__GLIBC__) && (defined(__arm__) || defined(__i386__))
/* The controller's own ABI: no shift at all. */
IOSHARE_ASSERT(sizeof(pthread_mutex_t) == 24, "24-byte mutex");
IOSHARE_ASSERT(sizeof(ioShare_t) == 2146504, "2146504 bytes");
#endif

#undef IOSHARE_AT

#endif

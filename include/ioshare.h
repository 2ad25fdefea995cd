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

/* ---- Client helpers (libfieldbus) ----
 * For the processes that use a running server's region. Fields and images
 * are read and written with the mutex held (ioshare_lock); requests are
 * posted in a slot and carried to the board by the server's next cycle. */

FIELDBUS_BEGIN_DECLS

/* The images a client names. The first six have a request slot each, which
 * carries the function in brackets to the board; IOSHARE_DWORD_IN has none. */
enum ioshareKind {
    IOSHARE_BIT_IN,     /* bitInImage, discrete inputs (2) */
    IOSHARE_BIT_OUT,    /* bitOutImage, coils to write (15) */
    IOSHARE_BIT_OUT_RB, /* bitOutRbImage, coils read back (1) */
    IOSHARE_INT_IN,     /* intInImage, input registers (4) */
    IOSHARE_INT_OUT,    /* intOutImage, holding registers to write (16) */
    IOSHARE_INT_OUT_RB, /* intOutRbImage, holding registers read back (3) */
    IOSHARE_DWORD_IN    /* dwordInImage, 32-bit inputs */
};

/* Opens the region `name` (null or empty: the environment's IOSHARE_NAME_ENV,
 * else IOSHARE_DEFAULT_NAME) and maps it whole. The mapping, or null with
 * errno set: ENOENT when no server has created it, EAGAIN when it is not
 * sized yet. The server never unmaps a client: release it with ioshare_close. */
ioShare_t *ioshare_open(const char *name);

/* Unmaps a region of ioshare_open: 0, or -1. */
int ioshare_close(ioShare_t *share);

/* Takes the region's mutex: 0; 1 when its last holder died holding it (the
 * mutex is made consistent again and is held); -1 with errno set when it is
 * not taken. Release it promptly: the server needs it every cycle. */
int ioshare_lock(ioShare_t *share);

/* Releases the mutex: 0, or -1. */
int ioshare_unlock(ioShare_t *share);

/* Wakes the server's cycle at once instead of at the end of its interval.
 * Call it while or after posting a request: 0, or -1. */
int ioshare_signal(ioShare_t *share);

/* Posts (addr, count) in the slot of `kind` and signals the server: waits
 * for the slot to be idle, writes the count, then the address, and waits
 * until the server has taken the request. Takes and releases the mutex
 * itself; waits at most timeoutMs in all. 0 taken; -1 kind without a slot,
 * addr -1, or mutex not taken; -2 slot still busy, nothing posted; -3 posted
 * but not seen taken (it may stay posted; also when another client posted the
 * very same request right after ours was taken). A write sends the kind's
 * output image: put the points first. */
int ioshare_request(ioShare_t *share, int kind, int32_t addr, int32_t count, int timeoutMs);

/* Reads the point at Modbus address `addr` from the image of `kind`, with
 * the mutex held: a bit as 0 or 1, a register as its value (high byte first
 * in the image), a 32-bit input (addr: its first register, dwordInBase + 2k)
 * with its first register as the high half. 0, or -1 when addr lies outside
 * the image (below the kind's base or beyond its room). */
int ioshare_get(const ioShare_t *share, int kind, int32_t addr, uint32_t *value);

/* Sets the output point at `addr` in the image of IOSHARE_BIT_OUT (value
 * not 0: on) or IOSHARE_INT_OUT (low 16 bits), with the mutex held. It reaches
 * the board with the next write request of that kind. 0, or -1 for another
 * kind or an address outside the image. */
int ioshare_put(ioShare_t *share, int kind, int32_t addr, uint32_t value);

FIELDBUS_END_DECLS

#endif

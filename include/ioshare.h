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

/* ---- Server health ----
 * A second, small shared-memory object beside the region, named after it
 * with IOSHARE_HEALTH_SUFFIX appended ("/zuqshmio.health"). The server
 * creates it read-only to everyone else (mode 0640) and rewrites it at least
 * once per cycle; it never touches the region's layout or what clients own
 * there. Read it with ioshare_health_open and ioshare_health_read.
 *
 * Versioned: `version` grows when fields are added at the end, never when
 * one moves; `size` is the size the server writes. A reader built against an
 * older header reads the fields it knows. Times are milliseconds on the
 * system's monotonic clock (CLOCK_MONOTONIC, the same for every process). */
#define IOSHARE_HEALTH_SUFFIX ".health"
#define IOSHARE_HEALTH_VERSION 2
#define IOSHARE_HEALTH_ERROR_SIZE 128
#define IOSHARE_SLOT_KINDS 6 /* request slots: enum ioshareKind up to IOSHARE_INT_OUT_RB */

/* What the refresh thread is doing (ioshareHealth.state). */
enum ioshareState {
    IOSHARE_STATE_STARTING = 0, /* start-up, no cycle yet */
    IOSHARE_STATE_CYCLING = 1,  /* the board answers, images are current */
    IOSHARE_STATE_NO_BOARD = 2, /* no board has answered; asked again every few seconds */
    IOSHARE_STATE_FAILING = 3,  /* the board stopped answering: inputs are getting old */
    IOSHARE_STATE_NO_PORT = 4,  /* COM port 1 is gone; reopened every few seconds */
    IOSHARE_STATE_STOPPED = 5   /* orderly stop under way or done */
};

/* What became of the requests of one request slot. The server numbers the
 * requests it finds in a slot 1, 2, 3 ... from its start, whatever it then
 * does with them.
 *
 * A client that posts a request into the idle slot reads `taken` with the
 * region's mutex held while it posts (T0): its request is number T0 + 1 once
 * `taken` has moved on, within the same `generation`. It is settled once
 * `confirmed` reaches its number: a write is on the board (sent, answered and
 * read back, so the read-back images show it), a read's data are in the
 * image - unless bit (number % IOSHARE_REFUSED_BITS) of `refused` is set: the
 * server refused it (outside the image, its queue full) or the board did (a
 * write it answered with an exception, a read that failed). A refusal is
 * final and may show before `confirmed` reaches the number. That bit is
 * cleared when the number is given out, so it tells only while `taken` is
 * less than IOSHARE_REFUSED_BITS past the number. Counters wrap around:
 * compare them by their difference. ioshare_request_confirmed does all this. */
#define IOSHARE_REFUSED_BITS 256
typedef struct ioshareSlotProgress {
    uint32_t taken;     /* number of the last request taken from the slot */
    uint32_t confirmed; /* every request up to this number is settled */
    uint32_t refused[IOSHARE_REFUSED_BITS / 32]; /* bit n % 256 (word n / 32 % 8,
                                                    bit n % 32): request n refused */
} ioshareSlotProgress;

typedef struct ioshareHealth {
    uint32_t version;        /* IOSHARE_HEALTH_VERSION of the server that wrote it */
    uint32_t size;           /* bytes the server fills: sizeof its ioshareHealth */
    uint32_t sequence;       /* odd while the server is writing (see ioshare_health_read) */
    int32_t serverPid;       /* process id of the server */
    int64_t inputsMs;        /* when every periodic read of a cycle last succeeded; 0 never */
    int64_t updatedMs;       /* when the server last wrote this record */
    int32_t boardId;         /* as in the region; IOSHARE_NO_BOARD while none answered */
    uint32_t state;          /* enum ioshareState */
    uint64_t cycles;         /* refresh cycles completed */
    uint32_t lastCycleUs;    /* duration of the last cycle's board work, microseconds */
    uint32_t cycleRateMilli; /* cycles per second over the last second or so, times 1000 */
    uint32_t failedReads;    /* periodic reads that failed */
    uint32_t failedRequests; /* clients' on-demand reads that failed */
    uint32_t failedWrites;   /* output writes that failed (each is sent again) */
    uint32_t portReopens;    /* times COM port 1 was closed and opened again */
    char lastError[IOSHARE_HEALTH_ERROR_SIZE]; /* text of the last failure, "" none */
    /* ---- version 2 ---- */
    uint32_t generation;        /* new at every start of a server: a request posted
                                   under one generation is lost with it */
    uint32_t outputResends;     /* times the output images were sent again unasked: the
                                   board answered again after a silence, or its
                                   read-back kept differing from what clients set */
    uint32_t outputsOverridden; /* bit 1 << IOSHARE_BIT_OUT, 1 << IOSHARE_INT_OUT: the
                                   board keeps those outputs at other values than the
                                   clients set, even after they were sent again */
    int32_t lockHolderPid;      /* process that held the region's mutex in the last
                                   wait of the server of 20 ms or more (0: none yet) */
    ioshareSlotProgress slots[IOSHARE_SLOT_KINDS]; /* by enum ioshareKind */
    uint32_t lockLongestUs; /* longest wait of the server for the mutex, about
                               the last ten seconds */
    uint32_t lockSlowWaits; /* waits of 20 ms or more for the mutex so far */
} ioshareHealth;

IOSHARE_ASSERT(offsetof(ioshareHealth, inputsMs) == 16, "inputsMs");
IOSHARE_ASSERT(offsetof(ioshareHealth, cycles) == 40, "cycles");
IOSHARE_ASSERT(offsetof(ioshareHealth, lastError) == 72, "lastError");
IOSHARE_ASSERT(offsetof(ioshareHealth, generation) == 200, "generation");
IOSHARE_ASSERT(offsetof(ioshareHealth, slots) == 216, "slots");
IOSHARE_ASSERT(sizeof(ioshareHealth) == 464, "health record");

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
 * not taken (ENOTRECOVERABLE: a client spoilt it and it is not touched; the
 * server sets it up afresh, try again). Release it promptly: the server
 * needs it every cycle. */
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
 * output image: put the points first.
 *
 * What a completed request (0) means: the server has taken it in hand, no
 * more. A write's image has been copied and is sent to the board that cycle
 * and, while the board does not answer, again every cycle until it does. A
 * read beyond the mirrored range is in the image if it succeeded; one inside
 * the range is served by the periodic read that follows in the same cycle.
 * To know that it was carried out, use ioshare_request_confirmed. */
int ioshare_request(ioShare_t *share, int kind, int32_t addr, int32_t count, int timeoutMs);

/* Results of ioshare_request_confirmed. */
enum ioshareOutcome {
    IOSHARE_DONE = 0,               /* a write is on the board, a read's data in the image */
    IOSHARE_ERR_ARGS = -1,          /* kind without a slot, addr -1, or mutex not taken */
    IOSHARE_ERR_BUSY = -2,          /* the slot never came idle: nothing posted */
    IOSHARE_ERR_NOT_TAKEN = -3,     /* the server did not take it in time: taken back
                                       from the slot, so it is not carried out (points
                                       put in an image stay there for the next write) */
    IOSHARE_ERR_NOT_CONFIRMED = -4, /* taken, not settled in time: a write is still
                                       sent until the board takes it */
    IOSHARE_ERR_RESTARTED = -5,     /* the server stopped or started again meanwhile */
    IOSHARE_ERR_REFUSED = -6,       /* refused by the server (outside the image, queue
                                       full, replaced in the slot by another client's
                                       request) or failed at the board (a write it
                                       refused, a read it did not answer) */
    IOSHARE_ERR_NO_HEALTH = -7      /* no health record of a server that confirms */
};

/* As ioshare_request (same arguments; timeoutMs covers the whole call), but
 * returns IOSHARE_DONE only once the request is carried out: a write is on
 * the board and shows in the read-back image, a read's data are in the
 * image. Otherwise one of the other enum ioshareOutcome values. A write the
 * server has not taken by the time-out is taken back from the slot. */
int ioshare_request_confirmed(ioShare_t *share, int kind, int32_t addr, int32_t count,
                              int timeoutMs);

/* A short text for a result of ioshare_request_confirmed ("done", "refused
 * by the server or the board", ...). */
const char *ioshare_outcome_text(int result);

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

/* Maps the health object of the region `name` (null or empty: as
 * ioshare_open) read-only: the mapping, or null with errno set (ENOENT: no
 * server runs, or one too old to publish its health). Release it with
 * ioshare_health_close. */
const ioshareHealth *ioshare_health_open(const char *name);

/* Unmaps a mapping of ioshare_health_open: 0, or -1. */
int ioshare_health_close(const ioshareHealth *health);

/* Copies the record as one consistent whole (the server may be writing it:
 * the copy is retried while `sequence` is odd or changes under it). 0, or -1
 * when no consistent copy could be had or the version is unknown (0). */
int ioshare_health_read(const ioshareHealth *health, ioshareHealth *copy);

/* Age of the inputs in a copy: milliseconds since every periodic read of a
 * cycle last succeeded, or -1 when they never have. The images hold values
 * that old or older: a client that must not act on stale inputs checks it. */
long long ioshare_inputs_age_ms(const ioshareHealth *copy);

FIELDBUS_END_DECLS

#endif

// The Modbus engine shared by the three framings: one master transaction and
// one serial slave collection over a small per-framing interface. A framing
// says how far the frame being collected reaches (so collection ends the
// moment it is complete), and wraps and unwraps bodies; a link says how bytes
// go out and come in (a COM port or an entry of the connection table).
// Every wait blocks in poll() and is measured on the monotonic clock.
#pragma once

#include <cstdint>

#include "modbus_pdu.h"

namespace fieldbus::engine {

// Milliseconds on the monotonic clock.
long long nowMs();

// What a judge says about the bytes collected so far.
constexpr int kComplete = 0;  // a whole frame: stop here

// Judges `*got` collected bytes: kComplete, or the number of bytes still
// wanted at most (> 0; the next read asks for no more, so a frame is never
// read past its end when its length is known). `ctx` is the framing's own.
using Judge = int (*)(uint8_t *buf, int *got, const void *ctx);

// Who a slave collection is for: its judge passes over everything that
// cannot be a request to it (another slave's request or answer, noise).
struct SlaveScan {
    uint8_t unit;    // this slave's address; 0 takes a request to any
    bool broadcast;  // requests to address 0 are taken too
    int minFrame;    // RTU: the shortest request whose length no layout fixes
};

// A slave judge looks at the `*got` bytes held for a port (ctx: a SlaveScan),
// which may run past the request at their front (the next one, sent behind
// it). It drops leading bytes that can start no request to this slave
// (adjusting *got) and returns true when the first *frame bytes are a whole
// one. `silent`: the line has just fallen silent after the last of them.
using SlaveJudge = bool (*)(uint8_t *buf, int *got, int *frame, bool silent, const void *ctx);

// A way to move bytes: a COM port or a connection-table entry.
struct Link {
    int fd = -1;    // polled for input
    int index = 0;  // port number or table index, handed to send and receive
    // Writes all bytes: the count, or -1 when the write failed.
    int (*send)(int index, const uint8_t *data, int length) = nullptr;
    // One read of at most `room` bytes: > 0 bytes, 0 nothing waiting, -1 the
    // link failed or the far end went away.
    int (*receive)(int index, uint8_t *data, int room) = nullptr;
    // receive returns at once when nothing waits, so it may be tried before
    // waiting on the line.
    bool nonBlocking = false;
};

// Collection results (>= 0: bytes collected).
constexpr int kWriteFailed = -1;  // the request could not be written
constexpr int kLinkFailed = -2;   // hang-up, end of stream or read error

// Collects into buf (room bytes) until the judge says complete, the room is
// full or `deadline` (monotonic ms) has passed. *got holds what was there
// before and receives the total. Returns kComplete when a frame is complete,
// 1 on time-out or a full room, kLinkFailed when the link failed.
int collect(const Link &link, uint8_t *buf, int room, int *got, long long deadline, Judge judge,
            const void *ctx);

// ---- serial (RTU, ASCII) ----

// True for a COM port number 1..50 whose table entry names a descriptor.
bool serialUsable(char cPort);

// The link of an open COM port; puts the line into pure polling (VMIN 0,
// VTIME 0), as the raw exchange leaves it.
Link serialLink(char cPort);

// Before a master sends on a port whose last exchange timed out or was
// refused: waits until the line has been silent for that exchange's
// time-out (bounded), so a late answer cannot be taken for the next one;
// then discards whatever input waits.
void serialPrepare(char cPort);

// Records how an exchange on the port ended: a failure makes the next
// request wait for a silent line first.
void serialOutcome(char cPort, bool failed, WORD wTimeout);

// ---- the master transaction ----

// Sends `length` bytes of `frame`, then collects the answer into `answer`
// (room bytes) for timeoutMs from the start of the call. Returns the bytes
// collected (0: none), kWriteFailed or kLinkFailed. *wT (may be null)
// receives the elapsed milliseconds, 16 bits.
int transact(const Link &link, const uint8_t *frame, int length, uint8_t *answer, int room,
             Judge judge, const void *ctx, long long timeoutMs, WORD *wT);

// ---- serial framings ----

// What a master expects back, for the answer judges.
struct Expect {
    uint8_t function;  // the function asked for
    int frameLength;   // whole frame of a complete normal answer (the most collected)
    const pdu::Plan *plan = nullptr;  // when set, the answer's own fields give its length
};

// RTU: frames are body + CRC.
int rtuWrap(const uint8_t *body, int length, uint8_t *frame);
int rtuJudgeAnswer(uint8_t *buf, int *got, const void *expect);
// Slave: a request starts at a byte with this slave's address and a function
// code (1-127); it is whole by the function's layout and a good CRC. One whose
// length no layout fixes is whole when the line falls silent and the CRC
// checks over all that came (at least minFrame bytes).
bool rtuJudgeRequest(uint8_t *buf, int *got, int *frame, bool silent, const void *scan);

// ASCII: frames are ':' hex(body + LRC) CR LF. A ':' starts a frame over,
// dropping what came before it; CR LF ends it. The slave judge passes over
// whole frames that are not a request to it or fail their LRC.
int asciiWrap(const uint8_t *body, int length, uint8_t *frame);
bool asciiJudge(uint8_t *buf, int *got, int *frame, bool silent, const void *scan);
// Decodes a whole text frame into its body (LRC checked, not counted):
// the body's length, or -1.
int asciiDecode(uint8_t *body, const uint8_t *text, int chars);
// Master: the answer as it comes, ending at CR LF.
int asciiJudgeAnswer(uint8_t *buf, int *got, const void *unused);

// The serial slave collection into `frame` (kFrameMax bytes): up to three
// attempts of wTimeout ms each, ending at once when the judge finds a whole
// frame; left when an attempt brought nothing. Returns the frame's length, or
// -11 (the link failed) or -15 (no whole frame). What was read behind the
// frame, or of a frame still coming, is held for the port's next collection;
// the port's Open_Com and Close_Com, and a master's request on it, drop it.
// `silenceEnds` (RTU): line silence of 3.5 characters (1.75 ms above 19200
// baud) ends a frame, and what the judge does not take then is dropped.
int serialCollect(char cPort, WORD wTimeout, uint8_t *frame, SlaveJudge judge, const void *ctx,
                  bool silenceEnds);

// Sends a slave answer body on a COM port: 0, or 11 when the port is not
// usable or the write failed.
int serialReply(char cPort, bool ascii, const uint8_t *body, int length);

}  // namespace fieldbus::engine

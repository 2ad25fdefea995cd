// The rules of each Modbus function code, shared by every framing (RTU,
// ASCII, TCP). Pure functions over byte buffers: nothing here touches a port,
// allocates or keeps state.
//
// Vocabulary. A *body* is what every framing carries between its envelope:
//   body[0]  unit / slave address
//   body[1]  function code (bit 7 set in an exception answer)
//   body[2…] data field, 16-bit quantities high byte first
// RTU sends body + 2 CRC bytes, ASCII sends body + 1 LRC byte as text, TCP
// sends a 6-byte header + body. Body offsets are therefore the RTU frame
// offsets, and the TCP frame offsets minus 6.
//
// Data in cBuf is exactly as on the wire (bits eight to a byte, lowest
// address in bit 0; registers high byte first): nothing is swapped or moved.
#pragma once

#include <cstdint>

#include "msw.h"

namespace fieldbus::pdu {

// Longest frame of any framing, in bytes (or characters for ASCII).
constexpr int kFrameMax = 2048;

// Function codes whose data field is not address and quantity, and the
// encapsulated-interface type of the device identification read.
constexpr uint8_t kReportServerId = 0x11;
constexpr uint8_t kMaskWrite = 0x16;
constexpr uint8_t kReadWriteRegisters = 0x17;
constexpr uint8_t kEncapsulated = 0x2B;
constexpr uint8_t kDeviceIdentification = 0x0E;

// Master results shared by every framing.
constexpr int kOk = 0;
constexpr int kUnhandled = 1;  // function or function-70 sub-function not handled
constexpr int kExchangeFailed = 11;
constexpr int kBadAnswer = 12;
constexpr int kException = 13;  // exception code stored in cBuf[0]
constexpr int kNoAnswer = 15;
constexpr int kTooLong = 20;

// Slave receive results shared by every framing (>= 0: data bytes in cBuf).
constexpr int kSlaveUnhandled = -1;
constexpr int kSlaveExchangeFailed = -11;
constexpr int kSlaveNoRoom = -12;
constexpr int kSlaveNoRequest = -15;

// What a framing puts around a body.
struct Envelope {
    int maxBody;     // longest body (request or answer) that fits the framing's 2048-byte limit
    int checkBytes;  // check bytes that follow the body in the receive buffer (function 70
                     // hands them on with its data): RTU 2 (CRC), ASCII 1 (LRC), TCP 0
};

constexpr Envelope kRtu{kFrameMax - 2, 2};          // body + CRC
constexpr Envelope kAscii{(kFrameMax - 5) / 2, 1};  // ':' hex(body + LRC) CR LF: 1021
constexpr Envelope kTcp{kFrameMax - 6, 0};          // 6-byte header + body

// A master request as built, and what its answer must look like.
struct Plan {
    uint8_t function = 0;
    int requestLength = 0;  // body bytes built
    int answerLength = 0;   // body bytes of a complete answer (address through data)
    int copyLength = 0;     // bytes copied to cBuf from answer offset 3 on success; for
                            // function 70 this includes the envelope's check bytes
    int echoLength = 0;     // writes: leading body bytes the answer must repeat (6, 8 for
                            // 0x16), else 0
    int byteCount = -1;     // reads: the byte-count field the answer must carry, else -1
    // 0x11 and 0x2B: the answer's own fields give its length (answerLength is
    // then the most collected), and everything after its function code goes
    // to cBuf, at most `room` bytes.
    bool counted = false;
    int room = 0;
};

// Builds the request body into `body` (room for kFrameMax bytes) and fills
// *plan. Functions 0x16, 0x17 and 0x2B take their data field from cBuf as it
// goes on the wire (0x16: 6 bytes, 0x17: 9 + its byte count, 0x2B: 3), 0x11
// has none; wAddr and wCount are not used by them. Returns kOk, kUnhandled
// (function, function-70 sub-function, or a 0x2B type other than 0x0E) or
// kTooLong (request or answer longer than env.maxBody, data to write longer
// than wBufLen, or data to copy back longer than wBufLen). Nothing is written
// to `body` unless the result is kOk.
int buildRequest(const Envelope &env, uint8_t unit, uint8_t function, WORD wAddr, WORD wCount,
                 const char *cBuf, WORD wBufLen, uint8_t *body, Plan *plan);

// Checks an answer body against the request body it answers. `answer` holds
// `length` body bytes that arrived, followed by the envelope's check bytes
// (already verified by the framing; function 70 copies them too). Only an
// answer from the addressed unit (any unit when the request went to 0), with
// the function asked for or its exception form, and for reads the byte count
// the quantity gives, is taken; a counted answer (0x11, 0x2B) must end where
// its own fields say. Returns kOk (read data copied to cBuf), kException
// (code in cBuf[0]), kBadAnswer, or kTooLong for a counted answer whose data
// do not fit plan.room; cBuf is untouched unless kOk or kException.
int takeAnswer(const Plan &plan, const uint8_t *request, const uint8_t *answer, int length,
               char *cBuf);

// A request as a slave hands it to its caller.
struct SlaveRequest {
    int function = 0;
    int dataAddr = 0;
    int dataCount = 0;
};

// Parses a request body of `length` bytes (followed by env.checkBytes check
// bytes) for the slave `cNetID` (0 accepts any address). Returns the number of
// data bytes copied to cBuf (and fills *out), or kSlaveNoRequest (another
// address, or a body too short for what it claims), kSlaveUnhandled (also
// for 0x11, 0x16, 0x17 and 0x2B, which only the register-map server serves)
// or kSlaveNoRoom. cBuf and *out are written only on success, but for
// out->function, which is also set when a request to this slave is refused
// (kSlaveUnhandled, kSlaveNoRoom).
int parseRequest(const Envelope &env, uint8_t cNetID, const uint8_t *body, int length, char *cBuf,
                 WORD wBufLen, SlaveRequest *out);

// The request body length (address through data) a function's layout
// implies, judged from the `length` body bytes in so far: for 15, 16 and 0x17
// a lower bound until the byte count has arrived, for 0x2B until its type has;
// -1 where the layout does not fix it (function 70, 0x2B types other than
// 0x0E, and codes not handled). Lets a collection end the moment a request
// is whole, and never read past its end.
int requestBodyLength(const uint8_t *body, int length);

// The answer body length (address through data) the plan's function implies,
// judged from the `length` bytes in so far: plan.answerLength, or for a
// counted answer a lower bound until the fields that give it have arrived.
// Lets a collection end the moment an answer is whole.
int answerBodyLength(const Plan &plan, const uint8_t *answer, int length);

// Builds a slave answer body into `body` (room for kFrameMax bytes):
// functions 1-4 byte count + wBufLen bytes of cBuf; 5, 6, 15, 16 wAddr and
// cBuf[0], cBuf[1]; 70 wBufLen bytes of cBuf; an exception answer for any
// function with bit 7 set (0x81-0xFF), its code taken from cBuf[0]. Returns
// kOk with *length set, kUnhandled, or kTooLong when the body would exceed
// env.maxBody.
int buildReply(const Envelope &env, uint8_t unit, int function, const char *cBuf, WORD wBufLen,
               WORD wAddr, uint8_t *body, int *length);

// ---- serial framings: whole-frame checks, used by the engines and fuzzed ----

// RTU master: checks `received` answer bytes (CRC included) against the
// request body; kOk, kException or kBadAnswer as takeAnswer.
int rtuTakeAnswer(const Plan &plan, const uint8_t *request, const uint8_t *frame, int received,
                  char *cBuf);

// RTU slave: true when the collected bytes form a whole frame (8 or more
// bytes whose CRC checks).
bool rtuRequestComplete(const uint8_t *frame, int received);

// RTU slave: parses a complete frame; results as parseRequest.
int rtuParseRequest(uint8_t cNetID, const uint8_t *frame, int received, char *cBuf, WORD wBufLen,
                    SlaveRequest *out);

// ASCII master: decodes `chars` answer characters into `scratch` (room for
// kFrameMax bytes) and checks them; kOk, kException or kBadAnswer.
int asciiTakeAnswer(const Plan &plan, const uint8_t *request, const char *text, int chars,
                    uint8_t *scratch, char *cBuf);

// ASCII slave: true when the collected text ends in CR LF.
bool asciiRequestComplete(const char *text, int chars);

// ASCII slave: decodes a complete text into `scratch` (room for kFrameMax
// bytes) and parses it; results as parseRequest (kSlaveNoRequest when the text
// does not decode).
int asciiParseRequest(uint8_t cNetID, const char *text, int chars, uint8_t *scratch, char *cBuf,
                      WORD wBufLen, SlaveRequest *out);

}  // namespace fieldbus::pdu

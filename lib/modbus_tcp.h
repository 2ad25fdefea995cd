// Modbus/TCP frame checks: the six-byte MBAP header around the bodies of
// modbus_pdu.h. Pure functions over byte buffers, used by the TCP master and
// slave and fuzzed on their own.
#pragma once

#include <cstdint>

#include "modbus_pdu.h"

namespace fieldbus::tcp {

// Transaction identifier, protocol identifier, length.
constexpr int kHeader = 6;

// Writes the header: transaction (low 16 bits), protocol 0, body length.
void putHeader(uint8_t *frame, unsigned transaction, int bodyLength);

// Master: true once `got` bytes hold a header and the body it announces.
bool answerComplete(const uint8_t *frame, int got);

// Master: checks `got` answer bytes against the request frame (header
// included) whose transaction identifier was `transaction`. kOk (read data
// copied to cBuf), kException (code in cBuf[0]) or kBadAnswer (another
// transaction, or too short for what it must carry; cBuf untouched).
int takeAnswer(const pdu::Plan &plan, unsigned transaction, const uint8_t *request,
               const uint8_t *answer, int got, char *cBuf);

// Slave: how many bytes of the stream the request being read spans, judged
// from the `got` bytes read so far: header, unit and function first, then as
// far as the header's length says. -1 when that length fits no request.
int requestTarget(const uint8_t *frame, int got);

// Slave: checks and parses a request of `got` bytes that requestTarget
// declared complete. Results as pdu::parseRequest, *transID set on success;
// *disagrees is set (and the result is kSlaveNoRequest) when the header's
// length and the body's layout disagree.
int parseRequest(uint8_t cNetID, const uint8_t *frame, int got, char *cBuf, WORD wBufLen,
                 pdu::SlaveRequest *out, int *transID, bool *disagrees);

// Slave: true when the header's length and the body's layout agree with the
// `got` bytes of a request that requestTarget declared complete.
bool consistent(const uint8_t *frame, int got);

// Slave: the next complete request on the listening entry cPort, clients
// accepted and served in turn, answers waiting in their queues sent on the
// way. 0 with the frame (header included, *got bytes, as long as its header
// says, whether or not its body agrees) and the client's entry in *client; or
// -1 (not a listening entry), -15 (no request within wTimeout, or a header
// whose length fits no request, which is dropped with what waits behind it:
// the stream cannot be followed), or the negative result of a failed client
// connection (which is closed). Closed without a word: a client whose request is not whole within
// a few seconds of its first byte, and the client heard from longest ago when
// a new one finds the table full.
int nextRequest(int cPort, WORD wTimeout, uint8_t *frame, int *got, int *client);

}  // namespace fieldbus::tcp

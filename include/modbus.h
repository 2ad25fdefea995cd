/* Modbus master and slave in RTU and ASCII framing (numbered COM ports) and
 * TCP framing (connection table). Data in cBuf is exactly as on the wire:
 * bits eight to a byte, lowest address in bit 0; registers high byte first. */
#ifndef FIELDBUS_MODBUS_H
#define FIELDBUS_MODBUS_H

#include "msw.h"

FIELDBUS_BEGIN_DECLS

/* ---- RTU (COM ports) ---- */

/* One master transaction: function cFunction (1-6, 15, 16, 70, and 0x11,
 * 0x16, 0x17, 0x2B as below) to slave cNetID on COM port cPort. 0 success;
 * 1 function not handled; 11 failed exchange, also for a cPort outside 1..50
 * or not open (nothing is sent); 12 answer failed its check or is shorter
 * than its data; 13 exception, code in cBuf[0]; 15 no answer; 20 request or
 * answer too long for the frame, or data to write or to copy back longer than
 * wBufLen (nothing is sent; for 0x11 and 0x2B also an answer whose data do
 * not fit wBufLen, cBuf untouched). wT (may be null) receives the elapsed
 * milliseconds.
 *
 * Functions 0x11, 0x16, 0x17 and 0x2B take the request's data field (what
 * follows the function code) from cBuf exactly as it goes on the wire, and
 * leave wAddr and wCount unused (pass 0):
 *
 * 0x16 mask write register: cBuf holds the address, the AND mask and the OR
 *   mask (6 bytes); the answer must echo them. Register 0x0120 = (register AND
 *   0x00F2) OR (0x0025 AND NOT 0x00F2):
 *     char b[6] = {0x01, 0x20, 0x00, 0xF2, 0x00, 0x25};
 *     modbusRequest(1, 7, 0x16, 0, 0, b, 6, 100, NULL);
 * 0x17 read/write multiple registers: cBuf holds read address, read quantity,
 *   write address, write quantity, byte count and the values written (9 bytes
 *   and the byte count's); on success cBuf receives the registers read (2 per
 *   register, the slave writes before it reads), so wBufLen must hold both.
 *   Write 0x1234 to register 10, then read registers 8-11:
 *     char b[11] = {0, 8, 0, 4, 0, 10, 0, 1, 2, 0x12, 0x34};
 *     modbusRequest(1, 7, 0x17, 0, 0, b, sizeof b, 100, NULL);  -> b[0..7]
 * 0x11 report server id: no request data; on success cBuf receives the
 *   answer's byte count followed by that many bytes (server id, run indicator,
 *   then the device's own), so the data are cBuf[1] .. cBuf[cBuf[0]]:
 *     char b[256];
 *     modbusRequest(1, 7, 0x11, 0, 0, b, sizeof b, 100, NULL);
 * 0x2B read device identification: cBuf holds the type 0x0E (any other type
 *   is 1, not handled), the read device id code (1 basic, 2 regular, 3
 *   extended stream, 4 one object) and the first object id (3 bytes). One
 *   call is one answer: on success cBuf receives its data field as it came,
 *   type, code, conformity level, more follows (0x00 or 0xFF), next object
 *   id, number of objects, then per object its id, length and bytes. The
 *   answer must end where its objects do. When more follows is 0xFF the rest
 *   comes from the next object id on, in calls of the caller's own (a slave
 *   that never says "no more" must not keep it asking, hence the bound):
 *     char b[256];
 *     int next = 0, parts = 0, more;
 *     do {
 *         b[0] = 0x0E; b[1] = 1; b[2] = (char)next;
 *         if (modbusRequest(1, 7, 0x2B, 0, 0, b, sizeof b, 100, NULL) != 0) break;
 *         ... b[5] objects from b + 6 on ...
 *         more = (unsigned char)b[3] == 0xFF;
 *         next = (unsigned char)b[4];
 *     } while (more && ++parts < 8); */
int modbusRequest(char cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount, char *cBuf,
                  WORD wBufLen, WORD wTimeout, WORD *wT);

/* Slave receive: up to three attempts of wTimeout ms each for one request
 * addressed to cNetID (0 accepts any). Noise and other slaves' requests and
 * answers are passed over; line silence of 3.5 characters (1.75 ms above
 * 19200 baud) ends a frame; what arrives behind a request in the same burst
 * is kept for the next call. Returns the data bytes placed in cBuf
 * (outputs written), -1 function not handled, -12 data does not fit cBuf,
 * -15 no valid request (also another address, a request whose byte count
 * claims more than arrived, or a cPort that is not open). On -1 and -12 for a
 * request addressed to this slave, *function is set as well, so that the
 * caller can answer it with an exception (modbusReply with function | 0x80). */
int modbusRead(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen, int *dataAddr,
               int *dataCount, WORD wTimeout);

/* Slave answer for function with wBufLen answer data bytes in cBuf
 * (functions 1-4, 70) or the echoed wAddr and cBuf[0], cBuf[1] (5, 6, 15, 16).
 * An exception answer: function | 0x80 (0x81-0xFF) with the exception code in
 * cBuf[0] (1 illegal function, 2 illegal address, 3 illegal value, ...).
 * 0 written; 1 function not handled; 11 failed exchange or a cPort outside
 * 1..50 or not open; 20 answer too long for the frame. */
int modbusReply(char cPort, char cNetID, int function, char *cBuf, WORD wBufLen, WORD wAddr,
                WORD wCount);

/* ---- ASCII (COM ports) ---- */

/* Encodes a body as ':' hex digits, LRC, CR LF; returns 2 * inputLen + 5. */
int BinToAsc(char *result, char *input, int inputLen);
/* Decodes an ASCII frame; returns the number of body bytes or -1. */
int AscToBin(char *result, char *input, int inputLen);

/* As modbusRequest, modbusRead and modbusReply, in ASCII framing: the same
 * arguments, codes and functions (0x11, 0x16, 0x17, 0x2B and exception
 * answers included); text limits of 2048
 * characters. Hex digits are accepted in either case, any other character
 * refuses the text; a request starts at ':' (noise before it is dropped) and
 * is complete at CR LF. */
int modbusRequestA(char cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount, char *cBuf,
                   WORD wBufLen, WORD wTimeout, WORD *wT);
int modbusReadA(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen, int *dataAddr,
                int *dataCount, WORD wTimeout);
int modbusReplyA(char cPort, char cNetID, int function, char *cBuf, WORD wBufLen, WORD wAddr,
                 WORD wCount);

/* ---- TCP (connection table) ---- */

/* Master transaction on the connected entry cPort of the connection table;
 * cNetID is the unit identifier. Functions and cBuf as modbusRequest (0x11,
 * 0x16, 0x17, 0x2B included). Each request on a connection carries the next
 * transaction identifier (0 first); an answer with another identifier, unit
 * or function (a late answer to a request that timed out) is read past, and
 * one whose protocol identifier is not 0 is refused with 12. Codes as
 * modbusRequest (0, 1, 12, 13, 15, 20), and -1 for an entry that is not open
 * or a connection that failed or was closed by the peer. wT is not written. */
int modbusRequestE(int cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount, char *cBuf,
                   WORD wBufLen, WORD wTimeout, WORD *wT);

/* Slave receive on the listening entry cPort: accepts waiting connections
 * and waits up to wTimeout ms on all of them together for one complete
 * request (unit cNetID, 0 accepts any); clients are served in turn. transID
 * and clientID identify the request for modbusReplyE. Returns the data bytes
 * placed in cBuf (outputs written), -1 cPort not a listening entry or the
 * function not handled, -12 data does not fit cBuf, -15 no request within
 * wTimeout (or another unit, or a request whose body disagrees with its
 * header's length: the header decides where a request ends), another negative
 * when a client's connection failed (it is closed). On -1 and -12 for a
 * request addressed to this slave, *function, transID and clientID are set
 * as well, so that the caller can answer it with an exception (modbusReplyE
 * with function | 0x80). */
int modbusReadE(int cPort, char cNetID, int *transID, int *clientID, int *function, char *cBuf,
                WORD wBufLen, int *dataAddr, int *dataCount, WORD wTimeout);

/* Slave answer to the client connection clientID, built as modbusReply
 * (exception answers included). 0 sent, or queued whole for a client not
 * reading yet (sent by the following calls); -1 clientID not open, the write
 * failed, or its queue is full (the connection is then closed); 1 function
 * not handled; 20 answer too long for the frame. */
int modbusReplyE(int cPort, char cNetID, int transID, int clientID, int function, char *cBuf,
                 WORD wBufLen, WORD wAddr, WORD wCount);

/* ---- register-map server ---- */

/* The data a slave serves: for each kind, the first Modbus address, the
 * number of points and the caller's array (a null array holds no points). */
typedef struct fieldbusMap {
    int coilStart, coilCount, discreteStart, discreteCount; /* first Modbus address and */
    int holdingStart, holdingCount, inputStart, inputCount; /* number of points per kind */
    unsigned char *coils, *discrete;                        /* one byte per point, 0 or 1 */
    unsigned short *holding, *input;                        /* register values in host order */
} fieldbusMap;

/* Serve at most one request from the map: functions 1-6, 15, 16 are answered
 * from it or applied to it and echoed; 0x16 (mask write) and 0x17 (read/write,
 * written first, then read) work on the holding registers; 0x11 answers the
 * unit as server id, run indicator 0xFF and the product code, 0x2B type 0x0E
 * the basic objects of fieldbusSetIdentity (codes 1-4). Any other function
 * (or 0x2B type) gets exception 1; a range not wholly inside its kind's
 * points (0x17: either range), or code 4 with an object other than 0-2,
 * exception 2; a body shorter or longer than its layout, a quantity outside
 * the Modbus limits (read 1-2000 bits, 1-125 registers; write 1-1968 coils,
 * 1-123 registers, 1-121 with 0x17), a byte count that disagrees with the
 * quantity or the data behind it, or a read device id code outside 1-4
 * exception 3. The same request gets the same answer in every framing, and
 * from zuqgate. Returns the function code answered (0x80 set for an exception
 * answer), -15 when no request came within wTimeout (or one for another
 * address), other negatives as the matching Read call. cNetID 0 answers every
 * address. RTU and ASCII requests to address 0 (broadcast) are applied and
 * not answered. Nothing outside the map's arrays is touched; nothing is
 * allocated. */
int modbusServe(char cPort, char cNetID, fieldbusMap *map, WORD wTimeout);  /* RTU, COM port */
int modbusServeA(char cPort, char cNetID, fieldbusMap *map, WORD wTimeout); /* ASCII, COM port */
int modbusServeE(int cPort, char cNetID, fieldbusMap *map,
                 WORD wTimeout); /* TCP, listening entry */

/* What the register-map servers report of this device (0x11, 0x2B): vendor
 * name, product code and revision, each at most 244 bytes (one object must
 * fit an answer); a null one keeps its default. Set once per process, before
 * serving or while serving in other threads: 0 set; -1 a text too long
 * (nothing set) or the identity already set. Defaults: "fieldbus",
 * "libfieldbus" and the library's version. */
int fieldbusSetIdentity(const char *vendor, const char *product, const char *revision);

FIELDBUS_END_DECLS

#endif

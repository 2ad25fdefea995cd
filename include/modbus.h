/* Modbus master and slave in RTU and ASCII framing (numbered COM ports) and
 * TCP framing (connection table). Data in cBuf is exactly as on the wire:
 * bits eight to a byte, lowest address in bit 0; registers high byte first. */
#ifndef FIELDBUS_MODBUS_H
#define FIELDBUS_MODBUS_H

#include "msw.h"

FIELDBUS_BEGIN_DECLS

/* ---- RTU (COM ports) ---- */

/* One master transaction: function cFunction (1-6, 15, 16, 70) to slave
 * cNetID on COM port cPort. 0 success; 1 function not handled; 11 failed
 * exchange, also for a cPort outside 1..50 or not open (nothing is sent);
 * 12 answer failed its check or is shorter than its data; 13 exception, code
 * in cBuf[0]; 15 no answer; 20 request or answer too long for the frame, or
 * data to write or to copy back longer than wBufLen (nothing is sent).
 * wT (may be null) receives the elapsed milliseconds. */
int modbusRequest(char cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount, char *cBuf,
                  WORD wBufLen, WORD wTimeout, WORD *wT);

/* Slave receive: up to three attempts of wTimeout ms each for one request
 * addressed to cNetID (0 accepts any). Noise and other slaves' requests and
 * answers are passed over; line silence of 3.5 characters (1.75 ms above
 * 19200 baud) ends a frame; what arrives behind a request in the same burst
 * is kept for the next call. Returns the data bytes placed in cBuf
 * (outputs written), -1 function not handled, -12 data does not fit cBuf,
 * -15 no valid request (also another address, a request whose byte count
 * claims more than arrived, or a cPort that is not open). */
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
 * arguments and codes (exception answers included); text limits of 2048
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
 * cNetID is the unit identifier. Codes as modbusRequest (0, 1, 12, 13, 15,
 * 20), and -1 for an entry that is not open or a connection that failed or
 * was closed by the peer. wT is not written. */
int modbusRequestE(int cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount, char *cBuf,
                   WORD wBufLen, WORD wTimeout, WORD *wT);

/* Slave receive on the listening entry cPort: accepts waiting connections
 * and waits up to wTimeout ms on all of them together for one complete
 * request (unit cNetID, 0 accepts any); clients are served in turn. transID
 * and clientID identify the request for modbusReplyE. Returns the data bytes
 * placed in cBuf (outputs written), -1 cPort not a listening entry or the
 * function not handled, -12 data does not fit cBuf, -15 no request within
 * wTimeout (or another unit), another negative when a client's connection
 * failed (it is closed). */
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
 * from it or applied to it and echoed; any other function gets exception 1,
 * a range not wholly inside its kind's points exception 2, a quantity outside
 * the Modbus limits (read 1-2000 bits, 1-125 registers; write 1-1968 coils,
 * 1-123 registers) or a byte count that disagrees exception 3. Returns the
 * function code answered (0x80 set for an exception answer), -15 when no
 * request came within wTimeout (or one for another address), other negatives
 * as the matching Read call. cNetID 0 answers every address. RTU and ASCII
 * requests to address 0 (broadcast) are applied and not answered. Nothing
 * outside the map's arrays is touched; nothing is allocated. */
int modbusServe(char cPort, char cNetID, fieldbusMap *map, WORD wTimeout);  /* RTU, COM port */
int modbusServeA(char cPort, char cNetID, fieldbusMap *map, WORD wTimeout); /* ASCII, COM port */
int modbusServeE(int cPort, char cNetID, fieldbusMap *map,
                 WORD wTimeout); /* TCP, listening entry */

FIELDBUS_END_DECLS

#endif

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
 * addressed to cNetID (0 accepts any). Returns the data bytes placed in cBuf
 * (outputs written), -1 function not handled, -12 data does not fit cBuf,
 * -15 no valid request (also another address, a request whose byte count
 * claims more than arrived, or a cPort that is not open). */
int modbusRead(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen, int *dataAddr,
               int *dataCount, WORD wTimeout);

/* Slave answer for function with wBufLen answer data bytes in cBuf
 * (functions 1-4, 70) or the echoed wAddr and cBuf[0], cBuf[1] (5, 6, 15, 16).
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
 * arguments and codes; text limits of 2048 characters; a request is complete
 * when the collected text ends in CR LF. */
int modbusRequestA(char cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount, char *cBuf,
                   WORD wBufLen, WORD wTimeout, WORD *wT);
int modbusReadA(char cPort, char cNetID, int *function, char *cBuf, WORD wBufLen, int *dataAddr,
                int *dataCount, WORD wTimeout);
int modbusReplyA(char cPort, char cNetID, int function, char *cBuf, WORD wBufLen, WORD wAddr,
                 WORD wCount);

/* ---- TCP (connection table) ---- */

/* Master transaction on the connected entry cPort of the connection table;
 * cNetID is the unit identifier. Codes as modbusRequest. */
int modbusRequestE(int cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount, char *cBuf,
                   WORD wBufLen, WORD wTimeout, WORD *wT);

/* Slave receive on the listening entry cPort; transID and clientID identify
 * the request for modbusReplyE. */
int modbusReadE(int cPort, char cNetID, int *transID, int *clientID, int *function, char *cBuf,
                WORD wBufLen, int *dataAddr, int *dataCount, WORD wTimeout);

/* Slave answer to the client connection clientID. */
int modbusReplyE(int cPort, char cNetID, int transID, int clientID, int function, char *cBuf,
                 WORD wBufLen, WORD wAddr, WORD wCount);

FIELDBUS_END_DECLS

#endif

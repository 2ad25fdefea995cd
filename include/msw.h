/* Numbered COM ports: open, close, raw exchange, command strings. */
#ifndef FIELDBUS_MSW_H
#define FIELDBUS_MSW_H

#include "common.h"

typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int BOOL;

FIELDBUS_BEGIN_DECLS

/* Descriptor of COM port n in entry n - 1 while open, 0 while closed. */
extern int _fd[50];

/* Opens COM port `port` (1..50) raw. 0 open; 1 cData/cParity/cStop not
 * accepted; 2 bad port number, or the device cannot be opened or is not a
 * terminal (regular file, FIFO, /dev/null: refused, nothing written), or
 * its RS-485 settings (Set_Com_RS485) cannot be applied: errno then says
 * why (EINVAL: the environment's value is not understood; otherwise the
 * error of the modem-line call, e.g. ENOTTY) and nothing is opened;
 * 3 baudrate not supported. Two port numbers on one device share its
 * descriptor; the later open's framing applies to both, and the device is
 * closed and its settings restored when the last of them closes. */
WORD Open_Com(char port, DWORD baudrate, char cData, char cParity, char cStop);

/* Closes COM port `port`: 0 closed; 1 closing the device failed; 2 bad port
 * number or a port that is not open. */
BOOL Close_Com(char port);

/* Sends wLen bytes of szCmd (none when 0), then collects up to wLenR bytes
 * into szResult until more than wTimeOut ms (65535: 65.535 s) have passed
 * since the call began, on the monotonic clock. Returns the byte count, 2 for
 * a bad or unopened port, 65535 when the write failed or the line has hung
 * up (device unplugged, far end gone; a receive-only call on a port already
 * reported hung up first waits out wTimeOut). *wT receives the elapsed
 * milliseconds modulo 65536. */
WORD Send_Receive(char cPort, char *szCmd, WORD wLen, char *szResult, WORD wLenR, WORD wTimeOut,
                  WORD *wT);

/* Replaces the device path of COM port n (1..50); a null path restores the
 * default. Takes effect at the next Open_Com. 0, or 2 for a bad port number.
 * The environment variable FIELDBUS_COM<n> does the same for a process. */
int Set_Com_Device(char port, const char *path);

/* The device path Open_Com would use for port now, or null for a bad number. */
const char *Get_Com_Device(char port);

/* ---- Two-wire RS-485 ---- */
#define FIELDBUS_RS485_ON 1      /* drive the transceiver's direction for this port */
#define FIELDBUS_RS485_RTS_LOW 2 /* RTS low while sending (default: high) */
#define FIELDBUS_RS485_ECHO 4    /* the adapter echoes what is sent: discard the echo */

/* RS-485 settings of COM port n (1..50), applied by the next Open_Com. With
 * ON, Open_Com puts the port into the kernel's RS-485 mode (RTS level while
 * sending, delays rounded up to milliseconds); where the driver has no such
 * mode, RTS is switched around each frame instead: asserted, delayBeforeUs,
 * the write, the line drained, delayAfterUs, released. With ECHO the bytes
 * just sent are dropped when they come back first; anything else that comes
 * first is the answer. flags 0 turns both off. 0, or 2 for a bad port
 * number, unknown flags, RTS_LOW or a delay without ON, or a delay outside
 * 0..100000 us. The environment variable FIELDBUS_COM<n>_RS485 (for example
 * "on,rts-low,echo,before=100,after=200") does the same for a process that
 * does not call this for the port; once called, the call's settings stay. */
int Set_Com_RS485(char port, int flags, int delayBeforeUs, int delayAfterUs);

/* ---- Command strings: the module command protocol by COM port number ----
 * szCmd is sent up to its first NUL, CR or LF, followed by CR (with two
 * checksum characters before it when wChksum is not 0). Answers need a
 * szResult of 251 bytes and are always left NUL-terminated. wTimeOut is the
 * read timer in tenths of a second (low 8 bits only): it bounds the wait for
 * each byte, discards input waiting on the port, and stays set afterwards. */

/* Sends one command line. 0 written; 1 szCmd longer than 250 characters;
 * 2 bad or unopened port; 65535 the write failed or, with checksum, the
 * command has more than 123 characters (nothing is written then). */
WORD Send_Cmd(char cPort, const char *szCmd, WORD wChksum);

/* Receives one answer, kept as received (CR and checksum included). Without
 * checksum a single read returns what has arrived, maybe part of a line.
 * 0 answer; 2 bad or unopened port; 15 nothing in time (with checksum: no CR
 * in time); 65535 the read failed, the line hung up or the answer's checksum
 * is wrong. */
WORD Receive_Cmd(char cPort, char *szResult, WORD wTimeOut, WORD wChksum);

/* Sends one command line and reads the answer line up to its CR, which is
 * removed. An answer that fills all 250 bytes without a CR ends there and is
 * returned as it came (code 0, nothing removed). *wT receives the
 * milliseconds taken, modulo 65536. 0 answer; 1 and 2 as Send_Cmd; 15 the
 * read timer ran out before a CR (or the 250th byte); 65535 write or read
 * failed, the line hung up, wrong answer checksum, or a checksum command of
 * more than 123 characters. */
WORD Send_Receive_Cmd(char cPort, const char *szCmd, char *szResult, WORD wTimeOut, WORD wChksum,
                      WORD *wT);

FIELDBUS_END_DECLS

#endif

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
 * accepted; 2 bad port number or the device failed; 3 baudrate not supported. */
WORD Open_Com(char port, DWORD baudrate, char cData, char cParity, char cStop);

/* Closes COM port `port`: 0 closed; 1 closing the device failed; 2 bad port
 * number or a port that is not open. */
BOOL Close_Com(char port);

/* Sends wLen bytes of szCmd (none when 0), then collects up to wLenR bytes
 * into szResult until wTimeOut ms have passed since the call began. Returns
 * the byte count, 2 for a bad or unopened port, 65535 when the write failed.
 * *wT receives the elapsed milliseconds modulo 65536. */
WORD Send_Receive(char cPort, char *szCmd, WORD wLen, char *szResult, WORD wLenR, WORD wTimeOut,
                  WORD *wT);

/* Replaces the device path of COM port n (1..50); a null path restores the
 * default. Takes effect at the next Open_Com. 0, or 2 for a bad port number.
 * The environment variable FIELDBUS_COM<n> does the same for a process. */
int Set_Com_Device(char port, const char *path);

/* The device path Open_Com would use for port now, or null for a bad number. */
const char *Get_Com_Device(char port);

FIELDBUS_END_DECLS

#endif

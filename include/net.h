/* TCP/UDP connection table: sockets addressed by a connection index
 * (1..1023) instead of a descriptor, and the byte exchange over them.
 * One process-wide table; meant for one thread at a time. */
#ifndef FIELDBUS_NET_H
#define FIELDBUS_NET_H

#include <stddef.h>

#include "msw.h"

FIELDBUS_BEGIN_DECLS

/* Creates a socket bound to localport (0: ephemeral) on the wildcard address:
 * TCP when protocol is 0, UDP otherwise; IPv6 when ipv6 is non-zero and "::1"
 * resolves to an IPv6 address. Returns the new index (1..1023); -1 when the
 * table is full or socket() failed, -2 when SO_REUSEADDR failed, -3 when bind
 * failed. */
int Open_Socket(int localport, int protocol, int ipv6);

/* Connects entry cIndex to cAddr (host name or address text) at port, using
 * the first resolved address of the entry's family, then makes the socket
 * non-blocking. 0 connected, -1 failed (the entry stays open unless the mode
 * switch failed, which closes it). */
int Connect_TCP(int cIndex, char *cAddr, int port);

/* As Connect_TCP, but gives the connect up after wTimeout ms (a listener that
 * never accepts, an address that drops connection requests): -1 with errno
 * ETIMEDOUT then, the entry open and non-blocking for the caller to close.
 * Connect_TCP itself waits as long as the system's connection time-out. */
int Connect_TCP_Timeout(int cIndex, char *cAddr, int port, WORD wTimeout);

/* Puts entry cIndex into listening state with the system's largest backlog
 * (SOMAXCONN): the result of listen(), or -1. */
int Listen_Socket(int cIndex);

/* Takes at most one pending connection on the listening entry cIndex into a
 * new entry named by the first free clientfd slot. 0 when a connection was
 * taken or none was pending; -1 for a bad or closed entry, a full table, no
 * free slot, or a failing accept (which leaves no slot filled). */
int Accept_Socket(int cIndex);

/* Closes the descriptor of entry cIndex and frees the entry; a bad index or
 * a free entry is left alone. */
void Close_Socket(int cIndex);

/* Sets the peer a datagram entry (protocol 1) sends to: host name or address
 * text of at most 255 characters, and port. 0, or -1 for a bad or closed entry
 * or an address that is null or too long. */
int Set_Socket_Peer(int cIndex, const char *cAddr, int port);

/* One read from entry cIndex (recvfrom for protocol 1, read otherwise):
 * bytes read, 0 at end of stream, -1 on error, and -1 for an index outside
 * the table or an entry that is not open. Only entries made non-blocking by
 * Connect_TCP return -1 (errno EAGAIN) when no data are there yet; on a UDP
 * entry, a listening entry's accepted connection or an entry not connected,
 * the call waits until data arrive. On a UDP entry each call takes one whole
 * datagram: a count of 0 consumes one and returns 0, and a datagram longer
 * than count is cut to count bytes without notice (the rest is lost). */
int sock_read(int cIndex, void *buf, size_t count);

/* Sends count bytes on entry cIndex: a stream write sends them all or
 * reports how many went before it failed or stalled; a datagram (protocol 1)
 * carries at most 1024 bytes to the entry's peer. Bytes sent, or -1 (also
 * for an index outside the table or an entry that is not open). */
int sock_write(int cIndex, void *buf, size_t count);

/* Waits up to wTimeout ms for data on entry cIndex and reads once into
 * cReceive (at most iRetLen bytes). Bytes read (> 0), 0 on time-out, -1 on
 * a bad entry, an error or end of stream. wT is not used. */
int Receive_socket(int cIndex, char *cReceive, WORD iRetLen, WORD wTimeout, WORD *wT);

/* Sends wCount bytes of cModbusRequest (none when 0), then, unless iRetLen is
 * 0, waits up to wTimeout ms and reads once into cReceive. Bytes read (> 0),
 * 0 on time-out or when no answer is expected, -1 on a bad entry, an error or
 * end of stream. wT is not used. */
int Send_Receive_Socket(int cIndex, char *cModbusRequest, WORD wCount, char *cReceive, WORD iRetLen,
                        WORD wTimeout, WORD *wT);

FIELDBUS_END_DECLS

#endif

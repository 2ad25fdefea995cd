// Readiness, status and watchdog for a service manager, by its datagram
// protocol: one "NAME=value" datagram per notice to the AF_UNIX socket named
// in NOTIFY_SOCKET. Without that variable every call does nothing.
#pragma once

// Reads NOTIFY_SOCKET and WATCHDOG_USEC (WATCHDOG_PID, when set, must be this
// process). True when a service manager listens.
bool notifyInit(void);

// Sends one datagram of newline-separated assignments ("READY=1\nSTATUS=...");
// 0 sent, -1 not (no manager, or the send failed).
int notifySend(const char *text);

// Milliseconds between two WATCHDOG=1 notices the manager expects (half its
// watchdog time-out), 0 when it has no watchdog.
long long notifyWatchdogMs(void);

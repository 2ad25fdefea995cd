// Daemon step and lock file of the server.
#pragma once

// Takes the lock on lockPath (and, when daemonFlag is set, detaches first:
// the parent exits with 0, the child returns). 0 on success, -1 on failure.
// The lock file's descriptor stays open, and the lock held, until the process
// ends; the file then holds the process id in decimal and one zero byte.
int initDaemon(int daemonFlag, const char *lockPath);

// Early single-instance check, before anything shared is touched: takes the
// lock on lockPath for the calling process without writing the file. Refused
// with the messages and -1 of initDaemon while another process holds it.
// initDaemon then takes the lock over (in daemon mode it lets go of this
// claim just before the fork, so the child can lock). 0 on success.
int claimLockFile(const char *lockPath);

// Lets go of the lock (the orderly stop's last step: another server may
// start from then on). The file and the process id in it stay.
void releaseLockFile(void);

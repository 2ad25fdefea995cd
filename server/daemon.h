// Daemon step and lock file of the server.
#pragma once

// Takes the lock on lockPath (and, when daemonFlag is set, detaches first:
// the parent exits with 0, the child returns). 0 on success, -1 on failure.
int initDaemon(int daemonFlag, const char *lockPath);

// pellora's command line: its options and the paths the process uses.
#pragma once

#include <cstddef>

constexpr size_t kPathSize = 512;

// Settings held for the life of the process: the log module keeps a pointer
// to logPath.
struct Settings {
    int daemonFlag = 0;
    int logLines = 0;
    int logLevel = 2;
    int interval = 100;
    char logPath[kPathSize] = "/var/log/pellora.log";
    char lockPath[kPathSize] = "/var/run/pellora.pid";
};

enum class Parsed { Run, Help, Refused };

// Reads the command line into `s` (and the lock file's seam, only once the
// command line allows a start). Help: the usage text is printed; Refused: a
// path that does not fit was reported.
Parsed parseOptions(int argc, char **argv, Settings *s);

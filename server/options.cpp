// pellora's command line.
#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void print_usage(const char *prog) {
    std::printf("\nUsage: %s [OPTION] [VALUE] ...\n", prog);
    std::puts(
        "Norvane I/O share memory Server\n"
        "Options:\n"
        "-c confile     Specify the path for config file\n"
        "-d             Daemonize (Terminate and Stay Resident)\n"
        "-h             Display this help and exit\n"
        "-i interval    Specify the refresh interval in ms\n"
        "-v level       Print or log verbose debug information\n"
        "               0(Error), 1(Warning), 2(Info), 3(Debug)\n"
        "-s size        specify the maximum line of log file\n"
        "-l logfile     Specify the path for the log file\n");
}

// Copies a path into a settings buffer. A path that does not fit is refused
// rather than cut: a cut path would name some other file.
bool copyPath(char (&dest)[kPathSize], const char *path, const char *what) {
    const size_t len = std::strlen(path);
    if (len >= kPathSize) {
        std::printf("%s path too long: %zu characters, at most %zu\n", what, len, kPathSize - 1);
        return false;
    }
    std::memcpy(dest, path, len + 1);
    return true;
}

}  // namespace

Parsed parseOptions(int argc, char **argv, Settings *s) {
    // A log path that does not fit is refused only once the whole command
    // line is read: -h after it still prints the usage and ends with 0.
    const char *tooLong = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "dhi:v:l:c:s:")) != -1) {
        switch (opt) {
            case 'd':
                s->daemonFlag = 1;
                break;
            case 'h':
                print_usage(argv[0]);
                return Parsed::Help;
            case 'i':
                s->interval = std::atoi(optarg);
                break;
            case 'v':
                s->logLevel = std::atoi(optarg);
                break;
            case 's':
                s->logLines = std::atoi(optarg);
                break;
            case 'l':
                if (std::strlen(optarg) >= kPathSize)
                    tooLong = optarg;
                else
                    copyPath(s->logPath, optarg, "Log file");
                break;
            default:
                break;  // -c is accepted and ignored; getopt has reported the rest
        }
    }
    if (tooLong != nullptr && !copyPath(s->logPath, tooLong, "Log file")) return Parsed::Refused;
    // The lock file's seam, read only once the command line allows a start.
    const char *lock = std::getenv("PELLORA_LOCK_FILE");
    if (lock != nullptr && *lock != '\0' && !copyPath(s->lockPath, lock, "Lock file"))
        return Parsed::Refused;
    return Parsed::Run;
}

// rkboard-sim: a virtual rk-board on a pseudo-terminal. It answers Modbus RTU
// as the board does, so the server and its clients run without hardware.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control.h"
#include "line.h"
#include "slave.h"

namespace {

using namespace rksim;

void usage(FILE *out) {
    std::fputs(
        "Usage: rkboard-sim [OPTION]...\n"
        "A virtual rk-board: a Modbus RTU slave on a new pseudo-terminal, with coils,\n"
        "discrete inputs, input and holding registers over the whole address space\n"
        "(functions 1, 2, 3, 4, 5, 6, 15, 16; any other gets exception 1).\n"
        "\n"
        "Options:\n"
        "  --link PATH      make PATH a symbolic link to the terminal's device\n"
        "                   (e.g. FIELDBUS_COM1=PATH for the server); removed at exit\n"
        "  --board ID|none  identifier in holding registers 482/483, hexadecimal\n"
        "                   (default 0C2A); none: a line with no board, nothing answers\n"
        "                   until a \"fault off\" command\n"
        "  --slave N        answer as slave N, 1 to 247 (default 1); requests to address\n"
        "                   0 (broadcast) are carried out when they write, never answered\n"
        "  --paced          keep the pace of a 115200-baud line: a request counts as\n"
        "                   arrived one line time after its first byte, answers leave\n"
        "                   byte by byte at that speed\n"
        "  --fault KIND     start with a fault injected; KIND is one of\n"
        "                     silent           no answer\n"
        "                     late MS          answer MS milliseconds late\n"
        "                     badcrc           answer with a wrong CRC\n"
        "                     exception CODE   answer exception CODE, carry out nothing\n"
        "                     off              no fault\n"
        "                   optionally followed by fn=F (only requests of function F),\n"
        "                   every=N (only every Nth of those, the others answered\n"
        "                   as usual) and times=N (only the next N it applies to)\n"
        "  --no-commands    read no commands from standard input (stop the board with a\n"
        "                   signal); without it a terminal is read only while the board\n"
        "                   is in its foreground, never by a board started with &\n"
        "  --trace FILE     append one line per request served to FILE:\n"
        "                   \"MICROSECONDS FUNCTION ADDRESS COUNT OUTCOME\", time on the\n"
        "                   monotonic clock when the request had arrived; OUTCOME is\n"
        "                   ok, exception:CODE, silent, late:MS, badcrc or broadcast\n"
        "  -h, --help       show this help and exit\n"
        "\n"
        "The first line on standard output tells the terminal's device.\n",
        out);
    std::fputs(kCommandHelp, out);
    std::fputs("SIGTERM, SIGINT or SIGHUP remove the link and end the program.\n", out);
}

Board board;  // large: the whole address space of every kind

struct Options {
    std::string link;
    std::string trace;
    unsigned id = 0x0C2A;
    bool present = true;
    bool paced = false;
    bool commands = true;
    Fault fault;
};

bool parseOptions(int argc, char **argv, Options *o) {
    enum { kLink = 1000, kBoard, kPaced, kFault, kTrace, kSlave, kNoCommands };
    static const option kLong[] = {{"link", required_argument, nullptr, kLink},
                                   {"board", required_argument, nullptr, kBoard},
                                   {"slave", required_argument, nullptr, kSlave},
                                   {"paced", no_argument, nullptr, kPaced},
                                   {"fault", required_argument, nullptr, kFault},
                                   {"trace", required_argument, nullptr, kTrace},
                                   {"no-commands", no_argument, nullptr, kNoCommands},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int c;
    std::string error;
    while ((c = getopt_long(argc, argv, "h", kLong, nullptr)) != -1) {
        char *end = nullptr;
        switch (c) {
            case kLink:
                o->link = optarg;
                break;
            case kTrace:
                o->trace = optarg;
                break;
            case kPaced:
                o->paced = true;
                break;
            case kNoCommands:
                o->commands = false;
                break;
            case kBoard:
                if (std::strcmp(optarg, "none") == 0) {
                    o->present = false;
                    break;
                }
                errno = 0;
                o->id = static_cast<unsigned>(std::strtoul(optarg, &end, 16));
                if (errno != 0 || *optarg == '\0' || *end != '\0' || o->id > 0xFFFF) {
                    std::fprintf(stderr, "rkboard-sim: bad board identifier %s\n", optarg);
                    return false;
                }
                break;
            case kSlave: {
                errno = 0;
                const unsigned long v = std::strtoul(optarg, &end, 10);
                if (errno != 0 || *optarg == '\0' || *end != '\0' || v < 1 || v > 247) {
                    std::fprintf(stderr, "rkboard-sim: slave address 1 to 247 expected\n");
                    return false;
                }
                board.slaveId = static_cast<uint8_t>(v);
                break;
            }
            case kFault:
                if (!parseFault(optarg, &o->fault, &error)) {
                    std::fprintf(stderr, "rkboard-sim: %s\n", error.c_str());
                    return false;
                }
                break;
            case 'h':
                usage(stdout);
                std::exit(0);
            default:
                usage(stderr);
                return false;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "rkboard-sim: unexpected argument %s\n", argv[optind]);
        return false;
    }
    return true;
}

volatile sig_atomic_t stopSignal = 0;
void onSignal(int sig) {
    stopSignal = sig;
}

// Blocks the stop signals except inside ppoll, so none is lost between a
// test of the flag and the wait.
void catchStopSignals(sigset_t *waitMask) {
    sigset_t block;
    sigemptyset(&block);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, waitMask);
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A board in its terminal's background is never stopped by it: it does
    // not read the terminal then (a read that races a move to the
    // background fails instead), and its replies are written all the same.
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
}

}  // namespace

int main(int argc, char **argv) {
    Options opt;
    if (!parseOptions(argc, argv, &opt)) return 2;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    FILE *trace = nullptr;
    if (!opt.trace.empty()) {
        trace = std::fopen(opt.trace.c_str(), "a");
        if (trace == nullptr) {
            std::fprintf(stderr, "rkboard-sim: %s: %s\n", opt.trace.c_str(), std::strerror(errno));
            return 1;
        }
        setvbuf(trace, nullptr, _IOLBF, 0);
    }

    // A line without a board still holds one: "fault off" brings it in,
    // with the identifier given (or the default).
    board.mem.setBoardId(opt.id);
    board.fault = opt.present ? opt.fault : Fault{FaultMode::Silent, 0, 0, -1};

    // Caught before the link appears: whoever waits for the link may send a
    // stop at once, and must find the link removed and a clean end.
    sigset_t waitMask;
    catchStopSignals(&waitMask);
    Line line;
    std::string error;
    if (!line.open(opt.link, &error)) {
        std::fprintf(stderr, "rkboard-sim: %s\n", error.c_str());
        return 1;
    }

    if (opt.present)
        std::printf("rkboard-sim: board %04X on %s", opt.id, line.device().c_str());
    else
        std::printf("rkboard-sim: no board on %s", line.device().c_str());
    if (!opt.link.empty()) std::printf(", linked at %s", opt.link.c_str());
    std::printf("\n");

    const int rc = line.run(board, opt.paced, opt.commands, trace, waitMask, &stopSignal);
    line.close();
    if (trace != nullptr) std::fclose(trace);
    return rc;
}

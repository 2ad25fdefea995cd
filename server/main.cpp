// pellora, the shared-memory I/O server: command line, start-up, run loop
// and orderly stop.
#include "lifecycle.h"
#include "options.h"

int runningFlag = 1;

int main(int argc, char **argv) {
    static Settings s;  // outlives every use the log module makes of logPath
    switch (parseOptions(argc, argv, &s)) {
        case Parsed::Help:
            return 0;
        case Parsed::Refused:
            return -1;
        case Parsed::Run:
            break;
    }

    // Before anything is made: a stop asked at any moment from here on
    // (during discovery too) takes the orderly way out.
    installSignalHandlers();
    ServerRun run;
    switch (startServer(&s, &run)) {
        case Started::Failed:
            return -1;
        case Started::StopAsked:
            return stopInOrder(&run);
        case Started::Running:
            break;
    }
    runServer(s, run);
    return stopInOrder(&run);
}

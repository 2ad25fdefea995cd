// What the region's services (the gateway, the MQTT bridge, the web page)
// share at start: their stop signals and their numeric options.
#pragma once

#include <signal.h>

#include <cerrno>
#include <cstdlib>

namespace zuqgate {

// Set by SIGTERM or SIGINT; the run loop ends when it sees it.
inline volatile sig_atomic_t stopRequested = 0;

// SIGTERM and SIGINT ask for the orderly stop, without SA_RESTART so that a
// wait in progress returns at once. A peer that went away is a failed write,
// not a signal; and a daemon goes on when the terminal or session it was
// started from goes away (it has no file to reopen): SIGHUP changes nothing.
inline void catchServiceSignals() {
    struct sigaction sa {};
    sa.sa_handler = [](int) { stopRequested = 1; };
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
}

// A whole decimal number within [min, max] into *out; false for anything else.
inline bool number(const char *text, long min, long max, int *out) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace zuqgate

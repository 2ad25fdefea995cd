// Time base: the wall clock read as 64-bit counts, and deadlines.
#include "timer.h"

#include <sys/time.h>

namespace {
timeval wallClock() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return now;
}
}  // namespace

extern "C" __tod_t _time_get_tod(void) {
    const timeval now = wallClock();
    return static_cast<__tod_t>(now.tv_sec) * 1000000 + static_cast<__tod_t>(now.tv_usec);
}

extern "C" __tod_t _time_get_todMS(void) {
    return _time_get_tod() / 1000;
}

extern "C" void _time_set_deadline(uint32_t usec, struct timeval *deadline) {
    timeval now = wallClock();
    now.tv_sec += usec / 1000000u;
    now.tv_usec += usec % 1000000u;
    deadline->tv_sec = now.tv_sec + now.tv_usec / 1000000;
    deadline->tv_usec = now.tv_usec % 1000000;
}

extern "C" int _time_out(struct timeval *deadline) {
    const timeval now = wallClock();
    if (now.tv_sec > deadline->tv_sec) return -1;
    if (now.tv_sec == deadline->tv_sec && now.tv_usec >= deadline->tv_usec) return -1;
    return 0;
}

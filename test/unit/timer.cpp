#include "timer.h"

#include <gtest/gtest.h>
#include <sys/time.h>

namespace {

// Every build, the 32-bit controller's included, counts time in 64 bits:
// dates and deadlines go on past January 2038.
static_assert(sizeof(time_t) == 8, "time_t must be 64 bits wide");
static_assert(sizeof(static_cast<timeval *>(nullptr)->tv_sec) == 8, "64-bit timeval seconds");

TEST(Timer, MillisecondsTruncateMicroseconds) {
    // Both readings come from the same clock: the millisecond form is the
    // microsecond form divided down, never ahead of it.
    for (int i = 0; i < 1000; ++i) {
        const __tod_t us = _time_get_tod();
        const __tod_t ms = _time_get_todMS();
        EXPECT_LE(us / 1000, ms);
        EXPECT_LE(ms, _time_get_tod() / 1000);
    }
}

TEST(Timer, DeadlineIsNormalisedAndCarries) {
    for (uint32_t span : {0u, 1u, 999999u, 1000000u, 2500000u, 4294967295u}) {
        timeval before{};
        gettimeofday(&before, nullptr);
        timeval d{};
        _time_set_deadline(span, &d);
        EXPECT_GE(d.tv_usec, 0);
        EXPECT_LT(d.tv_usec, 1000000);
        const long long want =
            static_cast<long long>(before.tv_sec) * 1000000 + before.tv_usec + span;
        const long long got = static_cast<long long>(d.tv_sec) * 1000000 + d.tv_usec;
        EXPECT_GE(got, want);
        EXPECT_LT(got - want, 200000) << "span " << span;
    }
}

TEST(Timer, ReachingTheDeadlineCountsAsPassed) {
    timeval d{};
    _time_set_deadline(0, &d);
    EXPECT_EQ(_time_out(&d), -1);

    timeval future{};
    gettimeofday(&future, nullptr);
    future.tv_sec += 5;
    EXPECT_EQ(_time_out(&future), 0);

    // A second in the past, but with a larger microsecond field.
    timeval past{};
    gettimeofday(&past, nullptr);
    past.tv_sec -= 1;
    past.tv_usec = 999999;
    EXPECT_EQ(_time_out(&past), -1);
}

}  // namespace

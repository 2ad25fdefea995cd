// The refresh cycle's arithmetic, the region's lock repair and the client
// helpers' view of the images.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <thread>

#include "../../server/refresh_rules.cpp"
#include "../../server/region.cpp"
#include "exec_wrapper.h"
#include "ioshare.h"
#include "ioshare_region.h"

int runningFlag = 1;  // the server's run flag, which the region module reads

namespace {

TEST(RefreshRules, Deadline) {
    const timespec now{100, 950000123};  // only the microseconds count
    struct Case {
        int interval;
        long long sec, nsec;
    } cases[] = {
        {100, 101, 50000000},   {1000, 101, 950000000},         {1001, 101, 950000000},
        {1500, 101, 950000000}, {2999, 102, 950000000},         {INT_MAX, 2147583, 950000000},
        {0, 100, 950000000},    {-1, 100, 949000000},           {-1000, 99, 950000000},
        {-2500, 98, 450000000}, {INT_MIN, -2147383, 302000000},
    };
    for (const Case &c : cases) {
        const timespec d = refreshDeadline(now, c.interval);
        EXPECT_EQ(d.tv_sec, c.sec) << c.interval;
        EXPECT_EQ(d.tv_nsec, c.nsec) << c.interval;
    }
}

TEST(RefreshRules, ImageLengthsStayInsideTheArea) {
    struct Case {
        size_t (*bytes)(int32_t);
        int32_t count;
        size_t expected;
    } cases[] = {
        {bitImageBytes, 0, 1},
        {bitImageBytes, 9, 2},
        {bitImageBytes, -5, 0},
        {bitImageBytes, 16384, 2048},
        {bitImageBytes, INT_MAX, 2048},
        {registerImageBytes, 2, 4},
        {registerImageBytes, 1025, 2048},
        {registerImageBytes, -1, 0},
        {dwordImageBytes, 4, 16},
        {dwordImageBytes, INT_MAX, 2048},
        {dwordImageBytes, INT_MIN, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(c.bytes(c.count), c.expected) << c.count;
}

TEST(RefreshRules, RangeAndImageTests) {
    struct Case {
        int32_t addr, count, base, size;
        bool beyond;  // beyondRange(addr, count, base, size)
        bool inside;  // insideImage(addr, count, base, 16384)
    } cases[] = {
        {0, 4, 0, 4, false, true},        // the whole range
        {1, 4, 0, 4, true, true},         // one past its end
        {32, 0, 32, 4, false, true},      // nothing at the base
        {0, 8, 32, 4, false, false},      // below the base, ending inside the range
        {31, 10, 32, 4, true, false},     // below the base, reaching past the range
        {32, 16384, 32, 4, true, true},   // the image's whole room
        {33, 16384, 32, 4, true, false},  // one point past the room
        {40, -3, 32, 4, true, false},     // negative count
        {INT_MAX, 1, 0, 4, true, false},  // sums that overflow 32 bits
        {INT_MIN, INT_MIN, 0, 4, false, false},
        {0, 1, INT_MIN, INT_MAX, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.addr << " " << c.count << " " << c.base);
        EXPECT_EQ(beyondRange(c.addr, c.count, c.base, c.size), c.beyond);
        EXPECT_EQ(insideImage(c.addr, c.count, c.base, 16384), c.inside);
    }
}

TEST(RefreshRules, GatherAndScatterBits) {
    const unsigned char image[] = {0xB4, 0x6B, 0xFF};  // bits 5..15: 1 0 1 1 1 0 1 0 1 1 0
    unsigned char buf[3] = {0xFF, 0xFF, 0xFF};
    gatherBits(image, 5, buf, 11);
    EXPECT_EQ(buf[0], 0x5D);
    EXPECT_EQ(buf[1], 0x03);  // the rest of the last byte cleared
    EXPECT_EQ(buf[2], 0xFF);  // beyond it untouched

    unsigned char back[3] = {0x55, 0x55, 0x55};
    scatterBits(buf, back, 5, 11);
    EXPECT_EQ(back[0], 0xB5);  // bits 0-4 kept, 5-7 from the points
    EXPECT_EQ(back[1], 0x6B);
    EXPECT_EQ(back[2], 0x55);

    // The last bit of an image, and nothing after it.
    unsigned char area[IOSHARE_AREA_SIZE] = {};
    const unsigned char one = 1;
    scatterBits(&one, area, IOSHARE_BIT_POINTS - 1, 1);
    EXPECT_EQ(area[IOSHARE_AREA_SIZE - 1], 0x80);
    gatherBits(area, IOSHARE_BIT_POINTS - 1, buf, 1);
    EXPECT_EQ(buf[0], 1);
}

// A region on the heap with the server's attributes; null where robust
// mutexes are refused or their owners' deaths go unseen (user-mode emulators).
std::unique_ptr<ioShare_t> robustRegion() {
    if (fbtest::underEmulator()) return nullptr;
    auto share = std::make_unique<ioShare_t>();
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    if (initRegionAttributes(&ma, &ca) != 0) return nullptr;
    initRegion(share.get(), 100, &ma, &ca);
    const bool robust = initRegionMutex(share.get(), &ma) == 0;
    pthread_mutexattr_destroy(&ma);
    pthread_condattr_destroy(&ca);
    return robust ? std::move(share) : nullptr;
}

// A thread that takes the mutex and ends without releasing it.
void dieHolding(ioShare_t *share) {
    std::thread([share] { pthread_mutex_lock(&share->mutex); }).join();
}

TEST(RegionLock, RepairsAfterADeadHolder) {
    auto share = robustRegion();
    if (!share) GTEST_SKIP() << "robust mutexes refused here";
    dieHolding(share.get());
    EXPECT_EQ(lockRegion(share.get()), 1);
    pthread_mutex_unlock(&share->mutex);
    EXPECT_EQ(lockRegion(share.get()), 0);
    pthread_mutex_unlock(&share->mutex);

    // A client that ignores EOWNERDEAD leaves it unrecoverable.
    dieHolding(share.get());
    ASSERT_EQ(pthread_mutex_lock(&share->mutex), EOWNERDEAD);
    pthread_mutex_unlock(&share->mutex);
    ASSERT_EQ(pthread_mutex_lock(&share->mutex), ENOTRECOVERABLE);
    EXPECT_EQ(ioshare_lock(share.get()), -1);
    EXPECT_EQ(errno, ENOTRECOVERABLE);
    EXPECT_EQ(lockRegion(share.get()), 2);
    pthread_mutex_unlock(&share->mutex);

    // The client helper repairs as well, and the mutex stays robust.
    dieHolding(share.get());
    EXPECT_EQ(ioshare_lock(share.get()), 1);
    EXPECT_EQ(ioshare_unlock(share.get()), 0);
    EXPECT_EQ(ioshare_lock(share.get()), 0);
    EXPECT_EQ(ioshare_unlock(share.get()), 0);
}

// The deadline is on the monotonic clock: a condition on the wall clock
// would take it as long past and return at once.
TEST(RegionLock, WaitRunsOnTheMonotonicClock) {
    auto share = std::make_unique<ioShare_t>();
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    ASSERT_EQ(initRegionAttributes(&ma, &ca), 0);
    initRegion(share.get(), 100, &ma, &ca);
    clockid_t clock = CLOCK_REALTIME;
    pthread_condattr_getclock(&ca, &clock);
    EXPECT_EQ(clock, CLOCK_MONOTONIC);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const timespec deadline = refreshDeadline(start, 100);
    ASSERT_EQ(lockRegion(share.get()), 0);
    EXPECT_EQ(waitRegion(share.get(), &deadline), 0);
    pthread_mutex_unlock(&share->mutex);
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_GE((end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000, 99);
}

TEST(ClientHelpers, PointsInTheImagesByteOrders) {
    auto r = std::make_unique<ioShare_t>();
    std::memset(r.get(), 0, sizeof(ioShare_t));
    r->bitInBase = 32;
    r->intInBase = 0;
    r->intOutBase = 32;
    r->dwordInBase = 128;
    EXPECT_EQ(ioshare_put(r.get(), IOSHARE_BIT_OUT, 9, 1), 0);
    EXPECT_EQ(r->bitOutImage[1], 0x02);  // coil base + 9: bit 1 of byte 1
    EXPECT_EQ(ioshare_put(r.get(), IOSHARE_INT_OUT, 33, 0x1234), 0);
    EXPECT_EQ(r->intOutImage[2], 0x12);
    EXPECT_EQ(r->intOutImage[3], 0x34);
    std::memcpy(r->intInImage, "\x12\x34\xAB\xCD", 4);
    std::memcpy(r->dwordInImage, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    r->bitInImage[0] = 0x04;
    struct Case {
        int kind;
        int32_t addr;
        int result;
        uint32_t value;
    } cases[] = {
        {IOSHARE_BIT_IN, 34, 0, 1},
        {IOSHARE_BIT_IN, 35, 0, 0},
        {IOSHARE_BIT_IN, 31, -1, 0},          // below the base
        {IOSHARE_BIT_IN, 32 + 16384, -1, 0},  // past the room
        {IOSHARE_BIT_OUT, 9, 0, 1},
        {IOSHARE_INT_IN, 1, 0, 0xABCD},
        {IOSHARE_INT_OUT, 33, 0, 0x1234},
        {IOSHARE_INT_OUT_RB, 32 + 1023, 0, 0},
        {IOSHARE_INT_OUT_RB, 32 + 1024, -1, 0},
        {IOSHARE_DWORD_IN, 128, 0, 0x01020304},  // first register the high half
        {IOSHARE_DWORD_IN, 130, 0, 0x05060708},
        {IOSHARE_DWORD_IN, 129, -1, 0},  // not the first register of one
        {IOSHARE_DWORD_IN, 128 + 1024, -1, 0},
        {7, 0, -1, 0},
    };
    for (const Case &c : cases) {
        uint32_t v = 0;
        EXPECT_EQ(ioshare_get(r.get(), c.kind, c.addr, &v), c.result) << c.kind << " " << c.addr;
        EXPECT_EQ(v, c.value) << c.kind << " " << c.addr;
    }
    for (int kind : {IOSHARE_BIT_IN, IOSHARE_BIT_OUT_RB, IOSHARE_INT_IN, IOSHARE_DWORD_IN})
        EXPECT_EQ(ioshare_put(r.get(), kind, 40, 1), -1);
    EXPECT_EQ(ioshare_put(r.get(), IOSHARE_INT_OUT, 31, 1), -1);
}

TEST(ClientHelpers, RequestWithoutAServer) {
    auto r = std::make_unique<ioShare_t>();
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    ASSERT_EQ(initRegionAttributes(&ma, &ca), 0);
    initRegionMutex(r.get(), &ma);  // the kind of mutex the helpers agree to lock
    idleRequestSlots(r.get());
    EXPECT_EQ(ioshare_request(r.get(), IOSHARE_DWORD_IN, 0, 1, 10), -1);  // no slot
    EXPECT_EQ(ioshare_request(r.get(), IOSHARE_BIT_IN, -1, 1, 10), -1);   // the idle mark
    EXPECT_EQ(ioshare_request(r.get(), IOSHARE_INT_IN, 40, 2, 20), -3);   // nobody takes it
    EXPECT_EQ(r->intInReqAddr, 40);
    EXPECT_EQ(r->intInReqCount, 2);
    EXPECT_EQ(ioshare_request(r.get(), IOSHARE_INT_IN, 50, 1, 20), -2);  // slot still busy
    EXPECT_EQ(r->intInReqAddr, 40);

    errno = 0;
    EXPECT_EQ(ioshare_open("/fbtest-refresh-no-such-region"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // A region that is no server's: nothing can be confirmed, nothing posted.
    setenv(IOSHARE_NAME_ENV, "/fbtest-refresh-no-such-region", 1);
    EXPECT_EQ(ioshare_request_confirmed(r.get(), IOSHARE_INT_OUT, 40, 1, 20),
              IOSHARE_ERR_NO_HEALTH);
    unsetenv(IOSHARE_NAME_ENV);
    EXPECT_EQ(r->intOutReqAddr, IOSHARE_IDLE);
}

// A posted request's fate as a client reads it off the server's progress:
// taken or replaced in the slot, numbers that wrap around, its refused bit,
// a bit too old to tell, a server that stopped or started again.
TEST(ClientHelpers, PostedRequestIsFollowedToItsSettlement) {
    using ioshare::Stage;
    auto r = std::make_unique<ioShare_t>();
    idleRequestSlots(r.get());
    ioshareHealth h{};
    h.generation = 7;
    h.serverPid = static_cast<int32_t>(getpid());
    h.state = IOSHARE_STATE_CYCLING;
    ioshareSlotProgress &p = h.slots[IOSHARE_INT_OUT];
    p.taken = 0xFFFFFFFE;
    ioshare::Ticket t;
    ioshare::post(r.get(), h, IOSHARE_INT_OUT, 40, 2, &t);
    EXPECT_EQ(ioshare::takeStage(r.get(), h, &t), Stage::Posted);
    r->intOutReqAddr = 41;  // another client's, in its place
    EXPECT_EQ(ioshare::takeStage(r.get(), h, &t), Stage::Refused);
    r->intOutReqAddr = IOSHARE_IDLE;
    p.taken = 0xFFFFFFFF;
    ASSERT_EQ(ioshare::takeStage(r.get(), h, &t), Stage::Taken);
    ASSERT_EQ(t.number, 0xFFFFFFFFu);

    struct Case {
        uint32_t confirmed, taken;
        bool refused;
        uint32_t generation, state;
        Stage stage;
    } cases[] = {
        {0xFFFFFFFE, 0xFFFFFFFF, false, 7, IOSHARE_STATE_CYCLING, Stage::Taken},
        {0xFFFFFFFF, 0xFFFFFFFF, false, 7, IOSHARE_STATE_CYCLING, Stage::Done},
        {0x00000003, 0x00000004, false, 7, IOSHARE_STATE_FAILING, Stage::Done},
        {0xFFFFFFFF, 0xFFFFFFFF, true, 7, IOSHARE_STATE_CYCLING, Stage::Refused},
        {0xFFFFFFF0, 0x00000003, true, 7, IOSHARE_STATE_CYCLING, Stage::Refused},  // older wait
        {0x000000FE, 0x000000FE, false, 7, IOSHARE_STATE_CYCLING, Stage::Done},
        {0x000000FF, 0x000000FF, false, 7, IOSHARE_STATE_CYCLING, Stage::Refused},  // too old
        {0xFFFFFFFE, 0xFFFFFFFF, false, 8, IOSHARE_STATE_CYCLING, Stage::Restarted},
        {0xFFFFFFFE, 0xFFFFFFFF, false, 7, IOSHARE_STATE_STOPPED, Stage::Restarted},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.taken);
        p.confirmed = c.confirmed;
        p.taken = c.taken;
        const uint32_t bit = t.number % IOSHARE_REFUSED_BITS;
        p.refused[bit / 32] = c.refused ? 1u << (bit % 32) : 0u;
        h.generation = c.generation;
        h.state = c.state;
        EXPECT_EQ(ioshare::settleStage(h, t), c.stage);
    }
}

}  // namespace

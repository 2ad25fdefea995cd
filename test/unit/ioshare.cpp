// The shared region on the server's side (compiled in here) and as a client
// sees it through ioshare.h.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "../../server/region.cpp"
#include "exec_wrapper.h"
#include "server_harness.h"

int runningFlag = 1;  // the server's run flag, which the region module reads

namespace {

// Every idle-slot address and its count, by field.
int32_t ioShare_t::*const kSlotAddrs[] = {&ioShare_t::bitInReqAddr,    &ioShare_t::bitOutReqAddr,
                                          &ioShare_t::bitOutRbReqAddr, &ioShare_t::intInReqAddr,
                                          &ioShare_t::intOutReqAddr,   &ioShare_t::intOutRbReqAddr,
                                          &ioShare_t::dwordInReqAddr};

bool allZero(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

TEST(IoShare, CreatedRegionIsSizedClearedAndSetUp) {
    fbtest::TestNames names("region");
    ioShare_t *share = createRegion(names.shmName.c_str());
    ASSERT_NE(share, nullptr);
    // No client can open it, and take its mutex, before that is initialised.
    EXPECT_FALSE(fbtest::regionExists(names.shmName));
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    ASSERT_EQ(initRegionAttributes(&ma, &ca), 0);
    initRegion(share, 250, &ma, &ca);
    EXPECT_EQ(fbtest::readFile("/dev/shm" + names.shmName).size(), sizeof(ioShare_t));

    // A client's own mapping by name sees the header and can take the
    // process-shared mutex.
    fbtest::RegionMap client(names.shmName);
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(client->interval, 250);
    for (auto slot : kSlotAddrs) EXPECT_EQ(client.get()->*slot, -1);
    EXPECT_EQ(client->bitInReqCount, 0);
    EXPECT_EQ(client->tailReq, -1);
    int pshared = 0;
    pthread_mutexattr_getpshared(&ma, &pshared);
    EXPECT_EQ(pshared, PTHREAD_PROCESS_SHARED);
    EXPECT_EQ(pthread_mutex_trylock(&client->mutex), 0);
    EXPECT_EQ(pthread_mutex_trylock(&share->mutex), EBUSY);
    pthread_mutex_unlock(&client->mutex);
    munmap(share, sizeof(ioShare_t));
}

TEST(IoShare, RegionLeftBehindIsReusedAndCleared) {
    fbtest::TestNames names("reuse");
    ioShare_t *first = createRegion(names.shmName.c_str());
    ASSERT_NE(first, nullptr);
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    ASSERT_EQ(initRegionAttributes(&ma, &ca), 0);
    initRegion(first, 100, &ma, &ca);
    std::memset(first->auxArea, 0xA5, sizeof first->auxArea);
    first->tailArea[sizeof first->tailArea - 1] = 0x5A;
    first->boardId = 0x1234;
    munmap(first, sizeof(ioShare_t));
    // A smaller object of that name is sized up too.
    const int fd = shm_open(names.shmName.c_str(), O_RDWR, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 100), 0);
    close(fd);

    ioShare_t *again = createRegion(names.shmName.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(fbtest::readFile("/dev/shm" + names.shmName).size(), sizeof(ioShare_t));
    EXPECT_TRUE(allZero(reinterpret_cast<unsigned char *>(again), sizeof(ioShare_t)));
    munmap(again, sizeof(ioShare_t));
}

// A restart on a region clients still use: the left mutex is taken, not
// cleared, so a client taking it meanwhile waits and then gets it — also
// when the old server died holding it.
TEST(IoShare, RestartKeepsTheLeftMutexForClientsUsingIt) {
    fbtest::TestNames names("restart");
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    ASSERT_EQ(initRegionAttributes(&ma, &ca), 0);
    ioShare_t *first = createRegion(names.shmName.c_str());
    ASSERT_NE(first, nullptr);
    initRegion(first, 100, &ma, &ca);
    first->intInImage[3] = 0x77;
    // The emulator never reports a holder's death: there the old server
    // let go of the mutex before it died.
    if (!fbtest::underEmulator()) {
        const pid_t dead = fork();
        if (dead == 0) {
            pthread_mutex_lock(&first->mutex);
            _exit(0);  // dies holding it
        }
        ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    }

    fbtest::RegionMap client(names.shmName);
    ASSERT_TRUE(client.ok());
    ioShare_t *again = createRegion(names.shmName.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->intInImage[3], 0);
    EXPECT_EQ(pthread_mutex_trylock(&client->mutex), EBUSY) << "held while the region is set up";
    std::atomic<int> got{-1};
    std::thread waiter([&] {
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 5;
        got = pthread_mutex_timedlock(&client->mutex, &deadline);
        if (got == 0) pthread_mutex_unlock(&client->mutex);
    });
    initRegion(again, 100, &ma, &ca);
    waiter.join();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(client->tailReq, -1);
    munmap(first, sizeof(ioShare_t));
    munmap(again, sizeof(ioShare_t));
}

TEST(IoShare, FailedMappingIsRefusedWithItsMessage) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(mapRegion(p[0], sizeof(ioShare_t)), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("mmap: ", 0), 0u) << err;
    close(p[0]);
    close(p[1]);
}

TEST(IoShare, BadNameFailsAtOpenWithItsMessage) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(createRegion("/no/such/name"), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("shm_open: ", 0), 0u) << err;
}

}  // namespace

// pellora's refresh cycle against the clients it must survive: hostile slot
// values, eight client processes at once, a client killed holding the mutex.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "exec_wrapper.h"
#include "pellora_refresh_rig.h"
#include "pty_pair.h"

namespace {

using fbtest::Rig;

// Request slots in the order of the record.
int32_t ioShare_t::*const kSlots[][2] = {
    {&ioShare_t::bitInReqAddr, &ioShare_t::bitInReqCount},
    {&ioShare_t::bitOutReqAddr, &ioShare_t::bitOutReqCount},
    {&ioShare_t::bitOutRbReqAddr, &ioShare_t::bitOutRbReqCount},
    {&ioShare_t::intInReqAddr, &ioShare_t::intInReqCount},
    {&ioShare_t::intOutReqAddr, &ioShare_t::intOutReqCount},
    {&ioShare_t::intOutRbReqAddr, &ioShare_t::intOutRbReqCount},
};

// The layout fields, which a client can scribble on as well.
int32_t ioShare_t::*const kLayout[] = {&ioShare_t::bitInBase,   &ioShare_t::bitInCount,
                                       &ioShare_t::bitOutBase,  &ioShare_t::bitOutCount,
                                       &ioShare_t::intInBase,   &ioShare_t::intInCount,
                                       &ioShare_t::intOutBase,  &ioShare_t::intOutCount,
                                       &ioShare_t::dwordInBase, &ioShare_t::dwordInCount};

bool allIdle(ioShare_t *share) {
    ioshare_lock(share);
    bool idle = true;
    for (const auto &slot : kSlots) idle = idle && share->*slot[0] == -1;
    ioshare_unlock(share);
    return idle;
}

bool allZero(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// Waits for all of `pids` to end; true when every one exited with 0.
bool allExitedWithZero(std::vector<pid_t> &pids, int timeoutMs) {
    bool ok = true;
    const bool ended = fbtest::waitUntil(
        [&] {
            for (pid_t &pid : pids) {
                int status = 0;
                if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
                    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                        ADD_FAILURE() << "client ended with status " << status;
                        ok = false;
                    }
                    pid = -1;
                }
            }
            for (pid_t pid : pids)
                if (pid > 0) return false;
            return true;
        },
        timeoutMs);
    for (pid_t pid : pids)
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    return ended && ok;
}

// Random addresses and counts in every slot, thousands of them, some of the
// layout fields scribbled on too: the server serves on, never writes an image
// it does not own or the areas beyond the images, and then serves a plain
// request as before.
TEST(RefreshClients, HostileSlotValues) {
    Rig rig("hostile");
    rig.start({"--board", "0C2A"}, {"-i", "60000"}, 3);
    ioShare_t *s = rig.share;
    ioshare_lock(s);
    for (size_t i = 0; i < IOSHARE_AREA_SIZE; ++i) {
        s->bitOutImage[i] = static_cast<unsigned char>(i * 7 + 3);
        s->intOutImage[i] = static_cast<unsigned char>(i * 13 + 5);
    }
    int32_t layout[std::size(kLayout)];
    for (size_t i = 0; i < std::size(kLayout); ++i) layout[i] = s->*kLayout[i];
    ioshare_unlock(s);
    const std::vector<unsigned char> bitOut(s->bitOutImage, s->bitOutImage + IOSHARE_AREA_SIZE);
    const std::vector<unsigned char> intOut(s->intOutImage, s->intOutImage + IOSHARE_AREA_SIZE);

    std::mt19937 rng(20240607);
    const int32_t edges[] = {INT_MIN, INT_MIN + 1, -2,    0,           1,      7,
                             8,       1023,        1024,  1025,        16383,  16384,
                             16385,   65535,       65536, INT_MAX - 8, INT_MAX};
    auto pick = [&](int32_t near) -> int32_t {
        switch (rng() % 4) {
            case 0:
                return static_cast<int32_t>(rng());
            case 1:
                return near + static_cast<int32_t>(rng() % 41) - 20;
            case 2:
                return edges[rng() % std::size(edges)];
            default:
                return static_cast<int32_t>(rng() % 70000);
        }
    };
    constexpr int kRounds = 400;  // six requests each
    for (int round = 0; round < kRounds; ++round) {
        ioshare_lock(s);
        for (const auto &slot : kSlots) {
            const int32_t addr = pick(32);
            s->*slot[1] = pick(4);
            s->*slot[0] = addr == -1 ? -2 : addr;
        }
        for (size_t i = 0; i < std::size(kLayout); ++i)
            s->*kLayout[i] = round % 8 == 7 ? pick(layout[i]) : layout[i];
        ioshare_signal(s);
        ioshare_unlock(s);
        ASSERT_TRUE(fbtest::waitUntil([&] { return allIdle(s); })) << "round " << round;
        ASSERT_TRUE(rig.server.running());
    }
    ioshare_lock(s);
    for (size_t i = 0; i < std::size(kLayout); ++i) s->*kLayout[i] = layout[i];
    EXPECT_TRUE(std::equal(bitOut.begin(), bitOut.end(), s->bitOutImage));
    EXPECT_TRUE(std::equal(intOut.begin(), intOut.end(), s->intOutImage));
    EXPECT_TRUE(allZero(s->auxArea, sizeof s->auxArea));
    EXPECT_TRUE(allZero(s->tailArea, sizeof s->tailArea));
    ioshare_unlock(s);

    rig.put(IOSHARE_BIT_OUT, 0, {1, 0, 0, 1});
    ASSERT_EQ(ioshare_request(s, IOSHARE_BIT_OUT, 0, 4, 5000), 0);
    EXPECT_TRUE(
        fbtest::waitUntil([&] { return rig.board.command("get coil 0 4") == "coil 0: 1 0 0 1"; }));
    EXPECT_EQ(rig.server.stop(), 0);
}

// Discrete inputs 200.. of the board, which every client reads back.
const int kInputs[16] = {1, 1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 1, 0, 1};

// One client process on board 0C2A: its own coil and holding register (the
// first clients' inside the mirrored range, the others' beyond it), written
// and read back, and eight inputs read, `rounds` times. 0 when all went as
// expected.
int clientRounds(const std::string &shm, int id, int rounds) {
    ioShare_t *s = ioshare_open(shm.c_str());
    if (s == nullptr) return 10;
    const int32_t coil = id, reg = 32 + id, input = 200 + id;
    for (int round = 0; round < rounds; ++round) {
        const uint32_t on = (round + id) & 1, value = static_cast<uint32_t>(round * 100 + id);
        if (ioshare_lock(s) < 0) return 11;
        ioshare_put(s, IOSHARE_BIT_OUT, coil, on);
        ioshare_put(s, IOSHARE_INT_OUT, reg, value);
        ioshare_unlock(s);
        if (ioshare_request(s, IOSHARE_BIT_OUT, coil, 1, 20000) != 0) return 12;
        if (ioshare_request(s, IOSHARE_INT_OUT, reg, 1, 20000) != 0) return 13;
        if (ioshare_request(s, IOSHARE_BIT_IN, input, 8, 20000) != 0) return 14;
        if (ioshare_request(s, IOSHARE_INT_OUT_RB, reg, 1, 20000) != 0) return 15;
        if (ioshare_lock(s) < 0) return 11;
        uint32_t got = 0;
        bool right = ioshare_get(s, IOSHARE_INT_OUT_RB, reg, &got) == 0 && got == value;
        for (int k = 0; k < 8; ++k)
            right = right && ioshare_get(s, IOSHARE_BIT_IN, input + k, &got) == 0 &&
                    got == static_cast<uint32_t>(kInputs[id + k]);
        ioshare_unlock(s);
        if (!right) return 16;
    }
    ioshare_close(s);
    return 0;
}

// Eight clients post writes and reads at once, one slot per kind among
// them: every request completes and the board ends with each client's last
// outputs.
TEST(RefreshClients, EightClientsAtOnce) {
    Rig rig("eight");
    std::string inputs = "set di 200";
    for (int v : kInputs) inputs += " " + std::to_string(v);
    rig.start({"--board", "0C2A"}, {}, 3, {inputs});
    constexpr int kClients = 8, kRounds = 25;
    std::vector<pid_t> pids;
    for (int id = 0; id < kClients; ++id) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(clientRounds(rig.names.shmName, id, kRounds));
        pids.push_back(pid);
    }
    ASSERT_TRUE(allExitedWithZero(pids, 120000));

    std::string coils = "coil 0:", regs = "hr 32:";
    for (int id = 0; id < kClients; ++id) {
        coils += " " + std::to_string((kRounds - 1 + id) & 1);
        regs += " " + std::to_string((kRounds - 1) * 100 + id);
    }
    // The last full-range writes follow the last requests' hand-back.
    EXPECT_TRUE(fbtest::waitUntil([&] {
        return rig.board.command("get coil 0 8") == coils &&
               rig.board.command("get hr 32 8") == regs;
    })) << rig.board.command("get coil 0 8")
        << " / " << rig.board.command("get hr 32 8");
    EXPECT_EQ(rig.server.stop(), 0);
}

bool robustMutexes() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_t m;
    const bool ok = pthread_mutex_init(&m, &attr) == 0;
    if (ok) pthread_mutex_destroy(&m);
    pthread_mutexattr_destroy(&attr);
    return ok;
}

// A client killed while it holds the region's mutex: whoever takes it next
// (the server or another client) repairs it, and the server serves on.
TEST(RefreshClients, ClientKilledHoldingTheMutex) {
    if (fbtest::underEmulator() || !robustMutexes())
        GTEST_SKIP() << "no robust mutexes here: the kernel sees no owner die under an emulator";
    Rig rig("killed");
    rig.start({"--board", "0C2A"}, {"-i", "50"}, 3);
    int clientRepairs = 0;
    for (int victim = 0; victim < 2; ++victim) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ioShare_t *s = ioshare_open(rig.names.shmName.c_str());
            if (s == nullptr || ioshare_lock(s) < 0) _exit(1);
            if (write(ready[1], "x", 1) != 1) _exit(2);
            pause();
            _exit(0);
        }
        close(ready[1]);
        pollfd pfd{ready[0], POLLIN, 0};
        char byte = 0;
        ASSERT_EQ(poll(&pfd, 1, 10000), 1);
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, nullptr, 0), pid);

        const int took = ioshare_lock(rig.share);
        ASSERT_GE(took, 0);
        ioshare_put(rig.share, IOSHARE_BIT_OUT, 0, victim == 0);
        ioshare_put(rig.share, IOSHARE_BIT_OUT, 3, 1);
        ioshare_unlock(rig.share);
        ASSERT_EQ(ioshare_request(rig.share, IOSHARE_BIT_OUT, 0, 4, 5000), 0);
        const std::string want = victim == 0 ? "coil 0: 1 0 0 1" : "coil 0: 0 0 0 1";
        EXPECT_TRUE(fbtest::waitUntil([&] { return rig.board.command("get coil 0 4") == want; }));
        // Each death repaired once, by this client or by the server.
        clientRepairs += took == 1;
        const std::string log = fbtest::readFile(rig.names.logFile);
        int serverRepairs = 0;
        for (size_t at = 0; (at = log.find("region mutex taken over", at)) != std::string::npos;
             ++at)
            ++serverRepairs;
        EXPECT_EQ(clientRepairs + serverRepairs, victim + 1);
    }
    EXPECT_TRUE(rig.server.running());
    EXPECT_EQ(rig.server.stop(), 0);
}

// A client process that posts a coil write and ends with 0 once the server
// took it: one whose signal blocks, or whose request is never served, is
// killed at the deadline.
bool clientWriteServed(Rig &rig, int timeoutMs) {
    const pid_t pid = fork();
    if (pid == 0) {
        ioShare_t *s = ioshare_open(rig.names.shmName.c_str());
        if (s == nullptr) _exit(2);
        _exit(ioshare_request(s, IOSHARE_BIT_OUT, 0, 4, timeoutMs) == 0 ? 0 : 1);
    }
    int status = -1;
    const bool ended =
        fbtest::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs + 5000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

enum class Holder {
    DeadSignaller,
    StoppedWithTheMutex,
    ScribbledMutex,
    ScribbledCondition,
    GoneHolder,
    Waiter,
    GreedyLocker,
    SlowHolder,
    PriorityProtectKind,
    CutShort
};

const char *holderName(Holder h) {
    switch (h) {
        case Holder::DeadSignaller:
            return "DeadSignaller";
        case Holder::StoppedWithTheMutex:
            return "StoppedWithTheMutex";
        case Holder::ScribbledMutex:
            return "ScribbledMutex";
        case Holder::ScribbledCondition:
            return "ScribbledCondition";
        case Holder::GoneHolder:
            return "GoneHolder";
        case Holder::Waiter:
            return "Waiter";
        case Holder::GreedyLocker:
            return "GreedyLocker";
        case Holder::SlowHolder:
            return "SlowHolder";
        case Holder::PriorityProtectKind:
            return "PriorityProtectKind";
        case Holder::CutShort:
            return "CutShort";
    }
    return "?";
}

// A client process that keeps at the region until it is killed: waiting on
// its condition (as some clients wrongly do), taking its mutex again and
// again as fast as it can, or keeping it 60 ms of every 70.
pid_t startClientLoop(Rig &rig, Holder kind) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    ioShare_t *s = ioshare_open(rig.names.shmName.c_str());
    if (s == nullptr) _exit(2);
    for (;;) {
        if (ioshare_lock(s) < 0) continue;
        if (kind == Holder::Waiter) {
            timespec end{};
            clock_gettime(CLOCK_MONOTONIC, &end);
            end.tv_nsec += 100000000;
            if (end.tv_nsec >= 1000000000) ++end.tv_sec, end.tv_nsec -= 1000000000;
            pthread_cond_timedwait(&s->cond, &s->mutex, &end);
        }
        if (kind == Holder::SlowHolder) usleep(60000);
        ioshare_unlock(s);
        if (kind == Holder::SlowHolder) usleep(10000);
    }
}

// A thread id that no thread has now.
int absentThreadId() {
    for (int tid = 4000000;; --tid)
        if (kill(tid, 0) != 0 && errno == ESRCH) return tid;
}

class ClientThatHolds : public testing::TestWithParam<Holder> {};

// A signaller that died inside pthread_cond_signal leaves the condition's
// internal lock taken (emulated: the lock word set in the region); a client
// stopped with the mutex keeps it; a client writes garbage over the mutex or
// the condition, or leaves the mutex held by a thread that does not exist.
// None stalls the cycle for good or holds up the orderly stop, and a WARN
// line says what was wrong.
TEST_P(ClientThatHolds, NeitherCycleNorStopIsHeldUp) {
#if defined(__SANITIZE_THREAD__) || defined(FIELDBUS_UNDER_TSAN)
    // Garbage written over the mutex from outside spoils the thread checker's
    // own account of it (it reports double locks that never happen).
    if (GetParam() == Holder::ScribbledMutex || GetParam() == Holder::PriorityProtectKind ||
        GetParam() == Holder::CutShort)
        GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    Rig rig(holderName(GetParam()));
    rig.start({"--board", "0C2A"}, {"-i", "50"}, 3);
    pid_t holder = -1;
    std::string warning;
    if (GetParam() != Holder::StoppedWithTheMutex) {
        switch (GetParam()) {
            case Holder::DeadSignaller:
                __atomic_fetch_or(&rig.share->cond.__data.__g1_orig_size, 1u, __ATOMIC_SEQ_CST);
                warning = "region condition left locked by a client";
                break;
            case Holder::ScribbledMutex:
                std::memset(&rig.share->mutex, 0x5A, sizeof rig.share->mutex);
                warning = "region mutex overwritten by a client";
                break;
            case Holder::ScribbledCondition:
                std::memset(&rig.share->cond, 0x5A, sizeof rig.share->cond);
                warning = "region condition overwritten by a client";
                break;
            case Holder::GoneHolder:
                __atomic_store_n(&rig.share->mutex.__data.__lock, absentThreadId(),
                                 __ATOMIC_SEQ_CST);
                warning = "which does not exist: released";
                break;
            case Holder::PriorityProtectKind: {
                // A kind some lock calls end the process on (ceiling 0).
                pthread_mutexattr_t attr;
                pthread_mutexattr_init(&attr);
                pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
                pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_PROTECT);
                pthread_mutexattr_setprioceiling(&attr, 0);
                pthread_mutex_t pp;
                ASSERT_EQ(pthread_mutex_init(&pp, &attr), 0);
                // Again and again for a while: it also lands while the server
                // waits on the condition, or between its look and its call.
                const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
                while (std::chrono::steady_clock::now() < end) {
                    __atomic_store_n(&rig.share->mutex.__data.__kind, pp.__data.__kind,
                                     __ATOMIC_SEQ_CST);
                    usleep(200);
                }
                warning = "region mutex overwritten by a client";
                break;
            }
            case Holder::CutShort: {
                const int fd = shm_open(rig.names.shmName.c_str(), O_RDWR, 0);
                ASSERT_GE(fd, 0);
                ASSERT_EQ(ftruncate(fd, 4096), 0);
                close(fd);
                warning = "region cut short by a client";
                break;
            }
            default:  // a client in the way all along, which is not to be "repaired"
                holder = startClientLoop(rig, GetParam());
                // One that keeps the server waiting is named.
                if (GetParam() == Holder::SlowHolder)
                    warning = "region mutex held by process " + std::to_string(holder) + " ";
                break;
        }
        if (!warning.empty()) {
            ASSERT_TRUE(fbtest::waitUntil(
                [&] {
                    return fbtest::readFile(rig.names.logFile).find(warning) != std::string::npos;
                },
                10000))
                << fbtest::readFile(rig.names.logFile);
        }
        // Cycles resume, and a client's signal and request are served again.
        const size_t seen = rig.board.trace().size();
        EXPECT_TRUE(fbtest::traceReaches(rig.board, seen + 10));
        EXPECT_TRUE(clientWriteServed(rig, 3000));
        if (GetParam() == Holder::Waiter) {
            EXPECT_EQ(fbtest::readFile(rig.names.logFile).find("condition"), std::string::npos)
                << fbtest::readFile(rig.names.logFile);
        }
        if (GetParam() == Holder::CutShort) {
            struct stat st {};
            EXPECT_EQ(stat(("/dev/shm" + rig.names.shmName).c_str(), &st), 0);
            EXPECT_EQ(st.st_size, static_cast<off_t>(sizeof(ioShare_t)));
            EXPECT_EQ(rig.share->boardId, 0x0C2A);  // the header set up again
        }
        if (GetParam() == Holder::SlowHolder) {
            const ioshareHealth *h = ioshare_health_open(rig.names.shmName.c_str());
            ASSERT_NE(h, nullptr);
            ioshareHealth copy{};
            EXPECT_TRUE(fbtest::waitUntil([&] {
                return ioshare_health_read(h, &copy) == 0 && copy.lockHolderPid == holder &&
                       copy.lockSlowWaits > 0 && copy.lockLongestUs >= 20000;
            })) << copy.lockHolderPid << " " << copy.lockSlowWaits << " " << copy.lockLongestUs;
            ioshare_health_close(h);
        }
    } else {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        holder = fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            ioShare_t *s = ioshare_open(rig.names.shmName.c_str());
            if (s == nullptr || ioshare_lock(s) < 0) _exit(1);
            if (write(ready[1], "x", 1) != 1) _exit(2);
            raise(SIGSTOP);
            _exit(0);
        }
        close(ready[1]);
        char byte = 0;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        // The stopped holder is named while the server runs.
        EXPECT_TRUE(fbtest::waitUntil(
            [&] {
                return fbtest::readFile(rig.names.logFile).find("which is stopped") !=
                       std::string::npos;
            },
            10000))
            << fbtest::readFile(rig.names.logFile);
        warning = "held by a client that does not let go";
    }
    const long long stopAt = fbtest::monoMs();
    EXPECT_EQ(rig.server.stop(5000), 0);
    EXPECT_LT(fbtest::monoMs() - stopAt, 5000);
    EXPECT_NE(fbtest::readFile(rig.names.logFile).find(warning), std::string::npos)
        << fbtest::readFile(rig.names.logFile);
    if (holder > 0) {
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
    }
}

// Objects another user put under the region's and the health record's names
// before the server started (one of them a link): none is adopted. The
// server, as root, removes them and makes its own, with its own owner and
// modes; what it publishes is its own.
TEST(RefreshClients, ObjectsOfAnotherUserUnderTheNamesAreNotAdopted) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make objects of another user";
    Rig rig("squatted");
    const std::string region = "/dev/shm" + rig.names.shmName;
    const std::string health = region + IOSHARE_HEALTH_SUFFIX;
    const int fd = open(region.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(sizeof(ioShare_t))), 0);
    ASSERT_EQ(fchown(fd, 65534, 65534), 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    close(fd);
    const std::string elsewhere = rig.names.path("forged");
    const int forged = open(elsewhere.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(forged, 0);
    ASSERT_EQ(ftruncate(forged, static_cast<off_t>(sizeof(ioshareHealth))), 0);
    close(forged);
    ASSERT_EQ(symlink(elsewhere.c_str(), health.c_str()), 0);
    rig.start({"--board", "0C2A"}, {}, 3);
    struct stat st {};
    ASSERT_EQ(lstat(region.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    ASSERT_EQ(lstat(health.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    const ioshareHealth *h = ioshare_health_open(rig.names.shmName.c_str());
    ASSERT_NE(h, nullptr);
    ioshareHealth copy{};
    ASSERT_EQ(ioshare_health_read(h, &copy), 0);
    EXPECT_EQ(copy.serverPid, rig.server.pid());
    ioshare_health_close(h);
    EXPECT_NE(fbtest::readFile(rig.names.logFile).find("owned by user 65534"), std::string::npos)
        << fbtest::readFile(rig.names.logFile);
    EXPECT_EQ(rig.server.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ClientThatHolds,
                         testing::Values(Holder::DeadSignaller, Holder::StoppedWithTheMutex,
                                         Holder::ScribbledMutex, Holder::ScribbledCondition,
                                         Holder::GoneHolder, Holder::Waiter, Holder::GreedyLocker,
                                         Holder::SlowHolder, Holder::PriorityProtectKind, Holder::CutShort),
                         [](const auto &info) { return std::string(holderName(info.param)); });

}  // namespace

// pellora against rkboard-sim: board discovery, the region as clients see
// it, refused starts and regions left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "server_harness.h"

namespace {

struct Layout {
    unsigned id;
    int bitInBase, bitInCount, bitOutBase, bitOutCount, intInBase, intInCount;
    int intOutBase, intOutCount, dwordInBase, dwordInCount;
};

// The boards the controller may carry.
const Layout kBoards[] = {
    {0x0A11, 0, 8, 0, 8, 0, 0, 0, 0, 0, 8},    {0x0A14, 0, 16, 0, 0, 0, 0, 0, 0, 0, 16},
    {0x0A15, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0},   {0x0A19, 0, 5, 0, 6, 0, 0, 0, 0, 0, 5},
    {0x0C23, 32, 4, 0, 4, 0, 4, 0, 0, 128, 4}, {0x0C24, 32, 4, 0, 4, 0, 0, 0, 2, 128, 4},
    {0x0C25, 32, 8, 0, 8, 0, 8, 0, 0, 128, 8}, {0x0C2A, 32, 4, 0, 4, 0, 4, 32, 2, 128, 4},
};

std::string hex4(unsigned id) {
    char b[8];
    std::snprintf(b, sizeof b, "%04X", id);
    return b;
}

bool allZero(const unsigned char *p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// The start-up lines of a server run by the harness, up to the board line.
std::string startLines(const fbtest::TestNames &n, unsigned id, int interval = 100) {
    return "Mode : interactive\nlogfile = " + n.logFile + ", level 2\nlockfile = " + n.lockFile +
           "\nshare memory name = " + n.shmName + "\nCOM1 device = " + n.boardLink +
           "\nshare memory size = " + std::to_string(sizeof(ioShare_t)) +
           " bytes, refresh interval " + std::to_string(interval) + " ms\nrk-board ID=" + hex4(id) +
           "\n";
}

// Header, slots and trailer as every start leaves them, whatever the board.
void expectFreshHeader(const ioShare_t &r, int interval) {
    EXPECT_EQ(r.interval, interval);
    for (auto [addr, count] : {std::pair{r.bitInReqAddr, r.bitInReqCount},
                               {r.bitOutReqAddr, r.bitOutReqCount},
                               {r.bitOutRbReqAddr, r.bitOutRbReqCount},
                               {r.intInReqAddr, r.intInReqCount},
                               {r.intOutReqAddr, r.intOutReqCount},
                               {r.intOutRbReqAddr, r.intOutRbReqCount},
                               {r.dwordInReqAddr, r.dwordInReqCount}}) {
        EXPECT_EQ(addr, -1);
        EXPECT_EQ(count, 0);
    }
    EXPECT_EQ(r.auxBase, 0);
    EXPECT_EQ(r.auxSize, 2048);
    EXPECT_EQ(r.tailReq, -1);
    EXPECT_EQ(r.tailSlots, 256);
    EXPECT_EQ(r.tailSlotSize, 8192);
    EXPECT_EQ(r.tailUsed, 0);
    EXPECT_TRUE(allZero(r.auxArea, sizeof r.auxArea));
    EXPECT_TRUE(allZero(r.tailArea, sizeof r.tailArea));
}

class EveryBoard : public ::testing::TestWithParam<Layout> {};

TEST_P(EveryBoard, LayoutOutputImagesAndStartLines) {
    const Layout b = GetParam();
    fbtest::TestNames names("board" + hex4(b.id));
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", hex4(b.id)}));
    // Present outputs of the board, and neighbours outside its range.
    ASSERT_EQ(board.command("set coil 0 1 0 1 1 0 0 1 0 1 1 0 1 0 0 1 1 1"), "ok");
    ASSERT_EQ(board.command("set hr 0 0x4321 0x8765 0x9999"), "ok");
    ASSERT_EQ(board.command("set hr 31 0x7777 0x1234 0xABCD 0x5555"), "ok");
    ASSERT_EQ(board.command("set di 0 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1"),
              "ok");

    // An interval long enough that no refresh cycle runs before the stop:
    // what is seen below is start-up's work alone.
    fbtest::Server server;
    ASSERT_TRUE(server.start(names, {"-i", "60000"}));
    ASSERT_TRUE(server.waitReady()) << server.err();
    // Interactive mode: the console's prompt follows the start-up lines.
    EXPECT_EQ(server.out().substr(server.out().find('\n') + 1),
              startLines(names, b.id, 60000) + "Share memory I/O Server>");

    fbtest::RegionMap region(names.shmName);
    ASSERT_TRUE(region.ok());
    const auto r = region.snapshot();
    EXPECT_EQ(r->boardId, static_cast<int>(b.id));
    expectFreshHeader(*r, 60000);
    const int got[] = {r->bitInBase,   r->bitInCount,  r->bitOutBase, r->bitOutCount,
                       r->intInBase,   r->intInCount,  r->intOutBase, r->intOutCount,
                       r->dwordInBase, r->dwordInCount};
    const int want[] = {b.bitInBase,  b.bitInCount, b.bitOutBase,  b.bitOutCount, b.intInBase,
                        b.intInCount, b.intOutBase, b.intOutCount, b.dwordInBase, b.dwordInCount};
    EXPECT_EQ(std::vector<int>(got, got + 10), std::vector<int>(want, want + 10));

    // Coils 0.. as set above, only as many as the board has; its registers.
    unsigned char coils[2048] = {};
    const int pattern[] = {1, 0, 1, 1, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0, 1, 1};
    for (int i = 0; i < b.bitOutCount; ++i)
        if (pattern[i] != 0) coils[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
    EXPECT_EQ(std::memcmp(r->bitOutImage, coils, sizeof coils), 0);
    unsigned char regs[2048] = {};
    if (b.intOutCount > 0)
        std::memcpy(regs, b.intOutBase == 32 ? "\x12\x34\xAB\xCD" : "\x43\x21\x87\x65", 4);
    EXPECT_EQ(std::memcmp(r->intOutImage, regs, sizeof regs), 0);
    for (const unsigned char *image :
         {r->bitInImage, r->bitOutRbImage, r->intInImage, r->intOutRbImage, r->dwordInImage})
        EXPECT_TRUE(allZero(image, 2048));

    // Exactly the identifier read and the reads of the present outputs.
    std::vector<std::string> trace;
    for (const auto &t : board.trace())
        trace.push_back(std::to_string(t.function) + " " + std::to_string(t.address) + " " +
                        std::to_string(t.count) + " " + t.outcome);
    std::vector<std::string> expected = {"3 482 2 ok"};
    if (b.bitOutCount > 0)
        expected.push_back("1 " + std::to_string(b.bitOutBase) + " " +
                           std::to_string(b.bitOutCount) + " ok");
    if (b.intOutCount > 0)
        expected.push_back("3 " + std::to_string(b.intOutBase) + " " +
                           std::to_string(b.intOutCount) + " ok");
    EXPECT_EQ(trace, expected);

    EXPECT_EQ(server.stop(), 0);
    EXPECT_FALSE(fbtest::regionExists(names.shmName));
}

INSTANTIATE_TEST_SUITE_P(Table, EveryBoard, ::testing::ValuesIn(kBoards),
                         [](const auto &info) { return "Board" + hex4(info.param.id); });

TEST(Startup, NoBoardRunsWithAnEmptyLayout) {
    fbtest::TestNames names("noboard");
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "none"}));
    fbtest::Server server;
    ASSERT_TRUE(server.start(names));
    ASSERT_TRUE(server.waitReady());
    EXPECT_NE(server.out().find(startLines(names, 0)), std::string::npos) << server.out();
    fbtest::RegionMap region(names.shmName);
    ASSERT_TRUE(region.ok());
    const auto r = region.snapshot();
    EXPECT_EQ(r->boardId, 0x9999);
    for (int count : {r->bitInCount, r->bitOutCount, r->intInCount, r->intOutCount, r->dwordInCount,
                      r->bitInBase, r->dwordInBase})
        EXPECT_EQ(count, 0);
    expectFreshHeader(*r, 100);
    EXPECT_TRUE(server.running());
    // Prepared under a name of its own and renamed once initialised.
    EXPECT_FALSE(fbtest::regionExists(names.shmName + ".new." + std::to_string(server.pid())));
    // Asked a few times before the start goes on without a board.
    const auto startTrace = board.trace();
    ASSERT_GE(startTrace.size(), 4u);
    for (const auto &t : startTrace) EXPECT_EQ(t.outcome, "silent");
    // The health beside the region says so; the inputs have no age yet.
    const ioshareHealth *health = ioshare_health_open(names.shmName.c_str());
    ASSERT_NE(health, nullptr);
    ioshareHealth h{};
    // The refresh thread says so as it takes over from start-up.
    ASSERT_TRUE(fbtest::waitUntil(
        [&] { return ioshare_health_read(health, &h) == 0 && h.state != IOSHARE_STATE_STARTING; }));
    EXPECT_EQ(h.version, static_cast<uint32_t>(IOSHARE_HEALTH_VERSION));
    EXPECT_EQ(h.serverPid, server.pid());
    EXPECT_EQ(h.state, static_cast<uint32_t>(IOSHARE_STATE_NO_BOARD));
    EXPECT_EQ(ioshare_inputs_age_ms(&h), -1);

    // A board that powers up later is found, and the cycle starts on it.
    ASSERT_EQ(board.command("board 0C2A"), "ok");
    ASSERT_EQ(board.command("fault off"), "ok");
    ASSERT_TRUE(fbtest::waitUntil([&] { return region.snapshot()->boardId == 0x0C2A; }, 15000));
    EXPECT_EQ(region.snapshot()->bitOutCount, 4);
    ASSERT_TRUE(fbtest::waitUntil(
        [&] {
            return ioshare_health_read(health, &h) == 0 && h.state == IOSHARE_STATE_CYCLING &&
                   ioshare_inputs_age_ms(&h) >= 0;
        },
        10000));
    EXPECT_EQ(h.boardId, 0x0C2A);
    EXPECT_NE(fbtest::readFile(names.logFile).find("rk-board ID=0C2A found, refresh cycle started"),
              std::string::npos);
    EXPECT_EQ(server.stop(), 0);
    ioshare_health_close(health);
    EXPECT_EQ(ioshare_health_open(names.shmName.c_str()), nullptr) << "removed at the stop";
}

class StopDuringDiscovery : public ::testing::TestWithParam<int> {};

// A stop while start-up still asks a silent board for its identifier is
// the orderly one: region and health record gone, the record stopped.
TEST_P(StopDuringDiscovery, IsOrderly) {
#if defined(FIELDBUS_UNDER_TSAN) || defined(__SANITIZE_THREAD__)
    // Under the thread checker one run in several never ended after the
    // signal (its handler is run at the checker's own points); not yet
    // understood, so not run there until it is.
    GTEST_SKIP() << "not under ThreadSanitizer";
#endif
    fbtest::TestNames names("discovery");
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "none"}));
    fbtest::Server server;
    ASSERT_TRUE(server.start(names));
    const ioshareHealth *health = nullptr;
    ASSERT_TRUE(fbtest::waitUntil([&] {
        if (health == nullptr) health = ioshare_health_open(names.shmName.c_str());
        return health != nullptr && !board.trace().empty();
    }));
    server.signal(GetParam());
    ASSERT_NE(server.wait(), -1);
    EXPECT_EQ(server.exitCode(), 0) << "signal " << server.termSignal();
    EXPECT_NE(server.out().find("Stop Share Memory I/O Server\n"), std::string::npos);
    EXPECT_FALSE(fbtest::regionExists(names.shmName));
    EXPECT_FALSE(fbtest::regionExists(names.shmName + IOSHARE_HEALTH_SUFFIX));
    ioshareHealth h{};
    EXPECT_EQ(ioshare_health_read(health, &h), 0);
    EXPECT_EQ(h.state, static_cast<uint32_t>(IOSHARE_STATE_STOPPED));
    EXPECT_NE(fbtest::readFile(names.logFile).find("Stop Share Memory I/O Server"),
              std::string::npos);
    ioshare_health_close(health);
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, StopDuringDiscovery, ::testing::Values(SIGTERM, SIGINT));

TEST(Startup, UnknownBoardIsRefusedAndItsRegionRemoved) {
    fbtest::TestNames names("unknown");
    {
        fbtest::BoardSim board;
        ASSERT_TRUE(board.start(names, {"--board", "0C2B"}));
        fbtest::Server server;
        ASSERT_TRUE(server.start(names));
        ASSERT_NE(server.wait(), -1);
        EXPECT_EQ(server.exitCode(), 255);
        EXPECT_NE(server.out().find("rk-board ID=0C2B\n"), std::string::npos);
        EXPECT_EQ(server.err().rfind("I/O Board init Failed: ", 0), 0u) << server.err();
        EXPECT_EQ(server.out().find("Stop"), std::string::npos);

        // Clients must not find a board published by a server that is not
        // running: the failed start takes its region away again.
        EXPECT_FALSE(fbtest::regionExists(names.shmName));
        EXPECT_FALSE(fbtest::regionExists(names.shmName + IOSHARE_HEALTH_SUFFIX));
    }
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "0A19"}));
    fbtest::Server server;
    ASSERT_TRUE(server.start(names));
    ASSERT_TRUE(server.waitReady());
    fbtest::RegionMap region(names.shmName);
    const auto r = region.snapshot();
    EXPECT_EQ(r->boardId, 0x0A19);
    EXPECT_EQ(r->bitOutCount, 6);
    expectFreshHeader(*r, 100);
    EXPECT_EQ(server.stop(), 0);
}

// A device that is not there yet (a USB adapter at boot): the start fails,
// saying on standard error and in the log which device and why; once the
// device is there, the next start (the service manager's) uses it.
TEST(Startup, ComPortThatDoesNotOpenFailsTheStart) {
    fbtest::TestNames names("nocom");  // no board: the link path names nothing
    const std::string reason = std::strerror(ENOENT);
    {
        fbtest::Server server;
        ASSERT_TRUE(server.start(names));
        ASSERT_NE(server.wait(), -1);
        EXPECT_EQ(server.exitCode(), 255);
        EXPECT_EQ(server.err().rfind("I/O Board init Failed: ", 0), 0u) << server.err();
        EXPECT_NE(server.err().find("\nCOM port 1 device " + names.boardLink + ": " + reason),
                  std::string::npos)
            << server.err();
        EXPECT_EQ(server.out().find("rk-board"), std::string::npos);
        EXPECT_NE(server.out().find("COM1 device = " + names.boardLink + "\n"), std::string::npos);
        EXPECT_NE(fbtest::readFile(names.logFile)
                      .find("COM port 1 (" + names.boardLink +
                            ") not opened, I/O board init failed (" + reason + ")"),
                  std::string::npos)
            << fbtest::readFile(names.logFile);
    }
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names));
    fbtest::Server server;
    ASSERT_TRUE(server.start(names));
    ASSERT_TRUE(server.waitReady());
    EXPECT_NE(server.out().find("rk-board ID=0C2A\n"), std::string::npos);
    EXPECT_EQ(server.stop(), 0);
}

TEST(Startup, RegionOfAKilledServerIsReusedAndCleared) {
    fbtest::TestNames names("killed");
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "0C2A"}));
    {
        fbtest::Server first;
        ASSERT_TRUE(first.start(names));
        ASSERT_TRUE(first.waitReady());
        first.signal(SIGKILL);
        first.wait();
    }
    ASSERT_TRUE(fbtest::regionExists(names.shmName));
    {
        fbtest::RegionMap left(names.shmName);
        ASSERT_TRUE(left.ok());
        // What clients of the dead server left behind.
        left->bitInReqAddr = 5;
        left->intOutImage[0] = 0x77;
        left->interval = 7;
        std::memset(left->tailArea + 1000, 0xAB, 1000);
    }
    ASSERT_EQ(board.command("set hr 32 0x0102"), "ok");
    fbtest::Server second;
    ASSERT_TRUE(second.start(names, {"-i", "0"}));
    ASSERT_TRUE(second.waitReady());
    fbtest::RegionMap region(names.shmName);
    const auto r = region.snapshot();
    expectFreshHeader(*r, 0);
    EXPECT_EQ(r->intOutImage[0], 0x01);
    EXPECT_EQ(r->intOutImage[1], 0x02);
    EXPECT_EQ(second.stop(), 0);
    EXPECT_FALSE(fbtest::regionExists(names.shmName));
}

// A client process maps the region by name, takes the shared mutex and
// signals the condition, as the client protocol has it, while the server runs.
TEST(Startup, ClientProcessSeesWhatTheServerWrote) {
    fbtest::TestNames names("client");
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "0C25"}));
    fbtest::Server server;
    ASSERT_TRUE(server.start(names));
    ASSERT_TRUE(server.waitReady());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int fd = shm_open(names.shmName.c_str(), O_RDWR, 0);
        if (fd < 0) _exit(10);
        auto *r = static_cast<ioShare_t *>(
            mmap(nullptr, sizeof(ioShare_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        if (r == MAP_FAILED) _exit(11);
        if (pthread_mutex_lock(&r->mutex) != 0) _exit(12);
        const bool right = r->boardId == 0x0C25 && r->bitInBase == 32 && r->bitInCount == 8 &&
                           r->dwordInBase == 128 && r->interval == 100;
        pthread_cond_signal(&r->cond);
        pthread_mutex_unlock(&r->mutex);
        _exit(right ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace

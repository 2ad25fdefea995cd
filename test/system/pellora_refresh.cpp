// pellora's refresh cycle against rkboard-sim, seen from the board's trace
// and from a client using the library's region helpers.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "pellora_refresh_rig.h"
#include "pty_pair.h"

namespace {

using fbtest::Rig;
using fbtest::traceReaches;
using fbtest::transfers;
using fbtest::Transfers;

// The periodic reads of board 0C2A: coils, holding registers, discrete
// inputs, input registers, 32-bit inputs.
const Transfers kCycle0C2A = {"1 0 4", "3 32 2", "2 32 4", "4 0 4", "4 128 8"};

struct Sequence {
    const char *board;
    Transfers startUp;
    Transfers cycle;
};

class EveryCycle : public testing::TestWithParam<Sequence> {};

// Without requests a cycle makes only the periodic reads of the kinds the
// board has, in their order; the images hold what the board answered.
TEST_P(EveryCycle, PeriodicReadsInOrder) {
    const Sequence &s = GetParam();
    Rig rig(std::string("cycle") + s.board);
    rig.start({"--board", s.board}, {"-i", "20"}, s.startUp.size(),
              {"set di 0 1 0 1 1 0 0 0 0 1 1 0 0 0 0 0 1", "set ir 0 0x1234 0x5678"});
    ASSERT_TRUE(traceReaches(rig.board, s.startUp.size() + 3 * s.cycle.size()));
    EXPECT_EQ(rig.server.stop(), 0);  // the thread finishes the cycle it is in

    const Transfers all = transfers(rig.board);
    ASSERT_EQ((all.size() - s.startUp.size()) % s.cycle.size(), 0u);
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_EQ(all[i], i < s.startUp.size() ? s.startUp[i]
                                               : s.cycle[(i - s.startUp.size()) % s.cycle.size()])
            << "request " << i;
    const ioShare_t &r = *rig.share;
    if (r.bitInCount > 0 && r.bitInBase == 0) {
        EXPECT_EQ(r.bitInImage[0], 0x0D);
        EXPECT_EQ(r.bitInImage[1], r.bitInCount > 8 ? 0x83 : 0x00);
    }
    if (r.dwordInCount > 0 && r.dwordInBase == 0) {
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.dwordInImage), 4),
                  "\x12\x34\x56\x78");
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, EveryCycle,
                         testing::Values(Sequence{"0A14", {"3 482 2"}, {"2 0 16", "4 0 32"}},
                                         Sequence{"0A15", {"3 482 2", "1 0 16"}, {"1 0 16"}},
                                         Sequence{"0C24",
                                                  {"3 482 2", "1 0 4", "3 0 2"},
                                                  {"1 0 4", "3 0 2", "2 32 4", "4 128 8"}},
                                         Sequence{
                                             "0C2A", {"3 482 2", "1 0 4", "3 32 2"}, kCycle0C2A}),
                         [](const auto &info) { return std::string("Board") + info.param.board; });

// One request at a time on board 0C2A, the interval so long that only the
// client's signal starts a cycle.
TEST(Refresh, RequestsAndTheTransfersTheyCost) {
    Rig rig("requests");
    rig.start({"--board", "0C2A"}, {"-i", "60000"}, 3);
    ASSERT_EQ(rig.board.command("set di 40 1 0 1"), "ok");
    ASSERT_EQ(rig.board.command("set coil 8 1 1 0 1"), "ok");
    ASSERT_EQ(rig.board.command("set ir 10 0x1234 0xBEEF"), "ok");
    ASSERT_EQ(rig.board.command("set hr 40 0x0A0B 0x0C0D"), "ok");
    struct Case {
        const char *what;
        int kind;
        int32_t addr, count;
        Transfers own;  // before the cycle's periodic reads
        std::function<void()> prepare, check;
    } cases[] = {
        {"coil write inside the range",
         IOSHARE_BIT_OUT,
         1,
         2,
         {"15 0 4"},
         [&] {
             rig.put(IOSHARE_BIT_OUT, 0, {1, 0, 1, 1});
         },
         [&] { EXPECT_EQ(rig.board.command("get coil 0 4"), "coil 0: 1 0 1 1"); }},
        {"coil write past the range",
         IOSHARE_BIT_OUT,
         2,
         5,
         {"15 2 5", "15 0 4"},
         [&] {
             rig.put(IOSHARE_BIT_OUT, 0, {0, 1, 1, 0, 1, 1, 0});
         },
         [&] { EXPECT_EQ(rig.board.command("get coil 0 8"), "coil 0: 0 1 1 0 1 1 0 0"); }},
        {"register write inside the range",
         IOSHARE_INT_OUT,
         33,
         1,
         {"16 32 2"},
         [&] {
             rig.put(IOSHARE_INT_OUT, 32, {0x1111, 0x2222});
         },
         [&] { EXPECT_EQ(rig.board.command("get hr 32 2"), "hr 32: 4369 8738"); }},
        {"register write past the range",
         IOSHARE_INT_OUT,
         33,
         3,
         {"16 33 3", "16 32 2"},
         [&] {
             rig.put(IOSHARE_INT_OUT, 32, {1, 2, 3, 4});
         },
         [&] { EXPECT_EQ(rig.board.command("get hr 32 4"), "hr 32: 1 2 3 4"); }},
        {"register write past the range, refused by the board",
         IOSHARE_INT_OUT,
         34,
         2,
         {"16 34 2", "16 32 2"},
         [&] {
             ASSERT_EQ(rig.board.command("fault exception 4 fn=16 times=1"), "ok");
             rig.put(IOSHARE_INT_OUT, 32, {5, 6, 0x0708, 9});
         },
         [&] {
             EXPECT_EQ(rig.get(IOSHARE_INT_OUT, 34), 0x0708u);  // the image as the client left it
             EXPECT_EQ(rig.board.command("get hr 32 4"), "hr 32: 5 6 3 4");
         }},
        {"discrete input read past the range",
         IOSHARE_BIT_IN,
         40,
         3,
         {"2 40 3"},
         nullptr,
         [&] {
             EXPECT_EQ(rig.share->bitInImage[1] & 0x07, 0x05);  // point 40 - 32 = 8 on
         }},
        {"coil read-back past the range",
         IOSHARE_BIT_OUT_RB,
         8,
         4,
         {"1 8 4"},
         nullptr,
         [&] { EXPECT_EQ(rig.share->bitOutRbImage[1] & 0x0F, 0x0B); }},
        {"input register read past the range",
         IOSHARE_INT_IN,
         10,
         2,
         {"4 10 2"},
         nullptr,
         [&] {
             EXPECT_EQ(rig.get(IOSHARE_INT_IN, 10), 0x1234u);
             EXPECT_EQ(rig.get(IOSHARE_INT_IN, 11), 0xBEEFu);
         }},
        {"holding register read-back past the range",
         IOSHARE_INT_OUT_RB,
         40,
         2,
         {"3 40 2"},
         nullptr,
         [&] { EXPECT_EQ(rig.get(IOSHARE_INT_OUT_RB, 41), 0x0C0Du); }},
        {"count 0 at the base", IOSHARE_BIT_IN, 32, 0, {}, nullptr, nullptr},
        {"read inside the range", IOSHARE_INT_IN, 0, 4, {}, nullptr, nullptr},
        {"read starting below the base",
         IOSHARE_BIT_IN,
         20,
         20,
         {},
         nullptr,
         [&] {
             EXPECT_NE(
                 fbtest::readFile(rig.names.logFile)
                     .find(" : bit input request at 20 count 20 outside the image, refused\n"),
                 std::string::npos);
         }},
        {"write past the image's room",
         IOSHARE_INT_OUT,
         32 + 1000,
         30,
         {"16 32 2"},
         nullptr,
         [&] {
             EXPECT_NE(fbtest::readFile(rig.names.logFile)
                           .find("int output request at 1032 count 30 outside the image, refused"),
                       std::string::npos);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.prepare) c.prepare();
        const size_t before = rig.board.trace().size();
        ASSERT_EQ(ioshare_request(rig.share, c.kind, c.addr, c.count, 5000), 0);
        Transfers expected = c.own;
        expected.insert(expected.end(), kCycle0C2A.begin(), kCycle0C2A.end());
        ASSERT_TRUE(traceReaches(rig.board, before + expected.size()));
        EXPECT_EQ(transfers(rig.board, before), expected);
        const auto r = ioshare_lock(rig.share);
        EXPECT_EQ(r, 0);
        for (int32_t addr :
             {rig.share->bitInReqAddr, rig.share->bitOutReqAddr, rig.share->bitOutRbReqAddr,
              rig.share->intInReqAddr, rig.share->intOutReqAddr, rig.share->intOutRbReqAddr})
            EXPECT_EQ(addr, -1);
        ioshare_unlock(rig.share);
        if (c.check) c.check();
    }
    EXPECT_EQ(rig.server.stop(), 0);
}

// A signal ends a long wait at once, also one sent while the thread was busy
// with the board and not waiting at all.
TEST(Refresh, SignalStartsTheCycleAtOnce) {
    Rig rig("signal");
    rig.start({"--board", "0C2A", "--fault", "silent fn=4"}, {"-i", "10000"}, 3);
    const long long t0 = fbtest::monoMs();
    ASSERT_EQ(ioshare_request(rig.share, IOSHARE_BIT_OUT, 0, 1, 1000), 0)
        << "served within a second with an interval of ten";
    EXPECT_LT(fbtest::monoMs() - t0, 1000);
    // The cycle now waits 2 x 50 ms for input registers that never come.
    ASSERT_TRUE(traceReaches(rig.board, 3 + 1 + 3));
    ASSERT_EQ(ioshare_request(rig.share, IOSHARE_INT_OUT, 32, 1, 5000), 0);
    EXPECT_EQ(rig.server.stop(), 0);
}

// Interval 0, from the command line or set by a client: cycles follow back
// to back (300 cycles would take half a minute at the default 100 ms).
TEST(Refresh, IntervalZeroCyclesBackToBack) {
    for (const char *interval : {"0", "60000"}) {
        SCOPED_TRACE(interval);
        Rig rig("zero");
        rig.start({"--board", "0A15"}, {"-i", interval}, 2);
        if (std::string(interval) != "0") {
            ioshare_lock(rig.share);
            rig.share->interval = 0;
            ioshare_signal(rig.share);
            ioshare_unlock(rig.share);
        }
        EXPECT_TRUE(traceReaches(rig.board, 2 + 300, 20000)) << rig.board.trace().size();
        EXPECT_EQ(rig.server.stop(), 0);
    }
}

// A failed on-demand read is logged with its address, result and errno's
// text; the image and the slot go on as if nothing had been asked.
TEST(Refresh, FailedReadsAreLogged) {
    Rig rig("failed");
    rig.start({"--board", "0C2A"}, {"-i", "60000"}, 3);
    struct Case {
        const char *fault;
        int kind;
        int32_t addr;
        const char *line;
    } cases[] = {
        {"fault silent fn=2 times=1", IOSHARE_BIT_IN, 40, "bit input faile at 40 retVal = 15"},
        {"fault exception 2 fn=1 times=1", IOSHARE_BIT_OUT_RB, 8,
         "bit output readback faile at 8 retVal = 13"},
        {"fault silent fn=4 times=1", IOSHARE_INT_IN, 40, "int input faile at 40 retVal = 15"},
        {"fault badcrc fn=3 times=1", IOSHARE_INT_OUT_RB, 40,
         "int output readback faile at 40 retVal = 12"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        ASSERT_EQ(rig.board.command(c.fault), "ok");
        ASSERT_EQ(rig.board.command("set di 40 1"), "ok");
        ASSERT_EQ(rig.board.command("set coil 8 1"), "ok");
        ASSERT_EQ(rig.board.command("set ir 40 7"), "ok");
        ASSERT_EQ(rig.board.command("set hr 40 7"), "ok");
        const size_t before = rig.board.trace().size();
        ASSERT_EQ(ioshare_request(rig.share, c.kind, c.addr, 1, 5000), 0);
        ASSERT_TRUE(traceReaches(rig.board, before + 6));  // the cycle has ended
        EXPECT_EQ(rig.get(c.kind, c.addr), 0u);
        // One line, and no system error for a line that merely failed.
        const std::regex entry(std::string(R"(\[ERROR \] [A-Z][a-z]{2} .{20} : )") + c.line +
                               R"(\n(?! ))");
        EXPECT_TRUE(std::regex_search(fbtest::readFile(rig.names.logFile), entry))
            << fbtest::readFile(rig.names.logFile);
    }
    EXPECT_EQ(rig.server.stop(), 0);
}

// The board stops answering and comes back: the server keeps cycling, the
// images keep their contents meanwhile, then follow the board again. A stop
// while it is silent is still orderly.
TEST(Refresh, BoardFallingSilentAndComingBack) {
    Rig rig("silent");
    rig.start({"--board", "0C2A"}, {"-i", "20"}, 3);
    auto inputs = [&] {
        ioshare_lock(rig.share);
        const int v = rig.share->bitInImage[0];
        ioshare_unlock(rig.share);
        return v;
    };
    auto silentSeen = [&](size_t n) {
        return fbtest::waitUntil([&] {
            size_t silent = 0;
            for (const auto &t : rig.board.trace()) silent += t.outcome == "silent";
            return silent >= n;
        });
    };
    ASSERT_EQ(rig.board.command("set di 32 1 1 0 0"), "ok");
    ASSERT_TRUE(fbtest::waitUntil([&] { return inputs() == 0x03; }));
    ASSERT_EQ(rig.board.command("fault silent"), "ok");
    ASSERT_EQ(rig.board.command("set di 32 0 0 1 1"), "ok");
    ASSERT_TRUE(silentSeen(10));  // two whole cycles without an answer
    EXPECT_EQ(inputs(), 0x03);
    EXPECT_TRUE(rig.server.running());
    ASSERT_EQ(rig.board.command("fault off"), "ok");
    EXPECT_TRUE(fbtest::waitUntil([&] { return inputs() == 0x0C; }));

    ASSERT_EQ(rig.board.command("fault silent"), "ok");
    ASSERT_TRUE(silentSeen(11));
    EXPECT_EQ(rig.server.stop(), 0);
    EXPECT_FALSE(fbtest::regionExists(rig.names.shmName));
}

// zuqio, the client tool, on a running server: what it prints and its exit
// status, command by command.
TEST(ClientTool, CommandsOnARunningServer) {
    Rig rig("zuqio");
    rig.start({"--board", "0C2A"}, {}, 3, {"set di 33 1", "set ir 100 7 8 9", "set ir 128 1 2"});
    ASSERT_TRUE(fbtest::waitUntil([&] { return rig.get(IOSHARE_DWORD_IN, 128) == 65538; }));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;  // the start of standard output
    } cases[] = {
        {{"show"}, 0, "board 0C2A, refresh interval 100 ms\ndi      first 32   count 4   di 32: "},
        {{"get", "dword", "128"}, 0, "dword 128: 65538\n"},
        {{"set", "coil", "2", "1"}, 0, "coil 2 set to 1, on the board\n"},
        {{"set", "hr", "40", "0x1234"}, 0, "hr 40 set to 4660, on the board\n"},
        {{"set", "coil", "2", "2"}, 2, ""},  // refused: coil 2 stays 1
        {{"read", "ir", "100", "3"}, 0, "ir 100: 7 8 9\n"},
        {{"read", "ir", "-5", "2"}, 1, ""},  // below the image: refused, nothing shown
        {{"interval", "250"}, 0, "refresh interval 250 ms\n"},
        {{"get", "di", "31"}, 2, ""},
        {{"set", "di", "33", "1"}, 2, ""},
        {{"read", "hr", "40", "1"}, 2, ""},
        {{"frob"}, 2, ""},
        {{"-n", "/fbtest-zuqio-none", "show"}, 1, ""},
        {{"status"}, 0, "board 0C2A\nstate cycling\n"},
        {{"-n", "/fbtest-zuqio-none", "status"}, 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        fbtest::Process tool;
        ASSERT_TRUE(tool.start(fbtest::programPath("zuqio"), {c.args},
                               {"PELLORA_SHM_NAME=" + rig.names.shmName}));
        ASSERT_NE(tool.wait(), -1);
        EXPECT_EQ(tool.exitCode(), c.status) << tool.err();
        EXPECT_EQ(tool.out().substr(0, c.out.size()), c.out);
        EXPECT_EQ(tool.err().empty(), c.status == 0);
    }
    // The screen for the cabinet: points and health redrawn until q.
    fbtest::Process watch;
    ASSERT_TRUE(watch.start(fbtest::programPath("zuqio"), {"watch", "50"},
                            {"PELLORA_SHM_NAME=" + rig.names.shmName}));
    EXPECT_TRUE(watch.waitForOutput("board 0C2A, refresh interval"));
    EXPECT_TRUE(watch.waitForOutput("state cycling"));
    watch.writeStdin("q");
    ASSERT_NE(watch.wait(), -1);
    EXPECT_EQ(watch.exitCode(), 0);

    EXPECT_EQ(rig.board.command("get coil 2"), "coil 2: 1");
    EXPECT_EQ(rig.board.command("get hr 40"), "hr 40: 4660");
    EXPECT_EQ(rig.get(IOSHARE_BIT_IN, 33), 1u);
    EXPECT_EQ(rig.share->interval, 250);
    EXPECT_EQ(rig.server.stop(), 0);
}

}  // namespace

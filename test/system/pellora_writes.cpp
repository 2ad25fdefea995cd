// A write that is acknowledged is on the board: zuqgate, zuqio and
// ioshare_request_confirmed against a board that refuses, drops, restarts,
// and a server killed and started again under a waiting write.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "zuqgate_rig.h"

namespace {

using gatetest::Conn;
using gatetest::GateRig;
using gatetest::hex;
using gatetest::show;

// zuqio on the rig's region: its exit code; standard error in *err.
int zuqio(GateRig &g, const std::vector<std::string> &args, std::string *err = nullptr) {
    fbtest::Process tool;
    if (!tool.start(fbtest::programPath("zuqio"), args, {"PELLORA_SHM_NAME=" + g.names.shmName}))
        return -1;
    tool.wait();
    if (err != nullptr) *err = tool.err();
    return tool.exitCode();
}

uint32_t point(GateRig &g, int kind, int32_t addr) {
    uint32_t v = 0;
    ioshare_lock(g.share);
    ioshare_get(g.share, kind, addr, &v);
    ioshare_unlock(g.share);
    return v;
}

ioshareHealth health(const std::string &shmName) {
    ioshareHealth h{};
    const ioshareHealth *mapped = ioshare_health_open(shmName.c_str());
    if (mapped != nullptr) ioshare_health_read(mapped, &h);
    if (mapped != nullptr) ioshare_health_close(mapped);
    return h;
}

TEST(WriteTruth, RefusedDroppedQueuedAndRestartingBoard) {
    GateRig g("writetruth");
    ASSERT_TRUE(g.gate.start(g.names));
    Conn c(g.gate.port);
    ASSERT_TRUE(g.ready(c));

    // Refused by the board: an exception, not an answer, and the image as
    // it was, so that the next write of the kind does not send it after all.
    ASSERT_EQ(g.board.command("fault exception 4 fn=16"), "ok");
    EXPECT_EQ(show(c.ask(hex("01 06 00 20 00 2A"))), "01 86 04");
    std::string err;
    EXPECT_EQ(zuqio(g, {"set", "hr", "33", "7"}, &err), 1);
    EXPECT_NE(err.find("refused"), std::string::npos) << err;
    EXPECT_EQ(point(g, IOSHARE_INT_OUT, 32), 0x0102u);
    EXPECT_EQ(point(g, IOSHARE_INT_OUT, 33), 0x0304u);

    // Dropped once: sent again, answered once the board has it, and a read
    // right after the answer shows it.
    ASSERT_EQ(g.board.command("fault silent fn=16 times=1"), "ok");
    EXPECT_EQ(show(c.ask(hex("01 06 00 20 00 2A"))), "01 06 00 20 00 2A");
    EXPECT_EQ(show(c.ask(hex("01 03 00 20 00 02"))), "01 03 04 00 2A 03 04");
    EXPECT_EQ(g.board.command("get hr 32 2"), "hr 32: 42 772");

    // Two writes beyond the mirrored range while the board takes none: both
    // wait, and both reach it in the order posted.
    ASSERT_EQ(g.board.command("fault silent fn=16"), "ok");
    const uint32_t taken = health(g.names.shmName).slots[IOSHARE_INT_OUT].taken;
    fbtest::Process first, second;
    const std::vector<std::string> env = {"PELLORA_SHM_NAME=" + g.names.shmName};
    ASSERT_TRUE(first.start(fbtest::programPath("zuqio"), {"set", "hr", "100", "111"}, env));
    ASSERT_TRUE(fbtest::waitUntil(
        [&] { return health(g.names.shmName).slots[IOSHARE_INT_OUT].taken == taken + 1; }));
    ASSERT_TRUE(second.start(fbtest::programPath("zuqio"), {"set", "hr", "101", "222"}, env));
    ASSERT_TRUE(fbtest::waitUntil(
        [&] { return health(g.names.shmName).slots[IOSHARE_INT_OUT].taken == taken + 2; }));
    ASSERT_EQ(g.board.command("fault off"), "ok");
    first.wait();
    second.wait();
    EXPECT_EQ(first.out(), "hr 100 set to 111, on the board\n") << first.err();
    EXPECT_EQ(second.out(), "hr 101 set to 222, on the board\n") << second.err();
    EXPECT_EQ(g.board.command("get hr 100 2"), "hr 100: 111 222");

    // The waiting writes are bounded: the one past the room is refused and
    // logged, and each one kept still reaches the board, in order.
    ASSERT_EQ(g.board.command("fault silent fn=16"), "ok");
    const auto post = [&](int32_t addr, bool confirmed) {
        ioshare_lock(g.share);
        ioshare_put(g.share, IOSHARE_INT_OUT, addr, static_cast<uint32_t>(addr) * 3);
        ioshare_unlock(g.share);
        return confirmed ? ioshare_request_confirmed(g.share, IOSHARE_INT_OUT, addr, 1, 10000)
                         : ioshare_request(g.share, IOSHARE_INT_OUT, addr, 1, 10000);
    };
    for (int32_t addr = 200; addr < 232; ++addr) ASSERT_EQ(post(addr, false), 0) << addr;
    EXPECT_EQ(post(232, true), IOSHARE_ERR_REFUSED);
    ASSERT_EQ(g.board.command("fault off"), "ok");
    std::string kept = "hr 200:";
    for (int32_t addr = 200; addr < 232; ++addr) kept += " " + std::to_string(addr * 3);
    EXPECT_TRUE(fbtest::waitUntil([&] { return g.board.command("get hr 200 32") == kept; }));
    EXPECT_EQ(g.board.command("get hr 232"), "hr 232: 0");
    EXPECT_NE(fbtest::readFile(g.names.logFile).find("32 writes beyond the range wait already"),
              std::string::npos);

    // The board restarts with its outputs off, after a silence or at once:
    // the server brings them back by itself.
    EXPECT_EQ(show(c.ask(hex("01 05 00 02 FF 00"))), "01 05 00 02 FF 00");
    for (const char *restart : {"restart 300", "restart 0"}) {
        SCOPED_TRACE(restart);
        ASSERT_EQ(g.board.command(restart), "ok");
        EXPECT_TRUE(fbtest::waitUntil([&] {
            return g.board.command("get coil 2") == "coil 2: 1" &&
                   g.board.command("get hr 32") == "hr 32: 42";
        }));
    }
    EXPECT_GE(health(g.names.shmName).outputResends, 2u);
    const std::string log = fbtest::readFile(g.names.logFile);
    EXPECT_NE(log.find("board answers again: output images sent again"), std::string::npos);
    EXPECT_NE(log.find("differ from what clients set: sent again"), std::string::npos);
}

// A server killed under a write the board has not taken, and started again:
// the write is lost with it, and neither zuqgate nor the helper says it is done.
TEST(WriteTruth, ServerRestartUnderAWaitingWriteIsNeverDone) {
    GateRig g("writerestart");
    ASSERT_TRUE(g.gate.start(g.names, {"-t", "20000"}));  // the restart ends the wait, not time
    Conn c(g.gate.port);
    ASSERT_TRUE(g.ready(c));
    ASSERT_EQ(g.board.command("fault silent fn=15"), "ok");
    const uint32_t taken = health(g.names.shmName).slots[IOSHARE_BIT_OUT].taken;
    ASSERT_TRUE(c.sendRequest(hex("01 05 00 01 FF 00"), 9));
    int helper = 0;
    std::thread client([&] {
        ioshare_lock(g.share);
        ioshare_put(g.share, IOSHARE_BIT_OUT, 0, 0);
        ioshare_unlock(g.share);
        helper = ioshare_request_confirmed(g.share, IOSHARE_BIT_OUT, 0, 1, 20000);
    });
    EXPECT_TRUE(fbtest::waitUntil(
        [&] { return health(g.names.shmName).slots[IOSHARE_BIT_OUT].taken == taken + 2; }));
    g.server->signal(SIGKILL);
    g.server->wait();
    fbtest::Server again;
    ASSERT_TRUE(again.start(g.names, {"-i", "20"}));
    ASSERT_TRUE(again.waitReady());
    EXPECT_EQ(show(c.answer(nullptr, 10000)), "01 85 0B");
    client.join();
    EXPECT_EQ(helper, IOSHARE_ERR_RESTARTED);
    EXPECT_EQ(again.stop(), 0);
}

}  // namespace

// pellora against a board of the tests' own that misbehaves on the line:
// answers late, from another slave or with another function, misses the
// first identifier read, drops a write, and goes away and comes back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ioshare.h"
#include "scripted_board.h"
#include "server_harness.h"

namespace {

using fbtest::BoardRequest;
using fbtest::Misbehave;
using fbtest::ScriptedBoard;

// Board 0C23: coils 0-3 read back as 0x06, discrete inputs 32-35 as 0x0D,
// input register 0 as 0x1234. Its coil and discrete-input reads follow each
// other in every cycle.
constexpr unsigned char kCoils = 0x06, kInputs = 0x0D;

void preset(ScriptedBoard &board) {
    for (unsigned i = 0; i < 4; ++i) {
        board.setCoil(i, (kCoils >> i & 1) != 0);
        board.setInput(32 + i, (kInputs >> i & 1) != 0);
    }
    board.setInputRegister(0, 0x1234);
}

int countOf(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

struct WrongAnswer {
    const char *name;
    unsigned function;  // every third request of it misbehaves
    Misbehave misbehave;
};

void PrintTo(const WrongAnswer &w, std::ostream *os) {
    *os << w.name;
}

class WrongAnswers : public testing::TestWithParam<WrongAnswer> {};

// Thousands of samples of the images while every third answer of one read
// is not the board's answer to it: not one sample holds a value the board
// never had.
TEST_P(WrongAnswers, NeverReachTheImages) {
    const WrongAnswer w = GetParam();
    fbtest::TestNames names(std::string("wrong-") + w.name);
    ScriptedBoard board(names.boardLink, 0x0C23);
    preset(board);
    board.setRule([w](const BoardRequest &r) {
        return r.function == w.function && r.index % 3 == 2 ? w.misbehave : Misbehave::none();
    });
    fbtest::Server server;
    ASSERT_TRUE(server.start(names, {"-i", "5"}));
    ASSERT_TRUE(server.waitReady()) << server.err();
    ioShare_t *share = ioshare_open(names.shmName.c_str());
    ASSERT_NE(share, nullptr);
    ASSERT_EQ(share->boardId, 0x0C23);

    int samples = 0, wrong = 0;
    std::string firstWrong;
    const auto misbehaved = [&] {
        int n = 0;
        for (const BoardRequest &r : board.requests()) n += r.outcome != "ok";
        return n;
    };
    ASSERT_TRUE(fbtest::waitUntil(
        [&] {
            ioshare_lock(share);
            const unsigned char in = share->bitInImage[0], rb = share->bitOutRbImage[0];
            const unsigned reg = share->intInImage[0] << 8 | share->intInImage[1];
            ioshare_unlock(share);
            ++samples;
            // Zero until the first read of the kind has come in.
            if ((in != 0 && in != kInputs) || (rb != 0 && rb != kCoils) ||
                (reg != 0 && reg != 0x1234)) {
                if (wrong++ == 0)
                    firstWrong = "inputs " + std::to_string(in) + " coils " + std::to_string(rb) +
                                 " register " + std::to_string(reg);
            }
            return samples >= 3000 && misbehaved() >= 20;
        },
        60000))
        << samples << " samples, " << misbehaved() << " answers misbehaved";
    EXPECT_EQ(wrong, 0) << "of " << samples << " samples; first: " << firstWrong;
    ioshare_lock(share);
    EXPECT_EQ(share->bitInImage[0], kInputs);
    EXPECT_EQ(share->bitOutRbImage[0], kCoils);
    ioshare_unlock(share);
    ioshare_close(share);
    EXPECT_EQ(server.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, WrongAnswers,
    testing::Values(WrongAnswer{"LateCoilReadBack", 1, Misbehave::late(60)},
                    WrongAnswer{"InputsFromAnotherSlave", 2, Misbehave::otherSlave()},
                    WrongAnswer{"InputsWithAnotherFunction", 2, Misbehave::otherFunction()}),
    [](const auto &info) { return std::string(info.param.name); });

// The board misses the very first request (the identifier read) and the
// first coil write: it is found all the same, and the write reaches it
// within two cycles, the failure and the recovery logged once each.
TEST(BoardFaults, MissedIdentifierReadAndDroppedWrite) {
    fbtest::TestNames names("dropped");
    ScriptedBoard board(names.boardLink, 0x0C23);
    preset(board);
    board.setRule([](const BoardRequest &r) {
        const bool first = r.index == 0 && (r.function == 3 || r.function == 15);
        return first ? Misbehave::silent() : Misbehave::none();
    });
    fbtest::Server server;
    ASSERT_TRUE(server.start(names, {"-i", "20"}));
    ASSERT_TRUE(server.waitReady()) << server.err();
    EXPECT_NE(server.out().find("rk-board ID=0C23\n"), std::string::npos) << server.out();
    ioShare_t *share = ioshare_open(names.shmName.c_str());
    ASSERT_NE(share, nullptr);
    EXPECT_EQ(share->boardId, 0x0C23);

    ioshare_lock(share);
    EXPECT_EQ(ioshare_put(share, IOSHARE_BIT_OUT, 0, 1), 0);  // coils 0-3: 0x07
    ioshare_unlock(share);
    ASSERT_EQ(ioshare_request(share, IOSHARE_BIT_OUT, 0, 4, 5000), 0);
    ASSERT_TRUE(fbtest::waitUntil([&] { return board.coil(0); }, 10000))
        << "the write never reached the board";

    // Coil reads (one per cycle) between the dropped write and the one taken.
    const auto reqs = board.requests();
    int cyclesBetween = -1;
    for (const BoardRequest &r : reqs) {
        if (r.function == 15 && r.outcome == "silent")
            cyclesBetween = 0;
        else if (r.function == 15 && cyclesBetween >= 0)
            break;
        else if (r.function == 1 && cyclesBetween >= 0)
            ++cyclesBetween;
    }
    EXPECT_GE(cyclesBetween, 0) << "the first write was not dropped";
    EXPECT_LE(cyclesBetween, 2);
    EXPECT_TRUE(board.coil(1) && board.coil(2) && !board.coil(3))
        << "the rest of the image went too";
    ASSERT_TRUE(fbtest::waitUntil(
        [&] { return countOf(fbtest::readFile(names.logFile), "taken by the board again") == 1; }));
    // A few more cycles: nothing more is logged about it.
    const size_t seen = board.requests().size();
    ASSERT_TRUE(fbtest::waitUntil([&] { return board.requests().size() >= seen + 20; }));
    const std::string log = fbtest::readFile(names.logFile);
    EXPECT_EQ(countOf(log, "bit output write at 0 failed"), 1) << log;
    EXPECT_EQ(countOf(log, "taken by the board again"), 1) << log;
    ioshare_close(share);
    EXPECT_EQ(server.stop(), 0);
}

// A board that answers coil writes but keeps its own coils (forced on it):
// the write is done as far as the board is concerned, the coils are sent
// once more, then left as the board has them, logged once and flagged.
TEST(BoardFaults, BoardKeepingItsOwnOutputsIsNotFoughtEveryCycle) {
    fbtest::TestNames names("kept");
    ScriptedBoard board(names.boardLink, 0x0C23);
    preset(board);
    board.setRule([](const BoardRequest &r) {
        return r.function == 15 ? Misbehave::keepOutputs() : Misbehave::none();
    });
    fbtest::Server server;
    ASSERT_TRUE(server.start(names, {"-i", "20"}));
    ASSERT_TRUE(server.waitReady()) << server.err();
    ioShare_t *share = ioshare_open(names.shmName.c_str());
    ASSERT_NE(share, nullptr);
    ioshare_lock(share);
    ioshare_put(share, IOSHARE_BIT_OUT, 0, 1);
    ioshare_unlock(share);
    EXPECT_EQ(ioshare_request_confirmed(share, IOSHARE_BIT_OUT, 0, 1, 5000), IOSHARE_DONE);
    const ioshareHealth *mapped = ioshare_health_open(names.shmName.c_str());
    ASSERT_NE(mapped, nullptr);
    ioshareHealth h{};
    EXPECT_TRUE(fbtest::waitUntil([&] {
        return ioshare_health_read(mapped, &h) == 0 &&
               h.outputsOverridden == 1u << IOSHARE_BIT_OUT;
    }));
    const size_t seen = board.requests().size();
    ASSERT_TRUE(fbtest::waitUntil([&] { return board.requests().size() >= seen + 40; }));
    int writes = 0;
    for (const BoardRequest &r : board.requests()) writes += r.function == 15;
    EXPECT_EQ(writes, 2);  // the client's, and one more
    const std::string log = fbtest::readFile(names.logFile);
    EXPECT_EQ(countOf(log, "bit outputs read back from the board differ"), 1) << log;
    EXPECT_EQ(countOf(log, "the board keeps its bit outputs"), 1) << log;
    ioshare_health_close(mapped);
    ioshare_close(share);
    EXPECT_EQ(server.stop(), 0);
}

// The board's device goes away (its pseudo-terminal closed, the path left
// dangling) and a new one comes back under the same path: the server logs
// the first failed read, opens the port again, and the inputs are current
// again. Meanwhile the health beside the region shows their age growing.
TEST(BoardFaults, VanishedDeviceComesBackOnTheSamePath) {
    fbtest::TestNames names("vanish");
    ScriptedBoard board(names.boardLink, 0x0C23);
    preset(board);
    fbtest::Server server;
    ASSERT_TRUE(server.start(names, {"-i", "20"}));
    ASSERT_TRUE(server.waitReady()) << server.err();
    ioShare_t *share = ioshare_open(names.shmName.c_str());
    ASSERT_NE(share, nullptr);
    const ioshareHealth *health = ioshare_health_open(names.shmName.c_str());
    ASSERT_NE(health, nullptr);
    ioshareHealth h{};
    const auto inputs = [&] {
        ioshare_lock(share);
        const unsigned char v = share->bitInImage[0];
        ioshare_unlock(share);
        return v;
    };
    ASSERT_TRUE(fbtest::waitUntil([&] { return inputs() == kInputs; }));
    ASSERT_TRUE(fbtest::waitUntil([&] {
        return ioshare_health_read(health, &h) == 0 && h.state == IOSHARE_STATE_CYCLING &&
               ioshare_inputs_age_ms(&h) >= 0;
    }));

    board.unplug();
    ASSERT_TRUE(fbtest::waitUntil(
        [&] {
            return ioshare_health_read(health, &h) == 0 && ioshare_inputs_age_ms(&h) > 500 &&
                   h.state != IOSHARE_STATE_CYCLING;
        },
        15000))
        << "state " << h.state << " inputs " << h.inputsMs << " age " << ioshare_inputs_age_ms(&h)
        << " sequence " << h.sequence << "\n"
        << fbtest::readFile(names.logFile);
    EXPECT_GT(h.failedReads, 0u);
    EXPECT_NE(std::string(h.lastError), "");
    board.setInput(33, true);  // the inputs change while the device is away
    board.plugIn();
    ASSERT_TRUE(fbtest::waitUntil([&] { return inputs() == (kInputs | 0x02); }, 30000))
        << fbtest::readFile(names.logFile);
    ASSERT_EQ(ioshare_health_read(health, &h), 0);
    EXPECT_GE(h.portReopens, 1u);
    EXPECT_GE(ioshare_inputs_age_ms(&h), 0);
    EXPECT_LT(ioshare_inputs_age_ms(&h), 5000);
    const std::string log = fbtest::readFile(names.logFile);
    EXPECT_EQ(countOf(log, "periodic read of discrete inputs at 32 failed"), 1) << log;
    EXPECT_EQ(countOf(log, "periodic read of discrete inputs at 32 answered again"), 1) << log;
    EXPECT_NE(log.find("opened again"), std::string::npos) << log;
    ioshare_health_close(health);
    ioshare_close(share);
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace

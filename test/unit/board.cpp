// Board discovery (compiled in here) against a scripted board on a
// pseudo-terminal: the requests it makes and what it does with odd answers.
#include "../../server/board.cpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "../../server/region.cpp"
#include "crc16.h"
#include "pty_pair.h"

int runningFlag = 1;  // the server's run flag, which the region module reads

namespace {

using Bytes = std::vector<unsigned char>;

Bytes withCrc(Bytes frame) {
    const uint16_t crc = getCRC16(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<unsigned char>(crc >> 8));
    frame.push_back(static_cast<unsigned char>(crc & 0xFF));
    return frame;
}

// A board that answers each 8-byte request by `script` (an empty answer is
// silence) and keeps what it was asked.
class ScriptedBoard {
  public:
    explicit ScriptedBoard(std::function<Bytes(const Bytes &)> script)
        : script_(std::move(script)), thread_([this] { serve(); }) {
        Set_Com_Device(1, pty_.path.c_str());
    }
    ~ScriptedBoard() {
        stop_ = true;
        thread_.join();
        Set_Com_Device(1, nullptr);
    }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> g(lock_);
        return requests_;
    }

  private:
    void serve() {
        while (!stop_) {
            Bytes req = fbtest::readFor(pty_.master, 8, 20);
            if (req.size() < 8) continue;
            {
                std::lock_guard<std::mutex> g(lock_);
                requests_.push_back(req);
            }
            const Bytes answer = script_(req);
            if (!answer.empty()) fbtest::writeAll(pty_.master, answer);
        }
    }

    fbtest::PtyPair pty_;
    std::function<Bytes(const Bytes &)> script_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Bytes> requests_;
    std::thread thread_;
};

struct Region {
    std::unique_ptr<ioShare_t> share = std::make_unique<ioShare_t>();
    Region() { pthread_mutex_init(&share->mutex, nullptr); }
    ioShare_t *operator->() { return share.get(); }
    bool unlocked() {
        if (pthread_mutex_trylock(&share->mutex) != 0) return false;
        pthread_mutex_unlock(&share->mutex);
        return true;
    }
};

Bytes request(unsigned function, unsigned address, unsigned count) {
    return withCrc({1, static_cast<unsigned char>(function),
                    static_cast<unsigned char>(address >> 8), static_cast<unsigned char>(address),
                    static_cast<unsigned char>(count >> 8), static_cast<unsigned char>(count)});
}

int discover(Region &r, std::string *printed) {
    testing::internal::CaptureStdout();
    const int rc = initIOBoard(r.share.get());
    std::fflush(stdout);
    *printed = testing::internal::GetCapturedStdout();
    return rc;
}

TEST(Board, IdentifierTakesTheHighByteOf482AndTheLowByteOf483) {
    // Register 482 = 0x11C3, 483 = 0x7E0A: only 0x11 and 0x0A carry the identifier.
    ScriptedBoard board([](const Bytes &req) {
        if (req[1] == 3) return withCrc({1, 3, 4, 0x11, 0xC3, 0x7E, 0x0A});
        return withCrc({1, 1, 1, 0xA5});  // the eight coils
    });
    Region r;
    std::string out;
    ASSERT_EQ(discover(r, &out), 0);
    EXPECT_EQ(out, "rk-board ID=0A11\n");
    EXPECT_EQ(r->boardId, 0x0A11);
    EXPECT_EQ(r->bitOutImage[0], 0xA5);
    EXPECT_EQ(board.requests(), (std::vector<Bytes>{request(3, 482, 2), request(1, 0, 8)}));
    EXPECT_TRUE(r.unlocked());
    EXPECT_EQ(finiIOBoard(), 0);
}

TEST(Board, FailedOutputReadLeavesItsImageAndTheStartGoesOn) {
    ScriptedBoard board([](const Bytes &req) {
        if (req[1] == 3 && req[3] == 0xE2) return withCrc({1, 3, 4, 0x2A, 0, 0, 0x0C});
        if (req[1] == 1) return withCrc({1, 0x81, 4});  // coils refused
        return withCrc({1, 3, 4, 0x12, 0x34, 0x56, 0x78});
    });
    Region r;
    std::string out;
    ASSERT_EQ(discover(r, &out), 0);
    EXPECT_EQ(r->boardId, 0x0C2A);
    EXPECT_EQ(r->bitOutImage[0], 0);
    EXPECT_EQ(r->intOutImage[0], 0x12);
    EXPECT_EQ(r->intOutImage[3], 0x78);
    EXPECT_EQ(board.requests(),
              (std::vector<Bytes>{request(3, 482, 2), request(1, 0, 4), request(3, 32, 2)}));
    finiIOBoard();
}

// Whatever goes wrong with the identifier read, the board counts as missing.
TEST(Board, AnyFailureOfTheIdentifierReadIsNoBoard) {
    const std::vector<std::pair<const char *, Bytes>> answers = {
        {"silence", {}},
        {"exception", withCrc({1, 0x83, 2})},
        {"bad CRC",
         [] {
             Bytes b = withCrc({1, 3, 4, 0x11, 0, 0, 0x0A});
             b.back() ^= 0xFF;
             return b;
         }()},
    };
    for (const auto &a : answers) {
        SCOPED_TRACE(a.first);
        ScriptedBoard board([&](const Bytes &) { return a.second; });
        Region r;
        r->bitInCount = 77;  // stale layout: reset
        std::string out;
        ASSERT_EQ(discover(r, &out), 0);
        EXPECT_EQ(out, "rk-board ID=0000\n");
        EXPECT_EQ(r->boardId, IOSHARE_NO_BOARD);
        EXPECT_EQ(r->bitInCount, 0);
        EXPECT_EQ(r->auxSize, 2048);
        EXPECT_EQ(r->tailSlots, 256);
        EXPECT_EQ(r->tailSlotSize, 8192);
        EXPECT_EQ(board.requests().size(), 4u) << "asked a few times before giving up";
        EXPECT_TRUE(r.unlocked());
        finiIOBoard();
    }
}

// A board that misses the first identifier reads is still found at start-up;
// one that powers up later is found by the refresh thread's rediscovery,
// which keeps the clients' request slots.
TEST(Board, MissedIdentifierReadsAreAskedAgain) {
    std::atomic<int> idReads{0};
    std::atomic<int> missFirst{3};
    ScriptedBoard board([&](const Bytes &req) {
        if (req[1] != 3) return withCrc({1, 1, 1, 0x05});
        if (idReads++ < missFirst) return Bytes{};
        return withCrc({1, 3, 4, 0x11, 0, 0, 0x0A});
    });
    Region r;
    std::string out;
    ASSERT_EQ(discover(r, &out), 0);
    EXPECT_EQ(out, "rk-board ID=0A11\n");
    EXPECT_EQ(r->boardId, 0x0A11);
    EXPECT_EQ(r->bitOutImage[0], 0x05);
    finiIOBoard();

    // Powered up after the start: nothing at start-up, found when asked again.
    idReads = 0;
    missFirst = 4;
    Region later;
    ASSERT_EQ(discover(later, &out), 0);
    EXPECT_EQ(later->boardId, IOSHARE_NO_BOARD);
    later->bitOutReqAddr = 3;
    EXPECT_EQ(rediscoverIOBoard(later.share.get()), 0x0A11u);
    EXPECT_EQ(later->boardId, 0x0A11);
    EXPECT_EQ(later->bitOutCount, 8);
    EXPECT_EQ(later->bitOutImage[0], 0x05);
    EXPECT_EQ(later->bitOutReqAddr, 3) << "a client's posted request stays";
    EXPECT_TRUE(later.unlocked());
    finiIOBoard();
}

TEST(Board, IdentifierOutsideTheTableIsRefusedAndThePortClosed) {
    ScriptedBoard board([](const Bytes &) { return withCrc({1, 3, 4, 0x34, 0, 0, 0x12}); });
    Region r;
    r->bitOutCount = 9;
    std::string out;
    EXPECT_EQ(discover(r, &out), -3);
    EXPECT_EQ(out, "rk-board ID=1234\n");
    EXPECT_EQ(r->boardId, 0x1234);
    EXPECT_EQ(r->bitOutCount, 0);
    EXPECT_EQ(r->bitInReqAddr, -1);
    EXPECT_TRUE(r.unlocked());
    EXPECT_EQ(_fd[0], 0);  // COM port 1 handed back
    EXPECT_EQ(board.requests().size(), 1u);
}

TEST(Board, PortThatDoesNotOpenLeavesTheRegionAlone) {
    Set_Com_Device(1, "/nonexistent/board");
    Region r;
    r->boardId = 0x4242;
    std::string out;
    EXPECT_EQ(discover(r, &out), -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(r->boardId, 0x4242);
    EXPECT_TRUE(r.unlocked());
    Set_Com_Device(1, nullptr);
}

}  // namespace

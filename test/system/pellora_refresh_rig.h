// The refresh tests' rig: rkboard-sim, pellora on it, and the region as a
// client maps it with the library's helpers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ioshare.h"
#include "server_harness.h"

namespace fbtest {

using Transfers = std::vector<std::string>;

// "FUNCTION ADDRESS COUNT" of every request the board saw from entry `from` on.
inline Transfers transfers(const BoardSim &board, size_t from = 0) {
    Transfers out;
    const auto trace = board.trace();
    for (size_t i = from; i < trace.size(); ++i)
        out.push_back(std::to_string(trace[i].function) + " " + std::to_string(trace[i].address) +
                      " " + std::to_string(trace[i].count));
    return out;
}

inline bool traceReaches(const BoardSim &board, size_t n, int timeoutMs = 10000) {
    return fbtest::waitUntil([&] { return board.trace().size() >= n; }, timeoutMs);
}

// A board and a server on it, and the region as a client maps it.
struct Rig {
    explicit Rig(const std::string &tag) : names(tag) {}
    // Starts both, the board given `commands` first; `startReads` is the
    // number of board requests of start-up.
    void start(const std::vector<std::string> &boardArgs, const std::vector<std::string> &args,
               size_t startReads, const std::vector<std::string> &commands = {}) {
        ASSERT_TRUE(board.start(names, boardArgs));
        for (const std::string &c : commands) ASSERT_EQ(board.command(c), "ok") << c;
        ASSERT_TRUE(server.start(names, args));
        ASSERT_TRUE(server.waitReady()) << server.err();
        ASSERT_TRUE(traceReaches(board, startReads));
        share = ioshare_open(names.shmName.c_str());
        ASSERT_NE(share, nullptr);
    }
    ~Rig() { ioshare_close(share); }
    uint32_t get(int kind, int32_t addr) {
        uint32_t v = 0xDEAD;
        ioshare_lock(share);
        EXPECT_EQ(ioshare_get(share, kind, addr, &v), 0) << kind << " " << addr;
        ioshare_unlock(share);
        return v;
    }
    void put(int kind, int32_t addr, const std::vector<uint32_t> &values) {
        ioshare_lock(share);
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_EQ(ioshare_put(share, kind, addr + static_cast<int32_t>(i), values[i]), 0);
        ioshare_unlock(share);
    }
    TestNames names;
    BoardSim board;
    Server server;
    ioShare_t *share = nullptr;
};

}  // namespace fbtest

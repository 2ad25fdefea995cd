// zuqgate in front of pellora and rkboard-sim: the board's address map read
// and written over Modbus/TCP, the exception rules with the malformed
// requests that have broken other slaves, clients that try to hold the
// gateway up, a hostile region layout and a server restart.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cstring>
#include <memory>
#include <thread>

#include "malformed_requests.h"
#include "zuqgate_rig.h"

namespace {

using gatetest::Bytes;
using gatetest::Conn;
using gatetest::GateRig;
using gatetest::hex;
using gatetest::show;

// Stops the server (SIGSTOP) at a moment it does not hold the region's
// mutex, so that the region stays usable while it is stopped.
bool stopServerOutsideTheMutex(GateRig &rig) {
    return fbtest::waitUntil([&] {
        rig.server->signal(SIGSTOP);
        fbtest::waitUntil([&] {
            const std::string stat =
                fbtest::readFile("/proc/" + std::to_string(rig.server->pid()) + "/stat");
            const auto close = stat.rfind(')');
            return close != std::string::npos && stat.compare(close + 2, 1, "T") == 0;
        });
        if (pthread_mutex_trylock(&rig.share->mutex) == 0) {
            pthread_mutex_unlock(&rig.share->mutex);
            return true;
        }
        rig.server->signal(SIGCONT);
        return false;
    });
}

struct Exchange {
    const char *what;
    const char *request;          // whole frame (MBAP included) as sent
    const char *answer;           // answer body; "closed": the gateway hangs up
    const char *board = nullptr;  // rkboard-sim "get" command and its reply after a write
    const char *boardSays = nullptr;
};

// Each case on a connection of its own; after it the gateway still answers
// a good request (on the same connection unless it was closed).
const Exchange kExchanges[] = {
    {"discrete inputs", "00 01 00 00 00 06 01 02 00 20 00 04", "01 02 01 0D"},
    {"coils read back", "00 01 00 00 00 06 01 01 00 00 00 04", "01 01 01 09"},
    {"input registers", "00 01 00 00 00 06 01 04 00 00 00 04", "01 04 08 12 34 56 78 9A BC DE F0"},
    {"32-bit inputs", "00 01 00 00 00 06 07 04 00 80 00 02", "07 04 04 AA AA BB BB"},
    {"holding registers", "00 01 00 00 00 06 01 03 00 20 00 02", "01 03 04 01 02 03 04"},
    {"write one coil", "00 01 00 00 00 06 01 05 00 01 FF 00", "01 05 00 01 FF 00", "get coil 0 4",
     "coil 0: 1 1 0 1"},
    {"write coils", "00 01 00 00 00 08 01 0F 00 00 00 04 01 06", "01 0F 00 00 00 04",
     "get coil 0 4", "coil 0: 0 1 1 0"},
    {"write one register", "00 01 00 00 00 06 01 06 00 21 BE EF", "01 06 00 21 BE EF",
     "get hr 32 2", "hr 32: 258 48879"},
    {"write registers", "00 01 00 00 00 0B 01 10 00 20 00 02 04 00 07 00 08", "01 10 00 20 00 02",
     "get hr 32 2", "hr 32: 7 8"},
    // Outside the mirrored ranges.
    {"below the base", "00 01 00 00 00 06 01 02 00 1F 00 02", "01 82 02"},
    {"past the end", "00 01 00 00 00 06 01 02 00 23 00 02", "01 82 02"},
    {"registers leaving the range", "00 01 00 00 00 06 01 04 00 03 00 02", "01 84 02"},
    {"coil outside", "00 01 00 00 00 06 01 05 00 04 FF 00", "01 85 02"},
    {"register below", "00 01 00 00 00 06 01 06 00 1F 00 01", "01 86 02"},
    // The malformed requests of the well-known slave faults are those every
    // register-map slave answers alike (malformed_requests.h, run below).
    {"length too short for a request", "00 01 00 00 00 01 01", "closed"},
    {"noise", "47 45 54 20 2F 20 48 54 54 50 2F 31 2E 31 0D 0A", "closed"},
};

TEST(Zuqgate, ReadsWritesAndExceptionsOfTheBoardsAddressMap) {
    GateRig g("gatemap");
    ASSERT_TRUE(g.gate.start(g.names));
    Conn first(g.gate.port);
    ASSERT_TRUE(g.ready(first));
    for (const Exchange &e : kExchanges) {
        SCOPED_TRACE(e.what);
        Conn c(g.gate.port);
        ASSERT_TRUE(c.sendRaw(hex(e.request)));
        if (std::string(e.answer) == "closed") {
            EXPECT_TRUE(c.closedByPeer());
        } else {
            EXPECT_EQ(show(c.answer()), e.answer);
            // The connection is still in step: the next request is answered.
            EXPECT_EQ(show(c.ask(hex("01 03 00 20 00 01"))).substr(0, 8), "01 03 02");
        }
        if (e.board != nullptr) {
            EXPECT_TRUE(fbtest::waitUntil([&] { return g.board.command(e.board) == e.boardSays; }))
                << g.board.command(e.board);
        }
    }
    // The same answers as the library's register-map servers, in step.
    for (const fbtest::MalformedRequest &m : fbtest::malformedRequests()) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(show(first.ask(m.request)), show(m.answer));
    }
    EXPECT_EQ(g.board.command("get hr 32 2"), "hr 32: 7 8") << "a malformed write was made";
    EXPECT_EQ(show(first.ask(hex("01 02 00 20 00 04"))), "01 02 01 0D");
}

// Over IPv6 too, and only the unit asked for with -u.
TEST(Zuqgate, Ipv6AndUnitFilter) {
    GateRig g("gatev6");
    ASSERT_TRUE(g.gate.start(g.names, {"-u", "9"}, "::1"));
    Conn c(g.gate.port, true);
    ASSERT_GE(c.fd, 0);
    EXPECT_TRUE(fbtest::waitUntil(
        [&] { return show(c.ask(hex("09 04 00 00 00 01"))) == "09 04 02 12 34"; }));
    // Another unit gets no answer; the next request for ours is answered.
    ASSERT_TRUE(c.sendRequest(hex("01 04 00 00 00 01"), 500));
    EXPECT_EQ(show(c.ask(hex("09 04 00 01 00 01"))), "09 04 02 56 78");
}

// Eight clients write at once, each a coil or a register of its own: every
// write reaches the board in a transfer of its own (none replaced another in
// the slot) and the board ends with every value.
TEST(Zuqgate, ConcurrentWritesAreQueuedAndNoneIsLost) {
    GateRig g("gatequeue", 60000);  // only the writes start cycles
    ASSERT_TRUE(g.gate.start(g.names));
    ASSERT_EQ(g.board.command("set coil 0 0 0 0 0"), "ok");
    const size_t before = g.board.trace().size();
    std::vector<std::thread> writers;
    std::vector<std::string> answers(8);
    for (int k = 0; k < 8; ++k)
        writers.emplace_back([&, k] {
            Conn c(g.gate.port);
            const std::string body =
                k < 4 ? "01 05 00 0" + std::to_string(k) + " FF 00"
                      : "01 06 00 2" + std::to_string(k % 2) + " 00 0" + std::to_string(k);
            answers[static_cast<size_t>(k)] = show(c.ask(hex(body)));
        });
    for (auto &t : writers) t.join();
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(answers[static_cast<size_t>(k)].substr(3, 2), k < 4 ? "05" : "06")
            << k << ": " << answers[static_cast<size_t>(k)];
    EXPECT_TRUE(
        fbtest::waitUntil([&] { return g.board.command("get coil 0 4") == "coil 0: 1 1 1 1"; }));
    const std::string hr = g.board.command("get hr 32 2");
    EXPECT_TRUE(hr == "hr 32: 6 7" || hr == "hr 32: 4 5" || hr == "hr 32: 4 7" ||
                hr == "hr 32: 6 5")
        << hr;
    int coilWrites = 0, registerWrites = 0;
    const auto trace = g.board.trace();
    for (size_t i = before; i < trace.size(); ++i) {
        coilWrites += trace[i].function == 15;
        registerWrites += trace[i].function == 16;
    }
    EXPECT_EQ(coilWrites, 4);
    EXPECT_EQ(registerWrites, 4);
}

// A server that does not take the write (stopped): the write gets exception
// 0x0B after the time-out and is taken back, so that it never reaches the
// board; reads go on meanwhile; the next write after the server resumes goes
// through, and shows at once.
TEST(Zuqgate, WriteNotTakenInTimeGetsTargetFailed) {
    GateRig g("gatetimeout");
    ASSERT_TRUE(g.gate.start(g.names, {"-t", "300"}));
    Conn c(g.gate.port), reader(g.gate.port);
    ASSERT_TRUE(g.ready(c));
    ASSERT_TRUE(stopServerOutsideTheMutex(g));
    ASSERT_TRUE(c.sendRequest(hex("01 05 00 02 FF 00"), 77));
    EXPECT_EQ(show(reader.ask(hex("01 04 00 00 00 01"))), "01 04 02 12 34");
    EXPECT_EQ(show(c.answer()), "01 85 0B");
    g.server->signal(SIGCONT);
    EXPECT_EQ(show(c.ask(hex("01 05 00 03 FF 00"))), "01 05 00 03 FF 00");
    EXPECT_EQ(g.board.command("get coil 0 4"), "coil 0: 1 0 0 1");
    EXPECT_EQ(show(c.ask(hex("01 01 00 00 00 04"))), "01 01 01 09");
}

// A connection beyond MAXCLIENTS takes the place of the one heard from
// longest ago; a silent client, one that sends its request a byte now and
// then, one that never reads its answers and one killed mid-frame delay no
// one, and the places they leave are taken again.
TEST(Zuqgate, ClientsCannotHoldTheGatewayUp) {
    GateRig g("gateclients");
    ASSERT_TRUE(g.gate.start(g.names));
    std::vector<std::unique_ptr<Conn>> conns;
    for (int i = 0; i < 200; ++i) conns.push_back(std::make_unique<Conn>(g.gate.port));
    // None has said a word: each newcomer closed the oldest, and the last 32 stay.
    for (int i = 0; i < 200; ++i) {
        SCOPED_TRACE(i);
        Conn &c = *conns[static_cast<size_t>(i)];
        if (i < 168) {
            EXPECT_TRUE(c.closedByPeer());
        } else {
            EXPECT_TRUE(fbtest::waitUntil(
                [&] { return show(c.ask(hex("01 04 00 00 00 01"))) == "01 04 02 12 34"; }));
        }
    }
    conns.erase(conns.begin(), conns.begin() + 168);
    Conn &ref = *conns[31];  // asked all along
    // A new connection that the gateway serves: asked once, until one is.
    const auto served = [&] {
        std::unique_ptr<Conn> c;
        fbtest::waitUntil([&] {
            c = std::make_unique<Conn>(g.gate.port, false);
            return show(c->ask(hex("01 04 00 00 00 01"))) == "01 04 02 12 34";
        });
        return c;
    };
    // The flooding client's receive buffer is left to the kernel: one set by
    // hand is locked, and once the unread answers' overhead fills it, the
    // segments carrying the acknowledgements of its own requests are dropped
    // and its sending stalls for good.
    auto silent = served(), drip = served(), flood = served();
    // A child, served, that is killed with half a frame sent.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // gone with the test, should an assertion end it
        Conn k(g.gate.port);
        const bool ok = show(k.ask(hex("01 04 00 00 00 01"))) == "01 04 02 12 34";
        k.sendRaw(hex("00 01 00 00 00 06 01"));
        if (write(ready[1], ok ? "y" : "n", 1) < 0) _exit(1);
        pause();
        _exit(0);
    }
    char x = 0;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(x, 'y');
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // The four newcomers took the places of the four heard from longest ago.
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(conns[static_cast<size_t>(i)]->closedByPeer()) << i;
    // A header announcing 254 bytes, then a byte now and then (each a sign of
    // life): the request has a few seconds from its first byte, then the
    // connection goes, while the others are answered all along.
    ASSERT_TRUE(drip->sendRaw(hex("00 01 00 00 00 FE 01 10 00 00 00 7B F6")));
    bool dripClosed = false;
    for (const long long until = fbtest::monoMs() + 20000;
         !dripClosed && fbtest::monoMs() < until;) {
        ASSERT_EQ(show(ref.ask(hex("01 04 00 00 00 01"))), "01 04 02 12 34");
        dripClosed = drip->closedByPeer(500) || !drip->sendRaw(hex("00"));
    }
    EXPECT_TRUE(dripClosed);
    // The flooding client sends requests and never reads: it is dropped once
    // its answers fill what the gateway keeps for it, while the others are
    // answered all along. What reached it is whole answers, in order.
    Bytes request = hex("00 01 00 00 00 06 01 04 00 00 00 04");
    fcntl(flood->fd, F_SETFL, O_NONBLOCK);
    bool dropped = false;
    long sent = 0;
    const long long end = fbtest::monoMs() + 60000;
    for (int n = 0; !dropped && fbtest::monoMs() < end; ++n) {
        const ssize_t r = ::send(flood->fd, request.data(), request.size(), MSG_NOSIGNAL);
        if (r < 0 && errno != EAGAIN) dropped = true;
        if (r < 0 && errno == EAGAIN) {
            pollfd p{flood->fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
        sent += r == static_cast<ssize_t>(request.size());
        if (n % 500 == 0) {
            ASSERT_EQ(show(ref.ask(hex("01 04 00 00 00 01"))), "01 04 02 12 34");
        }
    }
    EXPECT_TRUE(dropped);
    const Bytes got = fbtest::readFor(flood->fd, 1 << 22, 2000);
    const std::string answer = "00 01 00 00 00 0B 01 04 08 12 34 56 78 9A BC DE F0";
    for (size_t at = 0; at + 17 <= got.size(); at += 17)
        ASSERT_EQ(show(Bytes(got.begin() + static_cast<long>(at),
                             got.begin() + static_cast<long>(at) + 17)),
                  answer)
            << at / 17 << " of " << sent;
    EXPECT_GT(got.size(), 17u);
    // Three places free again (the child, the drip and the flood): new
    // connections are served there, and close no one.
    auto a = served(), b = served(), c = served();
    for (auto *k : {&a, &b, &c})
        EXPECT_EQ(show((*k)->ask(hex("01 04 00 01 00 01"))), "01 04 02 56 78");
    EXPECT_EQ(show(conns[4]->ask(hex("01 04 00 02 00 01"))), "01 04 02 9A BC");
    // All 32 places taken: the next one closes conns[5], asked only at the
    // start (`silent` came after it).
    Conn extra(g.gate.port);
    EXPECT_EQ(show(extra.ask(hex("01 04 00 01 00 01"))), "01 04 02 56 78");
    EXPECT_TRUE(conns[5]->closedByPeer());
    EXPECT_EQ(show(silent->ask(hex("01 04 00 02 00 01"))), "01 04 02 9A BC");
    EXPECT_EQ(show(conns[6]->ask(hex("01 04 00 02 00 01"))), "01 04 02 9A BC");
}

// Layout fields scribbled on by a hostile client: every range is clamped to
// its image, so the answers stay inside the images whatever the fields say.
TEST(Zuqgate, HostileLayoutNeverLeadsOutsideTheImages) {
    GateRig g("gatehostile");
    ASSERT_TRUE(g.gate.start(g.names));
    Conn c(g.gate.port);
    ASSERT_TRUE(g.ready(c));
    ASSERT_TRUE(stopServerOutsideTheMutex(g));  // keeps it from acting on the fields
    ioShare_t *s = g.share;
    ioshare_lock(s);
    const ioShare_t saved = *s;
    s->bitInBase = 0, s->bitInCount = 0x40000000;
    s->bitOutBase = -5, s->bitOutCount = 100;
    s->intInBase = 0x7FFFFFF0, s->intInCount = 0x7FFFFFFF;
    s->intOutBase = 0, s->intOutCount = 5000;
    s->dwordInBase = 60000, s->dwordInCount = 100000;
    ioshare_unlock(s);
    const struct {
        const char *request, *answer;
    } cases[] = {
        {"01 02 3F F8 00 08", "01 02 01 00"},  // the last 8 of 16384 bits
        {"01 02 3F F9 00 08", "01 82 02"},     // one past the image
        {"01 01 00 00 00 01", "01 81 02"},     // negative base: nothing mirrored
        {"01 05 00 00 FF 00", "01 85 02"},
        {"01 03 03 FF 00 01", "01 03 02 00 00"},  // register 1023
        {"01 03 03 FF 00 02", "01 83 02"},
        {"01 10 03 FF 00 02 04 00 01 00 02", "01 90 02"},
        {"01 04 00 00 00 01", "01 84 02"},        // input base beyond the addresses
        {"01 04 EA 60 00 01", "01 04 02 AA AA"},  // 32-bit inputs from 60000
        {"01 04 EE 5F 00 01", "01 04 02 00 00"},  // their register 1023
        {"01 04 EE 5F 00 02", "01 84 02"},
    };
    for (const auto &k : cases) EXPECT_EQ(show(c.ask(hex(k.request))), k.answer) << k.request;
    ioshare_lock(s);
    std::memcpy(&s->bitInBase, &saved.bitInBase, sizeof(int32_t) * 10);
    ioshare_unlock(s);
    g.server->signal(SIGCONT);
    EXPECT_EQ(show(c.ask(hex("01 04 00 00 00 01"))), "01 04 02 12 34");
}

// Started before the server, the gateway waits for the region; it follows a
// server restart (the region removed and made again) and serves the new one.
// SIGHUP (the session it was started from ending) does not end it.
TEST(Zuqgate, WaitsForTheRegionAndFollowsAServerRestart) {
    fbtest::TestNames names("gaterestart");
    gatetest::Gate gate;
    ASSERT_TRUE(gate.start(names));
    gate.signal(SIGHUP);
    Conn c(gate.port);
    EXPECT_EQ(show(c.ask(hex("01 04 00 00 00 01"))), "01 84 0B");  // no server yet
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "0C2A"}));
    ASSERT_EQ(board.command("set ir 0 0x1111"), "ok");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        fbtest::Server server;
        ASSERT_TRUE(server.start(names, {"-i", "20"}));
        ASSERT_TRUE(server.waitReady());
        EXPECT_TRUE(fbtest::waitUntil(
            [&] { return show(c.ask(hex("01 04 00 00 00 01"))) == "01 04 02 11 11"; }));
        EXPECT_EQ(show(c.ask(hex("01 06 00 20 00 2A"))), "01 06 00 20 00 2A");
        EXPECT_TRUE(fbtest::waitUntil([&] { return board.command("get hr 32") == "hr 32: 42"; }));
        ASSERT_EQ(board.command("set ir 0 0x2222"), "ok");
        ASSERT_EQ(board.command("set hr 32 0"), "ok");
        EXPECT_EQ(server.stop(), 0);
        EXPECT_TRUE(
            fbtest::waitUntil([&] { return show(c.ask(hex("01 04 00 00 00 01"))) == "01 84 0B"; }));
        ASSERT_EQ(board.command("set ir 0 0x1111"), "ok");
    }
    gate.signal(SIGTERM);
    ASSERT_NE(gate.wait(), -1);
    EXPECT_EQ(gate.exitCode(), 0);
}

}  // namespace

// A long run of pellora against rkboard-sim: faults injected on the line at
// run time, eight client processes posting requests, clients SIGKILLed at
// random moments and the server SIGKILLed and started again. At the end the
// server has leaked neither descriptors nor memory, every request either was
// carried to the board or was replaced in its slot (the board's trace counts
// the transfers), and the board holds the outputs last asked for.
//
// PELLORA_SOAK_SECONDS sets the length of the chaos (default 24 s, which
// qemu-arm keeps up with as well); PELLORA_SOAK_SEED replays a schedule of
// kills and faults (the timing of a run cannot be replayed).
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "exec_wrapper.h"
#include "pellora_soak_client.h"
#include "server_harness.h"

namespace {

using soak::Entry;
using soak::Incarnation;
using soak::kClients;
using soak::kKinds;
using soak::Ledger;
using soak::monoUs;

struct Settings {
    int seconds;
    uint64_t seed;
    bool emulator;
    int timeoutMs;  // of each request
};

Settings settings() {
    Settings s{};
    s.emulator = fbtest::underEmulator();
    s.seconds = 24;
    if (const char *v = std::getenv("PELLORA_SOAK_SECONDS"); v != nullptr && std::atoi(v) > 0)
        s.seconds = std::atoi(v);
    if (const char *v = std::getenv("PELLORA_SOAK_SEED"); v != nullptr && *v != '\0')
        s.seed = std::strtoull(v, nullptr, 0);
    else
        s.seed = (static_cast<uint64_t>(std::random_device{}()) << 32) | std::random_device{}();
    s.timeoutMs = s.emulator ? 60000 : 20000;
    return s;
}

int descriptorCount(pid_t pid) {
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

long residentKb(pid_t pid) {
    const std::string status = fbtest::readFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// Stops `pid` and waits until it has stopped: false when it ended instead,
// or did not stop in time (it is let go on then).
bool stopProcess(pid_t pid) {
    if (kill(pid, SIGSTOP) != 0) return false;
    siginfo_t info{};
    const bool seen = fbtest::waitUntil(
        [&] {
            info = siginfo_t{};
            return waitid(P_PID, static_cast<id_t>(pid), &info,
                          WSTOPPED | WEXITED | WNOHANG | WNOWAIT) == 0 &&
                   info.si_pid == pid;
        },
        10000);
    if (!seen) kill(pid, SIGCONT);
    return seen && info.si_code == CLD_STOPPED;
}

// Whether the stopped process `pid` holds the region's robust mutex or is
// in the middle of taking or giving it back: its id is in the lock word from
// the moment it takes the mutex until the moment it gives it back.
bool holdsMutex(const ioShare_t *share, pid_t pid) {
#ifdef __GLIBC__
    const int word = __atomic_load_n(&share->mutex.__data.__lock, __ATOMIC_ACQUIRE);
    return (word & FUTEX_TID_MASK) == pid || share->mutex.__data.__owner == pid;
#else
    return true;
#endif
}

// Whether anybody holds the condition variable's internal lock. A process
// killed while it holds it (inside pthread_cond_signal, or the server inside
// its wait) leaves it taken: the server releases it within a few seconds (a
// restarted one at once), so kills land there too on the host. Under the
// emulator they are still kept out of it.
bool condLockTaken(const ioShare_t *share) {
#ifdef __GLIBC__
    return (__atomic_load_n(&share->cond.__data.__g1_orig_size, __ATOMIC_ACQUIRE) & 3) != 0;
#else
    return true;
#endif
}

// SIGKILLs the server (under the emulator at a moment where that cannot
// wedge the condition).
bool killServer(pid_t pid, const ioShare_t *share, bool emulator) {
    return fbtest::waitUntil([&] {
        if (!stopProcess(pid)) return false;
        if (emulator && condLockTaken(share)) {
            kill(pid, SIGCONT);
            return false;
        }
        kill(pid, SIGKILL);
        return true;
    });
}

// The eight client ids, each run by one process at a time; a killed one is
// replaced at once by a new incarnation.
class Clients {
  public:
    Clients(Ledger *l, std::string shm, uint64_t seed) : l_(l), shm_(std::move(shm)), seed_(seed) {
        live_.fill(-1);
        last_.fill(-1);
    }
    ~Clients() {
        for (int id = 0; id < kClients; ++id)
            if (live_[id] >= 0) {
                const pid_t pid = inc(live_[id]).pid;
                kill(pid, SIGKILL);
                kill(pid, SIGCONT);
                waitpid(pid, nullptr, 0);
            }
    }
    Clients(const Clients &) = delete;
    Clients &operator=(const Clients &) = delete;

    Incarnation &inc(int index) const { return l_->incarnations()[index]; }
    int last(int id) const { return last_[id]; }

    bool spawn(int id) {
        const int index = l_->incarnationsUsed;
        if (index >= l_->incarnationCapacity) return false;
        Incarnation &me = inc(index);
        me = Incarnation{};
        me.id = id;
        me.generation = generation_[id]++;
        l_->incarnationsUsed = index + 1;
        const uint64_t seed = seed_ ^ (0x9E3779B97F4A7C15ull * static_cast<uint64_t>(index + 1));
        std::fflush(nullptr);  // or the child may write the parent's buffered output again
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            // A test that dies abruptly must not leave clients running.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(1);
            soak::Client(l_, index, seed).run(shm_.c_str());
        }
        me.pid = pid;
        live_[id] = last_[id] = index;
        lastResolved_[id] = -1;
        ++spawned;
        return true;
    }

    // Kills the live process of `id` and starts its successor; false when
    // the victim was spared and the kill is to be tried again: when it held
    // the condition's internal lock, under the emulator when it was busy with
    // the mutex (no robust mutexes there: a dead holder's mutex stays locked),
    // or when `wantHolder` asks for a victim inside the mutex.
    bool killOne(int id, const ioShare_t *share, bool emulator, bool wantHolder) {
        const Incarnation &me = inc(live_[id]);
        if (!stopProcess(me.pid)) return true;  // reap() tells why it ended
        const bool holding = holdsMutex(share, me.pid);
        const bool safe = !emulator || soak::loadShared(me.inLibrary) == 0;
        if (!safe || (wantHolder && !holding)) {
            kill(me.pid, SIGCONT);
            deferred += !safe;
            return false;
        }
        kill(me.pid, SIGKILL);
        waitpid(me.pid, nullptr, 0);
        ++killed;
        killedHolding += holding;
        live_[id] = -1;
        if (!spawn(id)) failures.push_back("cannot start client " + std::to_string(id));
        return true;
    }

    // Stops every client where it neither holds nor is taking the region's
    // mutex. Under the emulator a mutex held by a killed server is never
    // repaired (owner death is not reported there), so clients must not be
    // left waiting on it across a server kill.
    bool freezeAll(const ioShare_t *share, bool emulator, int timeoutMs) {
        for (int id = 0; id < kClients; ++id) {
            if (live_[id] < 0) continue;
            const Incarnation &me = inc(live_[id]);
            const bool frozen = fbtest::waitUntil(
                [&] {
                    if (!stopProcess(me.pid)) return false;
                    if (emulator ? soak::loadShared(me.inLibrary) == 0 : !holdsMutex(share, me.pid))
                        return true;
                    kill(me.pid, SIGCONT);
                    return false;
                },
                timeoutMs);
            if (!frozen) return false;
        }
        return true;
    }

    void thawAll() {
        for (int id = 0; id < kClients; ++id)
            if (live_[id] >= 0) {
                kill(inc(live_[id]).pid, SIGCONT);
                since_[id] = monoUs();
            }
    }

    // Collects processes that ended by themselves: during the chaos any end
    // is a failure, at the end only an exit with status 0 is right.
    void reap(bool endExpected) {
        for (int id = 0; id < kClients; ++id) {
            if (live_[id] < 0) continue;
            const Incarnation &me = inc(live_[id]);
            int status = 0;
            if (waitpid(me.pid, &status, WNOHANG) != me.pid) continue;
            live_[id] = -1;
            if (!endExpected || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
                failures.push_back("client " + std::to_string(id) + " generation " +
                                   std::to_string(me.generation) + " ended with status " +
                                   std::to_string(status) + ", failure code " +
                                   std::to_string(soak::loadShared(me.failure)));
        }
    }

    // A live client whose count of finished requests has not moved for
    // `stuckUs`; -1 when all move.
    int stuck(int64_t now, int64_t stuckUs) {
        for (int id = 0; id < kClients; ++id) {
            if (live_[id] < 0) continue;
            const int64_t r = soak::loadShared(inc(live_[id]).resolved);
            if (r != lastResolved_[id]) {
                lastResolved_[id] = r;
                since_[id] = now;
            } else if (now - since_[id] > stuckUs) {
                return id;
            }
        }
        return -1;
    }

    // What the mutex and each live client are doing, for a failure message.
    std::string status(const ioShare_t *share) const {
        std::string text;
#ifdef __GLIBC__
        text = "mutex word " + std::to_string(share->mutex.__data.__lock) + " owner " +
               std::to_string(share->mutex.__data.__owner) + ";";
#endif
        for (int id = 0; id < kClients; ++id) {
            if (live_[id] < 0) continue;
            const Incarnation &me = inc(live_[id]);
            const std::string proc = "/proc/" + std::to_string(me.pid);
            text += " client " + std::to_string(id) + " pid " + std::to_string(me.pid) + " in " +
                    fbtest::readFile(proc + "/wchan") + ", " +
                    std::to_string(soak::loadShared(me.resolved)) + " requests;";
        }
        return text;
    }

    bool allLive(int32_t Incarnation::*flag) const {
        for (int id = 0; id < kClients; ++id)
            if (live_[id] >= 0 && soak::loadShared(inc(live_[id]).*flag) == 0) return false;
        return true;
    }
    bool noneLive() const {
        return std::all_of(live_.begin(), live_.end(), [](int i) { return i < 0; });
    }

    int spawned = 0, killed = 0, killedHolding = 0, deferred = 0;
    std::vector<std::string> failures;

  private:
    Ledger *l_;
    std::string shm_;
    uint64_t seed_;
    std::array<int, kClients> live_{}, last_{}, generation_{};
    std::array<int64_t, kClients> lastResolved_{}, since_{};
};

struct Event {
    enum Type { KillClient, Fault, Restart } type;
    int64_t atMs;
    int client;
    bool holder;  // the kill waits for the victim to hold the mutex
    std::string fault;
};

std::string randomFault(std::mt19937_64 &rng) {
    static const char *const kModes[] = {"silent",   "late 10", "late 30",     "late 70",
                                         "late 150", "badcrc",  "exception 4", "exception 2"};
    static const char *const kFunctions[] = {"1", "2", "3", "4", "15", "16"};
    std::string f = kModes[rng() % std::size(kModes)];
    if (rng() % 3 == 0) f += std::string(" fn=") + kFunctions[rng() % std::size(kFunctions)];
    return f + " times=" + std::to_string(1 + rng() % 12);
}

std::vector<Event> schedule(uint64_t seed, int64_t soakMs, int restarts) {
    std::mt19937_64 rng(seed);
    std::vector<Event> events;
    for (int64_t t = 150 + rng() % 500; t < soakMs; t += 150 + rng() % 500)
        events.push_back(
            {Event::KillClient, t, static_cast<int>(rng() % kClients), rng() % 3 == 0, ""});
    for (int64_t t = 300 + rng() % 900; t < soakMs; t += 300 + rng() % 900)
        events.push_back({Event::Fault, t, -1, false, randomFault(rng)});
    for (int i = 1; i <= restarts; ++i)
        events.push_back({Event::Restart, soakMs * i / (restarts + 1), -1, false, ""});
    std::stable_sort(events.begin(), events.end(),
                     [](const Event &a, const Event &b) { return a.atMs < b.atMs; });
    return events;
}

// Turns faults off and waits until no late answer is still due: the board
// sends an answer whose moment has passed before it reads its next command,
// so a second command's reply comes after every pending answer has gone.
void quietBoard(fbtest::BoardSim &board) {
    ASSERT_EQ(board.command("fault off"), "ok");
    int64_t due = 0;
    for (const fbtest::TraceEntry &e : board.trace())
        if (e.outcome.rfind("late:", 0) == 0)
            due = std::max<int64_t>(due, e.micros + 1000LL * std::atoi(e.outcome.c_str() + 5));
    ASSERT_TRUE(fbtest::waitUntil([&] { return monoUs() > due; }, 70000));
    ASSERT_EQ(board.command("stats").rfind("served ", 0), 0u);
    ASSERT_EQ(board.command("stats").rfind("served ", 0), 0u);
}

size_t countOf(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

// One run of the server, from its start to its kill or its stop.
struct Life {
    int64_t startUs = 0;
    int fdBase = -1, fdMax = 0;
    long rssBase = -1, rssMax = 0;
    size_t failedReads = 0, takeovers = 0, refused = 0;

    // Resident memory counts from `warmUpUs` into the life; its baseline is
    // the highest figure of the second after that (sanitizer runtimes give
    // memory back now and then, so a single figure may be low).
    void sample(pid_t pid, int64_t warmUpUs) {
        const int fds = descriptorCount(pid);
        const long rss = residentKb(pid);
        if (fdBase < 0) fdBase = fds;
        fdMax = std::max(fdMax, fds);
        const int64_t age = monoUs() - startUs;
        if (age < warmUpUs) return;
        if (age < warmUpUs + 1000000) rssBase = std::max(rssBase, rss);
        rssMax = std::max(rssMax, rss);
    }
    // Per function and address: how often this life said a write failed
    // and would be sent again.
    std::map<std::pair<unsigned, unsigned>, int64_t> failedWriteRuns;
    void readLog(const std::string &log) {
        static const std::regex failed(
            "(bit|int) output write at ([0-9]+) failed retVal = [0-9]+, sent");
        for (auto it = std::sregex_iterator(log.begin(), log.end(), failed);
             it != std::sregex_iterator(); ++it)
            ++failedWriteRuns[{(*it)[1] == "bit" ? 15u : 16u,
                               static_cast<unsigned>(std::stoul((*it)[2]))}];
        failedReads = countOf(log, " faile at ");
        takeovers = countOf(log, "region mutex taken over");
        refused = countOf(log, "outside the image");
    }
};

// Server-down windows (from before the kill until the new server is ready):
// a request that overlaps one may or may not have been carried.
struct Windows {
    std::vector<std::pair<int64_t, int64_t>> spans;
    bool overlaps(int64_t from, int64_t to) const {
        for (const auto &w : spans)
            if (from <= w.second && to >= w.first) return true;
        return false;
    }
};

using Identity = std::tuple<unsigned, unsigned, unsigned>;  // function, address, count

std::string describe(const Entry &e) {
    return "function " + std::to_string(kKinds[e.kind].function) + " at " + std::to_string(e.addr) +
           " count " + std::to_string(e.count) + ", posted at " + std::to_string(e.postedUs) +
           " us";
}

// How the requests of one identity ended: taken outside any window (carried,
// unless replaced), uncertain (overlapping a window, or pending when its
// client was killed), and replaced (seen and overwritten by another post).
struct Tally {
    // A write the board did not take (no answer, a garbled or late one) is
    // sent again until it is, or until a newer request of its kind replaces
    // it: only its taken transfers count, and each failed one may stand for
    // a request replaced while pending.
    // A write right after a faulted exchange may have been taken by the
    // board while its answer was spoiled (a late answer of the exchange
    // before): the server then sends it again.
    int64_t taken = 0, uncertain = 0, replaced = 0, transfers = 0, failedWrites = 0, afterFault = 0;
};

struct Totals {
    int64_t posted = 0, taken = 0, replaced = 0, diedPending = 0, inWindow = 0, busy = 0,
            unseen = 0, failed = 0;
};

// Sorts the ledger by identity; requests that never reached the slot (busy),
// or failed, outside a window are failures.
std::map<Identity, Tally> tallyLedger(Ledger *l, const Windows &w, Totals *t,
                                      std::vector<std::string> *failures) {
    std::map<Identity, Tally> byIdentity;
    const int32_t used = std::min(l->entriesUsed, l->entryCapacity);
    for (int32_t i = 0; i < used; ++i) {
        const Entry &e = l->entries()[i];
        const soak::KindUse &k = kKinds[e.kind];
        Tally &tally = byIdentity[Identity(k.function, e.addr, e.count)];
        const bool window =
            w.overlaps(e.postedUs, e.state == soak::Pending ? INT64_MAX : e.resolvedUs);
        switch (e.state) {
            case soak::Replacement:
                // Inside a window the replaced request was itself uncertain.
                if (!window) ++tally.replaced;
                ++t->replaced;
                break;
            case soak::Pending:
                ++t->posted, ++t->diedPending, ++tally.uncertain;
                break;
            case soak::Taken:
                ++t->posted, ++t->taken;
                ++(window ? tally.uncertain : tally.taken);
                t->inWindow += window;
                break;
            case soak::Unseen:
                ++t->posted, ++t->unseen, ++tally.uncertain;
                if (!window) failures->push_back("request not taken in time: " + describe(e));
                break;
            case soak::Busy:
                ++t->busy;
                if (!window) failures->push_back("slot busy until the time-out: " + describe(e));
                break;
            case soak::Failed:
                ++t->failed;
                failures->push_back("request failed: " + describe(e));
                break;
            default:
                break;  // allocated, then killed before it was written
        }
    }
    return byIdentity;
}

}  // namespace

TEST(Soak, FaultsKillsAndRestarts) {
    const Settings s = settings();
    const std::string seedText = "PELLORA_SOAK_SEED=" + std::to_string(s.seed);
    SCOPED_TRACE(seedText);
    std::printf("soak: %d s, %s\n", s.seconds, seedText.c_str());
    std::mt19937_64 rng(s.seed);

    fbtest::TestNames names("soak");
    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "0C2A"}));
    const size_t mapBytes = Ledger::bytes(s.seconds * 8 + 64, s.seconds * 10000 + 20000);
    void *map = mmap(nullptr, mapBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    std::unique_ptr<void, std::function<void(void *)>> unmap(map,
                                                             [=](void *p) { munmap(p, mapBytes); });
    Ledger *l = new (map) Ledger{};
    l->timeoutMs = s.timeoutMs;
    l->incarnationCapacity = s.seconds * 8 + 64;
    l->entryCapacity = s.seconds * 10000 + 20000;
    std::string di = "set di 32", ir = "set ir 0";
    for (uint8_t &b : l->inputBits) di += " " + std::to_string(b = rng() & 1);
    for (uint16_t &r : l->inputRegisters) ir += " " + std::to_string(r = rng() & 0xFFFF);
    ASSERT_EQ(board.command(di), "ok");
    ASSERT_EQ(board.command(ir), "ok");

    const std::vector<std::string> serverArgs = {"-i", "50", "-s", "1000000"};
    const int startMs = s.emulator ? 60000 : 20000;
    auto server = std::make_unique<fbtest::Server>();
    ASSERT_TRUE(server->start(names, serverArgs));
    ASSERT_TRUE(server->waitReady(startMs)) << server->err();
    ioShare_t *share = ioshare_open(names.shmName.c_str());
    ASSERT_NE(share, nullptr);
    std::unique_ptr<ioShare_t, int (*)(ioShare_t *)> unshare(share, ioshare_close);
    ASSERT_EQ(ioshare_lock(share), 0);
    const int32_t layout[] = {share->bitInBase,   share->bitInCount, share->bitOutBase,
                              share->bitOutCount, share->intInBase,  share->intInCount,
                              share->intOutBase,  share->intOutCount};
    ioshare_unlock(share);
    ASSERT_EQ(std::vector<int32_t>(std::begin(layout), std::end(layout)),
              (std::vector<int32_t>{32, 4, 0, 4, 0, 4, 32, 2}));

    const int64_t warmUpUs = s.emulator ? 2000000 : 1000000;
    std::vector<Life> lives(1);
    lives.back().startUs = monoUs();
    Windows windows;
    Clients clients(l, names.shmName, s.seed);
    for (int id = 0; id < kClients; ++id) ASSERT_TRUE(clients.spawn(id));

    // The chaos phase.
    const int64_t soakMs = s.seconds * 1000LL;
    const std::vector<Event> events = schedule(s.seed, soakMs, std::max(1, s.seconds / 10));
    size_t next = 0, faults = 0;
    int attempts = 0;
    const int64_t start = monoUs(), stuckUs = (s.timeoutMs + 15000) * 1000LL;
    int64_t lastSample = 0;
    while (monoUs() - start < soakMs * 1000 && clients.failures.empty()) {
        clients.reap(false);
        while (next < events.size() && events[next].atMs * 1000 <= monoUs() - start) {
            const Event &e = events[next];
            if (e.type == Event::KillClient) {
                // Every third kill natively waits for a moment inside the lock.
                const bool holder = !s.emulator && e.holder && ++attempts < 1000;
                if (!clients.killOne(e.client, share, s.emulator, holder)) break;
            } else if (e.type == Event::Fault) {
                ASSERT_EQ(board.command("fault " + e.fault), "ok") << e.fault;
                ++faults;
            } else {
                // The server: SIGKILL, then a fresh start on the region it
                // left while the clients go on using it. Under the emulator
                // they are held before the kill, so that none is left
                // waiting on a mutex the dead server held.
                const int64_t downFrom = monoUs();
                const int freezeMs = s.timeoutMs + 10000;
                if (s.emulator) {
                    ASSERT_TRUE(clients.freezeAll(share, true, freezeMs));
                }
                ASSERT_TRUE(killServer(server->pid(), share, s.emulator));
                ASSERT_NE(server->wait(), -1);
                ASSERT_EQ(server->termSignal(), SIGKILL) << server->err();
                lives.back().readLog(fbtest::readFile(names.logFile));
                quietBoard(board);
                server = std::make_unique<fbtest::Server>();
                ASSERT_TRUE(server->start(names, serverArgs));
                ASSERT_TRUE(server->waitReady(startMs)) << server->err();
                clients.thawAll();
                windows.spans.emplace_back(downFrom, monoUs());
                lives.emplace_back().startUs = monoUs();
            }
            ++next;
            attempts = 0;
        }
        const int64_t now = monoUs();
        if (now - lastSample >= 100000) {
            lives.back().sample(server->pid(), warmUpUs);
            lastSample = now;
        }
        const int stuck = clients.stuck(now, stuckUs);
        ASSERT_EQ(stuck, -1) << "client " << stuck << " made no progress; " << clients.status(share)
                             << "; slots " << share->bitInReqAddr << " " << share->bitOutReqAddr
                             << " " << share->bitOutRbReqAddr << " " << share->intInReqAddr << " "
                             << share->intOutReqAddr << " " << share->intOutRbReqAddr;
        ASSERT_TRUE(server->running()) << server->err();
        usleep(2000);
    }
    ASSERT_EQ(clients.failures, std::vector<std::string>{});

    // Every live client finishes its request in hand, the line falls quiet,
    // then each one posts its last outputs and checks two reads.
    soak::storeShared(l->phase, static_cast<int32_t>(soak::Quiesce));
    ASSERT_TRUE(fbtest::waitUntil(
        [&] {
            clients.reap(false);
            return clients.allLive(&Incarnation::quiesced) || !clients.failures.empty();
        },
        s.timeoutMs + 20000))
        << clients.status(share);
    ASSERT_EQ(clients.failures, std::vector<std::string>{});
    quietBoard(board);
    soak::storeShared(l->phase, static_cast<int32_t>(soak::Settle));
    ASSERT_TRUE(fbtest::waitUntil(
        [&] {
            clients.reap(true);
            return clients.noneLive();
        },
        s.timeoutMs + 20000));
    ASSERT_EQ(clients.failures, std::vector<std::string>{});

    std::string coils = "coil 0:", registers = "hr 32:";
    for (int id = 0; id < kClients; ++id) {
        const Incarnation &last = clients.inc(clients.last(id));
        ASSERT_EQ(last.settled, 1) << "client " << id;
        coils += " " + std::to_string(last.finalCoil);
        registers += " " + std::to_string(last.finalRegister);
    }
    // The full-range writes follow the last requests' hand-back.
    EXPECT_TRUE(fbtest::waitUntil([&] {
        return board.command("get coil 0 8") == coils && board.command("get hr 32 8") == registers;
    })) << board.command("get coil 0 8")
        << " / " << board.command("get hr 32 8") << ", wanted " << coils << " / " << registers;

    lives.back().sample(server->pid(), warmUpUs);
    EXPECT_EQ(server->stop(), 0) << server->err();  // leaks fail the exit under ASan
    lives.back().readLog(fbtest::readFile(names.logFile));
    const std::string served = board.command("stats");
    EXPECT_EQ(board.command("quit"), "ok");
    EXPECT_NE(board.wait(), -1);
    EXPECT_EQ(board.exitCode(), 0);

    // Every request taken outside a server-down window and not replaced was
    // carried: requests beyond the mirrored range by a transfer of their own.
    Totals t;
    std::vector<std::string> failures;
    std::map<Identity, Tally> byIdentity = tallyLedger(l, windows, &t, &failures);
    const std::vector<Identity> cycle = {{1, 0, 4},   {3, 32, 2}, {2, 32, 4},  {4, 0, 4},
                                         {4, 128, 8}, {15, 0, 4}, {16, 32, 2}, {3, 482, 2}};
    const std::vector<fbtest::TraceEntry> trace = board.trace();
    bool faultBefore = false;
    for (const fbtest::TraceEntry &e : trace) {
        const Identity id(e.function, e.address, e.count);
        const bool afterFault = faultBefore;
        faultBefore = e.outcome != "ok" && e.outcome != "broadcast";
        if (std::find(cycle.begin(), cycle.end(), id) != cycle.end()) continue;
        const bool write = e.function == 15 || e.function == 16;
        const bool taken = e.outcome == "ok" || e.outcome.rfind("exception", 0) == 0;
        if (write && !taken)
            ++byIdentity[id].failedWrites;
        else
            ++byIdentity[id].transfers;
        if (write && taken && afterFault) ++byIdentity[id].afterFault;
    }
    for (const auto &[id, tally] : byIdentity) {
        const auto [function, addr, count] = id;
        const auto k = std::find_if(
            std::begin(kKinds), std::end(kKinds),
            [&](const soak::KindUse &u) { return static_cast<unsigned>(u.function) == function; });
        const std::string what = "function " + std::to_string(function) + " at " +
                                 std::to_string(addr) + " count " + std::to_string(count);
        if (k == std::end(kKinds) || !soak::beyondRange(*k, addr, count)) {
            if (tally.transfers + tally.failedWrites != 0)
                failures.push_back("unexpected transfer " + what);
            continue;
        }
        const int64_t low = tally.taken - tally.replaced - tally.failedWrites;
        // A write whose answer the server did not get (one that came late on
        // a loaded machine included) may have been taken all the same; the
        // server says so in its log and sends it again.
        int64_t failedRuns = 0;
        for (const Life &life : lives) {
            const auto f = life.failedWriteRuns.find({function, addr});
            if (f != life.failedWriteRuns.end()) failedRuns += f->second;
        }
        const int64_t high =
            tally.taken + tally.uncertain - tally.replaced + tally.afterFault + failedRuns;
        if (tally.transfers < low || tally.transfers > high)
            failures.push_back(what + ": " + std::to_string(tally.transfers) + " transfers for " +
                               std::to_string(tally.taken) + " taken, " +
                               std::to_string(tally.replaced) + " replaced, " +
                               std::to_string(tally.uncertain) + " uncertain");
    }
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_EQ(l->ledgerFull, 0);
    EXPECT_GT(t.taken, 0);

    // Nothing leaked in any life of the server: the server opens nothing at
    // run time (one descriptor of room for a sanitizer's or the emulator's
    // own), and its memory stays where it was after the warm-up, give or
    // take what a sanitizer runtime holds for a while. A life too short to
    // measure memory in has no baseline.
#if defined(FIELDBUS_UNDER_TSAN) || defined(__SANITIZE_THREAD__)
    // The thread checker's shadow of memory first touched late in a life
    // (a loaded machine leaves more of it for after the warm-up) counts too.
    const long rssSlackKb = 4096;
#else
    const long rssSlackKb = 1024;
#endif
    std::string lifeFigures;
    for (const Life &life : lives) {
        EXPECT_LE(life.fdMax, life.fdBase + 1) << "descriptors";
        if (life.rssBase >= 0) {
            EXPECT_LE(life.rssMax, life.rssBase + rssSlackKb) << "resident kB";
        }
        EXPECT_EQ(life.refused, 0u);
        lifeFigures += " [fds " + std::to_string(life.fdBase) + ".." + std::to_string(life.fdMax) +
                       ", rss " + std::to_string(life.rssBase) + ".." +
                       std::to_string(life.rssMax) + " kB, failed reads " +
                       std::to_string(life.failedReads) + ", mutex take-overs " +
                       std::to_string(life.takeovers) + "]";
    }
    std::ostringstream out;
    out << "soak: " << (monoUs() - start) / 1000 << " ms; requests posted " << t.posted
        << ", taken " << t.taken << " (replaced " << t.replaced << "), uncertain "
        << t.diedPending + t.inWindow << " (client killed " << t.diedPending << ", server down "
        << t.inWindow << "), busy " << t.busy << ", unseen " << t.unseen << "; clients started "
        << clients.spawned << ", killed " << clients.killed << " (" << clients.killedHolding
        << " holding the mutex, " << clients.deferred << " deferred); faults " << faults
        << "; server restarts " << windows.spans.size() << "; board " << served << ", "
        << trace.size() << " transfers; lives:" << lifeFigures << "\n";
    std::fputs(out.str().c_str(), stdout);
}

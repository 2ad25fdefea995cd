// The virtual board as a process, driven by the library's RTU master over its
// pseudo-terminal and by its line commands.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "crc16.h"
#include "modbus.h"
#include "exec_wrapper.h"
#include "pty_pair.h"
#include "server_harness.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes withCrc(Bytes frame) {
    const uint16_t crc = getCRC16(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<unsigned char>(crc >> 8));
    frame.push_back(static_cast<unsigned char>(crc & 0xFF));
    return frame;
}

class Sim : public ::testing::Test {
  protected:
    void start(const std::vector<std::string> &extra = {}) {
        ASSERT_TRUE(board.start(names, extra)) << board.err();
        Set_Com_Device(1, names.boardLink.c_str());
        ASSERT_EQ(Open_Com(1, 115200, 8, 0, 0), 0);
    }
    void TearDown() override {
        Close_Com(1);
        Set_Com_Device(1, nullptr);
    }
    // One master transaction; answers that come are waited for up to a second.
    int req(int function, int address, int count, unsigned char *buf, int timeoutMs = 1000,
            WORD *elapsed = nullptr) {
        return modbusRequest(1, 1, static_cast<char>(function), static_cast<WORD>(address),
                             static_cast<WORD>(count), reinterpret_cast<char *>(buf), 2048,
                             static_cast<WORD>(timeoutMs), elapsed);
    }
    // Sends a raw frame and collects up to `want` bytes of answer.
    Bytes raw(const Bytes &frame, size_t want, int timeoutMs) {
        char answer[2048];
        WORD t = 0;
        const WORD n =
            Send_Receive(1, reinterpret_cast<char *>(const_cast<unsigned char *>(frame.data())),
                         static_cast<WORD>(frame.size()), answer, static_cast<WORD>(want),
                         static_cast<WORD>(timeoutMs), &t);
        return Bytes(answer, answer + (n <= want ? n : 0));
    }

    fbtest::TestNames names{"sim"};
    fbtest::BoardSim board;
    unsigned char buf[2048] = {};
};

TEST_F(Sim, EveryKindAtTheEdgesOfTheAddressSpace) {
    start();
    ASSERT_EQ(board.command("set di 65533 1 0 1"), "ok");
    ASSERT_EQ(board.command("set ir 0 0x1234"), "ok");
    ASSERT_EQ(board.command("set ir 65535 0xBEEF"), "ok");
    ASSERT_EQ(req(2, 65533, 3, buf), 0);
    EXPECT_EQ(buf[0], 0x05);
    ASSERT_EQ(req(4, 65535, 1, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{0xBE, 0xEF}));
    ASSERT_EQ(req(4, 0, 1, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{0x12, 0x34}));

    buf[0] = 1;
    ASSERT_EQ(req(5, 65535, 0, buf), 0);
    EXPECT_EQ(board.command("get coil 65535"), "coil 65535: 1");
    buf[0] = 0xA5, buf[1] = 0x5A;
    ASSERT_EQ(req(6, 0, 0, buf), 0);
    EXPECT_EQ(board.command("get hr 0"), "hr 0: 42330");
    buf[0] = 0x81;
    ASSERT_EQ(req(15, 65528, 8, buf), 0);
    EXPECT_EQ(board.command("get coil 65528 8"), "coil 65528: 1 0 0 0 0 0 0 1");
    ASSERT_EQ(req(1, 65528, 8, buf), 0);
    EXPECT_EQ(buf[0], 0x81);
    buf[0] = 0x01, buf[1] = 0x02, buf[2] = 0xFF, buf[3] = 0xFE;
    ASSERT_EQ(req(16, 65534, 2, buf), 0);
    EXPECT_EQ(board.command("get hr 65534 2"), "hr 65534: 258 65534");
    ASSERT_EQ(req(3, 65534, 2, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x01, 0x02, 0xFF, 0xFE}));
}

TEST_F(Sim, IdentifierInRegisters482And483) {
    start({"--board", "0C24"});
    ASSERT_EQ(req(3, 482, 2, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x24, 0x00, 0x00, 0x0C}));
    ASSERT_EQ(board.command("board 1234"), "ok");
    ASSERT_EQ(req(3, 482, 2, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x34, 0x00, 0x00, 0x12}));
    EXPECT_EQ(board.command("get hr 482 2"), "hr 482: 13312 18");
}

// The board that answers once the fault ends is the default one.
TEST_F(Sim, NoBoardAnswersNothingUntilTheFaultEnds) {
    start({"--board", "none"});
    EXPECT_EQ(req(3, 482, 2, buf, 100), 15);
    ASSERT_EQ(board.command("fault off"), "ok");
    ASSERT_EQ(req(3, 482, 2, buf), 0);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x2A, 0x00, 0x00, 0x0C}));
}

TEST_F(Sim, ExceptionsForWhatTheBoardDoesNotTake) {
    start();
    struct Case {
        const char *what;
        int function, address, count;
        unsigned char code;
    } cases[] = {
        {"function 70", 70, 0, 0, 1},  {"beyond 65535", 3, 65535, 2, 2},
        {"count 0", 1, 0, 0, 3},       {"126 registers", 3, 0, 126, 3},
        {"2001 coils", 1, 0, 2001, 3}, {"124 registers written", 16, 0, 124, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(req(c.function, c.address, c.count, buf, 200), 13);
        EXPECT_EQ(buf[0], c.code);
    }
    // An unknown function is answered as soon as its request is whole.
    EXPECT_EQ(raw(withCrc({1, 7}), 5, 1000), withCrc({1, 0x87, 1}));
    EXPECT_EQ(raw(withCrc({1, 5, 0, 3, 0x12, 0x34}), 5, 1000), withCrc({1, 0x85, 3}));
    EXPECT_EQ(board.command("get coil 3"), "coil 3: 0");
}

TEST_F(Sim, OtherSlavesAndBroadcasts) {
    start();
    EXPECT_TRUE(raw(withCrc({2, 6, 0, 9, 0, 7}), 8, 100).empty());
    EXPECT_EQ(board.command("get hr 9"), "hr 9: 0");
    EXPECT_TRUE(raw(withCrc({0, 6, 0, 9, 0, 7}), 8, 100).empty());
    EXPECT_EQ(board.command("get hr 9"), "hr 9: 7");
    EXPECT_EQ(board.command("stats"), "served 1");
}

TEST_F(Sim, BytesThatAreNoRequestGetNoAnswerAndTheLineRecovers) {
    start();
    EXPECT_TRUE(raw({1, 3, 0, 0, 0, 1, 0xDE, 0xAD}, 8, 100).empty());  // bad CRC
    EXPECT_TRUE(raw({0x55, 0x17, 0x99}, 8, 100).empty());              // never completes
    EXPECT_TRUE(fbtest::waitUntil([&] { return req(3, 0, 1, buf, 100) == 0; }, 5000));
}

TEST_F(Sim, InjectedFaults) {
    start();
    struct Case {
        const char *fault;
        int function;
        int expected;
    } cases[] = {
        {"fault silent", 3, 15},     {"fault badcrc", 3, 12},      {"fault exception 4", 3, 13},
        {"fault silent fn=4", 3, 0}, {"fault silent fn=4", 4, 15}, {"fault late 0", 3, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_EQ(board.command(c.fault), "ok");
        EXPECT_EQ(req(c.function, 0, 1, buf, 150), c.expected);
        ASSERT_EQ(board.command("fault off"), "ok");
        EXPECT_EQ(req(c.function, 0, 1, buf), 0);
    }
    // A refused write changes nothing.
    ASSERT_EQ(board.command("fault exception 6 times=2"), "ok");
    buf[0] = 0, buf[1] = 9;
    EXPECT_EQ(req(6, 5, 0, buf), 13);
    EXPECT_EQ(req(6, 5, 0, buf), 13);
    EXPECT_EQ(board.command("get hr 5"), "hr 5: 0");
    buf[0] = 0, buf[1] = 9;
    EXPECT_EQ(req(6, 5, 0, buf), 0);
    EXPECT_EQ(board.command("get hr 5"), "hr 5: 9");
}

// Every third write of a register is dropped (and not carried out), reads
// neither count nor are dropped, and times=2 ends the fault after two drops.
TEST_F(Sim, FaultOnEveryNthMatchingRequest) {
    start();
    ASSERT_EQ(board.command("fault silent fn=6 every=3 times=2"), "ok");
    for (int k = 1; k <= 9; ++k) {
        const bool dropped = k == 3 || k == 6;
        buf[0] = 0, buf[1] = static_cast<unsigned char>(k);
        EXPECT_EQ(req(6, k, 0, buf, dropped ? 150 : 1000), dropped ? 15 : 0) << k;
        EXPECT_EQ(req(3, k, 1, buf), 0) << k;
    }
    EXPECT_EQ(board.command("get hr 1 9"), "hr 1: 1 2 0 4 5 0 7 8 9");
}

// A power cycle: outputs back to 0, inputs and identifier kept, a write sent
// while it boots lost, and no answer before its time has passed.
TEST_F(Sim, RestartClearsOutputsAndIsDeafWhileBooting) {
    start({"--board", "0C24"});
    for (const char *set : {"set coil 3 1", "set hr 7 0x1234", "set ir 4 99"})
        ASSERT_EQ(board.command(set), "ok");
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(board.command("restart 1500"), "ok");
    buf[0] = 0, buf[1] = 5;
    EXPECT_EQ(req(6, 8, 0, buf, 200), 15);
    ASSERT_TRUE(fbtest::waitUntil([&] { return req(3, 482, 2, buf, 200) == 0; }, 10000));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1500));
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x24, 0x00, 0x00, 0x0C}));
    EXPECT_EQ(board.command("get coil 3"), "coil 3: 0");
    EXPECT_EQ(board.command("get hr 7 2"), "hr 7: 0 0");
    EXPECT_EQ(board.command("get ir 4"), "ir 4: 99");
}

TEST_F(Sim, LateAnswerArrivesAfterItsDelay) {
    start({"--fault", "late 120 fn=3"});
    WORD elapsed = 0;
    ASSERT_EQ(req(3, 0, 1, buf, 1000, &elapsed), 0);
    EXPECT_GE(elapsed, 120);
    // A master that gives up first finds the answer on the line afterwards.
    EXPECT_EQ(req(3, 0, 1, buf, 50), 15);
    // Given time to come: a read woken only after its time-out takes one byte.
    EXPECT_EQ(raw({}, 7, 5000), withCrc({1, 3, 2, 0, 0}));
}

TEST_F(Sim, PacedAnswerTakesItsLineTime) {
    start({"--paced"});
    WORD elapsed = 0;
    // 8 request bytes and 255 answer bytes at 86.8 us each: at least 22.8 ms.
    ASSERT_EQ(req(3, 0, 125, buf, 2000, &elapsed), 0);
    EXPECT_GE(elapsed, 22);
}

TEST_F(Sim, TraceNamesEveryRequestServed) {
    start();
    ASSERT_EQ(req(4, 7, 3, buf), 0);
    ASSERT_EQ(board.command("fault silent times=1"), "ok");
    EXPECT_EQ(req(1, 100, 20, buf, 100), 15);
    EXPECT_EQ(req(3, 70000 & 0xFFFF, 200, buf, 200), 13);
    EXPECT_EQ(raw(withCrc({1, 0x2B, 0x0E}), 5, 1000), withCrc({1, 0xAB, 1}));
    std::vector<fbtest::TraceEntry> t;
    ASSERT_TRUE(fbtest::waitUntil([&] { return (t = board.trace()).size() >= 4; }));
    ASSERT_EQ(t.size(), 4u);
    const struct {
        unsigned function, address, count;
        const char *outcome;
    } expected[] = {{4, 7, 3, "ok"},
                    {1, 100, 20, "silent"},
                    {3, 4464, 200, "exception:3"},
                    {0x2B, 0, 0, "exception:1"}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(t[i].function, expected[i].function) << i;
        EXPECT_EQ(t[i].address, expected[i].address) << i;
        EXPECT_EQ(t[i].count, expected[i].count) << i;
        EXPECT_EQ(t[i].outcome, expected[i].outcome) << i;
    }
    EXPECT_LE(t[0].micros, t[1].micros);
}

TEST_F(Sim, CommandsRefuseWhatTheyCannotDo) {
    start();
    for (const char *bad :
         {"get hr 65535 2", "set coil 0 2", "set hr 0 0x10000", "set ir 65535 1 2", "get xx 0",
          "fault late", "fault loud", "fault silent fn=0", "fault silent every=0", "board zz",
          "restart 60001", "restart 1 2", "frob"})
        EXPECT_EQ(board.command(bad).rfind("error: ", 0), 0u) << bad;
    EXPECT_EQ(board.command("get di 0 3"), "di 0: 0 0 0");
    board.writeStdin("set hr 1 " + std::string(70000, '7') + "\n");
    std::string reply;
    ASSERT_TRUE(board.readLine(&reply));
    EXPECT_EQ(reply.rfind("error: line longer", 0), 0u);
    EXPECT_EQ(board.command("get hr 1"), "hr 1: 0");
}

TEST(SimProgram, UsageAndRefusedOptions) {
    fbtest::Process help;
    ASSERT_TRUE(help.start(fbtest::programPath("rkboard-sim"), {"--help"}));
    help.wait();
    EXPECT_EQ(help.exitCode(), 0);
    for (const char *word : {"--link PATH", "--board ID|none", "--paced", "--fault KIND",
                             "--trace FILE", "set KIND ADDR VALUE", "fault KIND"})
        EXPECT_NE(help.out().find(word), std::string::npos) << word;

    fbtest::TestNames names("simopts");
    std::ofstream(names.boardLink) << "a file";
    const std::vector<std::vector<std::string>> refused = {{"--link", names.boardLink},
                                                           {"--board", "12345"},
                                                           {"--fault", "late x"},
                                                           {"--frob"},
                                                           {"--slave", "0"}};
    for (const auto &args : refused) {
        fbtest::Process p;
        ASSERT_TRUE(p.start(fbtest::programPath("rkboard-sim"), args));
        p.wait();
        EXPECT_NE(p.exitCode(), 0) << args[0];
        EXPECT_FALSE(p.err().empty()) << args[0];
    }
    EXPECT_EQ(fbtest::readFile(names.boardLink), "a file");
}

TEST(SimProgram, LinkReplacesAStaleOneAndGoesAtTheEnd) {
    fbtest::TestNames names("simlink");
    ASSERT_EQ(symlink("/nonexistent", names.boardLink.c_str()), 0);
    for (const char *how : {"SIGTERM", "quit"}) {
        fbtest::BoardSim board;
        ASSERT_TRUE(board.start(names)) << how;
        char target[256] = {};
        ASSERT_GT(readlink(names.boardLink.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);
        if (std::string(how) == "quit")
            EXPECT_EQ(board.command("quit"), "ok");
        else
            board.signal(SIGTERM);
        ASSERT_NE(board.wait(), -1);
        EXPECT_EQ(board.exitCode(), 0);
        EXPECT_FALSE(fbtest::fileExists(names.boardLink)) << how;
    }
}

// An input that is always ready (commands from a source that never pauses)
// must not keep the board from ending on SIGTERM.
TEST(SimProgram, EndsOnSignalWhileItsInputNeverPauses) {
    fbtest::TestNames names("simbusy");
    auto argv = fbtest::programArgv(fbtest::programPath("rkboard-sim"),
                                    {"--link", names.boardLink});
    auto cargv = fbtest::cArgv(argv);
    const pid_t pid = fork();
    if (pid == 0) {
        const int zero = open("/dev/zero", O_RDONLY);
        const int null = open("/dev/null", O_WRONLY);
        dup2(zero, 0);
        dup2(null, 1);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 500 && !fbtest::fileExists(names.boardLink); ++i) usleep(10000);
    kill(pid, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 300 && (done = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(10000);
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    ASSERT_EQ(done, pid) << "the board did not end while its input was busy";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(fbtest::fileExists(names.boardLink));
}

// The man page's recipe: `rkboard-sim --link PATH &` in an interactive shell,
// then the server in the foreground of the same terminal. The board must not
// read that terminal (its first read would stop it), so a line typed there
// stays for the foreground and the board goes on answering.
TEST(SimProgram, StartedInTheBackgroundOfATerminalItNeverReadsIt) {
    fbtest::TestNames names("simbg");
    fbtest::PtyPair tty;
    auto argv = fbtest::programArgv(fbtest::programPath("rkboard-sim"),
                                    {"--link", names.boardLink});
    auto cargv = fbtest::cArgv(argv);
    int pidPipe[2];
    ASSERT_EQ(pipe(pidPipe), 0);
    // The shell: leads a session whose controlling terminal is the pty, its
    // own group in the foreground; the board is a job of another group.
    const pid_t shell = fork();
    if (shell == 0) {
        if (setsid() < 0 || ioctl(tty.slave, TIOCSCTTY, 0) != 0) _exit(120);
        const pid_t job = fork();
        if (job == 0) {
            setpgid(0, 0);
            const int null = open("/dev/null", O_WRONLY);
            dup2(tty.slave, 0);
            dup2(null, 1);
            execv(cargv[0], cargv.data());
            _exit(127);
        }
        if (write(pidPipe[1], &job, sizeof job) != sizeof job) _exit(121);
        int status = 0;
        waitpid(job, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 122);
    }
    ASSERT_GT(shell, 0);
    close(pidPipe[1]);
    pid_t job = -1;
    ASSERT_EQ(read(pidPipe[0], &job, sizeof job), static_cast<ssize_t>(sizeof job));
    close(pidPipe[0]);
    ASSERT_TRUE(fbtest::waitUntil([&] { return fbtest::fileExists(names.boardLink); }, 10000));

    fbtest::writeAll(tty.master, "stats\n", 6);  // typed for the program in the foreground
    Set_Com_Device(1, names.boardLink.c_str());
    ASSERT_EQ(Open_Com(1, 115200, 8, 0, 0), 0);
    unsigned char buf[8] = {};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(modbusRequest(1, 1, 3, 482, 2, reinterpret_cast<char *>(buf), sizeof buf, 1000,
                                nullptr),
                  0)
            << "the board stopped answering";
    Close_Com(1);
    Set_Com_Device(1, nullptr);
    const auto typed = fbtest::readFor(tty.slave, 6, 1000);
    EXPECT_EQ(std::string(typed.begin(), typed.end()), "stats\n");

    kill(job, SIGTERM);
    kill(job, SIGCONT);  // a board stopped by its terminal takes the signal only now
    int status = 0;
    const bool ended = fbtest::waitUntil([&] { return waitpid(shell, &status, WNOHANG) == shell; });
    if (!ended) {
        kill(job, SIGKILL);
        waitpid(shell, &status, 0);
    }
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fbtest::fileExists(names.boardLink));
}

}  // namespace

// Running the server and the virtual board from tests: child processes with
// piped standard streams, private names per test, waits with deadlines, and
// a client's view of the shared region.
//
//   fbtest::TestNames names("startup");          // own dir, region, lock, log, link
//   fbtest::BoardSim board;
//   ASSERT_TRUE(board.start(names, {"--board", "0A11"}));
//   fbtest::Server server;
//   ASSERT_TRUE(server.start(names, {"-i", "50"}));
//   ASSERT_TRUE(server.waitReady());
//   fbtest::RegionMap region(names.shmName);
//   auto snap = region.snapshot();                // copy taken under the mutex
//   EXPECT_EQ(server.stop(), 0);                  // SIGTERM, exit status
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ioshare.h"

namespace fbtest {

// Path of one of the project's programs in the build tree.
std::string programPath(const std::string &name);

// Waits until `cond` holds or `timeoutMs` have passed, looking every few
// milliseconds; returns whether it held.
bool waitUntil(const std::function<bool()> &cond, int timeoutMs = 5000);

// Whole contents of a file; empty when it cannot be read.
std::string readFile(const std::string &path);
bool fileExists(const std::string &path);
// Whether a shared-memory object of that name exists.
bool regionExists(const std::string &shmName);

// Names private to one test, so that tests run in parallel: a fresh
// directory under /tmp holding the lock, log, board link and trace files,
// and a region name made unique by the tag, the process and a counter.
// The destructor removes the directory and unlinks the region name and its
// health record. Every name is listed in the build tree, and the suite's
// last test (shm_left.cmake) fails on any object still under one of them.
struct TestNames {
    explicit TestNames(const std::string &tag);
    ~TestNames();
    TestNames(const TestNames &) = delete;
    TestNames &operator=(const TestNames &) = delete;

    std::string path(const std::string &leaf) const { return dir + "/" + leaf; }

    std::string dir;
    std::string shmName;
    std::string lockFile;
    std::string logFile;
    std::string boardLink;
    std::string traceFile;
};

// A child process whose standard input, output and error are pipes. The
// destructor kills (SIGKILL) and reaps a child that is still running.
class Process {
  public:
    Process() = default;
    virtual ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // Starts `program` (through the build's emulator, if any) with `args`;
    // `env` entries "NAME=VALUE" are added to this process's environment,
    // later ones replacing earlier ones of the same name.
    bool start(const std::string &program, const std::vector<std::string> &args,
               const std::vector<std::string> &env = {});

    pid_t pid() const { return pid_; }
    // Whether the child has not been reaped yet (a zombie still counts).
    bool running() const { return pid_ > 0 && !exited_; }

    void writeStdin(const std::string &text);
    void closeStdin();
    void signal(int sig);

    // Everything the child wrote so far to its standard output and error.
    const std::string &out();
    const std::string &err();
    // Waits until standard output holds `text`.
    bool waitForOutput(const std::string &text, int timeoutMs = 5000);
    // Next line of standard output not yet taken by readLine, without its
    // newline; false when none came in time.
    bool readLine(std::string *line, int timeoutMs = 5000);

    // Waits for the child to end and collects the rest of its output.
    // Returns the raw wait status, or -1 when it did not end in time.
    int wait(int timeoutMs = 10000);
    // Exit status of a child that ended by exit(), -1 otherwise.
    int exitCode() const;
    // Signal that ended the child, 0 when it exited.
    int termSignal() const;

  protected:
    void pump(int waitMs);

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string outText_, errText_;
    size_t lineCursor_ = 0;
};

// One request the virtual board served, from its trace file.
struct TraceEntry {
    long long micros;  // monotonic clock, when the request had arrived
    unsigned function;
    unsigned address;
    unsigned count;
    std::string outcome;  // ok, exception:N, silent, late:MS, badcrc, broadcast
};

// rkboard-sim on the test's board link, tracing into the test's trace file.
class BoardSim : public Process {
  public:
    // Starts the board with `extra` options and waits for its first line,
    // which it prints once the link is in place.
    bool start(const TestNames &names, const std::vector<std::string> &extra = {});
    // Sends one command line and returns its one-line reply ("" on time-out).
    std::string command(const std::string &line, int timeoutMs = 5000);
    // The trace so far.
    std::vector<TraceEntry> trace() const;

  private:
    std::string traceFile_;
};

// pellora with the test's region name, lock file and board link in its
// environment and "-l <test log>" before `args`.
class Server : public Process {
  public:
    bool start(const TestNames &names, const std::vector<std::string> &args = {},
               const std::vector<std::string> &env = {});
    // Waits until the start-up lines have reached the output: the server
    // flushes them only once its SIGTERM handler is in place.
    bool waitReady(int timeoutMs = 10000);
    // SIGTERM, then the exit code (-1 when it did not exit normally in time).
    int stop(int timeoutMs = 10000);
};

// A client's mapping of the region, by name.
class RegionMap {
  public:
    explicit RegionMap(const std::string &shmName);
    ~RegionMap();
    RegionMap(const RegionMap &) = delete;
    RegionMap &operator=(const RegionMap &) = delete;

    bool ok() const { return share_ != nullptr; }
    ioShare_t *get() const { return share_; }
    ioShare_t *operator->() const { return share_; }
    // A copy of the whole region taken with its mutex held.
    std::unique_ptr<ioShare_t> snapshot() const;

  private:
    ioShare_t *share_ = nullptr;
};

}  // namespace fbtest

// The server's benchmarks: rkboard-sim and pellora started from the build
// tree with a private directory and region name, the region mapped with the
// client helpers, the board's trace read as it grows.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ioshare.h"

namespace bench {

inline long long monoUs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Waits up to `ms` for `cond`, looking every millisecond.
template <typename Cond>
bool waitFor(Cond cond, int ms = 10000) {
    const long long end = monoUs() + ms * 1000LL;
    while (!cond()) {
        if (monoUs() >= end) return false;
        usleep(1000);
    }
    return true;
}

inline std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// One request the board served: when it had arrived (monotonic µs), function,
// address, count, and what the board did ("ok", "silent", ...).
struct Served {
    long long micros;
    unsigned function, address, count;
    char outcome[32];
};

class Rig {
  public:
    Rig() {
        char tmpl[] = "/tmp/pellora-bench-XXXXXX";
        if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
        // Several rigs of one process (a fleet) each have a region of their own.
        static int rigs = 0;
        shm_ = "/pellora-bench-" + std::to_string(getpid());
        if (rigs++ > 0) shm_ += "-" + std::to_string(rigs);
    }
    ~Rig() {
        if (share != nullptr) ioshare_close(share);
        stop(server_);
        if (boardIn_ >= 0) close(boardIn_);
        stop(board_);
        shm_unlink(shm_.c_str());
        // A server that had to be killed leaves its health record too.
        shm_unlink((shm_ + IOSHARE_HEALTH_SUFFIX).c_str());
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    Rig(const Rig &) = delete;
    Rig &operator=(const Rig &) = delete;

    // Starts the board (`paced`: at line speed) and the server at `interval`
    // ms (with `serverEnv` added to its environment), and maps the region;
    // false, with a message, when either fails.
    bool start(const char *boardId, bool paced, int interval,
               const std::vector<std::string> &serverEnv = {}) {
        if (dir_.empty()) return false;
        std::vector<std::string> b = {bin("rkboard-sim"), "--board", boardId,      "--link",
                                      path("board"),      "--trace", path("trace")};
        if (paced) b.push_back("--paced");
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return false;
        board_ = spawn(b, {}, pipeFds[0], "board.out");
        close(pipeFds[0]);
        boardIn_ = pipeFds[1];  // kept open: the board reads commands from it
        if (!waitFor([&] { return access(path("board").c_str(), F_OK) == 0; }))
            return fail("rkboard-sim did not start");
        std::vector<std::string> env = {"PELLORA_SHM_NAME=" + shm_,
                                        "PELLORA_LOCK_FILE=" + path("lock"),
                                        "FIELDBUS_COM1=" + path("board")};
        env.insert(env.end(), serverEnv.begin(), serverEnv.end());
        server_ = spawn({bin("pellora"), "-l", path("log"), "-i", std::to_string(interval)}, env,
                        -1, "server.out");
        if (!waitFor([&] {
                return slurp(path("server.out")).find("rk-board ID=") != std::string::npos;
            }))
            return fail("pellora did not start");
        share = ioshare_open(shm_.c_str());
        return share != nullptr || fail("region not found");
    }

    pid_t serverPid() const { return server_; }
    pid_t boardPid() const { return board_; }
    const std::string &shmName() const { return shm_; }

    // Requests the board served since the last call.
    std::vector<Served> newTrace() {
        if (!trace_.is_open()) trace_.open(path("trace"));
        std::vector<Served> out;
        std::string line;
        while (std::getline(trace_, line)) {
            if (trace_.eof()) break;  // a line still being written
            Served s{};
            if (std::sscanf(line.c_str(), "%lld %u %u %u %31s", &s.micros, &s.function, &s.address,
                            &s.count, s.outcome) == 5)
                out.push_back(s);
        }
        if (trace_.eof()) {
            // Back to the start of the partial line, for the next call.
            trace_.clear();
            trace_.seekg(-static_cast<std::streamoff>(line.size()), std::ios::cur);
        }
        return out;
    }

    // Sends one command line to the board and returns its one-line reply
    // ("" when none came within 5 s). The board writes nothing unasked
    // after its first line, so its reply is what comes after the output
    // seen so far.
    std::string boardCommand(const std::string &line) {
        const size_t seen = slurp(path("board.out")).size();
        const std::string text = line + "\n";
        if (write(boardIn_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return "";
        std::string reply;
        waitFor(
            [&] {
                const std::string out = slurp(path("board.out"));
                const size_t end = out.find('\n', seen);
                if (end == std::string::npos) return false;
                reply = out.substr(seen, end - seen);
                return true;
            },
            5000);
        return reply;
    }

    ioShare_t *share = nullptr;

    // A file of the rig's scratch directory ("log": the server's log).
    std::string path(const std::string &leaf) const { return dir_ + "/" + leaf; }

  private:
    static std::string bin(const std::string &name) {
        return std::string(FIELDBUS_BIN_DIR) + "/" + name;
    }

    bool fail(const char *what) {
        std::fprintf(stderr, "%s (see %s)\n", what, dir_.c_str());
        dir_.clear();  // left for a look
        return false;
    }

    pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env, int in,
                const char *outFile) {
        const pid_t pid = fork();
        if (pid != 0) return pid;
        dup2(in >= 0 ? in : open("/dev/null", O_RDONLY), 0);  // -1: nothing to read
        const int out = open(path(outFile).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }

    static void stop(pid_t pid) {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        int status = 0;
        if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
    }

    std::string dir_, shm_;
    pid_t board_ = -1, server_ = -1;
    int boardIn_ = -1;
    std::ifstream trace_;
};

}  // namespace bench

// Shared parts of the slave benchmarks: a pair of linked pseudo-terminals
// made by socat, slaves in child processes, the clock and the median.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace slavebench {

inline double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Two pseudo-terminals linked back to back by socat, at a and b.
struct PtyLink {
    std::string dir, a, b;
    pid_t socat = -1;
    PtyLink() {
        char tmpl[] = "/tmp/slavebench.XXXXXX";
        dir = mkdtemp(tmpl);
        a = dir + "/a";
        b = dir + "/b";
        socat = fork();
        if (socat == 0) {
            const std::string pa = "pty,raw,echo=0,link=" + a, pb = "pty,raw,echo=0,link=" + b;
            execlp("socat", "socat", pa.c_str(), pb.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        struct stat st {};
        for (int i = 0; i < 500 && (stat(a.c_str(), &st) != 0 || stat(b.c_str(), &st) != 0); ++i)
            usleep(10000);
    }
    ~PtyLink() {
        kill(socat, SIGTERM);
        waitpid(socat, nullptr, 0);
        unlink(a.c_str());
        unlink(b.c_str());
        rmdir(dir.c_str());
    }
};

// Runs fn in a child process until stopped; returns its pid.
template <typename Fn>
pid_t spawn(Fn fn) {
    const pid_t pid = fork();
    if (pid == 0) {
        fn();
        _exit(0);
    }
    return pid;
}

inline void stop(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace slavebench

// Shared parts of the slave benchmarks: a pair of linked pseudo-terminals
// made by socat, slaves in child processes, the clock and the median, and
// the hostile Modbus/TCP clients a slave must not be held up by.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
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

// ---- hostile Modbus/TCP clients ----

using Frame = std::vector<uint8_t>;

// Processor time a process has had so far, in nanoseconds.
inline long long cpuNanos(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    f >> ns;
    return ns;
}

// Room for `n` more descriptors in this process (and the children it starts).
inline bool raiseDescriptors(rlim_t n) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur >= n) return true;
    if (lim.rlim_max < n) return false;
    lim.rlim_cur = n;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

// A connection to 127.0.0.1:port (-1 when refused); rcvbuf > 0 sets a small
// window before connecting.
inline int connectTo(int port, int rcvbuf = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    close(fd);
    return -1;
}

// True once the server has closed fd (nothing is read).
inline bool closedByServer(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// `body` (unit, function, data) behind an MBAP header with transaction `tid`.
inline Frame mbap(uint16_t tid, const Frame &body) {
    Frame f{static_cast<uint8_t>(tid >> 8),   static_cast<uint8_t>(tid), 0, 0, 0,
            static_cast<uint8_t>(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// A well-behaved client: one request at a time, each round trip timed while
// `recording`; a failed or late answer (3 s) counts as failed and the client
// connects again (pausing 100 ms, so that a refused client does not spin).
struct WellBehaved {
    std::vector<double> ms;
    long failed = 0;
    std::thread thread;
    WellBehaved(int port, Frame body, const std::atomic<bool> &recording,
                const std::atomic<bool> &stop) {
        thread = std::thread([this, port, body, &recording, &stop] {
            int fd = connectTo(port);
            for (uint16_t tid = 1; !stop; ++tid) {
                const Frame req = mbap(tid, body);
                const double t0 = now();
                bool ok = fd >= 0 && send(fd, req.data(), req.size(), MSG_NOSIGNAL) ==
                                         static_cast<ssize_t>(req.size());
                uint8_t answer[300];
                size_t got = 0, want = 6;
                while (ok && got < want) {
                    pollfd p{fd, POLLIN, 0};
                    const int left = static_cast<int>(3000 - (now() - t0) * 1000);
                    const ssize_t n = left > 0 && poll(&p, 1, left) > 0
                                          ? recv(fd, answer + got, want - got, 0)
                                          : -1;
                    ok = n > 0;
                    got += ok ? static_cast<size_t>(n) : 0;
                    if (got == 6) want = 6 + (answer[4] << 8 | answer[5]);
                    ok = ok && want <= sizeof answer;
                }
                ok = ok && answer[0] == req[0] && answer[1] == req[1] && answer[7] == body[1];
                if (recording && ok) ms.push_back((now() - t0) * 1000);
                if (ok) continue;
                if (recording) ++failed;
                if (fd >= 0) close(fd);
                usleep(100000);
                fd = connectTo(port);
            }
            if (fd >= 0) close(fd);
        });
    }
    void join() { thread.join(); }
    double at(double q) const {
        std::vector<double> v = ms;
        std::sort(v.begin(), v.end());
        return v.empty() ? -1 : v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
    }
    std::string text() const {
        char t[160];
        if (ms.empty())
            std::snprintf(t, sizeof t, "no answer, %ld failed (closed, or nothing within 3 s)",
                          failed);
        else
            std::snprintf(t, sizeof t,
                          "%zu answers, p50 %.2f ms, p99 %.2f ms, max %.1f ms, %ld failed",
                          ms.size(), at(0.5), at(0.99), at(1.0), failed);
        return t;
    }
};

// The hostile clients, kept up from one thread: `deaf` clients send `body`
// requests as fast as their sockets take them and never read; `drip` clients
// send an MBAP header announcing 254 bytes and then a byte every 50 s; both
// connect again (at most every 100 ms) when the server closes them. `idle`
// connections are opened once and say nothing.
struct Hostile {
    std::atomic<bool> stop{false}, flooding{true};
    std::vector<int> idle;
    std::atomic<long> reconnects{0};
    std::thread thread;
    Hostile(int port, Frame body, int deaf, int drip, int idleCount) {
        struct Peer {
            int fd = -1;
            bool deaf = false;
            double since = 0;  // connected, or last byte dripped
        };
        std::vector<Peer> peers(static_cast<size_t>(deaf + drip));
        for (int i = 0; i < deaf; ++i) peers[static_cast<size_t>(i)].deaf = true;
        const Frame header{0, 1, 0, 0, 0, 0xFE, 1, 16, 0, 0, 0, 123, 246};
        const auto open = [=](Peer &p) {
            p.fd = connectTo(port, p.deaf ? 2048 : 0);
            p.since = now();
            if (p.fd < 0 || p.deaf) return;
            send(p.fd, header.data(), header.size(), MSG_NOSIGNAL);
        };
        for (Peer &p : peers) open(p);
        for (int i = 0; i < idleCount; ++i) idle.push_back(connectTo(port));
        thread = std::thread([this, peers, open, body]() mutable {
            uint16_t tid = 0;
            while (!stop) {
                for (Peer &p : peers) {
                    if (p.fd >= 0 && closedByServer(p.fd)) {
                        close(p.fd);
                        p.fd = -1;
                    }
                    if (p.fd < 0) {
                        if (now() - p.since < 0.1 || (p.deaf && !flooding)) continue;
                        open(p);
                        ++reconnects;
                        continue;
                    }
                    if (!p.deaf && now() - p.since > 50) {
                        send(p.fd, "", 1, MSG_NOSIGNAL);
                        p.since = now();
                    }
                    if (!p.deaf) continue;
                    if (!flooding) {
                        close(p.fd);
                        p.fd = -1;
                        continue;
                    }
                    for (int n = 0; n < 64; ++n) {
                        const Frame r = mbap(++tid, body);
                        if (send(p.fd, r.data(), r.size(), MSG_NOSIGNAL | MSG_DONTWAIT) <= 0) break;
                    }
                }
                poll(nullptr, 0, 10);
            }
            for (Peer &p : peers)
                if (p.fd >= 0) close(p.fd);
        });
    }
    ~Hostile() {
        stop = true;
        thread.join();
        for (int fd : idle)
            if (fd >= 0) close(fd);
    }
};

// A well-behaved client's round trips on the server at `port` (process
// `server`) among 3 clients that never read, 32 that drip a request and 1,100
// idle connections, for 10 s once they have been at it for 3 s; the same
// client on the quiet server first, for 3 s, as the measure to compare with;
// then the server's processor share with the idle and dripping ones alone,
// for 5 s. `body` is the well-behaved client's request, `deafBody` the one
// the others send without reading (a long answer fills their buffers soon).
struct AmongHostile {
    std::string quiet, early, late;
    double p99 = 0, quietP99 = 0, share = 0;
    long reconnects = 0;
    std::string text() const {
        char both[96] = "  no answer to either of them (target: p99 under 10 ms)";
        if (p99 >= 0)
            std::snprintf(both, sizeof both,
                          "  p99 of both %.2f ms, %.1f x the quiet server's (target: under 10 ms)",
                          p99, p99 / quietP99);
        char t[1024];
        std::snprintf(
            t, sizeof t,
            "among hostile clients (3 never read, 32 drip a request, 1,100 idle connections):\n"
            "  quiet server, 3 s:                            %s\n"
            "  client served before they came, 10 s:        %s\n"
            "  client that came after them, 10 s:           %s\n%s\n"
            "  server with the idle and dripping ones alone, 5 s: %.2f%% of a core "
            "(target < 1%%); hostile clients closed and back: %ld\n",
            quiet.c_str(), early.c_str(), late.c_str(), both, 100 * share, reconnects);
        return t;
    }
};

inline AmongHostile amongHostile(int port, const Frame &body, const Frame &deafBody, pid_t server) {
    AmongHostile f;
    {
        std::atomic<bool> recording{false}, stop{false};
        WellBehaved quiet(port, body, recording, stop);
        usleep(200000);
        recording = true;
        usleep(3000000);
        recording = false;
        stop = true;
        quiet.join();
        f.quiet = quiet.text();
        f.quietP99 = quiet.at(0.99);
    }
    std::atomic<bool> recording{false}, stop{false};
    WellBehaved early(port, body, recording, stop);
    usleep(200000);
    Hostile h(port, deafBody, 3, 32, 1100);
    usleep(3000000);
    WellBehaved late(port, body, recording, stop);
    usleep(300000);
    recording = true;
    usleep(10000000);
    recording = false;
    stop = true;
    early.join();
    late.join();
    f.early = early.text();
    f.late = late.text();
    std::vector<double> all = early.ms;
    all.insert(all.end(), late.ms.begin(), late.ms.end());
    std::sort(all.begin(), all.end());
    f.p99 = all.empty() ? -1 : all[static_cast<size_t>(0.99 * static_cast<double>(all.size() - 1))];
    h.flooding = false;
    usleep(500000);
    const long long c0 = cpuNanos(server);
    const double t0 = now();
    usleep(5000000);
    f.share = static_cast<double>(cpuNanos(server) - c0) / 1e9 / (now() - t0);
    f.reconnects = h.reconnects;
    return f;
}

}  // namespace slavebench

// zuqgate against board 0C2A on rkboard-sim behind pellora:
//  1. reads of the board's 4 input registers by 8 concurrent libmodbus
//     clients through zuqgate, against the same 8 clients on libmodbus's own
//     in-memory TCP server (modbus_mapping), in the same run (target >= 0.8x);
//  2. a coil written through zuqgate until it reaches the board, paced board
//     at interval 100 (target: p99 under 120 ms);
//  3. processor time of zuqgate idle with 32 idle clients (target under 1%).
#ifndef HAVE_LIBMODBUS
#include <cstdio>
int main() {
    std::puts("libmodbus not found: nothing to compare with");
    return 0;
}
#else
#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "libmodbus_server.h"
#include "pellora_rig.h"

namespace {

constexpr int kClients = 8;
constexpr int kRounds = 3;
constexpr int kRoundMs = 2000;

// zuqgate on the rig's region, on 127.0.0.1 and a free port.
struct Gateway {
    Gateway(const std::string &shm, const std::string &outFile, int maxClients = 32) {
        pid = fork();
        if (pid == 0) {
            const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(out, 2);
            setenv("PELLORA_SHM_NAME", shm.c_str(), 1);
            const std::string bin = std::string(FIELDBUS_BIN_DIR) + "/zuqgate";
            const std::string clients = std::to_string(maxClients);
            execl(bin.c_str(), bin.c_str(), "-a", "127.0.0.1", "-p", "0", "-c", clients.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        bench::waitFor([&] {
            const std::string text = bench::slurp(outFile);
            const auto at = text.find(" port ");
            if (at == std::string::npos || text.find("mapped") == std::string::npos) return false;
            port = std::atoi(text.c_str() + at + 6);
            return port > 0;
        });
    }
    ~Gateway() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    int port = 0;
};

// libmodbus's own server in a child process: one thread, select() over the
// listening socket and every client, answers from a modbus_mapping.
uint16_t gValues[4];  // the board's input registers 0-3, as both servers give them

pid_t libmodbusServer(int *port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    const int listener = modbus_tcp_listen(ctx, kClients);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    const pid_t pid = fork();
    if (pid != 0) {
        close(listener);
        modbus_free(ctx);
        return pid;
    }
    modbus_mapping_t *map = modbus_mapping_new(4, 0, 0, 4);
    std::copy(gValues, gValues + 4, map->tab_input_registers);
    serveWithLibmodbus(ctx, listener, map);
}

// Reads of the 4 input registers per second, by kClients clients at once for
// kRoundMs; 0 when a read failed or gave other values.
double readRate(int port) {
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long> reads{0};
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < kClients; ++k)
        threads.emplace_back([&] {
            modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
            modbus_set_slave(ctx, 1);
            if (modbus_connect(ctx) != 0) {
                ++bad;
                modbus_free(ctx);
                return;
            }
            uint16_t regs[4];
            long n = 0;
            while (!go) std::this_thread::yield();
            while (!stop) {
                if (modbus_read_input_registers(ctx, 0, 4, regs) != 4 ||
                    !std::equal(regs, regs + 4, gValues)) {
                    ++bad;
                    break;
                }
                ++n;
            }
            reads += n;
            modbus_close(ctx);
            modbus_free(ctx);
        });
    usleep(100000);  // every client connected
    const long long t0 = bench::monoUs();
    go = true;
    usleep(kRoundMs * 1000);
    stop = true;
    for (auto &t : threads) t.join();
    const long long t1 = bench::monoUs();
    return bad != 0 ? 0 : reads * 1e6 / static_cast<double>(t1 - t0);
}

long long cpuNanos(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/schedstat");
    long long ns = -1;
    f >> ns;
    return ns;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// 2. and 3.: a paced board at interval 100.
int latencyAndIdle() {
    bench::Rig rig;
    if (!rig.start("0C2A", true, 100)) return 1;
    const std::string out = "/tmp/zuqgate-bench-" + std::to_string(getpid()) + ".out";
    Gateway gate(rig.shmName(), out);
    std::remove(out.c_str());
    if (gate.port <= 0) return 1;
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", gate.port);
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) != 0) return 1;
    constexpr int kWrites = 150;
    std::mt19937 random(7);
    std::vector<long long> latency;
    usleep(300000);
    rig.newTrace();
    for (int i = 0; i < kWrites; ++i) {
        usleep(random() % 100000);  // anywhere in the server's cycle
        const long long sent = bench::monoUs();
        if (modbus_write_bit(ctx, 0, i & 1) != 1) {
            std::fprintf(stderr, "write %d failed: %s\n", i, modbus_strerror(errno));
            return 1;
        }
        long long arrived = -1;
        if (!bench::waitFor([&] {
                for (const bench::Served &e : rig.newTrace())
                    if (e.function == 15 && e.micros >= sent && arrived < 0) arrived = e.micros;
                return arrived >= 0;
            })) {
            std::fprintf(stderr, "write %d never reached the board\n", i);
            return 1;
        }
        latency.push_back(arrived - sent);
    }
    modbus_close(ctx);
    modbus_free(ctx);
    std::sort(latency.begin(), latency.end());
    const auto at = [&](double q) {
        return latency[static_cast<size_t>(q * (latency.size() - 1))] / 1000.0;
    };
    std::printf(
        "coil written through zuqgate until it reaches the paced board, interval 100 ms, %d "
        "writes:\n  p50 %.1f ms, p99 %.1f ms, max %.1f ms (target p99 under 120 ms)\n",
        kWrites, at(0.5), at(0.99), latency.back() / 1000.0);

    std::vector<modbus_t *> idle;
    for (int i = 0; i < 32; ++i) {
        modbus_t *c = modbus_new_tcp("127.0.0.1", gate.port);
        if (modbus_connect(c) != 0) return 1;
        idle.push_back(c);
    }
    usleep(200000);
    const long long c0 = cpuNanos(gate.pid), t0 = bench::monoUs();
    usleep(10000000);
    const long long c1 = cpuNanos(gate.pid), t1 = bench::monoUs();
    for (modbus_t *c : idle) {
        modbus_close(c);
        modbus_free(c);
    }
    std::printf("zuqgate idle with 32 idle clients, 10 s: %.3f%% of a core (target under 1%%)\n",
                (c1 - c0) / 10.0 / static_cast<double>(t1 - t0));
    return 0;
}

}  // namespace

int main() {
    // 1. Reads.
    {
        bench::Rig rig;
        if (!rig.start("0C2A", false, 100)) return 1;
        Gateway gate(rig.shmName(), "/tmp/zuqgate-bench-" + std::to_string(getpid()) + ".out");
        if (gate.port <= 0) {
            std::fprintf(stderr, "zuqgate did not start\n");
            return 1;
        }
        // The libmodbus server is given the values the region mirrors.
        usleep(300000);
        ioshare_lock(rig.share);
        for (int i = 0; i < 4; ++i) {
            uint32_t v = 0;
            ioshare_get(rig.share, IOSHARE_INT_IN, rig.share->intInBase + i, &v);
            gValues[i] = static_cast<uint16_t>(v);
        }
        ioshare_unlock(rig.share);
        int libPort = 0;
        const pid_t lib = libmodbusServer(&libPort);
        std::vector<double> ours, theirs;
        for (int round = 0; round < kRounds; ++round) {
            ours.push_back(readRate(gate.port));
            theirs.push_back(readRate(libPort));
        }
        kill(lib, SIGKILL);
        waitpid(lib, nullptr, 0);
        const double o = median(ours), t = median(theirs);
        std::printf(
            "reads of 4 input registers, %d clients at once, median of %d rounds of %d ms:\n"
            "  zuqgate %.0f/s, libmodbus in-memory server %.0f/s: ratio %.2f (target >= 0.8)\n",
            kClients, kRounds, kRoundMs, o, t, t > 0 ? o / t : 0.0);
        std::remove(("/tmp/zuqgate-bench-" + std::to_string(getpid()) + ".out").c_str());
    }
    return latencyAndIdle();
}
#endif

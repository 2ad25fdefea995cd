// Round trips per second of libmodbus TCP clients (1, and 8 at once; read of
// 10 holding registers) against this library's TCP slave (a modbusReadE /
// modbusReplyE loop, and modbusServeE) and against libmodbus's own server,
// in the same run, samples interleaved; then the processor share of an idle
// modbusReadE loop with wTimeout 5; then modbusServeE among hostile clients:
// a well-behaved client's round trips with 3 clients that never read, 32
// that drip a request and 1,100 idle connections (more than the connection
// table holds), against the same client on the quiet slave in the same run,
// and the slave's processor share with the idle and dripping ones alone.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "modbus.h"
#include "net.h"
#include "net_private.h"
#include "slave_rig.h"

#ifdef HAVE_LIBMODBUS
#include <modbus/modbus.h>

#include "libmodbus_server.h"

namespace {

using namespace slavebench;

constexpr int kRegisters = 10;
constexpr WORD kSlaveTimeout = 20;

unsigned short holding[100];

int listenPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    return ntohs(sa.sin_port);
}

// Our slave in a child: returns its pid, *port the port it listens on.
pid_t ourSlave(bool serve, int *port) {
    const int listener = Open_Socket(0, 0, 0);
    Listen_Socket(listener);
    *port = listenPort(connectManager[listener].fd);  // the child inherits the entry
    const pid_t pid = spawn([&] {
        char buf[256];
#ifndef BASELINE
        fieldbusMap map{0, 0, 0, 0, 0, 100, 0, 0, nullptr, nullptr, holding, nullptr};
#endif
        for (;;) {
#ifndef BASELINE
            if (serve) {
                modbusServeE(listener, 0, &map, kSlaveTimeout);
                continue;
            }
#else
            (void)serve;
#endif
            int trans = 0, client = 0, function = 0, addr = 0, count = 0;
            if (modbusReadE(listener, 0, &trans, &client, &function, buf, sizeof buf, &addr, &count,
                            kSlaveTimeout) < 0)
                continue;
            if (function != 3 || addr + count > 100) continue;
            for (int i = 0; i < count; ++i) {
                buf[2 * i] = static_cast<char>(holding[addr + i] >> 8);
                buf[2 * i + 1] = static_cast<char>(holding[addr + i]);
            }
            modbusReplyE(listener, 0, trans, client, 3, buf, static_cast<WORD>(2 * count), 0, 0);
        }
    });
    Close_Socket(listener);
    return pid;
}

// libmodbus's server in a child, serving every connection with select().
pid_t theirServer(int *port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    const int listenFd = modbus_tcp_listen(ctx, 16);
    *port = listenPort(listenFd);
    const pid_t pid = spawn([&] {
        modbus_mapping_t *map = modbus_mapping_new(0, 0, 100, 0);
        std::memcpy(map->tab_registers, holding, sizeof holding);
        serveWithLibmodbus(ctx, listenFd, map);
    });
    close(listenFd);
    modbus_free(ctx);
    return pid;
}

// One sample: round trips per second, and the server's processor time per
// answered request.
struct Sample {
    double rate, cpuUs;
};

// Round trips per second of `clients` libmodbus clients together, each
// making `rounds` reads, against the server in process `server`.
Sample run(int port, pid_t server, int clients, int rounds) {
    std::vector<modbus_t *> ctx;
    for (int i = 0; i < clients; ++i) {
        modbus_t *c = modbus_new_tcp("127.0.0.1", port);
        modbus_set_response_timeout(c, 2, 0);
        for (int t = 0; t < 300 && modbus_connect(c) != 0; ++t) usleep(10000);
        ctx.push_back(c);
    }
    uint16_t regs[kRegisters];
    for (modbus_t *c : ctx)  // every client connected and served once
        if (modbus_read_registers(c, 0, kRegisters, regs) != kRegisters) {
            std::fprintf(stderr, "warm-up read failed: %s\n", modbus_strerror(errno));
            std::exit(1);
        }
    const double start = now();
    const long long cpu0 = cpuNanos(server);
    std::vector<std::thread> threads;
    for (modbus_t *c : ctx)
        threads.emplace_back([c, rounds] {
            uint16_t r[kRegisters];
            for (int i = 0; i < rounds; ++i)
                if (modbus_read_registers(c, 0, kRegisters, r) != kRegisters || r[1] != 257) {
                    std::fprintf(stderr, "read failed: %s\n", modbus_strerror(errno));
                    std::exit(1);
                }
        });
    for (auto &t : threads) t.join();
    const double answered = static_cast<double>(clients) * rounds;
    const double rate = answered / (now() - start);
    const double cpuUs = static_cast<double>(cpuNanos(server) - cpu0) / 1e3 / answered;
    for (modbus_t *c : ctx) {
        modbus_close(c);
        modbus_free(c);
    }
    return {rate, cpuUs};
}

double idleShare(double seconds) {
    const int listener = Open_Socket(0, 0, 0);
    Listen_Socket(listener);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const double start = now();
    char buf[256];
    while (now() - start < seconds) {
        int trans = 0, client = 0, function = 0, addr = 0, count = 0;
        modbusReadE(listener, 0, &trans, &client, &function, buf, sizeof buf, &addr, &count, 5);
    }
    getrusage(RUSAGE_SELF, &after);
    const double wall = now() - start;
    Close_Socket(listener);
    auto secs = [](const timeval &t) { return t.tv_sec + t.tv_usec / 1e6; };
    const double cpu =
        secs(after.ru_utime) - secs(before.ru_utime) + secs(after.ru_stime) - secs(before.ru_stime);
    return cpu / wall;
}

void hostile() {
    if (!raiseDescriptors(4096)) {
        std::printf("hostile clients: not measured, fewer than 4096 descriptors allowed\n");
        return;
    }
    int port = 0;
    const pid_t slave = ourSlave(true, &port);
    const AmongHostile f =
        amongHostile(port, {1, 3, 0, 0, 0, kRegisters}, {1, 3, 0, 0, 0, 100}, slave);
    stop(slave);
    std::printf("modbusServeE (a table of 1,022 clients) %s", f.text().c_str());
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    constexpr int kSamples = 5;
    for (int i = 0; i < 100; ++i) holding[i] = static_cast<unsigned short>(i * 257);
    for (int clients : {1, 8}) {
        std::vector<double> readReply, serve, theirs;
        std::vector<double> readReplyCpu, serveCpu, theirsCpu;
        const int each = clients == 1 ? rounds : rounds / 4;
        // Each round takes every kind once, in an order that turns from round
        // to round.
        auto ours = [&](bool serveMap, std::vector<double> &into, std::vector<double> &cpu) {
            int port = 0;
            const pid_t pid = ourSlave(serveMap, &port);
            const Sample s = run(port, pid, clients, each);
            into.push_back(s.rate);
            cpu.push_back(s.cpuUs);
            stop(pid);
        };
        std::vector<std::function<void()>> kinds = {
            [&] { ours(false, readReply, readReplyCpu); },
#ifndef BASELINE
            [&] { ours(true, serve, serveCpu); },
#endif
            [&] {
                int port = 0;
                const pid_t pid = theirServer(&port);
                const Sample s = run(port, pid, clients, each);
                theirs.push_back(s.rate);
                theirsCpu.push_back(s.cpuUs);
                stop(pid);
            },
        };
        for (int s = 0; s < kSamples; ++s)
            for (size_t k = 0; k < kinds.size(); ++k)
                kinds[(k + static_cast<size_t>(s)) % kinds.size()]();
        const double t = median(theirs);
        std::printf(
            "%d libmodbus client(s), read of %d registers, %d round trips each x %d "
            "samples, median:\n",
            clients, kRegisters, each, kSamples);
        std::printf("  libmodbus server:               %8.0f round trips/s\n", t);
        std::printf(
            "  modbusReadE/modbusReplyE slave: %8.0f round trips/s  ratio %.3f (target >= 1.0)\n",
            median(readReply), median(readReply) / t);
        if (!serve.empty())
            std::printf(
                "  modbusServeE slave:             %8.0f round trips/s  ratio %.3f (target >= "
                "1.0)\n",
                median(serve), median(serve) / t);
        const double tc = median(theirsCpu);
        std::printf("  processor time per answered request: libmodbus server %.2f us\n", tc);
        std::printf("    modbusReadE/modbusReplyE slave: %.2f us  ratio %.3f (target <= 0.8)\n",
                    median(readReplyCpu), median(readReplyCpu) / tc);
        if (!serveCpu.empty())
            std::printf("    modbusServeE slave:             %.2f us  ratio %.3f (target <= 0.8)\n",
                        median(serveCpu), median(serveCpu) / tc);
    }
    std::printf("idle modbusReadE loop, wTimeout 5, no client: %.2f%% of a core (target < 1%%)\n",
                100 * idleShare(3.0));
    hostile();
    return 0;
}

#else
int main() {
    std::printf("libmodbus not found: nothing to compare against\n");
    return 0;
}
#endif

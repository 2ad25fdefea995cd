// Round trips per second of modbusRequestE (read of 10 holding registers)
// against a libmodbus server on 127.0.0.1, side by side with libmodbus's own
// client (modbus_read_registers) against the same server in the same run.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "modbus.h"
#include "net.h"

#ifdef HAVE_LIBMODBUS
#include <modbus/modbus.h>

namespace {

constexpr int kRegisters = 10;

// A libmodbus server in a child process, serving one connection after the
// other until killed. Returns its pid; *port receives the port it listens on.
pid_t startServer(int *port) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", 0);
    const int listenFd = modbus_tcp_listen(ctx, 1);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(listenFd, reinterpret_cast<sockaddr *>(&sa), &len);
    *port = ntohs(sa.sin_port);
    const pid_t pid = fork();
    if (pid != 0) {
        close(listenFd);
        modbus_free(ctx);
        return pid;
    }
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 100, 0);
    for (int i = 0; i < 100; ++i) map->tab_registers[i] = static_cast<uint16_t>(i * 257);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        int s = listenFd;
        const int client = modbus_tcp_accept(ctx, &s);
        if (client < 0) continue;
        for (;;) {
            const int rc = modbus_receive(ctx, query);
            if (rc < 0) break;
            if (rc > 0) modbus_reply(ctx, query, rc, map);
        }
        close(client);
    }
}

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Round trips per second of `rounds` reads through this library.
double ours(int port, int rounds) {
    const int index = Open_Socket(0, 0, 0);
    char host[] = "127.0.0.1";
    if (Connect_TCP(index, host, port) != 0) {
        std::fprintf(stderr, "connect failed\n");
        std::exit(1);
    }
    char buf[2 * kRegisters];
    const double start = now();
    for (int i = 0; i < rounds; ++i) {
        if (modbusRequestE(index, 1, 3, 0, kRegisters, buf, sizeof buf, 1000, nullptr) != 0 ||
            static_cast<unsigned char>(buf[3]) != 1) {
            std::fprintf(stderr, "modbusRequestE failed at round %d\n", i);
            std::exit(1);
        }
    }
    const double rate = rounds / (now() - start);
    Close_Socket(index);
    return rate;
}

// Round trips per second of `rounds` reads through libmodbus's client.
double theirs(int port, int rounds) {
    modbus_t *ctx = modbus_new_tcp("127.0.0.1", port);
    if (modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus connect failed\n");
        std::exit(1);
    }
    uint16_t regs[kRegisters];
    const double start = now();
    for (int i = 0; i < rounds; ++i) {
        if (modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters || regs[1] != 257) {
            std::fprintf(stderr, "modbus_read_registers failed at round %d\n", i);
            std::exit(1);
        }
    }
    const double rate = rounds / (now() - start);
    modbus_close(ctx);
    modbus_free(ctx);
    return rate;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
    constexpr int kSamples = 7;
    int port = 0;
    const pid_t server = startServer(&port);
    ours(port, 200);  // warm-up of both paths
    theirs(port, 200);
    std::vector<double> a, b;
    // Interleaved, so both clients see the same machine load.
    for (int s = 0; s < kSamples; ++s) {
        a.push_back(ours(port, rounds));
        b.push_back(theirs(port, rounds));
    }
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    const double ma = median(a), mb = median(b);
    std::printf("read of %d registers, %d round trips x %d samples, median:\n", kRegisters, rounds,
                kSamples);
    std::printf("modbusRequestE:          %10.0f round trips/s\n", ma);
    std::printf("modbus_read_registers:   %10.0f round trips/s\n", mb);
    std::printf("ratio ours/libmodbus:    %10.3f (target >= 1.0)\n", ma / mb);
    return 0;
}

#else
int main() {
    std::printf("libmodbus not found: nothing to compare against\n");
    return 0;
}
#endif

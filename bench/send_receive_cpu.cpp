// Processor time of a 1-second Send_Receive that receives nothing, against a
// one-byte spinning poll loop (non-blocking reads and clock reads, no sleep)
// waiting for the same second on the same line in the same run; then the
// processor share of a slave loop polling the port after its far end is gone.
#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "modbus.h"
#include "msw.h"
#include "timer.h"

namespace {

double cpuMs() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

double spinningReference(int fd, int timeoutMs) {
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const double c0 = cpuMs();
    const __tod_t start = _time_get_todMS();
    char byte;
    while (static_cast<WORD>(_time_get_todMS() - start) <= timeoutMs) {
        if (read(fd, &byte, 1) == 1) break;
    }
    const double used = cpuMs() - c0;
    fcntl(fd, F_SETFL, flags);
    return used;
}

long long monoMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int main() {
    int master = -1, slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    if (Set_Com_Device(1, name) != 0 || Open_Com(1, 115200, 8, 0, 0) != 0) {
        std::fprintf(stderr, "cannot open %s as COM port 1\n", name);
        return 1;
    }
    constexpr int kRuns = 3;
    constexpr WORD kTimeout = 1000;
    char buf[16];
    double ours = 0, spin = 0;
    for (int i = 0; i < kRuns; ++i) {
        WORD wT = 0;
        const double c0 = cpuMs();
        const WORD got = Send_Receive(1, nullptr, 0, buf, sizeof buf, kTimeout, &wT);
        ours += cpuMs() - c0;
        if (got != 0 || wT <= kTimeout) {
            std::fprintf(stderr, "unexpected result %u after %u ms\n", got, wT);
            return 1;
        }
        spin += spinningReference(_fd[0], kTimeout);
    }
    ours /= kRuns;
    spin /= kRuns;
    std::printf("idle 1 s Send_Receive: %.2f ms processor time (target < 20 ms)\n", ours);
    std::printf("spinning poll loop, same wait: %.2f ms processor time\n", spin);
    std::printf("ratio ours/spinning: %.4f\n", spin > 0 ? ours / spin : 0.0);

    // The far end vanishes (adapter unplugged): a slave loop that keeps
    // polling the port must not burn the processor.
    close(master);
    constexpr int kLoopMs = 2000;
    const long long w0 = monoMs();
    const double c0 = cpuMs();
    int calls = 0, failed = 0;
    while (monoMs() - w0 < kLoopMs) {
        int function = 0, addr = 0, count = 0;
        failed += modbusRead(1, 1, &function, buf, sizeof buf, &addr, &count, 100) == -11;
        ++calls;
    }
    const double loopCpu = cpuMs() - c0;
    const double share = 100.0 * loopCpu / static_cast<double>(monoMs() - w0);
    std::printf("slave loop on a hung-up port: %d calls, %d reported failed, %.2f%% of a core "
                "(target < 1%%)\n",
                calls, failed, share);
    // The same loop on the raw exchange, receive-only as a slave collects.
    const long long r0 = monoMs();
    const double rc0 = cpuMs();
    calls = failed = 0;
    while (monoMs() - r0 < kLoopMs) {
        WORD wT = 0;
        failed += Send_Receive(1, nullptr, 0, buf, sizeof buf, 100, &wT) == 65535;
        ++calls;
    }
    std::printf("Send_Receive loop on a hung-up port: %d calls, %d reported failed, %.2f%% of a "
                "core (target < 1%%)\n",
                calls, failed, 100.0 * (cpuMs() - rc0) / static_cast<double>(monoMs() - r0));
    Close_Com(1);
    close(slave);
    return 0;
}

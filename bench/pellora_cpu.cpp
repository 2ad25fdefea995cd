// Processor time of pellora mirroring board 0C2A at the default interval of
// 100 ms, over 10 seconds, as a share of one core (target: under 0.5%).
#include <dirent.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "pellora_rig.h"

namespace {

// Processor time of every thread of `pid` so far, in nanoseconds.
long long cpuNanos(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    long long total = 0;
    DIR *d = opendir(tasks.c_str());
    if (d == nullptr) return -1;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream f(tasks + "/" + e->d_name + "/schedstat");
        long long ns = 0;
        if (f >> ns) total += ns;
    }
    closedir(d);
    return total;
}

}  // namespace

int main() {
    bench::Rig rig;
    if (!rig.start("0C2A", false, 100)) return 1;
    usleep(500000);  // past start-up
    rig.newTrace();
    const long long c0 = cpuNanos(rig.serverPid()), t0 = bench::monoUs();
    usleep(10000000);
    const long long c1 = cpuNanos(rig.serverPid()), t1 = bench::monoUs();
    int cycles = 0;
    for (const bench::Served &s : rig.newTrace()) cycles += s.function == 1;
    if (c0 < 0 || c1 < 0) {
        std::fprintf(stderr, "no processor times in /proc\n");
        return 1;
    }
    const double share = 100.0 * static_cast<double>(c1 - c0) / (1000.0 * (t1 - t0));
    std::printf(
        "pellora, board 0C2A, interval 100 ms: %.3f s of processor time in %.1f s, "
        "%d cycles\n",
        (c1 - c0) / 1e9, (t1 - t0) / 1e6, cycles);
    std::printf("processor share: %.3f%% of one core (target under 0.5%%)\n", share);
    return 0;
}

// Round trips per second of libmodbus's RTU master (read of 10 holding
// registers) against this library's RTU slave, a modbusRead/modbusReply loop
// and modbusServe, and against libmodbus's own RTU slave, each on a fresh
// socat PTY pair, in the same run, samples interleaved.
#include <cstring>
#include <functional>

#include "modbus.h"
#include "msw.h"
#include "slave_rig.h"

#ifdef HAVE_LIBMODBUS
#include <modbus/modbus.h>

namespace {

using namespace slavebench;

constexpr int kRegisters = 10;
constexpr char kPort = 5;
constexpr WORD kSlaveTimeout = 20;  // a slave loop's usual wait per call

unsigned short holding[100];

void ourReadReply(const std::string &path) {
    Set_Com_Device(kPort, path.c_str());
    if (Open_Com(kPort, 115200, 8, 0, 0) != 0) _exit(1);
    char buf[256];
    for (;;) {
        int function = 0, addr = 0, count = 0;
        if (modbusRead(kPort, 1, &function, buf, sizeof buf, &addr, &count, kSlaveTimeout) < 0)
            continue;
        if (function != 3 || addr + count > 100) continue;
        for (int i = 0; i < count; ++i) {
            buf[2 * i] = static_cast<char>(holding[addr + i] >> 8);
            buf[2 * i + 1] = static_cast<char>(holding[addr + i]);
        }
        modbusReply(kPort, 1, 3, buf, static_cast<WORD>(2 * count), 0, 0);
    }
}

#ifndef BASELINE
void ourServe(const std::string &path) {
    Set_Com_Device(kPort, path.c_str());
    if (Open_Com(kPort, 115200, 8, 0, 0) != 0) _exit(1);
    fieldbusMap map{0, 0, 0, 0, 0, 100, 0, 0, nullptr, nullptr, holding, nullptr};
    for (;;) modbusServe(kPort, 1, &map, kSlaveTimeout);
}
#endif

void theirSlave(const std::string &path) {
    modbus_t *ctx = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) != 0) _exit(1);
    modbus_mapping_t *map = modbus_mapping_new(0, 0, 100, 0);
    std::memcpy(map->tab_registers, holding, sizeof holding);
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) modbus_reply(ctx, query, rc, map);
    }
}

// The slave's processor time per answered request of the last sample, in
// microseconds.
double lastCpuUs = 0;

// Round trips per second of libmodbus's master against the slave `run`.
double sample(void (*run)(const std::string &), int rounds) {
    PtyLink link;
    const std::string slavePath = link.a;
    const pid_t slave = spawn([&] { run(slavePath); });
    modbus_t *ctx = modbus_new_rtu(link.b.c_str(), 115200, 'N', 8, 1);
    modbus_set_slave(ctx, 1);
    modbus_set_response_timeout(ctx, 1, 0);
    if (modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus master cannot open %s\n", link.b.c_str());
        std::exit(1);
    }
    uint16_t regs[kRegisters];
    // Until the slave is up.
    for (int i = 0; i < 50 && modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters; ++i)
        modbus_flush(ctx);
    const double start = now();
    const long long cpu0 = cpuNanos(slave);
    for (int i = 0; i < rounds; ++i) {
        if (modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters || regs[1] != 257) {
            std::fprintf(stderr, "read failed at round %d: %s\n", i, modbus_strerror(errno));
            std::exit(1);
        }
    }
    const double rate = rounds / (now() - start);
    lastCpuUs = static_cast<double>(cpuNanos(slave) - cpu0) / 1e3 / rounds;
    modbus_close(ctx);
    modbus_free(ctx);
    stop(slave);
    return rate;
}

// Master side, against the libmodbus slave: this library's modbusRequest or
// libmodbus's master, round trips per second.
double masterSample(bool ours, int rounds) {
    PtyLink link;
    const std::string slavePath = link.a;
    const pid_t slave = spawn([&] { theirSlave(slavePath); });
    double rate = 0;
    if (ours) {
        Set_Com_Device(kPort, link.b.c_str());
        if (Open_Com(kPort, 115200, 8, 0, 0) != 0) std::exit(1);
        char buf[2 * kRegisters];
        for (int i = 0; i < 50 && modbusRequest(kPort, 1, 3, 0, kRegisters, buf, sizeof buf, 1000,
                                                nullptr) != 0;
             ++i) {
        }
        const double start = now();
        for (int i = 0; i < rounds; ++i)
            if (modbusRequest(kPort, 1, 3, 0, kRegisters, buf, sizeof buf, 1000, nullptr) != 0 ||
                buf[3] != 1) {
                std::fprintf(stderr, "modbusRequest failed at round %d\n", i);
                std::exit(1);
            }
        rate = rounds / (now() - start);
        Close_Com(kPort);
    } else {
        modbus_t *ctx = modbus_new_rtu(link.b.c_str(), 115200, 'N', 8, 1);
        modbus_set_slave(ctx, 1);
        if (modbus_connect(ctx) != 0) std::exit(1);
        uint16_t regs[kRegisters];
        for (int i = 0; i < 50 && modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters;
             ++i)
            modbus_flush(ctx);
        const double start = now();
        for (int i = 0; i < rounds; ++i)
            if (modbus_read_registers(ctx, 0, kRegisters, regs) != kRegisters) std::exit(1);
        rate = rounds / (now() - start);
        modbus_close(ctx);
        modbus_free(ctx);
    }
    stop(slave);
    return rate;
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    constexpr int kSamples = 5;
    for (int i = 0; i < 100; ++i) holding[i] = static_cast<unsigned short>(i * 257);
    std::vector<double> readReply, serve, theirs, ourMaster, theirMaster;
    std::vector<double> readReplyCpu, serveCpu, theirsCpu;
    // Each round takes every kind once; the order turns from round to round so
    // that no kind always runs in the same place (after the same neighbour).
    std::vector<std::function<void()>> kinds = {
        [&] { ourMaster.push_back(masterSample(true, rounds)); },
        [&] { theirMaster.push_back(masterSample(false, rounds)); },
        [&] {
            readReply.push_back(sample(ourReadReply, rounds));
            readReplyCpu.push_back(lastCpuUs);
        },
#ifndef BASELINE
        [&] {
            serve.push_back(sample(ourServe, rounds));
            serveCpu.push_back(lastCpuUs);
        },
#endif
        [&] {
            theirs.push_back(sample(theirSlave, rounds));
            theirsCpu.push_back(lastCpuUs);
        },
    };
    for (int s = 0; s < kSamples; ++s)
        for (size_t k = 0; k < kinds.size(); ++k) kinds[(k + static_cast<size_t>(s)) % kinds.size()]();
    const double t = median(theirs);
    std::printf(
        "libmodbus RTU master, read of %d registers, %d round trips x %d samples, median:\n",
        kRegisters, rounds, kSamples);
    std::printf("libmodbus slave:                %8.0f round trips/s\n", t);
    std::printf("modbusRead/modbusReply slave:   %8.0f round trips/s  ratio %.3f (target >= 1.0)\n",
                median(readReply), median(readReply) / t);
    if (!serve.empty())
        std::printf(
            "modbusServe slave:              %8.0f round trips/s  ratio %.3f (target >= 1.0)\n",
            median(serve), median(serve) / t);
    const double tc = median(theirsCpu);
    std::printf("processor time per answered request: libmodbus slave %.2f us\n", tc);
    std::printf("  modbusRead/modbusReply slave: %.2f us  ratio %.3f (target <= 0.8)\n",
                median(readReplyCpu), median(readReplyCpu) / tc);
    if (!serveCpu.empty())
        std::printf("  modbusServe slave:            %.2f us  ratio %.3f (target <= 0.8)\n",
                    median(serveCpu), median(serveCpu) / tc);
    std::printf(
        "master against the libmodbus slave: modbusRequest %8.0f, libmodbus %8.0f round "
        "trips/s, ratio %.3f (target >= 1.0)\n",
        median(ourMaster), median(theirMaster), median(ourMaster) / median(theirMaster));
    return 0;
}

#else
int main() {
    std::printf("libmodbus not found: nothing to compare against\n");
    return 0;
}
#endif

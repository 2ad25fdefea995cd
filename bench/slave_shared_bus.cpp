// A slave on a shared bus: a master polls slave 2 and then our slave 1 with
// 5 ms gaps, as on an RS-485 line where slave 2 is absent, answers, or the
// line picks up noise; and a master whose requests come back to back in one
// write (as a USB adapter delivers a burst), to slave 2 and 1 or twice to 1.
// Prints the share of slave 1's requests answered correctly, for modbusServe,
// a modbusRead/modbusReply loop and modbusServeA, each in a child process on
// a pseudo-terminal.
#include <pty.h>
#include <termios.h>

#include <cstring>
#include <random>
#include <string>

#include "crc16.h"
#include "modbus.h"
#include "msw.h"
#include "slave_rig.h"

namespace {

using namespace slavebench;

constexpr char kPort = 6;
constexpr int kRegisters = 10;
constexpr WORD kSlaveTimeout = 20;  // a slave loop's usual wait per call
constexpr int kGapMs = 5;
constexpr int kAnswerWaitMs = 100;  // the master's time-out

unsigned short holding[100];

Frame rtu(Frame body) {
    const uint16_t crc = getCRC16(body.data(), static_cast<int>(body.size()));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    body.push_back(static_cast<uint8_t>(crc));
    return body;
}

Frame ascii(Frame body) {
    char text[600];
    const int n =
        BinToAsc(text, reinterpret_cast<char *>(body.data()), static_cast<int>(body.size()));
    return Frame(text, text + n);
}

Frame readRequest(uint8_t unit) {
    return {unit, 3, 0, 0, 0, kRegisters};
}

Frame readAnswer(uint8_t unit) {
    Frame a{unit, 3, 2 * kRegisters};
    for (int i = 0; i < kRegisters; ++i) {
        a.push_back(static_cast<uint8_t>(holding[i] >> 8));
        a.push_back(static_cast<uint8_t>(holding[i]));
    }
    return a;
}

enum class Kind { Serve, ReadReply, ServeAscii };

void slaveLoop(Kind kind, const std::string &path) {
    Set_Com_Device(kPort, path.c_str());
    if (Open_Com(kPort, 115200, 8, 0, 0) != 0) _exit(1);
    fieldbusMap map{0, 0, 0, 0, 0, 100, 0, 0, nullptr, nullptr, holding, nullptr};
    char buf[256];
    for (;;) {
        if (kind == Kind::Serve) {
            modbusServe(kPort, 1, &map, kSlaveTimeout);
        } else if (kind == Kind::ServeAscii) {
            modbusServeA(kPort, 1, &map, kSlaveTimeout);
        } else {
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
}

void pause(int ms) {
    usleep(static_cast<useconds_t>(ms) * 1000);
}

void put(int fd, const Frame &f) {
    size_t done = 0;
    while (done < f.size()) {
        const ssize_t n = write(fd, f.data() + done, f.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

// True when exactly `want` arrives within the master's time-out.
bool answered(int fd, const Frame &want) {
    Frame got;
    const double end = now() + kAnswerWaitMs / 1000.0;
    while (got.size() < want.size()) {
        const int left = static_cast<int>((end - now()) * 1000);
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) break;
        uint8_t b[512];
        const ssize_t n = read(fd, b, std::min(sizeof b, want.size() - got.size()));
        if (n <= 0) break;
        got.insert(got.end(), b, b + n);
    }
    return got == want;
}

void drain(int fd) {
    uint8_t b[512];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 0) > 0 && read(fd, b, sizeof b) > 0) {
    }
}

enum class Bus { SilentSlave2, Slave2Answers, Noise, BackToBack, TwiceToUs };

const char *busName(Bus b) {
    switch (b) {
        case Bus::SilentSlave2:
            return "slave 2 absent, 5 ms gaps";
        case Bus::Slave2Answers:
            return "slave 2 answers, 5 ms gaps";
        case Bus::Noise:
            return "8 bytes of noise, 5 ms gap";
        case Bus::BackToBack:
            return "request to 2 and to 1 in one write";
        case Bus::TwiceToUs:
            return "two requests to 1 in one write";
    }
    return "";
}

// Percentage of the requests to slave 1 answered correctly, `rounds` rounds.
double run(Kind kind, Bus bus, int rounds) {
    int master = -1, slaveFd = -1;
    char name[256];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slaveFd, name, &raw, nullptr) != 0) std::exit(1);
    const std::string path = name;
    const pid_t slave = spawn([&] { slaveLoop(kind, path); });
    const bool text = kind == Kind::ServeAscii;
    const auto wrap = [text](const Frame &body) { return text ? ascii(body) : rtu(body); };
    const Frame toUs = wrap(readRequest(1)), toOther = wrap(readRequest(2));
    const Frame ours = wrap(readAnswer(1)), theirs = wrap(readAnswer(2));
    std::mt19937 rng(7);
    // Until the slave is up.
    for (int i = 0; i < 100; ++i) {
        put(master, toUs);
        if (answered(master, ours)) break;
        drain(master);
    }
    pause(kGapMs);
    int good = 0;
    for (int r = 0; r < rounds; ++r) {
        if (bus == Bus::BackToBack || bus == Bus::TwiceToUs) {
            Frame both = bus == Bus::BackToBack ? toOther : toUs;
            both.insert(both.end(), toUs.begin(), toUs.end());
            put(master, both);
            if (bus == Bus::TwiceToUs) good += answered(master, ours);
        } else {
            if (bus == Bus::Noise) {
                Frame noise(8);
                for (auto &b : noise) b = static_cast<uint8_t>(rng());
                put(master, noise);
            } else {
                put(master, toOther);
                if (bus == Bus::Slave2Answers) {
                    pause(1);
                    put(master, theirs);
                }
            }
            pause(kGapMs);
            drain(master);  // an answer to slave 2's request would show as a wrong one below
            put(master, toUs);
        }
        good += answered(master, ours);
        pause(kGapMs);
        drain(master);
    }
    stop(slave);
    close(slaveFd);
    close(master);
    return 100.0 * good / (bus == Bus::TwiceToUs ? 2 * rounds : rounds);
}

}  // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    for (int i = 0; i < 100; ++i) holding[i] = static_cast<unsigned short>(i * 257);
    std::printf("slave 1 on a shared bus, 115200 baud, %d requests to it per line, answered:\n",
                rounds);
    const struct {
        Kind kind;
        const char *name;
    } kinds[] = {{Kind::Serve, "modbusServe"},
                 {Kind::ReadReply, "modbusRead/Reply"},
                 {Kind::ServeAscii, "modbusServeA"}};
    for (const auto &k : kinds)
        for (Bus bus :
             {Bus::SilentSlave2, Bus::Slave2Answers, Bus::Noise, Bus::BackToBack, Bus::TwiceToUs})
            std::printf("  %-17s %-36s %6.1f%% (target 100%%)\n", k.name, busName(bus),
                        run(k.kind, bus, rounds));
    return 0;
}

// Peers for the Modbus/TCP tests: a libmodbus server in a thread, this
// library's slave loop in a thread, and a runner for command-line programs.
#pragma once

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "modbus.h"
#include "net.h"
#include "net_private.h"
#include "pty_pair.h"

namespace tcppeer {

inline int localPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr *>(&ss), &len);
    return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 &>(ss).sin6_port)
                                    : ntohs(reinterpret_cast<sockaddr_in &>(ss).sin_port);
}

// Values both peers start with, so tests can check reads against them.
inline uint16_t holdingAt(int i) {
    return static_cast<uint16_t>(0x1000 + i);
}
inline uint16_t inputRegAt(int i) {
    return static_cast<uint16_t>(0x2000 + i);
}
inline bool coilAt(int i) {
    return i % 3 == 0;
}
inline bool inputAt(int i) {
    return i % 2 == 1;
}

// A libmodbus TCP server on 127.0.0.1 or ::1, one connection at a time.
// Unit 99 is never answered; unit 98 makes it hang up.
class LibmodbusServer {
  public:
    static constexpr int kSize = 200;
    explicit LibmodbusServer(bool ipv6) : ipv6_(ipv6) {
        ctx_ = ipv6 ? modbus_new_tcp_pi("::1", "0") : modbus_new_tcp("127.0.0.1", 0);
        map_ = modbus_mapping_new(kSize, kSize, kSize, kSize);
        for (int i = 0; i < kSize; ++i) {
            map_->tab_bits[i] = coilAt(i);
            map_->tab_input_bits[i] = inputAt(i);
            map_->tab_registers[i] = holdingAt(i);
            map_->tab_input_registers[i] = inputRegAt(i);
        }
        listenFd_ = ipv6 ? modbus_tcp_pi_listen(ctx_, 1) : modbus_tcp_listen(ctx_, 1);
        port = localPort(listenFd_);
        if (pipe(stop_) != 0) stop_[0] = stop_[1] = -1;
        thread_ = std::thread([this] { serve(); });
    }
    ~LibmodbusServer() {
        if (write(stop_[1], "x", 1) < 0) {
        }
        thread_.join();
        close(stop_[0]);
        close(stop_[1]);
        close(listenFd_);
        modbus_mapping_free(map_);
        modbus_free(ctx_);
    }
    LibmodbusServer(const LibmodbusServer &) = delete;
    LibmodbusServer &operator=(const LibmodbusServer &) = delete;
    int port = 0;

  private:
    // Waits for fd or the stop pipe; true when fd is ready.
    bool waitFor(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (poll(p, 2, -1) < 0) {
        }
        return (p[1].revents & POLLIN) == 0;
    }
    void serve() {
        std::array<uint8_t, MODBUS_TCP_MAX_ADU_LENGTH> query{};
        while (waitFor(listenFd_)) {
            int s = listenFd_;
            const int client = ipv6_ ? modbus_tcp_pi_accept(ctx_, &s) : modbus_tcp_accept(ctx_, &s);
            if (client < 0) continue;
            while (waitFor(client)) {
                const int rc = modbus_receive(ctx_, query.data());
                if (rc < 0) break;
                if (rc == 0) continue;
                if (query[6] == 99) continue;
                if (query[6] == 98) break;
                modbus_reply(ctx_, query.data(), rc, map_);
            }
            close(client);
        }
    }
    bool ipv6_;
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    int listenFd_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// This library's slave: modbusReadE and modbusReplyE in a loop on their own
// thread, which is then the only user of the connection table until the
// loop stops. Serves coils, inputs, holding and input registers 0..1999 /
// 0..199 for unit 1; requests it cannot serve get no answer.
class SlaveLoop {
  public:
    static constexpr int kBits = 2000;
    static constexpr int kRegs = 200;
    // map: serve through the register-map server (modbusServeE) instead,
    // which answers requests outside the points with exceptions.
    explicit SlaveLoop(bool ipv6 = false, char unit = 1, bool map = false)
        : unit_(unit), map_(map) {
        for (int i = 0; i < kBits; ++i) {
            coils_[i] = coilAt(i);
            inputs_[i] = inputAt(i);
        }
        for (int i = 0; i < kRegs; ++i) {
            holding_[i] = holdingAt(i);
            inputRegs_[i] = inputRegAt(i);
        }
        listener_ = Open_Socket(0, 0, ipv6 ? 1 : 0);
        Listen_Socket(listener_);
        port = localPort(connectManager[listener_].fd);
        thread_ = std::thread([this] { run(); });
    }
    ~SlaveLoop() {
        stop_ = true;
        thread_.join();
        for (int c : connectManager[listener_].clientfd) Close_Socket(c);
        Close_Socket(listener_);
    }
    SlaveLoop(const SlaveLoop &) = delete;
    SlaveLoop &operator=(const SlaveLoop &) = delete;

    // Waits up to 3 s until `want` clients hold a slot.
    bool waitOccupied(int want) const {
        const long long deadline = fbtest::monoMs() + 3000;
        while (occupied.load() != want) {
            if (fbtest::monoMs() > deadline) return false;
            poll(nullptr, 0, 5);
        }
        return true;
    }

    // Waits until the loop has finished three more calls: whatever a client
    // had sent before has then been read and dealt with (one call may end its
    // scan before that client's slot, the next starts again from slot 0).
    bool settle() const {
        const int start = calls.load();
        const long long deadline = fbtest::monoMs() + 3000;
        while (calls.load() < start + 3) {
            if (fbtest::monoMs() > deadline) return false;
            poll(nullptr, 0, 2);
        }
        return true;
    }

    int port = 0;
    std::atomic<int> calls{0};     // modbusReadE calls completed
    std::atomic<int> occupied{0};  // clientfd slots in use after the last call
    std::atomic<int> served{0};    // answers sent

  private:
    void run() {
        char buf[512];
        fieldbusMap points = {0,
                              kBits,
                              0,
                              kBits,
                              0,
                              kRegs,
                              0,
                              kRegs,
                              coils_.data(),
                              inputs_.data(),
                              holding_.data(),
                              inputRegs_.data()};
        while (!stop_) {
            int trans = 0, client = 0, function = 0, addr = 0, count = 0;
            if (map_) {
                if (modbusServeE(listener_, unit_, &points, 20) > 0) ++served;
            } else {
                const int rc = modbusReadE(listener_, unit_, &trans, &client, &function, buf,
                                           sizeof buf, &addr, &count, 20);
                if (rc >= 0 && answer(trans, client, function, buf, rc, addr, count) == 0) ++served;
            }
            int n = 0;
            for (int c : connectManager[listener_].clientfd) n += c >= 0;
            occupied = n;
            ++calls;
        }
    }
    int reply(int trans, int client, int function, char *data, int len, int addr) {
        return modbusReplyE(listener_, unit_, trans, client, function, data, static_cast<WORD>(len),
                            static_cast<WORD>(addr), 0);
    }
    int answer(int trans, int client, int function, char *buf, int rc, int addr, int count) {
        char out[512] = {};
        switch (function) {
            case 1:
            case 2: {
                const unsigned char *bits = function == 1 ? coils_.data() : inputs_.data();
                if (count < 1 || count > 2000 || addr + count > kBits) return -1;
                for (int i = 0; i < count; ++i)
                    if (bits[addr + i]) out[i / 8] = static_cast<char>(out[i / 8] | (1 << (i % 8)));
                return reply(trans, client, function, out, (count + 7) / 8, 0);
            }
            case 3:
            case 4: {
                const uint16_t *regs = function == 3 ? holding_.data() : inputRegs_.data();
                if (count < 1 || count > 125 || addr + count > kRegs) return -1;
                for (int i = 0; i < count; ++i) {
                    out[2 * i] = static_cast<char>(regs[addr + i] >> 8);
                    out[2 * i + 1] = static_cast<char>(regs[addr + i]);
                }
                return reply(trans, client, function, out, 2 * count, 0);
            }
            case 5: {
                const int v = (static_cast<uint8_t>(buf[0]) << 8) | static_cast<uint8_t>(buf[1]);
                if (addr >= kBits || (v != 0xFF00 && v != 0)) return -1;
                coils_[addr] = v != 0;
                return reply(trans, client, function, buf, 0, addr);
            }
            case 6:
                if (addr >= kRegs) return -1;
                holding_[addr] = static_cast<uint16_t>((static_cast<uint8_t>(buf[0]) << 8) |
                                                       static_cast<uint8_t>(buf[1]));
                return reply(trans, client, function, buf, 0, addr);
            case 15:
                if (count < 1 || count > 1968 || rc != (count + 7) / 8 || addr + count > kBits)
                    return -1;
                for (int i = 0; i < count; ++i) coils_[addr + i] = (buf[i / 8] >> (i % 8)) & 1;
                break;
            case 16:
                if (count < 1 || count > 123 || rc != 2 * count || addr + count > kRegs) return -1;
                for (int i = 0; i < count; ++i)
                    holding_[addr + i] =
                        static_cast<uint16_t>((static_cast<uint8_t>(buf[2 * i]) << 8) |
                                              static_cast<uint8_t>(buf[2 * i + 1]));
                break;
            default:
                return -1;
        }
        // Writes of several items echo the address and the quantity.
        char quantity[2] = {static_cast<char>(count >> 8), static_cast<char>(count)};
        return reply(trans, client, function, quantity, 0, addr);
    }

    char unit_;
    bool map_ = false;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::array<unsigned char, kBits> coils_{}, inputs_{};
    std::array<uint16_t, kRegs> holding_{}, inputRegs_{};
    std::thread thread_;
};

struct Outcome {
    std::string out;
    int status = -1;  // exit status, -1 when killed at the deadline
};

// Runs a program with its standard output captured (standard error to
// /dev/null); kills it after deadlineMs.
inline Outcome runProgram(std::vector<std::string> argv, int deadlineMs = 10000) {
    std::vector<char *> cargv;
    for (auto &a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(fds[1]);
    Outcome r;
    const long long deadline = fbtest::monoMs() + deadlineMs;
    char buf[4096];
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        const long long left = deadline - fbtest::monoMs();
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace tcppeer

// The gateway's tests: pellora on rkboard-sim (the refresh tests' rig),
// zuqgate in front of them on a port of its own, and a raw Modbus/TCP client
// that sends exactly the bytes a test gives it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pellora_refresh_rig.h"
#include "pty_pair.h"
#include "server_harness.h"

namespace gatetest {

using Bytes = std::vector<uint8_t>;

// "01 03 00 20" -> bytes.
inline Bytes hex(const std::string &text) {
    Bytes out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(static_cast<uint8_t>(std::stoul(w, nullptr, 16)));
    return out;
}

inline std::string show(const Bytes &b) {
    std::string out;
    char two[4];
    for (uint8_t v : b) {
        std::snprintf(two, sizeof two, "%02X ", v);
        out += two;
    }
    return out.empty() ? "(nothing)" : out.substr(0, out.size() - 1);
}

// zuqgate on the rig's region, on 127.0.0.1 (or `address`) and a free port.
struct Gate : fbtest::Process {
    bool start(const fbtest::TestNames &names, std::vector<std::string> args = {},
               const std::string &address = "127.0.0.1") {
        args.insert(args.begin(), {"-a", address, "-p", "0"});
        if (!Process::start(fbtest::programPath("zuqgate"), args,
                            {"PELLORA_SHM_NAME=" + names.shmName}))
            return false;
        for (std::string line; readLine(&line, 10000);) {
            const auto at = line.find(" port ");
            if (line.rfind("zuqgate: listening on ", 0) == 0 && at != std::string::npos) {
                port = std::stoi(line.substr(at + 6));
                return true;
            }
        }
        return false;
    }
    int port = 0;
};

// A plain TCP connection to the gateway, closed with the object.
struct Conn {
    explicit Conn(int port, bool ipv6 = false, int receiveBuffer = 0) {
        fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        int rc;
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            a.sin6_addr = in6addr_loopback;
            rc = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            rc = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        }
        if (rc != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Conn() {
        if (fd >= 0) close(fd);
    }
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    bool sendRaw(const Bytes &b) {
        return fd >= 0 &&
               ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    // Sends `body` (unit, function, data) behind an MBAP header.
    bool sendRequest(const Bytes &body, uint16_t trans) {
        Bytes f = {static_cast<uint8_t>(trans >> 8),       static_cast<uint8_t>(trans),      0, 0,
                   static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
        f.insert(f.end(), body.begin(), body.end());
        return sendRaw(f);
    }
    // Reads exactly n bytes; false on end of stream, error or time-out.
    bool readN(uint8_t *out, size_t n, int timeoutMs) {
        const long long end = fbtest::monoMs() + timeoutMs;
        for (size_t got = 0; got < n;) {
            pollfd p{fd, POLLIN, 0};
            const long long left = end - fbtest::monoMs();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            const ssize_t r = recv(fd, out + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }
    // The body of the next answer; its transaction identifier in *trans.
    Bytes answer(uint16_t *trans = nullptr, int timeoutMs = 5000) {
        uint8_t h[6];
        if (!readN(h, 6, timeoutMs)) return {};
        if (trans != nullptr) *trans = static_cast<uint16_t>(h[0] << 8 | h[1]);
        Bytes body(static_cast<size_t>(h[4] << 8 | h[5]));
        if (!readN(body.data(), body.size(), timeoutMs)) return {};
        return body;
    }
    // One request, its answer body ({} when none came or the ids differ).
    Bytes ask(const Bytes &body, int timeoutMs = 5000) {
        const uint16_t trans = static_cast<uint16_t>(++next);
        uint16_t got = 0;
        if (!sendRequest(body, trans)) return {};
        Bytes a = answer(&got, timeoutMs);
        return got == trans ? a : Bytes{};
    }
    // Whether the gateway closed the connection (end of stream or reset).
    bool closedByPeer(int timeoutMs = 5000) {
        uint8_t b;
        const long long end = fbtest::monoMs() + timeoutMs;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const long long left = end - fbtest::monoMs();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
            const ssize_t r = recv(fd, &b, 1, 0);
            if (r <= 0) return true;
        }
    }
    int fd = -1;
    int next = 0;
};

// Board 0C2A (coils 0-3, discrete inputs 32-35, input registers 0-3,
// holding registers 32-33, 32-bit inputs from register 128) with known
// values, pellora on it, zuqgate in front (started by the test).
struct GateRig {
    explicit GateRig(const std::string &tag, int interval = 20) : names(tag) {
        EXPECT_TRUE(board.start(names, {"--board", "0C2A"}));
        for (const char *c :
             {"set di 32 1 0 1 1", "set ir 0 0x1234 0x5678 0x9ABC 0xDEF0",
              "set ir 128 0xAAAA 0xBBBB", "set coil 0 1 0 0 1", "set hr 32 0x0102 0x0304"})
            EXPECT_EQ(board.command(c), "ok") << c;
        // On a loaded machine the board's first answer may miss the server's
        // 50 ms: the server then runs without a board, and is started again.
        for (int attempt = 0; attempt < 3 && share == nullptr; ++attempt) {
            server = std::make_unique<fbtest::Server>();
            const size_t before = board.trace().size();
            if (!server->start(names, {"-i", std::to_string(interval)}) || !server->waitReady())
                continue;
            // Identification and the two output images: three requests,
            // and the board taken as present (its answer may have come late).
            if (fbtest::traceReaches(board, before + 3))
                share = ioshare_open(names.shmName.c_str());
            if (share != nullptr &&
                !fbtest::waitUntil([&] { return share->boardId == 0x0C2A; }, 2000)) {
                ioshare_close(share);
                share = nullptr;
            }
            if (share == nullptr) server->stop();
        }
        EXPECT_NE(share, nullptr) << "no server with the board";
    }
    ~GateRig() {
        if (share != nullptr) ioshare_close(share);
    }
    // Waits until the images hold the board's values: the 32-bit inputs are
    // the last read of a cycle, so once they show, every kind does.
    bool ready(Conn &c) {
        return fbtest::waitUntil(
            [&] { return c.ask(hex("01 04 00 80 00 01")) == hex("01 04 02 AA AA"); });
    }
    fbtest::TestNames names;
    fbtest::BoardSim board;
    std::unique_ptr<fbtest::Server> server;
    ioShare_t *share = nullptr;
    Gate gate;
};

}  // namespace gatetest

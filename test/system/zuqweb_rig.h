// zuqweb's tests: the program on a free port, curl as the HTTP peer, and a
// raw connection for reading an event stream.
#pragma once

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "zuqgate_rig.h"

namespace webtest {

using nlohmann::json;

inline bool haveProgram(const std::string &name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Output of a shell command (standard output only).
inline std::string run(const std::string &command) {
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// zuqweb on the test's region, on 127.0.0.1 and a free port.
struct Web : fbtest::Process {
    bool start(const fbtest::TestNames &names, std::vector<std::string> args = {}) {
        dir = names.dir;
        args.insert(args.begin(), {"-a", "127.0.0.1", "-p", "0"});
        if (!Process::start(fbtest::programPath("zuqweb"), args,
                            {"PELLORA_SHM_NAME=" + names.shmName}))
            return false;
        for (std::string line; readLine(&line, 10000);) {
            const auto at = line.find(" port ");
            if (line.rfind("zuqweb: listening on ", 0) == 0 && at != std::string::npos) {
                port = std::stoi(line.substr(at + 6));
                return true;
            }
        }
        return false;
    }
    struct Answer {
        int status = 0;
        std::string body;
        json j() const { return json::parse(body, nullptr, false); }
    };
    // One request through curl; `options` go before the URL as they are.
    Answer http(const std::string &path, const std::string &options = "") const {
        const std::string bodyFile = dir + "/body";
        std::remove(bodyFile.c_str());
        Answer a;
        a.status = std::atoi(run("curl -s -m 10 -o " + bodyFile + " -w '%{http_code}' " + options +
                                 " 'http://127.0.0.1:" + std::to_string(port) + path + "'")
                                 .c_str());
        a.body = fbtest::readFile(bodyFile);
        return a;
    }
    Answer post(const std::string &body, const std::string &options = "") const {
        return http("/api/points", options + " -H 'Content-Type: application/json' --data-raw '" +
                                       body + "'");
    }
    std::string dir;
    int port = 0;
};

// An event stream read over a plain connection, one event at a time.
struct Events {
    Events(int port, const std::string &headers = "") : conn(port) {
        ok = conn.fd >= 0;
        const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
        ok = ok && conn.sendRaw(gatetest::Bytes(request.begin(), request.end()));
    }
    // The next event's name and data ("" when none came in time, or the
    // stream ended); comment lines are skipped.
    bool next(std::string *name, json *data, int timeoutMs = 5000) {
        for (;;) {
            // The response's headers end in a blank line of their own.
            const auto head = buffer.find("\r\n\r\n");
            if (!headersSeen && head != std::string::npos) {
                headersSeen = true;
                status = buffer.substr(0, buffer.find("\r\n"));
                buffer.erase(0, head + 4);
            }
            const auto end = buffer.find("\n\n");
            if (headersSeen && end != std::string::npos) {
                const std::string block = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                std::string ev, payload;
                size_t at = 0;
                while (at <= block.size()) {
                    size_t nl = block.find('\n', at);
                    if (nl == std::string::npos) nl = block.size();
                    const std::string line = block.substr(at, nl - at);
                    if (line.rfind("event: ", 0) == 0) ev = line.substr(7);
                    if (line.rfind("data: ", 0) == 0) payload = line.substr(6);
                    at = nl + 1;
                }
                if (ev.empty()) continue;  // headers, retry, comments
                *name = ev;
                *data = json::parse(payload, nullptr, false);
                return true;
            }
            uint8_t chunk[65536];
            pollfd p{conn.fd, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return false;
            const ssize_t r = recv(conn.fd, chunk, sizeof chunk, 0);
            if (r <= 0) return false;
            buffer.append(reinterpret_cast<char *>(chunk), static_cast<size_t>(r));
        }
    }
    // Events until one satisfies `want` (false when the stream ends or stays quiet).
    bool until(const std::function<bool(const std::string &, const json &)> &want,
               int timeoutMs = 10000) {
        const long long end = fbtest::monoMs() + timeoutMs;
        std::string name;
        json data;
        while (fbtest::monoMs() < end)
            if (next(&name, &data, static_cast<int>(end - fbtest::monoMs())) && want(name, data))
                return true;
        return false;
    }
    gatetest::Conn conn;
    bool ok = false;
    bool headersSeen = false;
    std::string status;
    std::string buffer;
};

// The value of point `address` of `kind` in a points object (-1: not there).
inline long long pointValue(const json &points, const std::string &kind, int address,
                            const char *field = "value") {
    if (!points.is_object() || !points.contains(kind)) return -1;
    for (const json &p : points[kind])
        if (p["address"] == address) return p[field].get<long long>();
    return -1;
}

}  // namespace webtest

// The HTTP side of zuqweb.
#include "web.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "render.h"

namespace zuqweb {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char *kRealm = "zuqweb";
constexpr long long kMaxBody = 1024;  // a write's JSON is a few dozen bytes
constexpr auto kMinGap = std::chrono::milliseconds(100);  // at most 10 messages a second
constexpr auto kKeepAlive = std::chrono::seconds(15);
constexpr auto kStatusGap = std::chrono::seconds(1);  // the health at most once a second
// Threads beyond MAXCLIENTS: they answer the connections beyond it with 503
// while MAXCLIENTS event streams are open.
constexpr int kSpareThreads = 4;

const char *reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 411: return "Length Required";
        case 413: return "Content Too Large";
        case 415: return "Unsupported Media Type";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: return "Error";
    }
}

void sendBody(mg_connection *conn, int status, const char *type, const std::string &body,
              const char *extraHeaders = "") {
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
              "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
              "Connection: close\r\n%s\r\n",
              status, reason(status), type, body.size(), extraHeaders);
    mg_write(conn, body.data(), body.size());
}

int onRequest(mg_connection *conn, void *self) {
    return static_cast<Web *>(self)->handle(conn);
}

int onLog(const mg_connection *, const char *message) {
    std::fprintf(stderr, "zuqweb: %s\n", message);
    return 1;
}

// Counts the clients being served for as long as a handler runs.
struct Count {
    explicit Count(std::atomic<int> &c) : c_(c), now_(++c) {}
    ~Count() { --c_; }
    std::atomic<int> &c_;
    const int now_;
};

bool writeAll(mg_connection *conn, const std::string &text) {
    return mg_write(conn, text.data(), text.size()) == static_cast<int>(text.size());
}

// The socket of the connection (civetweb does not give it out): the one
// whose far end is the client's address and port and whose near end is the
// listening port. -1 when none is found; the stream then ends on a failed
// write alone.
int findSocket(const mg_request_info *ri) {
    rlimit lim{};
    const int top = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 65536
                        ? static_cast<int>(lim.rlim_cur)
                        : 65536;
    for (int fd = 3; fd < top; ++fd) {
        sockaddr_storage peer{}, self{};
        socklen_t pl = sizeof peer, sl = sizeof self;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &pl) != 0) continue;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&self), &sl) != 0) continue;
        char host[INET6_ADDRSTRLEN] = "";
        int peerPort = -1, selfPort = -1;
        if (peer.ss_family == AF_INET) {
            const auto *a = reinterpret_cast<sockaddr_in *>(&peer);
            inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
            peerPort = ntohs(a->sin_port);
            selfPort = ntohs(reinterpret_cast<sockaddr_in *>(&self)->sin_port);
        } else if (peer.ss_family == AF_INET6) {
            const auto *a = reinterpret_cast<sockaddr_in6 *>(&peer);
            inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
            peerPort = ntohs(a->sin6_port);
            selfPort = ntohs(reinterpret_cast<sockaddr_in6 *>(&self)->sin6_port);
        }
        if (peerPort == ri->remote_port && selfPort == ri->server_port &&
            std::strcmp(host, ri->remote_addr) == 0)
            return fd;
    }
    return -1;
}

// Whether the client has closed its end (a browser tab gone).
bool hungUp(int fd) {
    if (fd < 0) return false;
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::string event(const char *name, uint64_t id, const json &data) {
    return std::string("event: ") + name + "\nid: " + std::to_string(id) + "\ndata: " +
           data.dump(-1, ' ', false, json::error_handler_t::replace) + "\n\n";
}

}  // namespace

Web::~Web() {
    stop();
}

bool Web::start() {
    std::string ports;
    const std::string port = std::to_string(options_.port);
    if (options_.address.empty())
        ports = mg_check_feature(8) ? "+" + port : port;  // IPv4 and IPv6 where built in
    else if (options_.address.find(':') != std::string::npos)
        ports = "[" + options_.address + "]:" + port;
    else
        ports = options_.address + ":" + port;
    const std::string threads = std::to_string(options_.maxClients + kSpareThreads);
    const char *config[] = {"listening_ports", ports.c_str(),
                            "num_threads", threads.c_str(),
                            // One request a connection: an idle browser holds no thread.
                            "enable_keep_alive", "no",
                            // Also how long a write to a stalled reader may block.
                            "request_timeout_ms", "5000",
                            "max_request_size", "8192",
                            "authentication_domain", kRealm,
                            "enable_auth_domain_check", "no",
                            nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = onLog;
    mg_init_library(0);
    ctx_ = mg_start(&callbacks, this, config);
    if (ctx_ == nullptr) {
        std::fprintf(stderr, "zuqweb: cannot listen on %s\n", ports.c_str());
        return false;
    }
    mg_set_request_handler(ctx_, "/", onRequest, this);
    mg_server_port list[4];
    const int n = mg_get_server_ports(ctx_, 4, list);
    for (int i = 0; i < n; ++i)
        std::printf("zuqweb: listening on %s port %d\n",
                    options_.address.empty() ? "every address" : options_.address.c_str(),
                    list[i].port);
    return true;
}

void Web::stop() {
    if (ctx_ == nullptr) return;
    mg_stop(ctx_);  // waits for the handlers, which see the monitor stopping
    ctx_ = nullptr;
    mg_exit_library();
}

void Web::sendJson(mg_connection *conn, int status, const std::string &body) {
    sendBody(conn, status, "application/json", body + "\n");
}

int Web::handle(mg_connection *conn) {
    const Count count(clients_);
    const mg_request_info *ri = mg_get_request_info(conn);
    if (count.now_ > options_.maxClients) {
        sendBody(conn, 503, "text/plain", "too many clients, try again later\n",
                 "Retry-After: 5\r\n");
        return 503;
    }
    const std::string path = ri->local_uri != nullptr ? ri->local_uri : "";
    const std::string method = ri->request_method != nullptr ? ri->request_method : "";
    // Prometheus scrapes without digest authentication: the metrics hold the
    // health only, never a point.
    if (!options_.authFile.empty() && path != "/metrics" &&
        mg_check_digest_access_authentication(conn, kRealm, options_.authFile.c_str()) <= 0) {
        mg_send_digest_access_authentication_request(conn, kRealm);
        return 401;
    }
    const bool get = method == "GET" || method == "HEAD";
    const auto snap = monitor_.latest();
    Extras x{monitor_.regionName(), options_.writes, clients_.load()};
    if (path == "/" && get) {
        sendBody(conn, 200, "text/html; charset=utf-8", kPage,
                 "Content-Security-Policy: default-src 'self'; script-src 'unsafe-inline'; "
                 "style-src 'unsafe-inline'\r\n");
        return 200;
    }
    if (path == "/api/status" && get) {
        sendJson(conn, 200, statusJson(*snap, x).dump());
        return 200;
    }
    if (path == "/api/points" && get) {
        sendJson(conn, 200, pointsJson(*snap).dump());
        return 200;
    }
    if (path == "/api/points" && method == "POST") {
        serveWrite(conn);
        return 200;
    }
    if (path == "/metrics" && get) {
        sendBody(conn, 200, "text/plain; version=0.0.4; charset=utf-8", metricsText(*snap, x));
        return 200;
    }
    if (path == "/events" && get) {
        serveEvents(conn);
        return 200;
    }
    const bool known = path == "/" || path == "/api/status" || path == "/api/points" ||
                       path == "/metrics" || path == "/events";
    sendJson(conn, known ? 405 : 404,
             json{{"error", known ? "method not allowed" : "no such page"}}.dump());
    return known ? 405 : 404;
}

void Web::serveWrite(mg_connection *conn) {
    const auto refuse = [&](int status, const std::string &why) {
        sendJson(conn, status, json{{"error", why}}.dump());
    };
    if (!options_.writes) {
        refuse(403, "writes are off: zuqweb runs without --writes");
        return;
    }
    const long long length = mg_get_request_info(conn)->content_length;
    if (length < 0) {
        refuse(411, "a write needs a Content-Length");
        return;
    }
    if (length > kMaxBody) {
        refuse(413, "a write's body is at most 1024 bytes");
        return;
    }
    std::string body(static_cast<size_t>(length), '\0');
    size_t got = 0;
    while (got < body.size()) {
        const int n = mg_read(conn, &body[got], body.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != body.size()) {
        refuse(400, "the body ended early");
        return;
    }
    const json j = json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        refuse(400, "the body is not a JSON object");
        return;
    }
    const auto kind = j.find("kind");
    const auto address = j.find("address");
    const auto value = j.find("value");
    if (kind == j.end() || !kind->is_string() || (*kind != "coil" && *kind != "hr")) {
        refuse(400, "kind must be \"coil\" or \"hr\"");
        return;
    }
    const bool coil = *kind == "coil";
    if (address == j.end() || !address->is_number_integer() || *address < 0 || *address > 65535) {
        refuse(400, "address must be a whole number from 0 to 65535");
        return;
    }
    int64_t v = -1;
    if (value != j.end() && value->is_boolean()) v = value->get<bool>() ? 1 : 0;
    if (value != j.end() && value->is_number_integer()) v = value->get<int64_t>();
    if (v < 0 || v > (coil ? 1 : 65535)) {
        refuse(400, coil ? "value of a coil must be 0 or 1" : "value of hr must be 0 to 65535");
        return;
    }
    const WriteResult r = monitor_.write(coil ? kCoil : kHr, address->get<int32_t>(),
                                         static_cast<uint32_t>(v), options_.writeTimeoutMs);
    json answer = {{"kind", *kind}, {"address", *address}, {"value", v},
                   {"ok", r.httpStatus == 200}, {"outcome", r.outcome}};
    if (r.haveReadback) answer["readback"] = r.readback;
    if (r.httpStatus != 200) answer["error"] = r.outcome;
    sendJson(conn, r.httpStatus, answer.dump());
}

// A snapshot first (also on a reconnection with Last-Event-ID: a browser
// that was away has missed changes), then the points that changed, at most
// every kMinGap, and the health at most every kStatusGap. Each message is
// made from the latest copy when it is due, so a reader that falls behind
// never queues anything here: its socket fills, the write blocks until the
// request time-out, and the stream is closed.
void Web::serveEvents(mg_connection *conn) {
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
              "X-Accel-Buffering: no\r\nConnection: close\r\n\r\nretry: 2000\n\n");
    std::shared_ptr<const Snapshot> sent = monitor_.latest();
    const auto extras = [&] { return Extras{monitor_.regionName(), options_.writes, clients_.load()}; };
    json status = statusJson(*sent, extras());
    if (!writeAll(conn, event("snapshot", sent->serial,
                              json{{"status", status}, {"points", pointsJson(*sent)}})))
        return;
    const int fd = findSocket(mg_get_request_info(conn));
    auto lastWrite = Clock::now(), lastStatus = lastWrite, lastLook = lastWrite;
    for (;;) {
        monitor_.pause(lastLook + kMinGap);
        // Woken every second at least, to give a vanished reader's place back.
        const auto snap = monitor_.waitNewer(
            sent->serial, std::min(lastWrite + kKeepAlive, Clock::now() + std::chrono::seconds(1)));
        if (monitor_.stopping() || hungUp(fd)) return;
        const auto now = lastLook = Clock::now();
        std::string message;
        if (snap->serial != sent->serial) {
            if (!snap->sameLayout(*sent)) {
                status = statusJson(*snap, extras());
                message = event("snapshot", snap->serial,
                                json{{"status", status}, {"points", pointsJson(*snap)}});
                lastStatus = now;
            } else {
                json change = json::object();
                json points = changedPoints(*sent, *snap);
                if (!points.empty()) change["points"] = std::move(points);
                // A change of the health not due yet goes with a later message.
                if (now - lastStatus >= kStatusGap) {
                    json fresh = statusJson(*snap, extras());
                    if (fresh != status) change["status"] = status = std::move(fresh);
                    lastStatus = now;
                }
                if (!change.empty()) message = event("change", snap->serial, change);
            }
            sent = snap;
        } else if (now - lastWrite >= kKeepAlive) {
            message = ": still here\n\n";
        }
        if (message.empty()) continue;
        if (!writeAll(conn, message)) return;
        lastWrite = now;
    }
}

}  // namespace zuqweb

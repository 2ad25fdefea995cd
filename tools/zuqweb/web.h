// zuqweb's HTTP side on civetweb: the page, the API, the metrics and the
// event streams, each served from the region thread's latest copy.
#pragma once

#include <atomic>
#include <string>

#include "monitor.h"

struct mg_context;
struct mg_connection;

namespace zuqweb {

struct Options {
    int port = 8080;
    std::string address;   // empty: every local address
    std::string authFile;  // civetweb's passwords file; empty: no password asked
    bool writes = false;
    int maxClients = 16;
    int writeTimeoutMs = 2000;
};

// The page, kept in the program (page.cpp).
extern const char kPage[];

class Web {
  public:
    Web(const Options &options, Monitor &monitor) : options_(options), monitor_(monitor) {}
    ~Web();
    Web(const Web &) = delete;
    Web &operator=(const Web &) = delete;

    // Listens and serves; false (said on standard error) when it cannot.
    bool start();
    void stop();

    int handle(mg_connection *conn);

  private:
    void serveEvents(mg_connection *conn);
    void serveWrite(mg_connection *conn);
    void sendJson(mg_connection *conn, int status, const std::string &body);
    std::string extrasJson() const;

    Options options_;
    Monitor &monitor_;
    mg_context *ctx_ = nullptr;
    std::atomic<int> clients_{0};
};

}  // namespace zuqweb

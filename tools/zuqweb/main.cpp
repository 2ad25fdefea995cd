// zuqweb: the controller in a browser and on a dashboard. Serves the running
// server's region as a live page, as JSON and as metrics text; with --writes
// (and a password) the page and the API set outputs through the region's
// request slots, as any client of the region does.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ioshare_region.h"
#include "monitor.h"
#include "service.h"
#include "web.h"

namespace {

void usage(FILE *out) {
    std::fputs(
        "Usage: zuqweb [-p PORT] [-a ADDRESS] [--auth PASSWORDS_FILE] [--writes] [-c MAXCLIENTS]\n"
        "Serves the shared I/O region of a running pellora server over HTTP: a live page,\n"
        "JSON and metrics; region PELLORA_SHM_NAME, else /zuqshmio.\n"
        "\n"
        "  -p PORT            TCP port (default 8080; 0: any free one)\n"
        "  -a ADDRESS         listen on this numeric address only (default: every local\n"
        "                     address, IPv4 and IPv6)\n"
        "  --auth FILE        ask for a name and password (digest authentication) from a\n"
        "                     passwords file of lines USER:zuqweb:MD5(USER:zuqweb:PASSWORD);\n"
        "                     /metrics stays open\n"
        "  --writes           let the page and POST /api/points set coils and holding\n"
        "                     registers (needs --auth)\n"
        "  -c MAXCLIENTS      requests and event streams served at once, 1-1000 (default\n"
        "                     16); more get 503\n"
        "  -t MS              time a write may take to reach the board, 1-600000 (default\n"
        "                     2000)\n"
        "  -h, --help         this help\n"
        "\n"
        "Paths: / the page, /events the changes as Server-Sent Events, /api/status,\n"
        "/api/points (GET; POST {\"kind\":\"coil\"|\"hr\",\"address\":A,\"value\":V}), /metrics.\n"
        "Exit status: 0 stopped by SIGTERM or SIGINT, 1 no port to listen on, 2 usage.\n",
        out);
}

}  // namespace

int main(int argc, char **argv) {
    zuqweb::Options options;
    enum { kAuth = 1000, kWrites };
    const option longOptions[] = {{"auth", required_argument, nullptr, kAuth},
                                  {"writes", no_argument, nullptr, kWrites},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "p:a:c:t:h", longOptions, nullptr)) != -1) {
        bool ok = true;
        switch (opt) {
            case 'p':
                ok = zuqgate::number(optarg, 0, 65535, &options.port);
                break;
            case 'a':
                options.address = optarg;
                ok = !options.address.empty() && options.address.size() < 256 &&
                     options.address.find_first_of(",[]") == std::string::npos;
                break;
            case 'c':
                ok = zuqgate::number(optarg, 1, 1000, &options.maxClients);
                break;
            case 't':
                ok = zuqgate::number(optarg, 1, 600000, &options.writeTimeoutMs);
                break;
            case kAuth:
                options.authFile = optarg;
                ok = !options.authFile.empty();
                break;
            case kWrites:
                options.writes = true;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "zuqweb: bad value for %s: %s\n", argv[optind - 1], optarg);
            return 2;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "zuqweb: unexpected argument: %s\n", argv[optind]);
        usage(stderr);
        return 2;
    }
    if (options.writes && options.authFile.empty()) {
        std::fprintf(stderr,
                     "zuqweb: --writes needs --auth: forcing outputs needs a name and password\n");
        return 2;
    }
    if (!options.authFile.empty() && access(options.authFile.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "zuqweb: passwords file %s: %s\n", options.authFile.c_str(),
                     std::strerror(errno));
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    zuqgate::catchServiceSignals();

    zuqweb::Monitor monitor(ioshare::regionName(nullptr));
    monitor.start();
    zuqweb::Web web(options, monitor);
    if (!web.start()) return 1;
    while (!zuqgate::stopRequested) pause();
    monitor.stop();  // event streams see it and end
    web.stop();
    std::printf("zuqweb: stopped\n");
    return 0;
}

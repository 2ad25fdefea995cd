// zuqgate: the shared I/O region served as a Modbus/TCP slave on the plant
// network. Reads are answered from the images the server keeps current;
// writes go into the output images and through the region's request slots
// to the board, as any client of the region posts them.
#include <getopt.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gateway.h"
#include "ioshare_region.h"
#include "region.h"
#include "service.h"

namespace {

void usage(FILE *out) {
    std::fputs(
        "Usage: zuqgate [-p PORT] [-a ADDRESS] [-u UNIT] [-c MAXCLIENTS] [-t WRITE_TIMEOUT_MS]\n"
        "Serves the shared I/O region of a running pellora server as a Modbus/TCP slave,\n"
        "with the board's own addresses: region PELLORA_SHM_NAME, else /zuqshmio.\n"
        "\n"
        "  -p PORT          TCP port (default 502)\n"
        "  -a ADDRESS       listen on this address only (default: every local address,\n"
        "                   IPv4 and IPv6)\n"
        "  -u UNIT          answer this unit identifier only (default 0: every one)\n"
        "  -c MAXCLIENTS    connections served at once, 1-1000 (default 32); a new one\n"
        "                   beyond takes the place of the one heard from longest ago\n"
        "  -t MS            time a write may wait for the server to take it, 1-600000\n"
        "                   (default 2000); then exception 11\n"
        "  -h               this help\n"
        "\n"
        "Functions 1, 2, 3, 4 are answered from the images, 5, 6, 15, 16, 0x16 (mask\n"
        "write) and 0x17 (read/write, read after the board has the write) written to\n"
        "the board through the server; exception 2 outside the mirrored ranges.\n"
        "0x11 and 0x2B/0x0E report the board's identifier as product code.\n"
        "Exit status: 0 stopped by SIGTERM or SIGINT, 1 no port to listen on, 2 usage.\n"
        "SIGHUP is ignored: the gateway goes on.\n",
        out);
}

// Every client takes a descriptor, and one more is needed for a moment to
// close a connection beyond the limit: without it the listening socket
// would stay ready and the loop would spin.
bool enoughDescriptors(int maxClients) {
    const rlim_t need = static_cast<rlim_t>(maxClients) + 16;
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur >= need) return true;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < need) return false;
    lim.rlim_cur = need;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    zuqgate::Options options;
    int opt;
    while ((opt = getopt(argc, argv, "p:a:u:c:t:h")) != -1) {
        bool ok = true;
        switch (opt) {
            case 'p':
                ok = zuqgate::number(optarg, 0, 65535, &options.port);
                break;
            case 'a':
                options.address = optarg;
                ok = !options.address.empty() && options.address.size() < 256;
                break;
            case 'u':
                ok = zuqgate::number(optarg, 0, 255, &options.unit);
                break;
            case 'c':
                ok = zuqgate::number(optarg, 1, 1000, &options.maxClients);
                break;
            case 't':
                ok = zuqgate::number(optarg, 1, 600000, &options.writeTimeoutMs);
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "zuqgate: bad value for -%c: %s\n", opt, optarg);
            return 2;
        }
    }
    if (optind != argc) {
        std::fprintf(stderr, "zuqgate: unexpected argument: %s\n", argv[optind]);
        usage(stderr);
        return 2;
    }
    if (!enoughDescriptors(options.maxClients)) {
        std::fprintf(stderr, "zuqgate: -c %d: more clients than this process may open files\n",
                     options.maxClients);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    zuqgate::catchServiceSignals();

    zuqgate::Region region(ioshare::regionName(nullptr));
    if (region.refresh()) {
        std::printf("zuqgate: region %s mapped\n", region.name().c_str());
    } else {
        // A name the system refuses, or a region this user may not open,
        // is said once; the gateway waits all the same (it may be fixed).
        if (region.lastError() != ENOENT && region.lastError() != EAGAIN)
            std::fprintf(stderr, "zuqgate: region %s: %s\n", region.name().c_str(),
                         std::strerror(region.lastError()));
        std::printf("zuqgate: waiting for region %s\n", region.name().c_str());
    }
    zuqgate::Gateway gateway(options, region);
    if (!gateway.listen()) return 1;
    gateway.run(zuqgate::stopRequested);
    std::printf("zuqgate: stopped\n");
    return 0;
}

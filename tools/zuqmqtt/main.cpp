// zuqmqtt: the shared I/O region on an MQTT broker. Every point of the board
// is published (retained) when it changes, the server's health beside it;
// coils and holding registers are written from their /set topics through
// the region's request slots, as any client of the region posts them.
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bridge.h"
#include "ioshare_region.h"
#include "region.h"
#include "service.h"
#include "settings.h"

namespace {

void usage(FILE *out) {
    std::fputs(
        "Usage: zuqmqtt [-h HOST] [-p PORT] [-t BASE] [-i CLIENT_ID] [-q QOS] [-k KEEPALIVE_S]\n"
        "               [-r REPUBLISH_S] [--cafile FILE] [--cert FILE --key FILE]\n"
        "               [--ha-discovery PREFIX] [-c CONFIG_FILE]\n"
        "Publishes the shared I/O region of a running pellora server on an MQTT broker and\n"
        "writes coils and holding registers from it: region PELLORA_SHM_NAME, else /zuqshmio.\n"
        "\n"
        "  -h HOST          the broker (default localhost)\n"
        "  -p PORT          its port (default 1883, 8883 with --cafile)\n"
        "  -t BASE          first topic levels (default fieldbus/<hostname>)\n"
        "  -i CLIENT_ID     MQTT client identifier (default zuqmqtt/BASE)\n"
        "  -q QOS           0, 1 or 2 (default 1)\n"
        "  -k KEEPALIVE_S   5-65535 (default 30)\n"
        "  -r REPUBLISH_S   every point again this often, 0 off (default 0)\n"
        "  --cafile FILE    TLS, trusting the broker's certificate to this CA\n"
        "  --cert FILE --key FILE   a client certificate for TLS\n"
        "  --ha-discovery PREFIX    discovery configs for Home Assistant (usually\n"
        "                   homeassistant)\n"
        "  -c CONFIG_FILE   the same settings as \"key value\" lines (host, port, base,\n"
        "                   client-id, qos, keepalive, republish, cafile, cert, key,\n"
        "                   ha-discovery, username, password, deadband-ir, deadband-hr,\n"
        "                   deadband-dword); the command line overrides it\n"
        "  --help           this help\n"
        "\n"
        "User name and password: MQTT_USERNAME and MQTT_PASSWORD in the environment, or\n"
        "the configuration file (which must then not be readable by others).\n"
        "Topics: BASE/status, BASE/health, BASE/{di,coil,ir,hr,dword}/ADDR,\n"
        "BASE/{coil,hr}/ADDR/set to write, BASE/error for writes refused.\n"
        "Exit status: 0 stopped by SIGTERM or SIGINT, 1 could not start, 2 usage.\n",
        out);
}

}  // namespace

int main(int argc, char **argv) {
    static const option kLong[] = {
        {"cafile", required_argument, nullptr, 1}, {"cert", required_argument, nullptr, 2},
        {"key", required_argument, nullptr, 3},    {"ha-discovery", required_argument, nullptr, 4},
        {"help", no_argument, nullptr, 5},         {nullptr, 0, nullptr, 0}};
    // Applied over the configuration file, whichever comes first.
    std::vector<std::pair<std::string, std::string>> given;
    std::string configFile;
    int opt;
    while ((opt = getopt_long(argc, argv, "h:p:t:i:q:k:r:c:", kLong, nullptr)) != -1) {
        const char *key = nullptr;
        switch (opt) {
            case 'h':
                key = "host";
                break;
            case 'p':
                key = "port";
                break;
            case 't':
                key = "base";
                break;
            case 'i':
                key = "client-id";
                break;
            case 'q':
                key = "qos";
                break;
            case 'k':
                key = "keepalive";
                break;
            case 'r':
                key = "republish";
                break;
            case 1:
                key = "cafile";
                break;
            case 2:
                key = "cert";
                break;
            case 3:
                key = "key";
                break;
            case 4:
                key = "ha-discovery";
                break;
            case 'c':
                configFile = optarg;
                continue;
            case 5:
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
        given.emplace_back(key, optarg);
    }
    if (optind != argc) {
        std::fprintf(stderr, "zuqmqtt: unexpected argument: %s\n", argv[optind]);
        usage(stderr);
        return 2;
    }
    zuqmqtt::Settings s;
    std::string error;
    if (!configFile.empty() && !zuqmqtt::readConfigFile(configFile, &s, &error)) {
        std::fprintf(stderr, "zuqmqtt: %s\n", error.c_str());
        return 2;
    }
    for (const auto &[key, value] : given) {
        if (!zuqmqtt::applySetting(key, value, &s)) {
            std::fprintf(stderr, "zuqmqtt: bad value for %s: %s\n", key.c_str(), value.c_str());
            return 2;
        }
    }
    if (const char *u = std::getenv("MQTT_USERNAME"); u != nullptr && *u != '\0') s.username = u;
    if (const char *p = std::getenv("MQTT_PASSWORD"); p != nullptr && *p != '\0') s.password = p;
    if (!zuqmqtt::finish(&s, &error)) {
        std::fprintf(stderr, "zuqmqtt: %s\n", error.c_str());
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    zuqgate::catchServiceSignals();  // a wait in poll() or connect() ends at once

    if (mosquitto_lib_init() != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "zuqmqtt: the MQTT library did not start\n");
        return 1;
    }
    std::printf("zuqmqtt: broker %s:%d%s, topics under %s/\n", s.host.c_str(), s.port,
                s.tls() ? " (TLS)" : "", s.base.c_str());
    zuqgate::Region region(ioshare::regionName(nullptr));
    if (region.refresh()) {
        std::printf("zuqmqtt: region %s mapped\n", region.name().c_str());
    } else {
        if (region.lastError() != ENOENT && region.lastError() != EAGAIN)
            std::fprintf(stderr, "zuqmqtt: region %s: %s\n", region.name().c_str(),
                         std::strerror(region.lastError()));
        std::printf("zuqmqtt: waiting for region %s\n", region.name().c_str());
    }
    {
        zuqmqtt::Bridge bridge(s, region);
        bridge.run(zuqgate::stopRequested);
    }
    mosquitto_lib_cleanup();
    std::printf("zuqmqtt: stopped\n");
    return 0;
}

// What the bridge is told: command line, configuration file and the
// environment's credentials, checked once at start.
#pragma once

#include <cstdint>
#include <string>

namespace zuqmqtt {

struct Settings {
    std::string host = "localhost";
    int port = 0;  // 0: 1883, or 8883 with TLS
    std::string base;      // empty: fieldbus/<hostname>
    std::string clientId;  // empty: zuqmqtt/<base>
    int qos = 1;
    int keepalive = 30;
    int republishS = 0;  // 0: only changes
    std::string cafile, cert, key;
    std::string haPrefix;  // empty: no discovery configs
    std::string username, password;
    uint32_t deadbandIr = 0, deadbandHr = 0, deadbandDword = 0;
    std::string configFile;

    bool tls() const { return !cafile.empty(); }
};

// Reads `path` into *s (keys as the long options, one "key value" a line,
// '#' opening a comment line). False with a message in *error: a line that
// is not understood, a value out of range, a file that cannot be read, or
// one readable by others that holds a password.
bool readConfigFile(const std::string &path, Settings *s, std::string *error);

// Sets one setting by its key from text: false when the key is unknown or
// the value is out of range.
bool applySetting(const std::string &key, const std::string &value, Settings *s);

// Fills the defaults that depend on others (port, base, client id) and
// checks what only makes sense together: false with a message.
bool finish(Settings *s, std::string *error);

}  // namespace zuqmqtt

// Settings from text: the options' values and the configuration file.
#include "settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace zuqmqtt {
namespace {

bool number(const std::string &text, unsigned long long max, unsigned long long *out) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > max) return false;
    *out = v;
    return true;
}

template <typename T>
bool setNumber(const std::string &text, unsigned long long min, unsigned long long max, T *out) {
    unsigned long long v = 0;
    if (!number(text, max, &v) || v < min) return false;
    *out = static_cast<T>(v);
    return true;
}

std::string trim(const std::string &s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A topic level the bridge builds on: MQTT's wildcards would make the
// subscriptions match other topics, and an empty level an odd tree.
bool goodBase(const std::string &b) {
    if (b.empty() || b.size() > 200 || b.front() == '/' || b.back() == '/') return false;
    if (b.find("//") != std::string::npos) return false;
    for (unsigned char c : b)
        if (c == '+' || c == '#' || c < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

bool applySetting(const std::string &key, const std::string &value, Settings *s) {
    if (key == "host") {
        s->host = value;
        return !value.empty() && value.size() < 256;
    }
    if (key == "port") return setNumber(value, 1, 65535, &s->port);
    if (key == "base") {
        s->base = value;
        return goodBase(value);
    }
    if (key == "client-id") {
        s->clientId = value;
        return !value.empty() && value.size() <= 200;
    }
    if (key == "qos") return setNumber(value, 0, 2, &s->qos);
    if (key == "keepalive") return setNumber(value, 5, 65535, &s->keepalive);
    if (key == "republish") return setNumber(value, 0, 86400, &s->republishS);
    if (key == "cafile") return !(s->cafile = value).empty();
    if (key == "cert") return !(s->cert = value).empty();
    if (key == "key") return !(s->key = value).empty();
    if (key == "ha-discovery") {
        s->haPrefix = value;
        return goodBase(value);
    }
    if (key == "username") return !(s->username = value).empty();
    if (key == "password") {
        s->password = value;
        return true;
    }
    if (key == "deadband-ir") return setNumber(value, 0, 65535, &s->deadbandIr);
    if (key == "deadband-hr") return setNumber(value, 0, 65535, &s->deadbandHr);
    if (key == "deadband-dword") return setNumber(value, 0, 0xFFFFFFFFull, &s->deadbandDword);
    return false;
}

bool readConfigFile(const std::string &path, Settings *s, std::string *error) {
    std::ifstream in(path);
    struct stat st {};
    if (!in || stat(path.c_str(), &st) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    bool password = false;
    for (int n = 1; std::getline(in, line); ++n) {
        const std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        const auto gap = t.find_first_of(" \t");
        const std::string key = t.substr(0, gap);
        const std::string value = gap == std::string::npos ? "" : trim(t.substr(gap));
        if (!applySetting(key, value, s)) {
            // The value is not repeated: it may be the password.
            *error = path + ":" + std::to_string(n) + ": bad line for \"" + key + "\"";
            return false;
        }
        password = password || (key == "password" && !value.empty());
    }
    if (password && (st.st_mode & S_IROTH) != 0) {
        *error = path + " holds a password and is readable by others: refused (chmod o-r " +
                 path + ")";
        return false;
    }
    return true;
}

bool finish(Settings *s, std::string *error) {
    if (!s->cert.empty() != !s->key.empty()) {
        *error = "--cert and --key go together";
        return false;
    }
    if (!s->cert.empty() && !s->tls()) {
        *error = "--cert needs --cafile (the broker's CA)";
        return false;
    }
    if (!s->password.empty() && s->username.empty()) {
        *error = "a password without a user name";
        return false;
    }
    if (s->port == 0) s->port = s->tls() ? 8883 : 1883;
    if (s->base.empty()) {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
            std::strcpy(host, "controller");
        std::string h = host;
        for (char &c : h)
            if (c == '/' || c == '+' || c == '#') c = '_';
        s->base = "fieldbus/" + h;
    }
    if (s->clientId.empty()) s->clientId = "zuqmqtt/" + s->base;
    if (s->clientId.size() > 200) s->clientId.resize(200);
    return true;
}

}  // namespace zuqmqtt

// Large-file interfaces: the armhf tests run under the emulator on the host's
// file systems, whose 64-bit inode numbers a 32-bit readdir() cannot return.
#define _FILE_OFFSET_BITS 64

#include "c_app.h"

#include <dirent.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>

namespace fbtest {

ShellResult shell(const std::string &command) {
    ShellResult r;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string shq(const std::string &s) {
    return "'" + s + "'";
}

std::vector<std::string> filesIn(const std::string &dir, const std::string &suffix) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string cAppSource(const std::vector<std::string> &headers) {
    std::string src = "#include <stdio.h>\n#include <string.h>\n";
    for (const auto &h : headers) src += "#include \"" + h + "\"\n";
    src +=
        "int main(void) {\n"
        "    uint8_t msg[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};\n"
        "    unsigned crc = getCRC16(msg, 9);\n"
        "    int set = Set_Com_Device(7, \"/tmp/app-port\");\n"
        "    const char *dev = Get_Com_Device(7);\n"
        "    printf(\"%04X %d %s\\n\", crc, set, dev ? dev : \"-\");\n"
        "    return crc == 0x374B && dev && strcmp(dev, \"/tmp/app-port\") == 0 ? 0 : 1;\n"
        "}\n";
    return src;
}

const char *const kCAppOutput = "374B 0 /tmp/app-port\n";

}  // namespace fbtest

// The line checker and builders against a plain reference, on exact-size heap
// copies so that any read before or past a line is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "q5m.h"

namespace {

size_t lineEnd(const char *s) {
    return std::strcspn(s, "\r\n");
}

int referenceCheck(const char *line) {
    const size_t len = lineEnd(line);
    if (len < 2) return -1;
    unsigned sum = 0;
    for (size_t i = 0; i + 2 < len; ++i) sum += static_cast<unsigned char>(line[i]);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFFU);
    return line[len - 2] == digits[0] && line[len - 1] == digits[1] ? 0 : -1;
}

void require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "q5m_check: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *line = static_cast<char *>(std::malloc(size + 1));
    std::memcpy(line, data, size);
    line[size] = '\0';
    require(_q5m_chksum(line) == referenceCheck(line), "checker disagrees with reference");

    const size_t n = lineEnd(line);
    char *withSum = static_cast<char *>(std::malloc(n + 4));
    require(_q5m_gum_chksum(withSum, line) == withSum, "builder result");
    require(std::memcmp(withSum, line, n) == 0 && withSum[n + 2] == '\r' && withSum[n + 3] == '\0',
            "checksum line layout");
    require(_q5m_chksum(withSum) == 0, "built line fails its own check");

    char *plain = static_cast<char *>(std::malloc(n + 2));
    _q5m_gum_cr(plain, line);
    require(std::memcmp(plain, line, n) == 0 && plain[n] == '\r' && plain[n + 1] == '\0',
            "plain line layout");

    std::free(plain);
    std::free(withSum);
    std::free(line);
    return 0;
}

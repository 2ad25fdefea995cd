// Answer handling: the readers and the command-string calls take arbitrary
// module bytes from a socket pair standing in for the line. The answer waits
// before the call and the far end is shut, so end of stream plays the read
// timer running out. Every result and buffer is compared with a model.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modbus_engine.h"
#include "msw.h"
#include "q5m.h"
#include "sio.h"

namespace {

constexpr char kPort = 50;
constexpr int kAnswerMax = 250;

void require(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "q5m_answer: %s\n", what);
    std::abort();
}

bool checksumOk(const std::string &line) {
    const size_t len = std::strcspn(line.c_str(), "\r\n");
    if (len < 2) return false;
    unsigned sum = 0;
    for (size_t i = 0; i + 2 < len; ++i) sum += static_cast<unsigned char>(line[i]);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFFU);
    return line[len - 2] == digits[0] && line[len - 1] == digits[1];
}

// What the line reader ends with: the stored line, or (complete false) the
// bytes before the stream ran dry.
struct Line {
    std::string bytes;
    bool complete;
};

Line modelLine(const std::string &answer, int rmax) {
    const size_t cr = answer.find('\r');
    const size_t limit = static_cast<size_t>(rmax);
    if (cr != std::string::npos && cr < limit) return {answer.substr(0, cr + 1), true};
    if (answer.size() >= limit) return {answer.substr(0, limit), true};
    return {answer, false};
}

bool holds(const char *buf, const std::string &want, bool terminated) {
    return std::memcmp(buf, want.data(), want.size()) == 0 &&
           (!terminated || buf[want.size()] == '\0');
}

void commandCalls(int fd, int module, bool cs, bool sendFirst, const std::string &answer) {
    _fd[kPort - 1] = fd;
    char *result = static_cast<char *>(std::malloc(kAnswerMax + 1));
    std::memset(result, 0x5A, kAnswerMax + 1);
    WORD wT = 0;
    const WORD code = sendFirst ? Send_Receive_Cmd(kPort, "cmd", result, 0, cs, &wT)
                                : Receive_Cmd(kPort, result, 0, cs);
    _fd[kPort - 1] = 0;
    // Each input is a line of its own: a failed command here must not make
    // the next input's command wait out and discard its answer as a late one.
    fieldbus::engine::serialOutcome(kPort, false, 0);
    require(std::memchr(result, '\0', kAnswerMax + 1) != nullptr, "answer not terminated");

    if (!sendFirst && !cs) {  // one read of whatever is there
        const std::string got = answer.substr(0, kAnswerMax);
        require(code == (got.empty() ? 15 : 0) && holds(result, got, true), "one-read answer");
    } else {
        const Line line = modelLine(answer, kAnswerMax);
        if (!line.complete) {
            require(code == 15 && holds(result, line.bytes, true), "time-out answer");
        } else if (cs && !checksumOk(line.bytes)) {
            require(code == 65535 && holds(result, line.bytes, true), "checksum refusal");
        } else {
            std::string want = line.bytes;
            if (sendFirst && want.back() == '\r') want.pop_back();
            require(code == 0 && holds(result, want, true), "answer");
        }
    }
    if (sendFirst) {
        char sent[8] = {};
        const ssize_t n = read(module, sent, sizeof sent - 1);
        require(n > 0 && std::strcmp(sent, cs ? "cmd34\r" : "cmd\r") == 0, "command line");
    }
    std::free(result);
}

void readers(int fd, bool cs, bool lineReader, int rmax, const std::string &answer) {
    char *rbuf = static_cast<char *>(std::malloc(static_cast<size_t>(rmax) + 1));
    std::memset(rbuf, 0x5A, static_cast<size_t>(rmax) + 1);
    if (lineReader) {
        const int got =
            cs ? q5m_readt_cs(fd, rbuf, rmax, nullptr) : q5m_readt(fd, rbuf, rmax, nullptr);
        const Line line = modelLine(answer, rmax);
        const int count = static_cast<int>(line.bytes.size());
        if (!line.complete)
            require(got == 0 && holds(rbuf, line.bytes, false), "line reader time-out");
        else
            require(got == (cs && !checksumOk(line.bytes) ? -1 : count) &&
                        holds(rbuf, line.bytes, true),
                    "line reader");
    } else {
        const int got = cs ? q5m_read_cs(fd, rbuf, rmax) : q5m_read(fd, rbuf, rmax);
        const std::string want = answer.substr(0, static_cast<size_t>(rmax));
        const int count = static_cast<int>(want.size());
        require(got == (cs && !checksumOk(want) ? -1 : count) && holds(rbuf, want, true),
                "one read");
    }
    std::free(rbuf);
}

}  // namespace

// Input: a mode byte, an rmax byte, then the module's answer bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 4096) return 0;
    const unsigned mode = data[0];
    const int rmax = data[1];
    const std::string answer(reinterpret_cast<const char *>(data) + 2, size - 2);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    if (!answer.empty() &&
        write(sv[1], answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()))
        std::abort();
    shutdown(sv[1], SHUT_WR);

    const bool cs = (mode & 4U) != 0;
    switch (mode & 3U) {
        case 0:
            commandCalls(sv[0], sv[1], cs, true, answer);
            break;
        case 1:
            commandCalls(sv[0], sv[1], cs, false, answer);
            break;
        case 2:
            readers(sv[0], cs, false, rmax, answer);
            break;
        default:
            readers(sv[0], cs, true, rmax, answer);
            break;
    }
    _sio_trim(sv[0]);
    close(sv[0]);
    close(sv[1]);
    return 0;
}

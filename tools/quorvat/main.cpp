// quorvat: one Modbus/TCP read from the command line; prints the first value
// of the answer.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "modbus.h"
#include "net.h"

namespace {

constexpr int kVersion = 15;
constexpr size_t kIpRoom = 64;  // 63 characters and the terminating NUL
constexpr WORD kAnswerRoom = 1024;

void usage() {
    std::printf("Maruvo oSpan utility v%d\n", kVersion);
    std::puts("function : quorvat");
    std::puts("Send MODBUS/TCP command and wait resopnse from a serial module");
    std::puts("Usage: quorvat ip tcp_port netid command addr count timeout");
    std::puts("Example 1:quorvat 192.168.0.1 502 1 1 1 2 100");
    std::puts("Send command FC01 to the module netid 1 at 192.168.0.1:502 and wait response");
    std::puts("Example 2:quorvat 192.168.0.1 502 1 3 1 2 100");
    std::puts("Send command FC03 to the module netid 1 at 192.168.0.1:502 and wait response");
}

// A TCP port: the whole text a decimal number in 1..65535. Anything else
// would wrap or convert to 0 and reach a port nobody asked for.
bool parsePort(const char *text, int *port) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 1 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 8) {
        usage();
        return -1;
    }
    // An address that does not fit is refused rather than cut: a cut name
    // could reach another host.
    if (std::strlen(argv[1]) >= kIpRoom) {
        std::printf("ip too long! at most %d characters\n", static_cast<int>(kIpRoom - 1));
        return -1;
    }
    char ip[kIpRoom];
    std::strcpy(ip, argv[1]);
    int tcpPort = 0;
    if (!parsePort(argv[2], &tcpPort)) {
        usage();
        return -1;
    }
    const auto netid = static_cast<char>(std::atoi(argv[3]));
    const int command = std::atoi(argv[4]);
    const auto addr = static_cast<WORD>(std::atoi(argv[5]));
    const auto count = static_cast<WORD>(std::atoi(argv[6]));
    const auto timeout = static_cast<WORD>(std::atoi(argv[7]));
    if (command <= 0 || command > 4) {
        usage();
        return -1;
    }

    const int index = Open_Socket(0, 0, 0);
    if (index < 0) {
        std::printf("open sock failed! %d\n", index);
        return -1;
    }
    // The time-out bounds the connect too: a listener that never accepts
    // must not hold the program for the system's connection time-out.
    if (Connect_TCP_Timeout(index, ip, tcpPort, timeout) < 0) {
        std::printf("connect to %s:%d sock failed!\n", ip, tcpPort);
        return -1;
    }
    // Zeroed, so a query for 0 items prints 0 rather than stack contents. The
    // master refuses (20) a count whose data would not fit before sending.
    char answer[kAnswerRoom] = {};
    WORD elapsed = 0;
    const int result = modbusRequestE(index, netid, static_cast<char>(command), addr, count, answer,
                                      kAnswerRoom, timeout, &elapsed);
    Close_Socket(index);

    const auto *bytes = reinterpret_cast<const unsigned char *>(answer);
    if (result == 0) {
        if (command <= 2)
            std::printf("%d", bytes[0]);
        else
            std::printf("%ld", static_cast<long>(bytes[0]) * 256 + bytes[1]);
        return 0;
    }
    if (result == 13) {
        std::printf("Module at COM%d return error code %d !!!\n", index, bytes[0]);
        return -1;
    }
    std::printf("Module at COM%d error %d !!!\n", index, result);
    return -1;
}

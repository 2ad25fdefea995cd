// Command strings on COM ports: the module command protocol addressed by
// port number, with the read timer in tenths of a second and WORD codes.
#include <termios.h>

#include <cstddef>
#include <cstring>

#include "modbus_engine.h"
#include "msw.h"
#include "q5m.h"
#include "rs485.h"
#include "sio.h"

namespace {

constexpr std::size_t kMaxCommand = 250;  // characters, by strlen
constexpr int kAnswerMax = 250;           // answer bytes; szResult holds one more
constexpr WORD kTooLong = 1;
constexpr WORD kBadPort = 2;
constexpr WORD kTimedOut = 15;
constexpr WORD kFailed = 65535;

// Descriptor of an open port, 0 for a bad number or a port that is not open:
// an entry of 0 names no device, and descriptor 0 is standard input.
int portDescriptor(char cPort) {
    const auto n = static_cast<unsigned char>(cPort);
    return n >= 1 && n <= 50 ? _fd[n - 1] : 0;
}

// A failed read, a wrong answer checksum and a command too long for the
// checksum line (-1 from the module layer) are failures, never success.
WORD answerCode(int result) {
    if (result == 0) return kTimedOut;
    return result < 0 ? kFailed : 0;
}

// The module layer leaves no terminator after a time-out or a failed read,
// so the answer buffer is cleared first: whatever arrived stays readable as
// a string.
void clearAnswer(char *szResult) {
    std::memset(szResult, 0, kAnswerMax + 1);
}

// Only the read timer's low 8 bits exist: VTIME is one byte.
void setReadTimer(int fd, WORD wTimeOut) {
    sio_set_timer(fd, 0, static_cast<cc_t>(wTimeOut & 0xFFU));
    fieldbus::rs485::discarded(fd);
}

// A command whose answer did not come (or came wrong) may still be answered
// late: the next command first waits for the line to fall silent, as the
// Modbus masters do, so that answer is not taken for its own.
void settle(char cPort) {
    fieldbus::engine::serialPrepare(cPort);
}

void noteOutcome(char cPort, WORD code, WORD wTimeOut) {
    fieldbus::engine::serialOutcome(cPort, code != 0, static_cast<WORD>((wTimeOut & 0xFFU) * 100));
}

}  // namespace

extern "C" WORD Send_Cmd(char cPort, const char *szCmd, WORD wChksum) {
    const int fd = portDescriptor(cPort);
    if (fd == 0) return kBadPort;
    if (std::strlen(szCmd) > kMaxCommand) return kTooLong;
    char cmd[kMaxCommand + 4];
    _q5m_gum_cr(cmd, szCmd);
    settle(cPort);
    const int sent = wChksum != 0 ? q5m_send_cs(fd, cmd) : q5m_send(fd, cmd);
    // Receive_Cmd discards what waits on the port first: an echo still on
    // its way then must not be cut in two, its tail taken for the answer.
    if (sent == 0) fieldbus::rs485::settleEcho(fd);
    return sent == 0 ? 0 : kFailed;
}

extern "C" WORD Receive_Cmd(char cPort, char *szResult, WORD wTimeOut, WORD wChksum) {
    const int fd = portDescriptor(cPort);
    if (fd == 0) return kBadPort;
    setReadTimer(fd, wTimeOut);
    clearAnswer(szResult);
    __tod_t unused = 0;
    const int got = wChksum != 0 ? q5m_readt_cs(fd, szResult, kAnswerMax, &unused)
                                 : q5m_read(fd, szResult, kAnswerMax);
    const WORD code = answerCode(got);
    noteOutcome(cPort, code, wTimeOut);
    return code;
}

// *wT is in milliseconds (modulo 65536), like the raw exchange's: the low 16
// bits of a microsecond count would wrap every 65 ms.
extern "C" WORD Send_Receive_Cmd(char cPort, const char *szCmd, char *szResult, WORD wTimeOut,
                                 WORD wChksum, WORD *wT) {
    const int fd = portDescriptor(cPort);
    if (fd == 0) return kBadPort;
    if (std::strlen(szCmd) > kMaxCommand) return kTooLong;
    char cmd[kMaxCommand + 4];
    _q5m_gum_cr(cmd, szCmd);
    settle(cPort);
    setReadTimer(fd, wTimeOut);
    clearAnswer(szResult);
    __tod_t T = 0;
    const int got = wChksum != 0 ? q5m_send_readt_cs(fd, cmd, szResult, kAnswerMax, &T)
                                 : q5m_send_readt(fd, cmd, szResult, kAnswerMax, &T);
    // Only a CR ends a line: an answer that filled the buffer without one
    // keeps its last character. Indexing by the count, not strlen, stays
    // inside the bytes received even when the answer holds a NUL.
    if (got > 0 && szResult[got - 1] == '\r') szResult[got - 1] = '\0';
    if (wT != nullptr) *wT = static_cast<WORD>(T / 1000);
    const WORD code = answerCode(got);
    noteOutcome(cPort, code, wTimeOut);
    return code;
}

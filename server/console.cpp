// Interactive console: standard input read as it comes, typed bytes echoed by
// the console itself, two commands ("exit", "help"). The console never blocks
// the main thread on the terminal: output flow control is off while it runs,
// and what the terminal does not take in time is dropped.
#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kCmdBufSize = 8192;
constexpr int kPromptSize = 64;
constexpr const char *kDefaultPrompt = "KD3V";

termios initial_settings{};
termios new_settings{};
char strPrompt[kPromptSize] = "KD3V";
int consoleFlag = 0;
// Whether initial_settings really hold standard input's settings: without a
// terminal there is nothing to restore, and a zeroed record must never be
// applied to one.
bool settingsSaved = false;

char cmdBuf[kCmdBufSize];
int cmdLen = 0;

// Where the console writes: a descriptor of its own on standard output's
// terminal, opened non-blocking (the flag belongs to this descriptor alone,
// not to the shell's), or standard output itself when it is no terminal.
int outFd = 1;
// How long output may wait for room on the terminal (a slow reader catches
// up within it). Once a write has found no room in time the terminal counts
// as stalled, and output is dropped without waiting until it takes bytes
// again: a stopped or full terminal costs the run loop one wait, not one
// per byte typed.
constexpr int kOutputWaitMs = 100;
bool stalled = false;
// Standard input gave end of file or hang-up: nothing more will come from it.
bool inputEnded = false;

// Bytes typed but not echoed yet: echo goes out in one write per read.
char echoBuf[512];
size_t echoLen = 0;

void openOutput() {
    outFd = 1;
    if (isatty(1) != 1) return;
    const int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) outFd = fd;
}

// Writes without ever blocking for long: waits at most `waitMs` for room
// (none while the terminal is stalled) and drops the rest.
void consoleWrite(const char *p, size_t len, int waitMs) {
    while (len > 0) {
        pollfd pfd{outFd, POLLOUT, 0};
        if (poll(&pfd, 1, stalled ? 0 : waitMs) <= 0 || (pfd.revents & POLLOUT) == 0) {
            stalled = true;
            return;
        }
        stalled = false;
        // Small pieces: a pipe that polls writable takes at least this much.
        const ssize_t n = write(outFd, p, len < 512 ? len : 512);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void flushEcho() {
    if (echoLen > 0) consoleWrite(echoBuf, echoLen, kOutputWaitMs);
    echoLen = 0;
}

void echo(unsigned char c) {
    if (echoLen == sizeof echoBuf) flushEcho();
    echoBuf[echoLen++] = static_cast<char>(c);
}

void consolePrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void consolePrintf(const char *fmt, ...) {
    flushEcho();
    char text[kCmdBufSize + 128];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n > 0) consoleWrite(text, std::min(static_cast<size_t>(n), sizeof text - 1), kOutputWaitMs);
}

void printPrompt() {
    consolePrintf("%s>", strPrompt);
}

// A terminal in non-canonical mode with VMIN = VTIME = 0 never blocks, but a
// pipe or a file does: the run loop must go on polling (and SIGTERM must be
// seen) whatever standard input is.
bool inputWaiting() {
    pollfd pfd{0, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Acts on the finished line in cmdBuf; false when the line was "exit".
bool runLine(int *runFlag, int &result) {
    if (cmdBuf[0] == '\0') {
        consolePrintf("\n");
    } else if (std::strcmp(cmdBuf, "exit") == 0) {
        // The flag is also read by other threads (and cleared by a signal
        // handler): store it the way they load it.
        if (runFlag != nullptr) __atomic_store_n(runFlag, 0, __ATOMIC_RELAXED);
        cmdLen = 0;
        return false;
    } else if (std::strcmp(cmdBuf, "help") == 0) {
        printHelp();
    } else {
        consolePrintf("\ncommand %s is not recognized !!!", cmdBuf);
        printHelp();
        result = -1;
    }
    cmdLen = 0;
    printPrompt();
    return true;
}

}  // namespace

void initConsole(const char *name) {
    settingsSaved = tcgetattr(0, &initial_settings) == 0;
    new_settings = initial_settings;
    new_settings.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    new_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    new_settings.c_lflag &= ~static_cast<tcflag_t>(ISIG);
    new_settings.c_cc[VMIN] = 0;
    new_settings.c_cc[VTIME] = 0;
    // A stray Ctrl-S would stop the terminal's output, and the server with
    // it: output flow control is off while the console runs (the key is then
    // a byte like any other).
    new_settings.c_iflag &= ~static_cast<tcflag_t>(IXON);
    if (settingsSaved) tcsetattr(0, TCSANOW, &new_settings);

    std::snprintf(strPrompt, sizeof strPrompt, "%s", kDefaultPrompt);
    if (name != nullptr && std::strlen(name) < sizeof strPrompt)
        std::snprintf(strPrompt, sizeof strPrompt, "%s", name);
    // The first prompt leaves with the start-up lines, in one piece, before
    // the console's own non-blocking output takes over.
    std::printf("%s>", strPrompt);
    std::fflush(nullptr);
    openOutput();
    stalled = false;
    consoleFlag = 1;
}

void finiConsole(void) {
    if (consoleFlag && settingsSaved) tcsetattr(0, TCSANOW, &initial_settings);
    consolePrintf("\n");
}

void consoleMessage(const char *text) {
    consolePrintf("%s", text);
}

void printHelp(void) {
    consolePrintf("\ninteractive console command\nexit : Stop %s\nhelp : Help information\n",
                  strPrompt);
}

int consoleService(int *runFlag) {
    // Everything waiting is taken at once: a paste goes through in one poll,
    // not one byte per turn of the run loop.
    unsigned char in[1024];
    if (inputEnded || !inputWaiting()) return 0;
    const ssize_t got = read(0, in, sizeof in);
    // Readable yet nothing to read: the end of a file or pipe, or a terminal
    // hung up. It is not watched again (it would wake the run loop at once).
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) inputEnded = true;
    int result = 0;
    for (ssize_t i = 0; i < got; ++i) {
        const unsigned char c = in[i];
        switch (c) {
            case '\n':
                cmdBuf[cmdLen++] = '\0';
                break;
            case 27:   // ESC
            case '[':  // ... the two bytes that start a cursor key's sequence
            case 127:  // DEL: there is no line editing
                break;
            case '\0':
                // Kept in the line, shown as ^@, like other control bytes
                // (never a line's end: "exi\0t" is one line, not "exi").
                cmdBuf[cmdLen++] = '^';
                echo('^');
                if (cmdLen > kCmdBufSize - 1) cmdLen -= 1;
                cmdBuf[cmdLen++] = '@';
                echo('@');
                break;
            default:
                cmdBuf[cmdLen++] = static_cast<char>(c);
                echo(c);
                break;
        }
        if (cmdLen > 0 && cmdBuf[cmdLen - 1] == '\0') {
            flushEcho();
            if (!runLine(runFlag, result)) return 0;
        }
        // Keep the last position for the next byte: an over-long line is cut
        // to its first kCmdBufSize - 1 bytes and the buffer never overflows.
        if (cmdLen > kCmdBufSize - 1) cmdLen -= 1;
    }
    flushEcho();
    return result;
}

void consoleWait(int ms) {
    pollfd pfd{consoleFlag != 0 && !inputEnded ? 0 : -1, POLLIN, 0};
    poll(&pfd, 1, ms);
}

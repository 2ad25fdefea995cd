// Interactive console: standard input read one byte per poll, typed bytes
// echoed by the console itself, two commands ("exit", "help").
#include "console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

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

void printPrompt() {
    std::printf("%s>", strPrompt);
    std::fflush(stdout);
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
        std::printf("\n");
    } else if (std::strcmp(cmdBuf, "exit") == 0) {
        // The flag is also read by other threads (and cleared by a signal
        // handler): store it the way they load it.
        if (runFlag != nullptr) __atomic_store_n(runFlag, 0, __ATOMIC_RELAXED);
        cmdLen = 0;
        return false;
    } else if (std::strcmp(cmdBuf, "help") == 0) {
        printHelp();
    } else {
        std::printf("\ncommand %s is not recognized !!!", cmdBuf);
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
    if (settingsSaved) tcsetattr(0, TCSANOW, &new_settings);

    std::snprintf(strPrompt, sizeof strPrompt, "%s", kDefaultPrompt);
    if (name != nullptr && std::strlen(name) < sizeof strPrompt)
        std::snprintf(strPrompt, sizeof strPrompt, "%s", name);
    std::printf("%s>", strPrompt);
    std::fflush(nullptr);
    consoleFlag = 1;
}

void finiConsole(void) {
    if (consoleFlag && settingsSaved) tcsetattr(0, TCSANOW, &initial_settings);
    std::printf("\n");
    std::fflush(stdout);
}

void printHelp(void) {
    std::printf("\ninteractive console command\n");
    std::printf("exit : Stop %s\n", strPrompt);
    std::printf("help : Help information\n");
}

int consoleService(int *runFlag) {
    unsigned char c = 0;
    if (!inputWaiting() || read(0, &c, 1) != 1) return 0;

    switch (c) {
        case '\n':
            cmdBuf[cmdLen++] = '\0';
            break;
        case 27:   // ESC
        case '[':  // ... the two bytes that start a cursor key's sequence
        case 127:  // DEL: there is no line editing
            break;
        default:
            cmdBuf[cmdLen++] = static_cast<char>(c);
            std::putchar(c);
            std::fflush(stdout);
            break;
    }

    int result = 0;
    if (cmdLen > 0 && cmdBuf[cmdLen - 1] == '\0') {
        if (!runLine(runFlag, result)) return 0;
    }
    // Keep the last position for the next byte: an over-long line is cut to
    // its first kCmdBufSize - 1 bytes and the buffer never overflows.
    if (cmdLen > kCmdBufSize - 1) cmdLen -= 1;
    return result;
}

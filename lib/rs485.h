// Two-wire RS-485 on COM ports: the transceiver's direction (the kernel's
// RS-485 mode, or RTS switched from here around each frame) and the removal
// of the echo an adapter returns of what was sent. The state belongs to the
// descriptor of an open COM port; a descriptor without RS-485 settings takes
// none of the paths below (one look at a counter). One thread at a time per
// descriptor, like the rest of the COM layer.
#pragma once

#include <linux/serial.h>
#include <sys/types.h>

#include <cstddef>

namespace fieldbus::rs485 {

// Longest delay before or after a frame, in microseconds (the kernel's own
// limit for its RS-485 mode).
constexpr int kMaxDelayUs = 100000;

struct Settings {
    int flags = 0;  // FIELDBUS_RS485_*
    int beforeUs = 0;
    int afterUs = 0;
};

// True for settings Set_Com_RS485 accepts: known flags only, delays within
// 0..kMaxDelayUs, and RTS polarity or delays only together with ON.
bool valid(const Settings &s);

// The environment's form: comma-separated words "on", "rts-low", "echo",
// "before=N", "after=N" (N decimal microseconds), in any order and case,
// with blanks around them. False for anything else, or for settings that
// are not valid.
bool parse(const char *text, Settings *out);

// What the next Open_Com of port (1..50) applies: Set_Com_RS485's settings
// once it was called for the port, else FIELDBUS_COM<n>_RS485 (unset or
// empty: none). False, with errno EINVAL, when the environment's value is
// not understood.
bool settingsFor(unsigned port, Settings *out);

// The calls that reach the line, replaceable by tests (a pseudo-terminal
// has neither the kernel's RS-485 mode nor modem lines). Results as the
// system calls': 0, or -1 with errno.
struct LineCalls {
    int (*getMode)(int fd, serial_rs485 *conf);  // TIOCGRS485
    int (*setMode)(int fd, serial_rs485 *conf);  // TIOCSRS485; conf receives what the driver took
    int (*setRts)(int fd, bool high);            // the RTS modem line
    int (*drain)(int fd);                        // tcdrain
    long long (*nowUs)();                        // monotonic microseconds
    void (*sleepUntilUs)(long long t);           // on the same clock
};
// Installs `calls` (null: the system's); returns the ones in use before.
const LineCalls *useLineCalls(const LineCalls *calls);

// Open_Com: applies port's settings to its descriptor. `shared`: fd was
// already open for another port number; `charUs`: one character's time on
// the line. 0, or -1 with errno when the settings cannot be applied (an
// environment value not understood, a line whose direction cannot be
// driven); the descriptor's state is left as it was then.
int atOpen(unsigned port, int fd, bool shared, long long charUs);
// Before the last port number on fd gives it up: the kernel's RS-485 mode
// goes back to what Open_Com found, and the state is dropped.
void atClose(int fd);

// Around the write of one frame: beginFrame drops what is held from the
// exchange before and asserts RTS (then the delay before); endFrame waits
// for the line to drain, the delay after, releases RTS and remembers the
// `count` bytes that went out (none when count <= 0) as the echo to expect.
// Both leave errno as they found it.
void beginFrame(int fd);
void endFrame(int fd, const void *sent, ssize_t count);

// read() with the echo of the last frame taken out. When all that was read
// was echo: -1 with errno EAGAIN, or, `blocking`, a further read (for
// readers that let the terminal's timer do the waiting).
ssize_t read(int fd, void *buf, size_t room, bool blocking);
// Bytes already taken from the line and not handed out yet: poll() does
// not see them, so a reader asks here first.
bool waiting(int fd);
// Input was discarded: what is held goes too; an echo still to come is
// still expected.
void discarded(int fd);
// Waits until the echo of the last frame has come back, at most the time
// it takes on the line and 20 ms more, taking it out: for a caller that
// discards input next, which must not cut an echo in two.
void settleEcho(int fd);

}  // namespace fieldbus::rs485

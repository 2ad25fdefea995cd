// The virtual board's end of the serial line: a pseudo-terminal whose other
// end is the board's device, and the loop that serves it.
#pragma once

#include <signal.h>

#include <cstdio>
#include <string>

#include "control.h"

namespace rksim {

class Line {
  public:
    Line() = default;
    ~Line() { close(); }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    // Creates the pseudo-terminal (raw, 115200 baud) and, when `link` is not
    // empty, points the symbolic link `link` at its device, replacing an
    // older link but never another kind of file. False with `error` set.
    bool open(const std::string &link, std::string *error);

    // The device path of the board's end, for the program that uses it.
    const std::string &device() const { return device_; }

    // Serves requests on the line and, with `commands`, commands on standard
    // input (a terminal only while the board is in its foreground) until a
    // stop signal arrives (`*stop` set; signals are unblocked only with
    // `waitMask` inside the wait) or "quit" is read. Returns the exit status.
    int run(Board &board, bool paced, bool commands, FILE *trace, const sigset_t &waitMask,
            volatile sig_atomic_t *stop);

    // Removes the link (when it still points here) and closes the terminal.
    void close();

  private:
    int master_ = -1;
    int slave_ = -1;  // held open so the line never reports a hang-up
    std::string device_;
    std::string link_;
};

}  // namespace rksim

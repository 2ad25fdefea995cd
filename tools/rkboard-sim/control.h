// The virtual board's state beyond its memory (identity, injected fault,
// counters) and the line commands that change or show it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "slave.h"

namespace rksim {

enum class FaultMode { None, Silent, Late, BadCrc, Exception };

// A fault applied to the board's answers: to every request, or only to one
// function's, to each of them or to every `every`th, and for ever or for the
// next `remaining` requests it is applied to.
struct Fault {
    FaultMode mode = FaultMode::None;
    unsigned arg = 0;           // milliseconds for Late, exception code for Exception
    unsigned function = 0;      // 0: every function
    long remaining = -1;        // -1: until changed
    unsigned long every = 1;    // applied to the every-th matching request
    unsigned long matched = 0;  // matching requests seen, for `every`
};

// Parses "off", "silent", "late MS", "badcrc" or "exception CODE", each
// optionally followed by "fn=F", "every=N" and "times=N". False with `error`
// set when the text is not one of these.
bool parseFault(const char *text, Fault *out, std::string *error);

struct Board {
    Memory mem;
    Fault fault;
    uint8_t slaveId = 1;
    unsigned long long served = 0;  // requests addressed to the board, answered or not
    // When the board is up again after a "restart" (monotonic nanoseconds);
    // until then it is booting and the line's bytes go nowhere.
    int64_t bootedAtNs = 0;
};

// Whether the board is still booting at `nowNs` (monotonic nanoseconds).
inline bool booting(const Board &board, int64_t nowNs) {
    return nowNs < board.bootedAtNs;
}

// The fault that applies to a request of `function`, counting it down; a
// fault whose count runs out returns the board to normal afterwards.
Fault takeFault(Board &board, uint8_t function);

// Carries out one command line and writes its one-line reply ("ok", the
// values asked for, or "error: ...") to `out`. False after "quit". A
// "restart" leaves the board booting (see Board::bootedAtNs); the caller
// drops what the line was carrying.
bool runCommand(Board &board, const char *line, FILE *out);

// The commands, as listed in the usage text.
extern const char *const kCommandHelp;

}  // namespace rksim

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
// function's, and for ever or for the next `remaining` matching requests.
struct Fault {
    FaultMode mode = FaultMode::None;
    unsigned arg = 0;       // milliseconds for Late, exception code for Exception
    unsigned function = 0;  // 0: every function
    long remaining = -1;    // -1: until changed
};

// Parses "off", "silent", "late MS", "badcrc" or "exception CODE", each
// optionally followed by "fn=F" and "times=N". False with `error` set when
// the text is not one of these.
bool parseFault(const char *text, Fault *out, std::string *error);

struct Board {
    Memory mem;
    Fault fault;
    uint8_t slaveId = 1;
    unsigned long long served = 0;  // requests addressed to the board, answered or not
};

// The fault that applies to a request of `function`, counting it down; a
// fault whose count runs out returns the board to normal afterwards.
Fault takeFault(Board &board, uint8_t function);

// Carries out one command line and writes its one-line reply ("ok", the
// values asked for, or "error: ...") to `out`. False after "quit".
bool runCommand(Board &board, const char *line, FILE *out);

// The commands, as listed in the usage text.
extern const char *const kCommandHelp;

}  // namespace rksim

// The virtual board's line commands and injected faults.
#include "control.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <vector>

namespace rksim {

const char *const kCommandHelp =
    "Commands on standard input, one per line, each answered by one line\n"
    "(\"help\" by this list, then \"ok\"):\n"
    "  set KIND ADDR VALUE...   set points from ADDR on (inputs, or outputs to preset)\n"
    "  get KIND ADDR [COUNT]    show COUNT points (default 1): \"KIND ADDR: V V ...\"\n"
    "                           KIND: coil, di (discrete input), ir (input register),\n"
    "                           hr (holding register); numbers decimal or 0x hex\n"
    "  board ID                 carry identifier ID (hex) in holding registers 482, 483\n"
    "  fault KIND               inject a fault (see --fault); \"fault off\" ends it\n"
    "  restart [MS]             power cycle: coils and holding registers back to 0\n"
    "                           (inputs and identifier kept), no answer to anything\n"
    "                           for MS milliseconds while booting (default 300,\n"
    "                           0 to 60000)\n"
    "  stats                    \"served N\": requests addressed to the board so far\n"
    "  help                     this list\n"
    "  quit                     remove the link and end\n";

namespace {

bool parseNumber(const std::string &token, unsigned long max, unsigned long *value) {
    if (token.empty() || token[0] == '-' || token[0] == '+') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long v = std::strtoul(token.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *value = v;
    return true;
}

enum class Kind { Coil, Input, InputReg, HoldingReg };

bool parseKind(const std::string &word, Kind *kind) {
    static const struct {
        const char *name;
        Kind kind;
    } kKinds[] = {{"coil", Kind::Coil},
                  {"di", Kind::Input},
                  {"ir", Kind::InputReg},
                  {"hr", Kind::HoldingReg}};
    for (const auto &k : kKinds)
        if (word == k.name) {
            *kind = k.kind;
            return true;
        }
    return false;
}

unsigned getPoint(const Memory &m, Kind kind, unsigned i) {
    switch (kind) {
        case Kind::Coil:
            return m.bit(m.coils, i) ? 1 : 0;
        case Kind::Input:
            return m.bit(m.inputs, i) ? 1 : 0;
        case Kind::InputReg:
            return m.inputRegs[i];
        case Kind::HoldingReg:
            return m.holdingRegs[i];
    }
    return 0;
}

void setPoint(Memory &m, Kind kind, unsigned i, unsigned v) {
    switch (kind) {
        case Kind::Coil:
            m.setBit(m.coils, i, v != 0);
            break;
        case Kind::Input:
            m.setBit(m.inputs, i, v != 0);
            break;
        case Kind::InputReg:
            m.inputRegs[i] = static_cast<uint16_t>(v);
            break;
        case Kind::HoldingReg:
            m.holdingRegs[i] = static_cast<uint16_t>(v);
            break;
    }
}

bool isBitKind(Kind k) {
    return k == Kind::Coil || k == Kind::Input;
}

// Replies for the commands; each returns the reply line without newline.
std::string doSet(Board &b, const std::vector<std::string> &w) {
    Kind kind;
    unsigned long addr;
    if (w.size() < 4 || !parseKind(w[1], &kind) || !parseNumber(w[2], kPoints - 1, &addr))
        return "error: usage: set KIND ADDR VALUE...";
    const size_t n = w.size() - 3;
    if (addr + n > kPoints) return "error: points beyond address 65535";
    std::vector<unsigned> values(n);
    for (size_t i = 0; i < n; ++i) {
        unsigned long v;
        if (!parseNumber(w[3 + i], isBitKind(kind) ? 1 : 0xFFFF, &v))
            return "error: bad value " + w[3 + i];
        values[i] = static_cast<unsigned>(v);
    }
    for (size_t i = 0; i < n; ++i)
        setPoint(b.mem, kind, static_cast<unsigned>(addr + i), values[i]);
    return "ok";
}

std::string doGet(Board &b, const std::vector<std::string> &w) {
    Kind kind;
    unsigned long addr, count = 1;
    if (w.size() < 3 || w.size() > 4 || !parseKind(w[1], &kind) ||
        !parseNumber(w[2], kPoints - 1, &addr) ||
        (w.size() == 4 && !parseNumber(w[3], kPoints, &count)))
        return "error: usage: get KIND ADDR [COUNT]";
    if (addr + count > kPoints) return "error: points beyond address 65535";
    std::string out = w[1] + " " + std::to_string(addr) + ":";
    for (unsigned long i = 0; i < count; ++i)
        out += " " + std::to_string(getPoint(b.mem, kind, static_cast<unsigned>(addr + i)));
    return out;
}

std::string doBoard(Board &b, const std::vector<std::string> &w) {
    unsigned long id;
    if (w.size() != 2) return "error: usage: board ID";
    const std::string hex = w[1].rfind("0x", 0) == 0 ? w[1] : "0x" + w[1];
    if (!parseNumber(hex, 0xFFFF, &id)) return "error: bad identifier " + w[1];
    b.mem.setBoardId(static_cast<unsigned>(id));
    return "ok";
}

std::string doRestart(Board &b, const std::vector<std::string> &w) {
    unsigned long ms = 300;
    if (w.size() > 2 || (w.size() == 2 && !parseNumber(w[1], 60000, &ms)))
        return "error: usage: restart [MS], MS 0 to 60000";
    const uint16_t id[2] = {b.mem.holdingRegs[kIdRegister], b.mem.holdingRegs[kIdRegister + 1]};
    b.mem.coils.fill(0);
    b.mem.holdingRegs.fill(0);
    // The identifier is the board's own, not an output: it comes back with it.
    b.mem.holdingRegs[kIdRegister] = id[0];
    b.mem.holdingRegs[kIdRegister + 1] = id[1];
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    b.bootedAtNs = static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec +
                   static_cast<int64_t>(ms) * 1'000'000;
    return "ok";
}

std::string doFault(Board &b, const char *line) {
    const char *faultText = line + std::strspn(line, " \t") + std::strlen("fault");
    std::string error;
    Fault f;
    if (!parseFault(faultText, &f, &error)) return "error: " + error;
    b.fault = f;
    return "ok";
}

}  // namespace

bool parseFault(const char *text, Fault *out, std::string *error) {
    std::istringstream in(text != nullptr ? text : "");
    std::string word;
    Fault f;
    if (!(in >> word)) {
        *error = "fault: missing mode";
        return false;
    }
    unsigned long v = 0;
    std::string arg;
    if (word == "off" || word == "none") {
        f.mode = FaultMode::None;
    } else if (word == "silent") {
        f.mode = FaultMode::Silent;
    } else if (word == "badcrc") {
        f.mode = FaultMode::BadCrc;
    } else if (word == "late" || word == "exception") {
        const bool late = word == "late";
        if (!(in >> arg) || !parseNumber(arg, late ? 60000 : 255, &v) || (!late && v == 0)) {
            *error = late ? "fault late: milliseconds 0 to 60000 expected"
                          : "fault exception: code 1 to 255 expected";
            return false;
        }
        f.mode = late ? FaultMode::Late : FaultMode::Exception;
        f.arg = static_cast<unsigned>(v);
    } else {
        *error = "fault: unknown mode " + word;
        return false;
    }
    while (in >> word) {
        if (word.rfind("fn=", 0) == 0 && parseNumber(word.substr(3), 255, &v) && v > 0) {
            f.function = static_cast<unsigned>(v);
        } else if (word.rfind("times=", 0) == 0 && parseNumber(word.substr(6), 1000000000, &v) &&
                   v > 0) {
            f.remaining = static_cast<long>(v);
        } else if (word.rfind("every=", 0) == 0 && parseNumber(word.substr(6), 1000000000, &v) &&
                   v > 0) {
            f.every = v;
        } else {
            *error = "fault: unknown qualifier " + word;
            return false;
        }
    }
    *out = f;
    return true;
}

Fault takeFault(Board &board, uint8_t function) {
    Fault &f = board.fault;
    if (f.mode == FaultMode::None || (f.function != 0 && f.function != function)) return Fault{};
    // The requests in between are served as if there were no fault, and
    // only those it is applied to count towards `remaining`.
    if (++f.matched % f.every != 0) return Fault{};
    const Fault applied = f;
    if (f.remaining > 0 && --f.remaining == 0) f = Fault{};
    return applied;
}

bool runCommand(Board &board, const char *line, FILE *out) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    std::string reply;
    bool more = true;
    if (w.empty()) return true;  // blank lines are ignored, without reply
    if (w[0] == "set") {
        reply = doSet(board, w);
    } else if (w[0] == "get") {
        reply = doGet(board, w);
    } else if (w[0] == "board") {
        reply = doBoard(board, w);
    } else if (w[0] == "fault") {
        reply = doFault(board, line);
    } else if (w[0] == "restart") {
        reply = doRestart(board, w);
    } else if (w[0] == "stats") {
        reply = "served " + std::to_string(board.served);
    } else if (w[0] == "help") {
        std::fputs(kCommandHelp, out);
        reply = "ok";
    } else if (w[0] == "quit") {
        reply = "ok";
        more = false;
    } else {
        reply = "error: unknown command " + w[0] + " (try help)";
    }
    std::fprintf(out, "%s\n", reply.c_str());
    std::fflush(out);
    return more;
}

}  // namespace rksim

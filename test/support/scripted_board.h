// A board of the tests' own on a pseudo-terminal, independent of
// rkboard-sim: a Modbus RTU slave 1 with a small memory, answering each
// request as a rule the test sets says (on time, late, from another slave,
// with another function, or not at all), and able to be unplugged and
// plugged back in under the same path.
//
//   fbtest::ScriptedBoard board(names.boardLink, 0x0C23);
//   board.setRule([](const fbtest::BoardRequest &r) {
//       return r.function == 1 && r.index % 3 == 0 ? fbtest::Misbehave::late(60)
//                                                  : fbtest::Misbehave::none();
//   });
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"

namespace fbtest {

// One request as the board saw it; `index` counts the requests of its
// function from 0, `outcome` is what the board did ("ok", "silent", ...).
struct BoardRequest {
    unsigned function, address, count;
    int index;
    std::string outcome;
};

// What the board does with one request.
struct Misbehave {
    enum Kind { None, Silent, Late, OtherSlave, OtherFunction, KeepOutputs } kind = None;
    int lateMs = 0;
    static Misbehave none() { return {}; }
    // No answer, and a write is not carried out.
    static Misbehave silent() { return {Silent, 0}; }
    // The right answer, `ms` milliseconds after the request.
    static Misbehave late(int ms) { return {Late, ms}; }
    // An answer of the same length from slave 9, or with function code 4.
    static Misbehave otherSlave() { return {OtherSlave, 0}; }
    static Misbehave otherFunction() { return {OtherFunction, 0}; }
    // A write answered as carried out, its outputs left as they were (forced
    // on the board).
    static Misbehave keepOutputs() { return {KeepOutputs, 0}; }
};

class ScriptedBoard {
  public:
    // Makes `link` a symbolic link to a new terminal and serves it as board `id`.
    ScriptedBoard(const std::string &link, unsigned id);
    ~ScriptedBoard();
    ScriptedBoard(const ScriptedBoard &) = delete;
    ScriptedBoard &operator=(const ScriptedBoard &) = delete;

    void setRule(std::function<Misbehave(const BoardRequest &)> rule);
    // Points of the memory (coils and discrete inputs 0..255, registers 0..511).
    void setCoil(unsigned addr, bool on);
    bool coil(unsigned addr);
    void setInput(unsigned addr, bool on);
    void setInputRegister(unsigned addr, unsigned value);
    std::vector<BoardRequest> requests();

    // The device goes away (both sides of the terminal closed: the server's
    // descriptor hangs up, the link is removed) and, with plugIn, comes back
    // as a new terminal under the same link.
    void unplug();
    void plugIn();

  private:
    void serve();
    void answer(const std::vector<unsigned char> &req);

    std::string link_;
    std::mutex lock_;
    std::unique_ptr<PtyPair> pty_;
    std::function<Misbehave(const BoardRequest &)> rule_;
    bool coils_[256] = {}, inputs_[256] = {};
    unsigned inputRegs_[512] = {}, holdingRegs_[512] = {};
    std::vector<BoardRequest> requests_;
    int perFunction_[256] = {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace fbtest

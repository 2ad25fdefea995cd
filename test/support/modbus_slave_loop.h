// A Modbus slave for peer tests, built on the library's own slave calls
// (modbusRead/modbusReply or modbusReadA/modbusReplyA) and running in a
// thread until destroyed. It serves 64 coils, discrete inputs, holding and
// input registers, preset by the *Preset functions below; requests outside
// them are left unanswered by the read/reply loop, answered with exceptions
// by the register-map server.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "modbus.h"
#include "modbus_script.h"

namespace fbtest {

constexpr int kStoreSize = 64;

inline bool coilPreset(int i) {
    return i % 3 == 0;
}
inline bool inputPreset(int i) {
    return i % 2 == 1;
}
inline uint16_t holdingPreset(int i) {
    return static_cast<uint16_t>(0x1000 + i);
}
inline uint16_t inputRegPreset(int i) {
    return static_cast<uint16_t>(0x2000 + i);
}

// Bits as they travel: eight to a byte, lowest address in bit 0.
Bytes packBits(const std::vector<bool> &bits);
// Registers as they travel: high byte first.
Bytes packRegisters(const std::vector<uint16_t> &regs);

using SlaveReadFn = int (*)(char, char, int *, char *, WORD, int *, int *, WORD);
using SlaveReplyFn = int (*)(char, char, int, char *, WORD, WORD, WORD);
using SlaveServeFn = int (*)(char, char, fieldbusMap *, WORD);

class SlaveLoop {
  public:
    // Serves address 1 on the open COM port `port`.
    SlaveLoop(char port, SlaveReadFn read, SlaveReplyFn reply);
    // Serves the same points through the register-map server (modbusServe or
    // modbusServeA): requests outside them get exception answers.
    SlaveLoop(char port, SlaveServeFn serve);
    ~SlaveLoop();
    SlaveLoop(const SlaveLoop &) = delete;
    SlaveLoop &operator=(const SlaveLoop &) = delete;

    uint16_t holding(int i);
    bool coil(int i);
    // Requests handed out by the read call so far.
    int served();

  private:
    SlaveLoop(char port, SlaveReadFn read, SlaveReplyFn reply, SlaveServeFn serve);
    void run();
    void serve(int function, int addr, int count, char *buf);

    char port_;
    SlaveReadFn read_ = nullptr;
    SlaveReplyFn reply_ = nullptr;
    SlaveServeFn serve_ = nullptr;
    std::mutex mutex_;
    unsigned char coils_[kStoreSize], inputs_[kStoreSize];
    uint16_t holding_[kStoreSize], inputRegs_[kStoreSize];
    int served_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace fbtest

#include "modbus_slave_loop.h"

#include <cstring>

namespace fbtest {

Bytes packBits(const std::vector<bool> &bits) {
    Bytes out((bits.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits.size(); ++i) {
        if (bits[i]) out[i / 8] = static_cast<unsigned char>(out[i / 8] | (1u << (i % 8)));
    }
    return out;
}

Bytes packRegisters(const std::vector<uint16_t> &regs) {
    Bytes out;
    for (uint16_t r : regs) {
        out.push_back(static_cast<unsigned char>(r >> 8));
        out.push_back(static_cast<unsigned char>(r & 0xFF));
    }
    return out;
}

SlaveLoop::SlaveLoop(char port, SlaveServeFn serve) : SlaveLoop(port, nullptr, nullptr, serve) {}

SlaveLoop::SlaveLoop(char port, SlaveReadFn read, SlaveReplyFn reply)
    : SlaveLoop(port, read, reply, nullptr) {}

SlaveLoop::SlaveLoop(char port, SlaveReadFn read, SlaveReplyFn reply, SlaveServeFn serve)
    : port_(port), read_(read), reply_(reply), serve_(serve) {
    for (int i = 0; i < kStoreSize; ++i) {
        coils_[i] = coilPreset(i);
        inputs_[i] = inputPreset(i);
        holding_[i] = holdingPreset(i);
        inputRegs_[i] = inputRegPreset(i);
    }
    thread_ = std::thread([this] { run(); });
}

SlaveLoop::~SlaveLoop() {
    stop_ = true;
    thread_.join();
}

uint16_t SlaveLoop::holding(int i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return holding_[i];
}

bool SlaveLoop::coil(int i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return coils_[i];
}

int SlaveLoop::served() {
    std::lock_guard<std::mutex> lock(mutex_);
    return served_;
}

void SlaveLoop::run() {
    fieldbusMap map = {0, kStoreSize, 0,      kStoreSize, 0,        kStoreSize,
                       0, kStoreSize, coils_, inputs_,    holding_, inputRegs_};
    while (!stop_ && serve_ != nullptr) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serve_(port_, 1, &map, 20) > 0) ++served_;
    }
    while (!stop_) {
        int function = 0, addr = 0, count = 0;
        char buf[300];
        const int rc = read_(port_, 1, &function, buf, sizeof buf, &addr, &count, 20);
        if (rc < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        ++served_;
        serve(function, addr, count, buf);
    }
}

namespace {
uint16_t word(const char *p) {
    return static_cast<uint16_t>((static_cast<unsigned char>(p[0]) << 8) |
                                 static_cast<unsigned char>(p[1]));
}
}  // namespace

void SlaveLoop::serve(int function, int addr, int count, char *buf) {
    const bool single = function == 5 || function == 6;
    if (addr < 0 || count < 0 || (single ? addr >= kStoreSize : addr + count > kStoreSize)) return;
    char out[300];
    Bytes packed;
    switch (function) {
        case 1:
        case 2: {
            const unsigned char *src = function == 1 ? coils_ : inputs_;
            packed = packBits(std::vector<bool>(src + addr, src + addr + count));
            break;
        }
        case 3:
        case 4: {
            const uint16_t *src = function == 3 ? holding_ : inputRegs_;
            packed = packRegisters(std::vector<uint16_t>(src + addr, src + addr + count));
            break;
        }
        case 5:
            coils_[addr] = static_cast<unsigned char>(buf[0]) == 0xFF;
            reply_(port_, 1, 5, buf, 0, static_cast<WORD>(addr), 0);
            return;
        case 6:
            holding_[addr] = word(buf);
            reply_(port_, 1, 6, buf, 0, static_cast<WORD>(addr), 0);
            return;
        case 15:
        case 16:
            for (int i = 0; i < count; ++i) {
                if (function == 15) {
                    coils_[addr + i] = (static_cast<unsigned char>(buf[i / 8]) >> (i % 8)) & 1;
                } else {
                    holding_[addr + i] = word(buf + 2 * i);
                }
            }
            out[0] = static_cast<char>(count >> 8);
            out[1] = static_cast<char>(count & 0xFF);
            reply_(port_, 1, function, out, 0, static_cast<WORD>(addr), 0);
            return;
        default:
            return;
    }
    std::memcpy(out, packed.data(), packed.size());
    reply_(port_, 1, function, out, static_cast<WORD>(packed.size()), 0, 0);
}

}  // namespace fbtest

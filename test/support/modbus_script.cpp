#include "modbus_script.h"

#include <cstdio>
#include <stdexcept>

#include "crc16.h"
#include "msw.h"

namespace fbtest {

Bytes withCrc(Bytes frame) {
    const uint16_t crc = getCRC16(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<unsigned char>(crc >> 8));
    frame.push_back(static_cast<unsigned char>(crc & 0xFF));
    return frame;
}

Bytes textBytes(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

std::string hexOf(const Bytes &b) {
    std::string s;
    char x[4];
    for (unsigned char c : b) {
        std::snprintf(x, sizeof x, "%02X ", c);
        s += x;
    }
    return s;
}

OneExchange::OneExchange(int fd, size_t requestLen, Bytes answer)
    : thread_([this, fd, requestLen, answer] {
          request_ = readFor(fd, requestLen, 3000);
          if (!answer.empty()) writeAll(fd, answer);
      }) {}

OneExchange::~OneExchange() {
    if (thread_.joinable()) thread_.join();
}

const Bytes &OneExchange::request() {
    if (thread_.joinable()) thread_.join();
    return request_;
}

ComOnPty::ComOnPty(char p) : port(p) {
    if (Set_Com_Device(port, pty.path.c_str()) != 0 || Open_Com(port, 115200, 8, 0, 0) != 0)
        throw std::runtime_error("cannot open COM port on " + pty.path);
}

ComOnPty::~ComOnPty() {
    Close_Com(port);
    Set_Com_Device(port, nullptr);
    Set_Com_RS485(port, 0, 0, 0);
}

void ComOnPty::echoing() {
    if (Close_Com(port) != 0 || Set_Com_RS485(port, FIELDBUS_RS485_ECHO, 0, 0) != 0 ||
        Open_Com(port, 115200, 8, 0, 0) != 0)
        throw std::runtime_error("cannot open COM port again on " + pty.path);
}

}  // namespace fbtest

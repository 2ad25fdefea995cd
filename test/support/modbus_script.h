// Helpers for Modbus tests over pseudo-terminals: frames with their checks,
// a scripted far end for one exchange, a COM port bound to a PTY.
#pragma once

#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"

namespace fbtest {

using Bytes = std::vector<unsigned char>;

// The frame followed by its RTU CRC (getCRC16's high byte first).
Bytes withCrc(Bytes frame);

// Bytes of a text (no terminating zero).
Bytes textBytes(const std::string &s);

// Hexadecimal dump "01 03 00" for messages.
std::string hexOf(const Bytes &b);

// Plays the far end of one exchange on fd in a thread: collects up to
// `requestLen` bytes (deadline 3 s), then writes `answer` unless it is empty.
class OneExchange {
  public:
    OneExchange(int fd, size_t requestLen, Bytes answer);
    ~OneExchange();
    OneExchange(const OneExchange &) = delete;
    OneExchange &operator=(const OneExchange &) = delete;
    // Waits for the thread and returns what the far end received.
    const Bytes &request();

  private:
    Bytes request_;
    std::thread thread_;
};

// A COM port opened on a fresh PTY (115200 8N1); closed again at the end,
// its device path and RS-485 settings back to none.
struct ComOnPty {
    explicit ComOnPty(char port);
    ~ComOnPty();
    // Opens the port again as behind an adapter that echoes what it sends.
    void echoing();
    ComOnPty(const ComOnPty &) = delete;
    ComOnPty &operator=(const ComOnPty &) = delete;
    PtyPair pty;
    char port;
};

}  // namespace fbtest

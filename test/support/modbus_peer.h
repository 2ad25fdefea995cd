// Independent peers for Modbus conformance tests: a child process talked to
// over pipes, and a pair of linked pseudo-terminals with device paths.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace fbtest {

// A child process (found on PATH) with its standard input and output on
// pipes; standard error is inherited. Terminated and reaped on destruction.
class PeerProcess {
  public:
    explicit PeerProcess(const std::vector<std::string> &argv);
    ~PeerProcess();
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // One line of the child's output without its newline; false when none
    // came within timeoutMs or the child closed its output.
    bool readLine(std::string *line, int timeoutMs);
    // Writes one line (a newline is added) to the child's input.
    void writeLine(const std::string &line);
    // Line-oriented request: writes `line`, returns the answer line or
    // "<no answer>".
    std::string ask(const std::string &line, int timeoutMs);

    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int in_ = -1;   // child's standard input
    int out_ = -1;  // child's standard output
    std::string pending_;
};

// Two pseudo-terminals linked back to back by socat: bytes written on one
// path arrive on the other. Paths live in a private temporary directory.
class LinkedPtys {
  public:
    LinkedPtys();  // throws when the links do not appear within 5 s
    ~LinkedPtys();
    LinkedPtys(const LinkedPtys &) = delete;
    LinkedPtys &operator=(const LinkedPtys &) = delete;

    std::string a, b;

  private:
    std::string dir_;
    PeerProcess *socat_ = nullptr;
};

}  // namespace fbtest

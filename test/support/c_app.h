// Building a small C application against an installed libfieldbus, from a
// test: shell commands with their status and output, and the application
// itself (every installed header included, two calls into the library).
#pragma once

#include <string>
#include <vector>

namespace fbtest {

struct ShellResult {
    int status = -1;     // exit status, -1 when killed or not started
    std::string output;  // standard output and error
};

// Runs `command` with sh -c, standard error merged into the output.
ShellResult shell(const std::string &command);

// Quotes a path the tests made (none holds a single quote) for the shell.
std::string shq(const std::string &s);

// Names of the entries of dir ending in suffix (all for ""), sorted.
std::vector<std::string> filesIn(const std::string &dir, const std::string &suffix);

// The application's source: includes `headers`, prints the CRC of the
// standard check string and a COM port's device path set and read back, and
// exits 0 only when both are right. Its static link needs the C++ runtime.
std::string cAppSource(const std::vector<std::string> &headers);

// What the application prints when the library works.
extern const char *const kCAppOutput;

}  // namespace fbtest

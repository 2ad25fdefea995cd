// Starting the project's own programs from a test. In a cross build the
// programs are foreign binaries that the kernel cannot run by itself (no
// binfmt handler is assumed), so each one must be started through the
// emulator: every test that fork()/exec()s, posix_spawn()s or popen()s a
// program from FIELDBUS_BIN_DIR builds its argv or command line with these.
// On a native build the prefix is empty and nothing changes.
//
//   auto argv = fbtest::programArgv(FIELDBUS_BIN_DIR "/pellora", {"-i", "-l", log});
//   auto cargv = fbtest::cArgv(argv);         // keep `argv` alive until exec
//   pid_t pid = fork();
//   if (pid == 0) { execv(cargv[0], cargv.data()); _exit(127); }
//
// The pid is the program itself (the emulator runs it in its own process),
// so signals and waitpid() behave as on a native build.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

namespace fbtest {

// Words to put before a program's path, e.g. {"/usr/bin/qemu-arm", "-L",
// "/usr/arm-linux-gnueabihf"} in the armhf build; empty in a native build.
const std::vector<std::string> &execWrapper();

// The same words joined by spaces, followed by a space when not empty: the
// prefix for a shell command line (popen(), system()).
std::string execWrapperCommand();

// Full argument vector for running `program` with `args`: wrapper, program,
// then the arguments. Element 0 is what to pass to execv()/execvp().
std::vector<std::string> programArgv(const std::string &program,
                                     std::initializer_list<std::string> args = {});
std::vector<std::string> programArgv(const std::string &program,
                                     const std::vector<std::string> &args);

// True when the tests run under the user-mode emulator (the armhf build).
// The emulator does not implement the kernel's robust-futex list, so a robust
// mutex whose owner dies stays locked instead of reporting EOWNERDEAD: a test
// of recovery from a process killed inside the region's lock skips there.
bool underEmulator();

// A null-terminated char* view of `argv` for the exec family; valid while
// `argv` is neither changed nor destroyed. Build it before fork().
std::vector<char *> cArgv(std::vector<std::string> &argv);

}  // namespace fbtest

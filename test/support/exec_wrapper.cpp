#include "exec_wrapper.h"

#include <sstream>

namespace fbtest {

const std::vector<std::string> &execWrapper() {
    static const std::vector<std::string> words = [] {
        std::vector<std::string> w;
#ifdef FIELDBUS_EXEC_WRAPPER
        std::istringstream in(FIELDBUS_EXEC_WRAPPER);
        for (std::string word; in >> word;) w.push_back(word);
#endif
        return w;
    }();
    return words;
}

bool underEmulator() {
    return !execWrapper().empty();
}

std::string execWrapperCommand() {
    std::string cmd;
    for (const auto &w : execWrapper()) cmd += w + ' ';
    return cmd;
}

std::vector<std::string> programArgv(const std::string &program,
                                     const std::vector<std::string> &args) {
    std::vector<std::string> argv = execWrapper();
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> programArgv(const std::string &program,
                                     std::initializer_list<std::string> args) {
    return programArgv(program, std::vector<std::string>(args));
}

std::vector<char *> cArgv(std::vector<std::string> &argv) {
    std::vector<char *> out;
    out.reserve(argv.size() + 1);
    for (auto &a : argv) out.push_back(a.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace fbtest

#include "modbus_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "pty_pair.h"

namespace fbtest {

PeerProcess::PeerProcess(const std::vector<std::string> &argv) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    if (pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<char *> cargv;
    for (const auto &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
    cargv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
}

PeerProcess::~PeerProcess() {
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const long long end = monoMs() + 3000;
    while (monoMs() < end) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        poll(nullptr, 0, 5);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

bool PeerProcess::readLine(std::string *line, int timeoutMs) {
    const long long end = monoMs() + timeoutMs;
    for (;;) {
        const size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            *line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return true;
        }
        const long long left = end - monoMs();
        if (left <= 0) return false;
        pollfd pfd{out_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char buf[512];
        const ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
    }
}

void PeerProcess::writeLine(const std::string &line) {
    const std::string s = line + "\n";
    writeAll(in_, s.data(), s.size());
}

std::string PeerProcess::ask(const std::string &line, int timeoutMs) {
    writeLine(line);
    std::string answer;
    return readLine(&answer, timeoutMs) ? answer : "<no answer>";
}

LinkedPtys::LinkedPtys() {
    char tmpl[] = "/tmp/fieldbus-link-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    a = dir_ + "/a";
    b = dir_ + "/b";
    socat_ = new PeerProcess({"socat", "pty,rawer,link=" + a, "pty,rawer,link=" + b});
    const long long end = monoMs() + 5000;
    struct stat st {};
    while (stat(a.c_str(), &st) != 0 || stat(b.c_str(), &st) != 0) {
        if (monoMs() > end) {
            delete socat_;
            socat_ = nullptr;
            throw std::runtime_error("socat made no linked pseudo-terminals");
        }
        poll(nullptr, 0, 5);
    }
}

LinkedPtys::~LinkedPtys() {
    delete socat_;  // socat removes its links as it ends
    unlink(a.c_str());
    unlink(b.c_str());
    rmdir(dir_.c_str());
}

}  // namespace fbtest

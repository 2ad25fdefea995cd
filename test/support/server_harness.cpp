#include "server_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "exec_wrapper.h"
#include "pty_pair.h"

extern char **environ;

namespace fbtest {

namespace {

std::atomic<int> nameCounter{0};

void closeFd(int *fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

// Appends what `fd` holds now to `text`; false once the pipe has ended.
bool drainInto(int fd, std::string *text) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const std::string &entry : extra) {
        const std::string key = entry.substr(0, entry.find('=') + 1);
        for (auto it = env.begin(); it != env.end();)
            it = it->compare(0, key.size(), key) == 0 ? env.erase(it) : it + 1;
        env.push_back(entry);
    }
    return env;
}

}  // namespace

std::string programPath(const std::string &name) {
    return std::string(FIELDBUS_BIN_DIR) + "/" + name;
}

bool waitUntil(const std::function<bool()> &cond, int timeoutMs) {
    const long long end = monoMs() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (monoMs() >= end) return cond();
        usleep(2000);
    }
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fileExists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool regionExists(const std::string &shmName) {
    return fileExists("/dev/shm" + shmName);
}

TestNames::TestNames(const std::string &tag) {
    std::string templ = "/tmp/fbtest-" + tag + "-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir = templ;
    shmName =
        "/fbtest-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(nameCounter++);
    // Listed for the check after the suite that nothing under the name (the
    // region, its health record, a region under construction) is left.
    const int list = open(FIELDBUS_SHM_LIST, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (list >= 0) {
        const std::string line = shmName + "\n";
        static_cast<void>(write(list, line.data(), line.size()));  // one write: whole line
        close(list);
    }
    lockFile = path("pellora.pid");
    logFile = path("pellora.log");
    boardLink = path("board");
    traceFile = path("trace");
}

TestNames::~TestNames() {
    shm_unlink(shmName.c_str());
    // A server killed at the end of a test leaves its health record behind.
    shm_unlink((shmName + IOSHARE_HEALTH_SUFFIX).c_str());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

Process::~Process() {
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
    }
    closeFd(&in_);
    closeFd(&out_);
    closeFd(&err_);
}

bool Process::start(const std::string &program, const std::vector<std::string> &args,
                    const std::vector<std::string> &env) {
    std::vector<std::string> argv = programArgv(program, args);
    std::vector<char *> cargv = cArgv(argv);
    std::vector<std::string> envs = mergedEnvironment(env);
    std::vector<char *> cenv;
    for (auto &e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    int pin[2], pout[2], perr[2];
    if (pipe2(pin, O_CLOEXEC) != 0 || pipe2(pout, O_CLOEXEC) != 0 || pipe2(perr, O_CLOEXEC) != 0)
        return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        dup2(pin[0], 0);
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        execve(cargv[0], cargv.data(), cenv.data());
        _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    in_ = pin[1];
    out_ = pout[0];
    err_ = perr[0];
    fcntl(out_, F_SETFL, O_NONBLOCK);
    fcntl(err_, F_SETFL, O_NONBLOCK);
    exited_ = false;
    return true;
}

void Process::writeStdin(const std::string &text) {
    if (in_ >= 0) writeAll(in_, text.data(), text.size());
}

void Process::closeStdin() {
    closeFd(&in_);
}

void Process::signal(int sig) {
    if (running()) kill(pid_, sig);
}

void Process::pump(int waitMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return;
    if (poll(fds, 2, waitMs) <= 0) return;
    if (out_ >= 0 && !drainInto(out_, &outText_)) closeFd(&out_);
    if (err_ >= 0 && !drainInto(err_, &errText_)) closeFd(&err_);
}

const std::string &Process::out() {
    pump(0);
    return outText_;
}

const std::string &Process::err() {
    pump(0);
    return errText_;
}

bool Process::waitForOutput(const std::string &text, int timeoutMs) {
    const long long end = monoMs() + timeoutMs;
    while (outText_.find(text) == std::string::npos) {
        const long long left = end - monoMs();
        if (left <= 0 || (out_ < 0 && err_ < 0)) return false;
        pump(static_cast<int>(left));
    }
    return true;
}

bool Process::readLine(std::string *line, int timeoutMs) {
    const long long end = monoMs() + timeoutMs;
    for (;;) {
        const size_t nl = outText_.find('\n', lineCursor_);
        if (nl != std::string::npos) {
            *line = outText_.substr(lineCursor_, nl - lineCursor_);
            lineCursor_ = nl + 1;
            return true;
        }
        const long long left = end - monoMs();
        if (left <= 0 || (out_ < 0 && err_ < 0)) return false;
        pump(static_cast<int>(left));
    }
}

int Process::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (!exited_) {
        const bool ended = waitUntil(
            [this] {
                pump(0);
                return waitpid(pid_, &status_, WNOHANG) == pid_;
            },
            timeoutMs);
        if (!ended) return -1;
        exited_ = true;
    }
    // The pipes end with the child (unless it left them to a descendant).
    const long long end = monoMs() + 1000;
    while ((out_ >= 0 || err_ >= 0) && monoMs() < end) pump(50);
    return status_;
}

int Process::exitCode() const {
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int Process::termSignal() const {
    return exited_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

bool BoardSim::start(const TestNames &names, const std::vector<std::string> &extra) {
    traceFile_ = names.traceFile;
    std::vector<std::string> args = {"--link", names.boardLink, "--trace", names.traceFile};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string first;
    return Process::start(programPath("rkboard-sim"), args) && readLine(&first, 10000) &&
           first.rfind("rkboard-sim: ", 0) == 0 && fileExists(names.boardLink);
}

std::string BoardSim::command(const std::string &line, int timeoutMs) {
    writeStdin(line + "\n");
    std::string reply;
    return readLine(&reply, timeoutMs) ? reply : std::string();
}

std::vector<TraceEntry> BoardSim::trace() const {
    std::vector<TraceEntry> entries;
    std::istringstream in(readFile(traceFile_));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        TraceEntry e{};
        if (fields >> e.micros >> e.function >> e.address >> e.count >> e.outcome)
            entries.push_back(e);
    }
    return entries;
}

bool Server::start(const TestNames &names, const std::vector<std::string> &args,
                   const std::vector<std::string> &env) {
    std::vector<std::string> all = {"-l", names.logFile};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> vars = {"PELLORA_SHM_NAME=" + names.shmName,
                                     "PELLORA_LOCK_FILE=" + names.lockFile,
                                     "FIELDBUS_COM1=" + names.boardLink};
    vars.insert(vars.end(), env.begin(), env.end());
    return Process::start(programPath("pellora"), all, vars);
}

bool Server::waitReady(int timeoutMs) {
    return waitForOutput("rk-board ID=", timeoutMs);
}

int Server::stop(int timeoutMs) {
    signal(SIGTERM);
    return wait(timeoutMs) == -1 ? -1 : exitCode();
}

RegionMap::RegionMap(const std::string &shmName) {
    const int fd = shm_open(shmName.c_str(), O_RDWR, 0);
    if (fd < 0) return;
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(ioShare_t))) {
        close(fd);  // not (yet) sized: touching it would fault
        return;
    }
    void *p = mmap(nullptr, sizeof(ioShare_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED) share_ = static_cast<ioShare_t *>(p);
}

RegionMap::~RegionMap() {
    if (share_ != nullptr) munmap(share_, sizeof(ioShare_t));
}

std::unique_ptr<ioShare_t> RegionMap::snapshot() const {
    if (share_ == nullptr) return nullptr;
    auto copy = std::make_unique<ioShare_t>();
    pthread_mutex_lock(&share_->mutex);
    std::memcpy(copy.get(), share_, sizeof(ioShare_t));
    pthread_mutex_unlock(&share_->mutex);
    return copy;
}

}  // namespace fbtest

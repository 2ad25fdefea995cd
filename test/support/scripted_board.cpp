#include "scripted_board.h"

#include <poll.h>
#include <unistd.h>

#include <cstdio>

#include "crc16.h"

namespace fbtest {

namespace {

using Bytes = std::vector<unsigned char>;

void addCrc(Bytes *frame) {
    const uint16_t crc = getCRC16(frame->data(), static_cast<int>(frame->size()));
    frame->push_back(static_cast<unsigned char>(crc >> 8));
    frame->push_back(static_cast<unsigned char>(crc & 0xFF));
}

bool crcOk(const Bytes &frame) {
    if (frame.size() < 4) return false;
    Bytes body(frame.begin(), frame.end() - 2);
    addCrc(&body);
    return body == frame;
}

// Length of the request that starts `buf`, or 0 while too little is there.
size_t requestLength(const Bytes &buf) {
    if (buf.size() < 7) return 0;
    if (buf[1] == 15 || buf[1] == 16) return 9u + buf[6];
    return 8;
}

const char *outcomeOf(const Misbehave &m) {
    static const char *const kNames[] = {"ok",         "silent",        "late",
                                         "otherslave", "otherfunction", "kept"};
    return kNames[m.kind];
}

}  // namespace

ScriptedBoard::ScriptedBoard(const std::string &link, unsigned id) : link_(link) {
    holdingRegs_[482] = (id & 0xFF) << 8;  // the identifier's low byte first on the wire
    holdingRegs_[483] = id >> 8;
    plugIn();
    thread_ = std::thread([this] { serve(); });
}

ScriptedBoard::~ScriptedBoard() {
    stop_ = true;
    thread_.join();
    unlink(link_.c_str());
}

void ScriptedBoard::setRule(std::function<Misbehave(const BoardRequest &)> rule) {
    std::lock_guard<std::mutex> g(lock_);
    rule_ = std::move(rule);
}

void ScriptedBoard::setCoil(unsigned addr, bool on) {
    std::lock_guard<std::mutex> g(lock_);
    coils_[addr] = on;
}

bool ScriptedBoard::coil(unsigned addr) {
    std::lock_guard<std::mutex> g(lock_);
    return coils_[addr];
}

void ScriptedBoard::setInput(unsigned addr, bool on) {
    std::lock_guard<std::mutex> g(lock_);
    inputs_[addr] = on;
}

void ScriptedBoard::setInputRegister(unsigned addr, unsigned value) {
    std::lock_guard<std::mutex> g(lock_);
    inputRegs_[addr] = value;
}

std::vector<BoardRequest> ScriptedBoard::requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

void ScriptedBoard::unplug() {
    // The path goes with the device, as a USB adapter's node does: left
    // dangling, it could come to name some other process's terminal.
    unlink(link_.c_str());
    std::lock_guard<std::mutex> g(lock_);
    pty_.reset();
}

void ScriptedBoard::plugIn() {
    auto pty = std::make_unique<PtyPair>();
    // Replaced in one step: the path never names nothing while a board is there.
    const std::string fresh = link_ + ".new";
    unlink(fresh.c_str());
    if (symlink(pty->path.c_str(), fresh.c_str()) != 0 || rename(fresh.c_str(), link_.c_str()) != 0)
        throw std::runtime_error("cannot link " + link_);
    std::lock_guard<std::mutex> g(lock_);
    pty_ = std::move(pty);
}

void ScriptedBoard::serve() {
    Bytes buf;
    long long lastByteMs = 0;
    while (!stop_) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (pty_) fd = pty_->master;
        }
        if (fd < 0) {
            usleep(5000);
            continue;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 10) <= 0) {
            // A request cut short is dropped once the line has been quiet.
            if (!buf.empty() && monoMs() - lastByteMs > 20) buf.clear();
            continue;
        }
        unsigned char chunk[512];
        ssize_t n;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (!pty_ || pty_->master != fd) continue;
            n = read(fd, chunk, sizeof chunk);
        }
        if (n <= 0) continue;
        buf.insert(buf.end(), chunk, chunk + n);
        lastByteMs = monoMs();
        for (size_t len; (len = requestLength(buf)) != 0 && buf.size() >= len;) {
            const Bytes req(buf.begin(), buf.begin() + static_cast<long>(len));
            buf.erase(buf.begin(), buf.begin() + static_cast<long>(len));
            if (crcOk(req) && req[0] == 1) answer(req);
        }
    }
}

void ScriptedBoard::answer(const Bytes &req) {
    const unsigned function = req[1];
    const unsigned addr = (req[2] << 8 | req[3]) % 512;
    const unsigned count = req[4] << 8 | req[5];
    Bytes out = {1, static_cast<unsigned char>(function)};
    Misbehave m;
    int fd = -1;
    {
        std::lock_guard<std::mutex> g(lock_);
        BoardRequest r{function, addr, count, perFunction_[function]++, ""};
        if (rule_) m = rule_(r);
        r.outcome = outcomeOf(m);
        requests_.push_back(r);
        if (m.kind == Misbehave::Silent || !pty_) return;
        fd = pty_->master;
        const auto bit = [&](const bool *mem, unsigned i) { return mem[(addr + i) % 256]; };
        switch (function) {
            case 1:
            case 2: {
                Bytes data((count + 7) / 8, 0);
                for (unsigned i = 0; i < count && i < 2000; ++i)
                    if (bit(function == 1 ? coils_ : inputs_, i))
                        data[i / 8] = static_cast<unsigned char>(data[i / 8] | 1u << (i % 8));
                out.push_back(static_cast<unsigned char>(data.size()));
                out.insert(out.end(), data.begin(), data.end());
                break;
            }
            case 3:
            case 4: {
                out.push_back(static_cast<unsigned char>(2 * count));
                for (unsigned i = 0; i < count && i < 125; ++i) {
                    const unsigned v =
                        (function == 3 ? holdingRegs_ : inputRegs_)[(addr + i) % 512];
                    out.push_back(static_cast<unsigned char>(v >> 8));
                    out.push_back(static_cast<unsigned char>(v));
                }
                break;
            }
            case 15:
                for (unsigned i = 0;
                     i < count && 7 + i / 8 < req.size() && m.kind != Misbehave::KeepOutputs; ++i)
                    coils_[(addr + i) % 256] = (req[7 + i / 8] >> (i % 8) & 1) != 0;
                out.insert(out.end(), req.begin() + 2, req.begin() + 6);
                break;
            case 16:
                for (unsigned i = 0;
                     i < count && 8 + 2 * i < req.size() && m.kind != Misbehave::KeepOutputs; ++i)
                    holdingRegs_[(addr + i) % 512] = req[7 + 2 * i] << 8 | req[8 + 2 * i];
                out.insert(out.end(), req.begin() + 2, req.begin() + 6);
                break;
            default:
                out = {1, static_cast<unsigned char>(function | 0x80), 1};
                break;
        }
    }
    if (m.kind == Misbehave::OtherSlave) out[0] = 9;
    if (m.kind == Misbehave::OtherFunction) out[1] = 4;
    addCrc(&out);
    if (m.kind == Misbehave::Late) usleep(static_cast<useconds_t>(m.lateMs) * 1000);
    try {
        writeAll(fd, out);
    } catch (const std::exception &) {
        // unplugged meanwhile
    }
}

}  // namespace fbtest

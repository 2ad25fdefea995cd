// The /set topics' writes through the region's request slots.
#include "writes.h"

#include <cstdio>
#include <cstring>

#include "image.h"
#include "modbus_map.h"

namespace zuqmqtt {
namespace {

using fieldbus::regmap::Request;
using ioshare::Stage;

constexpr size_t kMaxPayload = 16;

std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool decimal(const std::string &s, uint32_t max, uint32_t *out) {
    if (s.empty() || s.size() > 5) return false;
    uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > max) return false;
    *out = v;
    return true;
}

Request requestOf(int kind, int32_t addr, const uint8_t *data) {
    Request r;
    r.unit = 1;
    r.function = kind == 0 ? 5 : 6;
    r.address = static_cast<uint16_t>(addr);
    r.quantity = 1;
    r.data = data;
    r.dataBytes = 2;
    return r;
}

}  // namespace

bool parseSet(const std::string &subtopic, const std::string &payload, SetCommand *cmd,
              std::string *reason) {
    const auto slash = subtopic.find('/');
    const std::string kind = subtopic.substr(0, slash);
    if (slash == std::string::npos || (kind != "coil" && kind != "hr") ||
        subtopic.size() < slash + 5 || subtopic.compare(subtopic.size() - 4, 4, "/set") != 0) {
        *reason = "not a writable point";
        return false;
    }
    uint32_t addr = 0;
    if (!decimal(subtopic.substr(slash + 1, subtopic.size() - 4 - slash - 1), 65535, &addr)) {
        *reason = "bad address";
        return false;
    }
    cmd->kind = kind == "coil" ? 0 : 1;
    cmd->addr = static_cast<int32_t>(addr);
    if (payload.size() > kMaxPayload) {
        *reason = "payload too long";
        return false;
    }
    std::string p = payload;
    p.erase(0, p.find_first_not_of(" \t\r\n"));
    p.erase(p.find_last_not_of(" \t\r\n") + 1);
    if (cmd->kind == 0) {
        const std::string l = lower(p);
        if (l == "1" || l == "true" || l == "on") {
            cmd->value = 1;
        } else if (l == "0" || l == "false" || l == "off") {
            cmd->value = 0;
        } else {
            *reason = "bad value for a coil (0, 1, true, false, on, off)";
            return false;
        }
    } else if (!decimal(p, 65535, &cmd->value)) {
        *reason = "bad value for a holding register (0 to 65535)";
        return false;
    }
    return true;
}

void Writes::add(const SetCommand &cmd, const std::string &topic, const std::string &payload,
                 long long now) {
    std::deque<Write> &q = queue_[cmd.kind];
    if (q.size() >= kQueueLimit) {
        onError_(topic, payload, "too many writes waiting");
        return;
    }
    Write w;
    w.cmd = cmd;
    w.topic = topic;
    w.payload = payload;
    w.deadlineMs = now + kTakeMs;
    if (cmd.kind == 0) {
        w.data[0] = cmd.value != 0 ? 0xFF : 0x00;
    } else {
        w.data[0] = static_cast<uint8_t>(cmd.value >> 8);
        w.data[1] = static_cast<uint8_t>(cmd.value);
    }
    q.push_back(std::move(w));
}

void Writes::fail(Write &w, const std::string &reason) {
    onError_(w.topic, w.payload, reason);
}

void Writes::advance(long long now) {
    for (auto &q : queue_) advanceQueue(q, now);
    advanceConfirms(now);
}

// The head of a kind's queue is posted when the slot is idle, and leaves the
// queue for the confirmations once the server took it: one write of a kind
// in the slot at a time, so none replaces another, and in the order they came.
void Writes::advanceQueue(std::deque<Write> &q, long long now) {
    while (!q.empty()) {
        Write &w = q.front();
        const bool lost = w.posted && w.generation != region_.generation();
        if (!region_.mapped() || lost) {
            fail(w, lost ? "the server stopped or restarted meanwhile" : "no server");
            q.pop_front();
            continue;
        }
        if (!w.posted && now >= w.deadlineMs) {
            fail(w, "not taken within 2 s");
            q.pop_front();
            continue;
        }
        if (!region_.tryLock()) return;  // the server holds it; next tick
        ioShare_t &r = *region_.share();
        const Request req = requestOf(w.cmd.kind, w.cmd.addr, w.data);
        ioshareHealth copy{};
        if (w.posted) {
            const Stage stage = ioshare::readProgress(region_.health(), &copy)
                                    ? ioshare::takeStage(&r, copy, &w.ticket)
                                    : Stage::Restarted;
            if (stage == Stage::Posted && now < w.deadlineMs) {
                region_.unlock();
                return;
            }
            if (stage == Stage::Posted) {
                // Taken back, so that the error means "not done": it must
                // not reach the board later.
                ioshare::withdraw(&r, w.ticket);
                zuqgate::restoreImage(r, req, w.before);
                region_.unlock();
                fail(w, "not taken within 2 s");
                q.pop_front();
                continue;
            }
            if (stage == Stage::Refused) zuqgate::restoreImage(r, req, w.before);
            region_.unlock();
            if (stage == Stage::Taken) {
                confirming_.push_back(std::move(w));
            } else {
                fail(w, stage == Stage::Refused ? "refused by the server or the board"
                                                : "the server stopped or restarted meanwhile");
            }
            q.pop_front();
            continue;
        }
        const ioshare::Kind &kind = ioshare::kKinds[w.cmd.kind == 0 ? IOSHARE_BIT_OUT
                                                                    : IOSHARE_INT_OUT];
        if (zuqgate::once(r.*kind.reqAddr) != IOSHARE_IDLE) {
            region_.unlock();  // another client's request waits in the slot
            return;
        }
        if (!ioshare::readProgress(region_.health(), &copy)) {
            region_.unlock();
            fail(w, "no health record of a server that confirms writes");
            q.pop_front();
            continue;
        }
        // The value goes into the image only now that this write owns the
        // slot: a write still queued cannot change one not yet taken.
        if (!zuqgate::saveImage(r, req, w.before) || !zuqgate::writeImage(r, req)) {
            region_.unlock();
            fail(w, "address outside the mirrored range");
            q.pop_front();
            continue;
        }
        ioshare::post(&r, copy, static_cast<int>(&kind - ioshare::kKinds), w.cmd.addr, 1,
                      &w.ticket);
        region_.unlock();
        w.posted = true;
        w.generation = region_.generation();
        return;
    }
}

void Writes::advanceConfirms(long long now) {
    if (confirming_.empty()) return;
    ioshareHealth copy{};
    const bool read = ioshare::readProgress(region_.health(), &copy);
    for (size_t j = 0; j < confirming_.size();) {
        Write &w = confirming_[j];
        const Stage stage = read && w.generation == region_.generation()
                                ? ioshare::settleStage(copy, w.ticket)
                                : Stage::Restarted;
        if (stage == Stage::Taken && now < w.deadlineMs) {
            ++j;
            continue;
        }
        if (stage == Stage::Refused) {
            // Out of the image again, so that the next write of the kind
            // does not send it after all.
            if (!region_.tryLock()) {
                ++j;
                continue;
            }
            const Request req = requestOf(w.cmd.kind, w.cmd.addr, w.data);
            zuqgate::restoreImage(*region_.share(), req, w.before);
            region_.unlock();
            fail(w, "refused by the server or the board");
        } else if (stage == Stage::Taken) {
            fail(w, "taken, not confirmed by the board within 2 s (sent until it is)");
        } else if (stage == Stage::Restarted) {
            fail(w, "the server stopped or restarted meanwhile");
        } else {
            onDone_(w.cmd.kind, w.cmd.addr);
        }
        confirming_.erase(confirming_.begin() + static_cast<long>(j));
    }
}

}  // namespace zuqmqtt

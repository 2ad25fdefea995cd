// The bridge's loop: the region looked at once per completed cycle, its
// points published as they change, writes moved on, the broker served.
#include "bridge.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "image.h"

namespace zuqmqtt {
namespace {

using nlohmann::json;

constexpr int kHousekeepingMs = 500;  // region lookup
constexpr int kTickMs = 2;            // looking for a completed cycle near its end
constexpr int kNoHealthSnapMs = 100;  // a server without a health record: a look this often
constexpr int kLogWindowMs = 10000;
constexpr int kLogLinesPerWindow = 10;
constexpr size_t kErrorPayloadShown = 64;

const char *stateName(uint32_t state) {
    static const char *const kNames[] = {"starting", "cycling", "no board",
                                         "failing",  "no port", "stopped"};
    return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "unknown";
}

std::string dumpJson(const json &j) {
    // Peers' bytes may be anything: never let invalid UTF-8 end the bridge.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

uint32_t valueAt(const unsigned char *image, int bytesPerPoint, int32_t k) {
    const auto i = static_cast<size_t>(k);
    switch (bytesPerPoint) {
        case 0:
            return image[i / 8] >> (i % 8) & 1u;
        case 2:
            return static_cast<uint32_t>(image[2 * i] << 8 | image[2 * i + 1]);
        default:
            return static_cast<uint32_t>(image[4 * i]) << 24 |
                   static_cast<uint32_t>(image[4 * i + 1]) << 16 |
                   static_cast<uint32_t>(image[4 * i + 2]) << 8 | image[4 * i + 3];
    }
}

}  // namespace

long long monoMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

Bridge::Bridge(const Settings &s, zuqgate::Region &region)
    : s_(s),
      region_(region),
      link_(
          s,
          [this](const char *t, const void *p, int n, bool r) { onMessage(t, p, n, r); },
          [this] { onConnected(); }),
      writes_(
          region,
          [this](const std::string &t, const std::string &p, const std::string &r) {
              error(t, p, r);
          },
          [this](int kind, int32_t addr) { pointConfirmed(kind, addr); }),
      points_{{"di", IOSHARE_BIT_IN, 0, 0, 0, {}, {}},
              {"coil", IOSHARE_BIT_OUT_RB, 0, 0, 0, {}, {}},
              {"ir", IOSHARE_INT_IN, s.deadbandIr, 0, 0, {}, {}},
              {"hr", IOSHARE_INT_OUT_RB, s.deadbandHr, 0, 0, {}, {}},
              {"dword", IOSHARE_DWORD_IN, s.deadbandDword, 0, 0, {}, {}}} {}

std::string Bridge::topicOf(const Points &p, int32_t k) const {
    const int step = ioshare::kKinds[p.kind].registersPerPoint;
    return s_.base + "/" + p.name + "/" + std::to_string(p.base + k * step);
}

void Bridge::logLimited(LogLimit &l, const std::string &line) {
    const long long now = monoMs();
    if (now - l.windowMs >= kLogWindowMs) {
        if (l.suppressed > 0) std::printf("zuqmqtt: %d more such lines not logged\n", l.suppressed);
        l.windowMs = now;
        l.lines = l.suppressed = 0;
    }
    if (l.lines++ < kLogLinesPerWindow)
        std::printf("zuqmqtt: %s\n", line.c_str());
    else
        ++l.suppressed;
    std::fflush(stdout);
}

void Bridge::error(const std::string &topic, const std::string &payload,
                   const std::string &reason) {
    std::string shown = payload.substr(0, kErrorPayloadShown);
    logLimited(refusedLog_, "write " + topic + " refused: " + reason);
    // Never an unbounded queue, even of errors (writes come no faster than
    // the board takes them, so this bound is not reached in practice).
    if (!link_.hasRoomForUrgent()) return;
    link_.publish(s_.base + "/error",
                  dumpJson(json{{"topic", topic}, {"payload", shown}, {"reason", reason}}), false);
}

void Bridge::pointConfirmed(int kind, int32_t addr) {
    // Published again even if unchanged: the subscriber sees the write land.
    Points &p = points_[kind == 0 ? 1 : 3];
    const int32_t k = addr - p.base;
    if (k >= 0 && k < p.count) p.known[static_cast<size_t>(k)] = 0;
    snapDue_ = true;
    pointsDirty_ = true;
}

void Bridge::onMessage(const char *topic, const void *payload, int length, bool retained) {
    const std::string t = topic;
    const std::string body(static_cast<const char *>(payload), length > 0 ? length : 0);
    if (t.size() <= s_.base.size() + 1 || t.compare(0, s_.base.size(), s_.base) != 0 ||
        t[s_.base.size()] != '/')
        return;
    if (retained) {
        // A retained command would be carried out again at every connection.
        logLimited(retainedLog_, "ignored a retained message on " + t + " (a command must not be retained)");
        return;
    }
    SetCommand cmd;
    std::string reason;
    if (!parseSet(t.substr(s_.base.size() + 1), body, &cmd, &reason)) {
        error(t, body, reason);
        return;
    }
    if (!region_.mapped() || !haveSnap_) {
        error(t, body, "no server");
        return;
    }
    const Points &p = points_[cmd.kind == 0 ? 1 : 3];
    if (cmd.addr < p.base || cmd.addr >= p.base + p.count) {
        error(t, body, "address outside the mirrored range");
        return;
    }
    writes_.add(cmd, t, body, monoMs());
}

void Bridge::onConnected() {
    link_.publish(s_.base + "/status", "online", true);
    for (const char *kind : {"coil", "hr"}) {
        const std::string sub = s_.base + "/" + kind + "/+/set";
        link_.subscribe(sub);
    }
    for (Points &p : points_) std::fill(p.known.begin(), p.known.end(), 0);
    pointsDirty_ = true;
    healthSent_.clear();
    healthStateSent_.clear();
    healthDue_ = true;
    discoveryDue_ = !s_.haPrefix.empty();
    discoveryKind_ = 0;
    discoveryIndex_ = 0;
    if (s_.republishS > 0) nextRepublishMs_ = monoMs() + s_.republishS * 1000LL;
}

void Bridge::housekeeping(long long) {
    const bool wasMapped = region_.mapped();
    const bool changed = region_.refresh();
    if (region_.repaired())
        std::printf("zuqmqtt: region %s was cut short by a client: its size put back\n",
                    region_.name().c_str());
    if (changed) {
        if (region_.mapped())
            std::printf("zuqmqtt: region %s %s\n", region_.name().c_str(),
                        wasMapped ? "replaced, mapped again" : "mapped");
        else
            std::printf("zuqmqtt: region %s gone, waiting for it\n", region_.name().c_str());
        std::fflush(stdout);
        snapDue_ = true;
        healthDue_ = true;
    }
}

bool Bridge::takeSnapshot() {
    if (!region_.tryLock()) return false;  // the server holds it: the next tick
    const ioShare_t &r = *region_.share();
    Snapshot next;
    for (int i = 0; i < 5; ++i) {
        const ioshare::Kind &k = ioshare::kKinds[points_[i].kind];
        next.base[i] = zuqgate::once(r.*k.base);
        next.count[i] = zuqgate::once(r.*k.count);
        std::memcpy(next.image[i], r.*k.image, IOSHARE_AREA_SIZE);
    }
    region_.unlock();
    const bool layoutChanged = !haveSnap_ || std::memcmp(next.base, snap_.base, sizeof next.base) != 0 ||
                               std::memcmp(next.count, snap_.count, sizeof next.count) != 0;
    if (layoutChanged || std::memcmp(next.image, snap_.image, sizeof next.image) != 0)
        pointsDirty_ = true;
    snap_ = next;
    haveSnap_ = true;
    if (layoutChanged) applyLayout();
    return true;
}

void Bridge::applyLayout() {
    for (int i = 0; i < 5; ++i) {
        Points &p = points_[i];
        const ioshare::Kind &k = ioshare::kKinds[p.kind];
        int32_t base = snap_.base[i], count = snap_.count[i];
        // The layout fields are anyone's to write: nothing outside an image
        // or the Modbus addresses is taken from them.
        if (base < 0 || base > 0xFFFF || count <= 0) base = count = 0;
        count = std::min(count, ioshare::roomOf(k));
        if (count > 0) count = std::min(count, (0xFFFF - base) / k.registersPerPoint + 1);
        if (base == p.base && count == p.count) continue;
        // Points gone from the layout leave the broker too.
        if (link_.up())
            for (int32_t j = 0; j < p.count; ++j) {
                const int32_t addr = p.base + j * k.registersPerPoint;
                if (count == 0 || addr < base || addr >= base + count * k.registersPerPoint)
                    link_.publish(topicOf(p, j), "", true);
            }
        p.base = base;
        p.count = count;
        p.sent.assign(static_cast<size_t>(count), 0);
        p.known.assign(static_cast<size_t>(count), 0);
        discoveryDue_ = !s_.haPrefix.empty();
        discoveryKind_ = 0;
        discoveryIndex_ = 0;
        std::printf("zuqmqtt: %s: %d points from %d\n", p.name, count, base);
    }
    std::fflush(stdout);
}

void Bridge::publishPoints() {
    if (!haveSnap_) return;
    for (int i = 0; i < 5; ++i) {
        Points &p = points_[i];
        const int bytes = ioshare::kKinds[p.kind].bytesPerPoint;
        for (int32_t k = 0; k < p.count; ++k) {
            const uint32_t v = valueAt(snap_.image[i], bytes, k);
            const auto j = static_cast<size_t>(k);
            if (p.known[j] != 0) {
                if (v == p.sent[j]) continue;
                const uint32_t diff = v > p.sent[j] ? v - p.sent[j] : p.sent[j] - v;
                if (diff < p.deadband) continue;
            }
            if (!link_.hasRoom()) return;  // the rest when the broker has taken these
            if (!link_.publish(topicOf(p, k), std::to_string(v), true)) return;
            p.sent[j] = v;
            p.known[j] = 1;
        }
    }
    pointsDirty_ = false;
}

void Bridge::publishHealth(long long now) {
    const ioshareHealth *h = region_.health();
    ioshareHealth c{};
    json j;
    std::string state;
    const bool none = !region_.mapped() || h == nullptr || ioshare_health_read(h, &c) != 0;
    char board[8];
    std::snprintf(board, sizeof board, "%04X", static_cast<unsigned>(c.boardId) & 0xFFFF);
    state = none ? "no server" : std::string(stateName(c.state)) + "/" + board;
    // Only a new state or board is published at once; the figures once a second.
    if (state == healthStateSent_ && !healthDue_ && now - healthSentMs_ < 1000) return;
    if (none) {
        j = json{{"state", "no server"}};
    } else {
        c.lastError[IOSHARE_HEALTH_ERROR_SIZE - 1] = '\0';
        const long long age = ioshare_inputs_age_ms(&c);
        j = json{{"state", stateName(c.state)},
                 {"board", c.boardId == IOSHARE_NO_BOARD ? json(nullptr) : json(board)},
                 {"server_pid", c.serverPid},
                 {"cycles", c.cycles},
                 {"cycle_rate", c.cycleRateMilli / 1000.0},
                 {"inputs_age_ms", age < 0 ? json(nullptr) : json(age)},
                 {"failed_reads", c.failedReads},
                 {"failed_requests", c.failedRequests},
                 {"failed_writes", c.failedWrites},
                 {"port_reopens", c.portReopens},
                 {"output_resends", c.outputResends},
                 {"last_error", c.lastError}};
    }
    const bool changedState = state != healthStateSent_;
    const std::string text = dumpJson(j);
    if (!changedState && text == healthSent_) {
        healthSentMs_ = now;  // looked at: the next look in a second
        healthDue_ = false;
        return;
    }
    if (!link_.publish(s_.base + "/health", text, true)) return;
    healthSent_ = text;
    healthStateSent_ = state;
    healthSentMs_ = now;
    healthDue_ = false;
}

void Bridge::publishDiscovery() {
    static const char *const kComponent[] = {"binary_sensor", "switch", "sensor", "number",
                                             "sensor"};
    std::string node = s_.base;
    for (char &c : node)
        if (c == '/' || c == ' ') c = '_';
    const json device{{"identifiers", json::array({node})}, {"name", s_.base}};
    for (; discoveryKind_ < 5; ++discoveryKind_, discoveryIndex_ = 0) {
        const Points &p = points_[discoveryKind_];
        const int step = ioshare::kKinds[p.kind].registersPerPoint;
        for (; discoveryIndex_ < p.count; ++discoveryIndex_) {
            if (!link_.hasRoom()) return;
            const std::string addr = std::to_string(p.base + discoveryIndex_ * step);
            const std::string id = node + "_" + p.name + "_" + addr;
            const std::string state = topicOf(p, discoveryIndex_);
            json c{{"name", std::string(p.name) + " " + addr},
                   {"unique_id", id},
                   {"state_topic", state},
                   {"availability_topic", s_.base + "/status"},
                   {"payload_available", "online"},
                   {"payload_not_available", "offline"},
                   {"device", device}};
            if (discoveryKind_ <= 1) {
                c["payload_on"] = "1";
                c["payload_off"] = "0";
            }
            if (discoveryKind_ == 1) {
                c["state_on"] = "1";
                c["state_off"] = "0";
            }
            if (discoveryKind_ == 1 || discoveryKind_ == 3) c["command_topic"] = state + "/set";
            if (discoveryKind_ == 3) {
                c["min"] = 0;
                c["max"] = 65535;
                c["step"] = 1;
                c["mode"] = "box";
            }
            if (discoveryKind_ == 2 || discoveryKind_ == 4) c["state_class"] = "measurement";
            link_.publish(s_.haPrefix + "/" + kComponent[discoveryKind_] + "/" + node + "/" +
                              p.name + "_" + addr + "/config",
                          dumpJson(c), true);
        }
    }
    discoveryDue_ = false;
}

void Bridge::run(const volatile sig_atomic_t &stop) {
    while (stop == 0) {
        long long now = monoMs();
        if (now >= nextHousekeepingMs_) {
            housekeeping(now);
            nextHousekeepingMs_ = now + kHousekeepingMs;
        }
        if (region_.mapped() && now >= nextLookMs_) {
            ioshareHealth c{};
            const ioshareHealth *h = region_.health();
            nextLookMs_ = now + kTickMs;
            haveHealth_ = h != nullptr && ioshare_health_read(h, &c) == 0;
            // Before the server's first cycle the images hold nothing yet.
            cycled_ = haveHealth_ && c.cycles > 0;
            if (haveHealth_) {
                // Once per completed cycle: the images are whole then. The
                // next cycle is not looked for before it can have ended.
                if (c.cycles != lastCycles_ || c.generation != lastGeneration_) {
                    snapDue_ = true;
                    const int32_t interval = zuqgate::once(region_.share()->interval);
                    if (interval > kTickMs && interval <= 60000)
                        nextLookMs_ = now + interval - 1;
                }
                lastCycles_ = c.cycles;
                lastGeneration_ = c.generation;
            } else if (now - lastNoHealthSnapMs_ >= kNoHealthSnapMs) {
                snapDue_ = true;
                lastNoHealthSnapMs_ = now;
            }
        }
        // Also between looks: a write just confirmed, or the mutex busy last time.
        if (region_.mapped() && snapDue_ && (cycled_ || !haveHealth_) && takeSnapshot())
            snapDue_ = false;
        writes_.advance(now);
        link_.pauseReading(writes_.full());
        if (link_.up()) {
            if (s_.republishS > 0 && now >= nextRepublishMs_) {
                for (Points &p : points_) std::fill(p.known.begin(), p.known.end(), 0);
                pointsDirty_ = true;
                nextRepublishMs_ = now + s_.republishS * 1000LL;
            }
            if (pointsDirty_) publishPoints();
            publishHealth(now);
            if (discoveryDue_) publishDiscovery();
        }

        pollfd p{-1, 0, 0};
        const bool haveSocket = link_.pollEntry(&p);
        long long timeout = std::min<long long>(link_.msUntilDue(now),
                                                nextHousekeepingMs_ - now);
        if (region_.mapped()) timeout = std::min<long long>(timeout, nextLookMs_ - now);
        if (snapDue_ && cycled_) timeout = std::min<long long>(timeout, kTickMs);  // mutex busy
        if (writes_.busy()) timeout = std::min<long long>(timeout, 1);
        if (link_.up() && (pointsDirty_ || discoveryDue_))  // waiting for the broker's acks
            timeout = std::min<long long>(timeout, kTickMs);
        if (link_.up()) timeout = std::min<long long>(timeout, 1000);  // health
        const int ready = poll(haveSocket ? &p : nullptr, haveSocket ? 1 : 0,
                               static_cast<int>(std::max(0LL, timeout)));
        if (ready < 0) p.revents = 0;
        link_.service(haveSocket ? p.revents : 0, monoMs());
    }
    link_.close(2000);
}

}  // namespace zuqmqtt

// The region thread of zuqweb, its copies and its writes.
#include "monitor.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ioshare_region.h"

namespace zuqweb {

const char *const kKindNames[kPointKinds] = {"di", "coil", "ir", "hr", "ir32"};

namespace {

// Looks at the health record every half refresh interval, within these bounds:
// a change waits half an interval at most, and an idle server costs little.
constexpr int kTickMinMs = 10, kTickMaxMs = 50;
constexpr int kCopyAnywayMs = 250;   // copies this often also when no cycle ran
constexpr int kRemapCheckMs = 500;   // looks at the region's name this often

// What is copied with the mutex held: the layout and the images, nothing
// decoded (that is done after the mutex is let go).
struct Raw {
    int32_t boardId, interval;
    int32_t base[kPointKinds], count[kPointKinds];
    unsigned char image[kPointKinds][IOSHARE_AREA_SIZE];
    unsigned char readback[2][IOSHARE_AREA_SIZE];  // coils, holding registers
};

void copyRaw(const ioShare_t &s, Raw *r) {
    r->boardId = s.boardId;
    r->interval = s.interval;
    const int32_t bases[] = {s.bitInBase, s.bitOutBase, s.intInBase, s.intOutBase, s.dwordInBase};
    const int32_t counts[] = {s.bitInCount, s.bitOutCount, s.intInCount, s.intOutCount,
                              s.dwordInCount};
    const unsigned char *images[] = {s.bitInImage, s.bitOutImage, s.intInImage, s.intOutImage,
                                     s.dwordInImage};
    for (int k = 0; k < kPointKinds; ++k) {
        r->base[k] = bases[k];
        r->count[k] = counts[k];
        std::memcpy(r->image[k], images[k], IOSHARE_AREA_SIZE);
    }
    std::memcpy(r->readback[0], s.bitOutRbImage, IOSHARE_AREA_SIZE);
    std::memcpy(r->readback[1], s.intOutRbImage, IOSHARE_AREA_SIZE);
}

// Points a kind's image holds at most, and the Modbus addresses one point takes.
int32_t room(int k) {
    return k == kDi || k == kCoil ? IOSHARE_BIT_POINTS
           : k == kIr32           ? IOSHARE_DWORDS
                                  : IOSHARE_REGISTERS;
}

uint32_t pointAt(const unsigned char *img, int k, int32_t i) {
    const size_t n = static_cast<size_t>(i);
    if (k == kDi || k == kCoil) return img[n / 8] >> (n % 8) & 1u;
    if (k == kIr32)
        return static_cast<uint32_t>(img[4 * n]) << 24 | static_cast<uint32_t>(img[4 * n + 1]) << 16 |
               static_cast<uint32_t>(img[4 * n + 2]) << 8 | img[4 * n + 3];
    return static_cast<uint32_t>(img[2 * n]) << 8 | img[2 * n + 1];
}

// A layout written over by a client is shown as far as the images reach.
void decode(const Raw &r, Snapshot *s) {
    s->boardId = r.boardId;
    s->intervalMs = r.interval;
    for (int k = 0; k < kPointKinds; ++k) {
        Points &p = s->points[k];
        p.base = r.base[k];
        p.count = std::clamp(r.count[k], 0, room(k));
        p.value.resize(static_cast<size_t>(p.count));
        for (int32_t i = 0; i < p.count; ++i) p.value[static_cast<size_t>(i)] = pointAt(r.image[k], k, i);
        if (k == kCoil || k == kHr) {
            const unsigned char *rb = r.readback[k == kCoil ? 0 : 1];
            p.readback.resize(p.value.size());
            for (int32_t i = 0; i < p.count; ++i) p.readback[static_cast<size_t>(i)] = pointAt(rb, k, i);
        }
    }
}

bool samePoints(const Points &a, const Points &b) {
    return a.base == b.base && a.count == b.count && a.value == b.value && a.readback == b.readback;
}

bool sameContent(const Snapshot &a, const Snapshot &b) {
    if (a.region != b.region || a.health != b.health || a.boardId != b.boardId ||
        a.intervalMs != b.intervalMs)
        return false;
    ioshareHealth ha = a.h, hb = b.h;
    ha.sequence = hb.sequence = 0;
    if (std::memcmp(&ha, &hb, sizeof ha) != 0) return false;
    for (int k = 0; k < kPointKinds; ++k)
        if (!samePoints(a.points[k], b.points[k])) return false;
    return true;
}

}  // namespace

long long monoMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool Snapshot::sameLayout(const Snapshot &o) const {
    for (int k = 0; k < kPointKinds; ++k)
        if (points[k].base != o.points[k].base || points[k].count != o.points[k].count) return false;
    return region == o.region;
}

Monitor::Monitor(std::string regionName)
    : region_(std::move(regionName)), latest_(std::make_shared<Snapshot>()) {}

Monitor::~Monitor() {
    stop();
}

void Monitor::start() {
    {
        std::unique_lock<std::shared_mutex> map(map_);
        if (region_.refresh()) {
            std::printf("zuqweb: region %s mapped\n", region_.name().c_str());
        } else {
            if (region_.lastError() != ENOENT && region_.lastError() != EAGAIN)
                std::fprintf(stderr, "zuqweb: region %s: %s\n", region_.name().c_str(),
                             std::strerror(region_.lastError()));
            std::printf("zuqweb: waiting for region %s\n", region_.name().c_str());
        }
    }
    thread_ = std::thread([this] { run(); });
}

void Monitor::stop() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool Monitor::stopping() const {
    std::lock_guard<std::mutex> lock(m_);
    return stop_;
}

std::shared_ptr<const Snapshot> Monitor::latest() const {
    std::lock_guard<std::mutex> lock(m_);
    return latest_;
}

std::shared_ptr<const Snapshot> Monitor::waitNewer(
    uint64_t serial, std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_until(lock, deadline, [&] { return stop_ || latest_->serial != serial; });
    return latest_;
}

void Monitor::pause(std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_until(lock, deadline, [&] { return stop_; });
}

void Monitor::refreshMapping() {
    // A write under way keeps the mapping it posted in: looked at next time.
    std::unique_lock<std::shared_mutex> map(map_, std::try_to_lock);
    if (!map.owns_lock()) return;
    const bool was = region_.mapped();
    if (!region_.refresh()) return;
    if (region_.mapped())
        std::printf("zuqweb: region %s mapped%s\n", region_.name().c_str(), was ? " again" : "");
    else
        std::printf("zuqweb: region %s gone, waiting for it\n", region_.name().c_str());
}

bool Monitor::takeCopy(const ioshareHealth *, bool haveHealth, const ioshareHealth &h) {
    auto s = std::make_shared<Snapshot>();
    s->region = region_.mapped();
    s->health = haveHealth;
    if (haveHealth) s->h = h;
    if (s->region) {
        static thread_local Raw raw;  // 14 KiB: kept off the stack
        if (!region_.tryLock()) return false;  // the server is at the board: next tick
        copyRaw(*region_.share(), &raw);
        region_.unlock();
        decode(raw, s.get());
    }
    std::lock_guard<std::mutex> lock(m_);
    if (sameContent(*s, *latest_)) return true;
    s->serial = latest_->serial + 1;
    latest_ = std::move(s);
    cv_.notify_all();
    return true;
}

void Monitor::run() {
    long long nextRemap = monoMs() + kRemapCheckMs, lastCopy = 0;
    uint64_t lastCycles = ~0ull;
    bool lastMapped = false;
    while (!stopping()) {
        const long long now = monoMs();
        if (now >= nextRemap) {
            refreshMapping();
            nextRemap = now + kRemapCheckMs;
        }
        {
            std::shared_lock<std::shared_mutex> map(map_);
            ioshareHealth h{};
            const bool haveHealth =
                region_.health() != nullptr && ioshare_health_read(region_.health(), &h) == 0;
            const bool due = !haveHealth || h.cycles != lastCycles ||
                             now - lastCopy >= kCopyAnywayMs || region_.mapped() != lastMapped;
            if (due && takeCopy(region_.health(), haveHealth, h)) {
                lastCopy = now;
                lastCycles = h.cycles;
                lastMapped = region_.mapped();
            }
        }
        const int tick = std::clamp(latest()->intervalMs / 2, kTickMinMs, kTickMaxMs);
        pause(std::chrono::steady_clock::now() + std::chrono::milliseconds(tick));
    }
}

bool Monitor::lockWithin(long long endMs) {
    for (;;) {
        if (region_.tryLock()) return true;
        if (monoMs() >= endMs) return false;
        usleep(1000);
    }
}

WriteResult Monitor::write(PointKind kind, int32_t addr, uint32_t value, int timeoutMs) {
    WriteResult r;
    const long long end = monoMs() + timeoutMs;
    std::unique_lock<std::timed_mutex> one(writing_, std::defer_lock);
    if (!one.try_lock_for(std::chrono::milliseconds(timeoutMs))) {
        r.httpStatus = 503;
        r.outcome = "another write is still under way";
        return r;
    }
    std::shared_lock<std::shared_mutex> map(map_);
    if (!region_.mapped()) {
        r.httpStatus = 503;
        r.outcome = "no server: the region is not there";
        return r;
    }
    ioShare_t *share = region_.share();
    const int ioKind = kind == kCoil ? IOSHARE_BIT_OUT : IOSHARE_INT_OUT;
    const int rbKind = kind == kCoil ? IOSHARE_BIT_OUT_RB : IOSHARE_INT_OUT_RB;
    if (!lockWithin(end)) {
        r.httpStatus = 504;
        r.outcome = "the region's mutex stayed taken";
        return r;
    }
    // Inside the board's layout as the server has it now, not only the image.
    const int32_t base = kind == kCoil ? share->bitOutBase : share->intOutBase;
    const int32_t count = kind == kCoil ? share->bitOutCount : share->intOutCount;
    const bool inside = static_cast<int64_t>(addr) >= base &&
                        static_cast<int64_t>(addr) < static_cast<int64_t>(base) + count &&
                        ioshare_put(share, ioKind, addr, value) == 0;
    region_.unlock();
    if (!inside) {
        r.httpStatus = 404;
        r.outcome = "no such output on the board";
        return r;
    }
    const long long left = end - monoMs();
    const int result =
        ioshare_request_confirmed(share, ioKind, addr, 1, left > 0 ? static_cast<int>(left) : 1);
    r.outcome = ioshare_outcome_text(result);
    switch (result) {
        case IOSHARE_DONE:
            r.httpStatus = 200;
            break;
        case IOSHARE_ERR_REFUSED:
            r.httpStatus = 502;
            break;
        case IOSHARE_ERR_BUSY:
        case IOSHARE_ERR_NOT_TAKEN:
        case IOSHARE_ERR_NOT_CONFIRMED:
            r.httpStatus = 504;
            break;
        default:
            r.httpStatus = 503;
    }
    if (result == IOSHARE_DONE && lockWithin(monoMs() + 100)) {
        r.haveReadback = ioshare_get(share, rbKind, addr, &r.readback) == 0;
        region_.unlock();
    }
    return r;
}

}  // namespace zuqweb

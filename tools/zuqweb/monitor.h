// zuqweb's hold on the region: one thread that follows the region (mapped
// when it appears, remapped when a restarted server replaces it) and copies
// the images and the health record out of it, the mutex held for the copy
// alone; every web client works on those copies. Writes are carried through
// the region's request slots here too.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "ioshare.h"
#include "region.h"

namespace zuqweb {

// The point kinds shown, by their names on the page and in the JSON.
enum PointKind { kDi, kCoil, kIr, kHr, kIr32, kPointKinds };
extern const char *const kKindNames[kPointKinds];

struct Points {
    int32_t base = 0;
    int32_t count = 0;
    std::vector<uint32_t> value;
    std::vector<uint32_t> readback;  // outputs only: what the board drives
};

// One consistent copy of what the region and its health record held.
struct Snapshot {
    uint64_t serial = 0;  // grows with every copy that differs from the one before
    bool region = false;  // a region is mapped
    bool health = false;  // and its health record was read
    ioshareHealth h{};
    int32_t boardId = IOSHARE_NO_BOARD;
    int32_t intervalMs = 0;
    Points points[kPointKinds];

    bool sameLayout(const Snapshot &o) const;
};

// Outcome of a write, for the HTTP answer.
struct WriteResult {
    int httpStatus = 500;
    std::string outcome;
    bool haveReadback = false;
    uint32_t readback = 0;
};

class Monitor {
  public:
    explicit Monitor(std::string regionName);
    ~Monitor();
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;

    void start();
    // Ends the thread and wakes every waiter: they see stopping().
    void stop();
    bool stopping() const;

    std::shared_ptr<const Snapshot> latest() const;
    // The latest copy once it is newer than `serial`, or at `deadline`, or
    // when stopping: whichever comes first.
    std::shared_ptr<const Snapshot> waitNewer(uint64_t serial,
                                             std::chrono::steady_clock::time_point deadline) const;
    // Sleeps until `deadline` or until stopping.
    void pause(std::chrono::steady_clock::time_point deadline) const;

    // Sets output `addr` of `kind` (kCoil or kHr) and has the server write it
    // to the board, waiting at most timeoutMs for the board to confirm it.
    WriteResult write(PointKind kind, int32_t addr, uint32_t value, int timeoutMs);

    const std::string &regionName() const { return region_.name(); }

  private:
    void run();
    void refreshMapping();
    bool takeCopy(const ioshareHealth *health, bool haveHealth, const ioshareHealth &h);
    bool lockWithin(long long endMs);

    zuqgate::Region region_;
    // Shared by whoever uses the mapping (copies, writes); the region thread
    // takes it alone to change the mapping, and only when it is free.
    std::shared_mutex map_;
    std::timed_mutex writing_;  // one write at a time: the slot takes one request

    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    std::shared_ptr<const Snapshot> latest_;
    bool stop_ = false;
    std::thread thread_;
};

long long monoMs();

}  // namespace zuqweb

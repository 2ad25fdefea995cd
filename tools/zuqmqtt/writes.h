// Writes from the broker's /set topics to the board: checked when they
// come, queued per kind in the order they came (a bounded queue), carried
// one at a time through the region's request slot and followed until the
// board has confirmed them, as zuqgate does for its clients.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ioshare_region.h"
#include "region.h"

namespace zuqmqtt {

// What a /set topic and payload say: kind 0 coil, 1 holding register.
struct SetCommand {
    int kind = 0;
    int32_t addr = 0;
    uint32_t value = 0;
};

// Parses the part of a topic after "BASE/" ("coil/12/set") and its payload.
// False with the reason for the error topic.
bool parseSet(const std::string &subtopic, const std::string &payload, SetCommand *cmd,
              std::string *reason);

class Writes {
  public:
    // Told of a write refused or failed (topic, payload, reason), and of a
    // point the board has confirmed (kind 0/1, address).
    using OnError = std::function<void(const std::string &, const std::string &,
                                       const std::string &)>;
    using OnDone = std::function<void(int kind, int32_t addr)>;

    Writes(zuqgate::Region &region, OnError onError, OnDone onDone)
        : region_(region), onError_(std::move(onError)), onDone_(std::move(onDone)) {}

    // Queues a checked write; refused (onError) when its kind's queue is full.
    void add(const SetCommand &cmd, const std::string &topic, const std::string &payload,
             long long now);
    // Moves the queues on: posts, follows, answers. Never waits for the mutex.
    void advance(long long now);
    // A kind's queue is full: the bridge reads nothing more from the broker
    // until it has room again. One read of the library may still bring
    // several messages: they are queued up to kQueueLimit.
    bool full() const { return queue_[0].size() >= kQueueRoom || queue_[1].size() >= kQueueRoom; }
    bool busy() const { return !queue_[0].empty() || !queue_[1].empty() || !confirming_.empty(); }

    static constexpr size_t kQueueRoom = 32;     // per kind: what the board takes in 2 s
    static constexpr size_t kQueueLimit = 4096;  // per kind: then refused
    static constexpr int kTakeMs = 2000;       // to be taken by the server, and confirmed

  private:
    struct Write {
        SetCommand cmd;
        std::string topic, payload;
        long long deadlineMs = 0;
        bool posted = false;
        unsigned generation = 0;  // of the region's mapping it was posted under
        ioshare::Ticket ticket;
        uint8_t data[2] = {0, 0};    // as a function 5 or 6 request carries it
        uint8_t before[4] = {0, 0, 0, 0};
    };
    void fail(Write &w, const std::string &reason);
    void advanceQueue(std::deque<Write> &q, long long now);
    void advanceConfirms(long long now);

    zuqgate::Region &region_;
    OnError onError_;
    OnDone onDone_;
    std::deque<Write> queue_[2];
    std::vector<Write> confirming_;
};

}  // namespace zuqmqtt

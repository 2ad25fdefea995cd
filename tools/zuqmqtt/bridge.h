// The bridge: the region's images published on the broker, point by point,
// when they change (once per completed cycle of the server), and the
// broker's /set messages carried to the board.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link.h"
#include "region.h"
#include "settings.h"
#include "writes.h"

namespace zuqmqtt {

long long monoMs();

class Bridge {
  public:
    Bridge(const Settings &s, zuqgate::Region &region);
    // Runs until `stop` is set (by a signal handler), then says "offline".
    void run(const volatile sig_atomic_t &stop);

  private:
    // One kind's points as published: di, coil, ir, hr, dword.
    struct Points {
        const char *name;
        int kind;             // enum ioshareKind of its image
        uint32_t deadband;
        int32_t base = 0, count = 0;  // the mirrored range (count in points)
        std::vector<uint32_t> sent;   // value last handed to the broker
        std::vector<uint8_t> known;   // 0: to be published whatever its value
    };

    void onMessage(const char *topic, const void *payload, int length, bool retained);
    void onConnected();
    void housekeeping(long long now);
    bool takeSnapshot();
    void applyLayout();
    void publishPoints();
    void publishHealth(long long now);
    void publishDiscovery();
    void error(const std::string &topic, const std::string &payload, const std::string &reason);
    void pointConfirmed(int kind, int32_t addr);
    // Per-message log lines are limited (per kind of line), so that a flood
    // cannot fill the log.
    struct LogLimit {
        long long windowMs = 0;
        int lines = 0, suppressed = 0;
    };
    void logLimited(LogLimit &limit, const std::string &line);
    std::string topicOf(const Points &p, int32_t k) const;

    const Settings &s_;
    zuqgate::Region &region_;
    Link link_;
    Writes writes_;
    Points points_[5];
    // The copy of the images the points are published from.
    struct Snapshot {
        int32_t base[5] = {}, count[5] = {};
        unsigned char image[5][IOSHARE_AREA_SIZE];
    };
    Snapshot snap_{};
    bool haveSnap_ = false;
    bool snapDue_ = true;      // take one at the next chance
    bool haveHealth_ = false;  // the server's health record was read at the last look
    bool cycled_ = false;      // ... and says a cycle has completed
    bool pointsDirty_ = true;  // something may wait to be published
    uint64_t lastCycles_ = 0;
    uint32_t lastGeneration_ = 0;
    long long nextHousekeepingMs_ = 0;
    long long nextRepublishMs_ = 0;
    long long lastNoHealthSnapMs_ = 0;
    long long nextLookMs_ = 0;  // at the health record's cycle count
    // Health: what was last published, and when.
    std::string healthSent_;
    std::string healthStateSent_;
    long long healthSentMs_ = 0;
    bool healthDue_ = true;
    bool discoveryDue_ = false;
    int discoveryKind_ = 0;  // where the discovery configs stopped for the broker
    int32_t discoveryIndex_ = 0;
    LogLimit refusedLog_, retainedLog_;
};

}  // namespace zuqmqtt

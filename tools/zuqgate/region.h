// The gateway's hold on the server's shared region: mapped when it appears,
// remapped when a restarted server replaces the object under the same name,
// dropped when the name goes; the mutex taken without ever waiting for it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "ioshare.h"

namespace zuqgate {

class Region {
  public:
    // `name`: the region's name as the server's clients find it
    // (ioshare::regionName()).
    explicit Region(std::string name) : name_(std::move(name)) {}
    ~Region();
    Region(const Region &) = delete;
    Region &operator=(const Region &) = delete;

    // Looks at the name again: maps an object that has appeared (and is sized),
    // replaces the mapping when the name now names another object, unmaps when
    // the name is gone. Returns true when the mapping changed.
    bool refresh();

    bool mapped() const { return share_ != nullptr; }
    // Why the last look found no region to map: ENOENT (no server yet),
    // EAGAIN (not sized yet), or what opening or mapping it failed with.
    int lastError() const { return lastError_; }
    ioShare_t *share() const { return share_; }
    const std::string &name() const { return name_; }
    // Counts the mappings made so far: a request posted under one mapping is
    // lost with it when another replaces it.
    unsigned generation() const { return generation_; }

    // The server's health record beside the region, which says how far its
    // requests have come (null while there is none). Looked up by name on
    // every refresh, and mapped again when the name names another object.
    const ioshareHealth *health() const { return health_; }

    // Whether the mapped object was found cut short (or longer) and put back
    // to its size since the last call.
    bool repaired() {
        const bool r = repaired_;
        repaired_ = false;
        return r;
    }

    // Takes the mutex if it is free: true when held (also after repairing it
    // for a holder that died). Never blocks: the server may hold it for whole
    // board transfers, and the gateway's clients must not wait for that.
    bool tryLock();
    void unlock();

  private:
    void unmap();
    void refreshHealth();

    std::string name_;
    ioShare_t *share_ = nullptr;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    unsigned generation_ = 0;
    int lastError_ = 0;
    int fd_ = -1;  // of the mapped object
    bool repaired_ = false;
    const ioshareHealth *health_ = nullptr;
    dev_t healthDev_ = 0;
    ino_t healthIno_ = 0;
};

}  // namespace zuqgate

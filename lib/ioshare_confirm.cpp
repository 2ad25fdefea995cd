// Following a posted request until the server has carried it out, from the
// request progress in its health record.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ioshare.h"
#include "ioshare_region.h"

namespace {

constexpr useconds_t kPollUs = 1000;

long long monoMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

bool serverGone(const ioshareHealth &copy, const ioshare::Ticket &t) {
    if (copy.generation != t.generation || copy.state == IOSHARE_STATE_STOPPED) return true;
    // A server that was killed leaves its record as it was.
    return t.serverPid > 0 && kill(t.serverPid, 0) != 0 && errno == ESRCH;
}

// The name of the shared-memory object mapped at `share`, from the process's
// own map ("" when that cannot be read, or its name is gone).
std::string objectName(const void *share) {
    FILE *maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return "";
    char line[512];
    std::string name;
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long start = 0;
        if (std::sscanf(line, "%lx-", &start) != 1 || start != reinterpret_cast<uintptr_t>(share))
            continue;
        const char *path = std::strstr(line, " /dev/shm/");
        if (path != nullptr && std::strstr(path, " (deleted)") == nullptr) {
            name = path + std::strlen(" /dev/shm");
            name.erase(name.find_last_not_of("\n") + 1);
        }
        break;
    }
    std::fclose(maps);
    return name;
}

bool refusedBit(const ioshareSlotProgress &p, uint32_t n) {
    const uint32_t bit = n % IOSHARE_REFUSED_BITS;
    return (p.refused[bit / 32] >> (bit % 32) & 1u) != 0;
}

}  // namespace

namespace ioshare {

bool readProgress(const ioshareHealth *health, ioshareHealth *copy) {
    return health != nullptr && ioshare_health_read(health, copy) == 0 && copy->version >= 2 &&
           copy->size >= sizeof *copy;
}

void post(ioShare_t *share, const ioshareHealth &copy, int kind, int32_t addr, int32_t count,
          Ticket *t) {
    const Kind &k = kKinds[kind];
    share->*k.reqCount = count;
    share->*k.reqAddr = addr;
    ioshare_signal(share);
    *t = Ticket{};
    t->kind = kind;
    t->addr = addr;
    t->count = count;
    t->generation = copy.generation;
    t->serverPid = copy.serverPid;
    t->takenBefore = copy.slots[kind].taken;
}

Stage takeStage(const ioShare_t *share, const ioshareHealth &copy, Ticket *t) {
    if (serverGone(copy, *t)) return Stage::Restarted;
    // The slot was idle when the request went in: the first request the
    // server finds there after that is this one.
    if (copy.slots[t->kind].taken != t->takenBefore) {
        t->number = t->takenBefore + 1;
        return Stage::Taken;
    }
    const Kind &k = kKinds[t->kind];
    if (share->*k.reqAddr == t->addr && share->*k.reqCount == t->count) return Stage::Posted;
    return Stage::Refused;  // another client's request replaced it in the slot
}

bool withdraw(ioShare_t *share, const Ticket &t) {
    const Kind &k = kKinds[t.kind];
    if (share->*k.reqAddr != t.addr || share->*k.reqCount != t.count) return false;
    share->*k.reqAddr = IOSHARE_IDLE;
    return true;
}

Stage settleStage(const ioshareHealth &copy, const Ticket &t) {
    if (serverGone(copy, t)) return Stage::Restarted;
    const ioshareSlotProgress &p = copy.slots[t.kind];
    // Its bit is its own until so many numbers are given out since that
    // another takes it over; then it cannot be told that it went through.
    const bool told = p.taken - t.number < IOSHARE_REFUSED_BITS;
    // A refusal is final: told at once, even while older requests still
    // wait for the board (a write refused with the queue full).
    if (told && refusedBit(p, t.number)) return Stage::Refused;
    if (static_cast<int32_t>(p.confirmed - t.number) < 0) return Stage::Taken;
    return told ? Stage::Done : Stage::Refused;
}

}  // namespace ioshare

int ioshare_request_confirmed(ioShare_t *share, int kind, int32_t addr, int32_t count,
                              int timeoutMs) {
    using ioshare::Stage;
    const ioshare::Kind *k = ioshare::kindOf(kind);
    if (share == nullptr || k == nullptr || k->reqAddr == nullptr || addr == IOSHARE_IDLE)
        return IOSHARE_ERR_ARGS;
    const long long end = monoMs() + (timeoutMs > 0 ? timeoutMs : 0);
    // The record beside the region that is mapped there, whatever name it
    // was opened by; a region whose name is gone has no server any more.
    // Where the process's map cannot be read, the environment's name.
    const std::string name = objectName(share);
    const ioshareHealth *health = ioshare_health_open(name.empty() ? nullptr : name.c_str());
    ioshareHealth copy{};
    int result = IOSHARE_ERR_NO_HEALTH;
    ioshare::Ticket ticket;
    bool posted = false;
    for (;;) {
        if (ioshare_lock(share) < 0) {
            result = posted ? IOSHARE_ERR_NOT_TAKEN : IOSHARE_ERR_ARGS;
            if (errno == ENOTRECOVERABLE && monoMs() < end) {
                usleep(kPollUs);
                continue;
            }
            break;
        }
        if (!ioshare::readProgress(health, &copy)) {
            ioshare_unlock(share);
            result = posted ? IOSHARE_ERR_RESTARTED : IOSHARE_ERR_NO_HEALTH;
            break;
        }
        Stage stage = Stage::Posted;
        if (!posted && share->*k->reqAddr == IOSHARE_IDLE) {
            ioshare::post(share, copy, kind, addr, count, &ticket);
            posted = true;
        } else if (posted) {
            stage = ioshare::takeStage(share, copy, &ticket);
        }
        const bool late = monoMs() >= end;
        if (stage == Stage::Posted && late) {
            if (posted) ioshare::withdraw(share, ticket);
            ioshare_unlock(share);
            result = posted ? IOSHARE_ERR_NOT_TAKEN : IOSHARE_ERR_BUSY;
            break;
        }
        ioshare_unlock(share);
        if (stage == Stage::Posted) {
            usleep(kPollUs / 2);
            continue;
        }
        // Taken (or already settled): the rest needs no mutex.
        while (stage == Stage::Taken) {
            if (!ioshare::readProgress(health, &copy)) {
                stage = Stage::Restarted;
                break;
            }
            stage = ioshare::settleStage(copy, ticket);
            if (stage != Stage::Taken) break;
            if (monoMs() >= end) break;
            usleep(kPollUs);
        }
        result = stage == Stage::Done        ? IOSHARE_DONE
                 : stage == Stage::Refused   ? IOSHARE_ERR_REFUSED
                 : stage == Stage::Restarted ? IOSHARE_ERR_RESTARTED
                                             : IOSHARE_ERR_NOT_CONFIRMED;
        break;
    }
    if (health != nullptr) ioshare_health_close(health);
    return result;
}

const char *ioshare_outcome_text(int result) {
    switch (result) {
        case IOSHARE_DONE:
            return "done";
        case IOSHARE_ERR_ARGS:
            return "bad request or region mutex not taken";
        case IOSHARE_ERR_BUSY:
            return "the request slot stayed busy";
        case IOSHARE_ERR_NOT_TAKEN:
            return "the server did not take the request in time (taken back)";
        case IOSHARE_ERR_NOT_CONFIRMED:
            return "the board has not confirmed it in time (a write is still sent until it does)";
        case IOSHARE_ERR_RESTARTED:
            return "the server stopped or restarted meanwhile";
        case IOSHARE_ERR_REFUSED:
            return "refused by the server or the board";
        case IOSHARE_ERR_NO_HEALTH:
            return "no health record of a server that confirms requests";
        default:
            return "unknown result";
    }
}

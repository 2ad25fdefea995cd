// The gateway's event loop, its requests and its write queues; the sockets
// and the bytes to and from each client are in listen.cpp.
#include "gateway.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image.h"

namespace zuqgate {
namespace {

using fieldbus::regmap::checkRequest;
using fieldbus::regmap::kTargetFailed;
using fieldbus::regmap::Request;
using ioshare::Stage;
namespace pdu = fieldbus::pdu;

constexpr uint8_t kDeviceFailure = 4;  // the board (or the server) refused the write

constexpr int kTickMs = 1;            // while requests wait for the mutex or a slot
constexpr int kHousekeepingMs = 500;  // region lookup, idle connections

int bodyLength(const uint8_t *frame) {
    return frame[4] << 8 | frame[5];
}

// Write queue of a write's kind: 0 coils, 1 holding registers.
int queueOf(const ioshare::Kind &kind) {
    return kind.bytesPerPoint == 0 ? 0 : 1;
}

}  // namespace

long long monoMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

Gateway::Gateway(const Options &options, Region &region)
    : options_(options), region_(region), clients_(static_cast<size_t>(options.maxClients)) {
    for (auto &q : writeQueue_) q.reserve(clients_.size());
    pollSet_.reserve(clients_.size() + 4);
    pollClient_.reserve(clients_.size() + 4);
}

Gateway::~Gateway() {
    for (size_t i = 0; i < clients_.size(); ++i) drop(static_cast<int>(i));
    for (int fd : listeners_) close(fd);
}

void Gateway::sendException(int i, uint8_t code) {
    const uint8_t *body = clients_[static_cast<size_t>(i)].in + kHeader;
    uint8_t answer[3];
    send(i, answer, fieldbus::regmap::exceptionBody(body[0], body[1], code, answer));
}

void Gateway::consumeFrame(int i) {
    Client &c = clients_[static_cast<size_t>(i)];
    const int length = kHeader + bodyLength(c.in);
    c.inLen -= length;
    std::memmove(c.in, c.in + length, static_cast<size_t>(c.inLen));
    c.partialSinceMs = 0;  // what follows is the next request
}

void Gateway::serveInput(int i) {
    Client &c = clients_[static_cast<size_t>(i)];
    const long long now = monoMs();
    while (c.fd >= 0 && c.hold != Hold::Write && c.hold != Hold::Confirm && c.inLen >= kHeader) {
        const int length = bodyLength(c.in);
        // No request is shorter or longer: the stream cannot be followed.
        if (length < 2 || length > kMaxBody) {
            drop(i);
            return;
        }
        if (c.inLen < kHeader + length) break;  // the rest of the frame is to come
        if (!handleFrame(i, now)) return;       // whole, and waiting
        if (c.fd >= 0) consumeFrame(i);
    }
    // Part of a request: its time runs from the moment it began to come.
    if (c.fd >= 0 && c.hold == Hold::None && c.inLen > 0 && c.partialSinceMs == 0)
        c.partialSinceMs = now;
}

// One whole request at the head of the client's input: true when it has been
// dealt with (answered or ignored), false when it waits.
bool Gateway::handleFrame(int i, long long now) {
    Client &c = clients_[static_cast<size_t>(i)];
    const uint8_t *body = c.in + kHeader;
    const int length = bodyLength(c.in);
    // Another unit's request is not for this gateway: no answer, as a device
    // on a shared line would give none.
    if (options_.unit != 0 && body[0] != options_.unit) return true;
    Request req;
    const int code = checkRequest(body, length, &req);
    if (code != 0) {
        sendException(i, static_cast<uint8_t>(code));
        return true;
    }
    if (!region_.mapped()) {
        sendException(i, kTargetFailed);  // no server (yet): nobody to carry it to the board
        return true;
    }
    if (req.function == pdu::kReportServerId || req.function == pdu::kEncapsulated) {
        sendIdentity(i, req);
        return true;
    }
    if (const ioshare::Kind *kind = writeKind(req.function)) {
        c.hold = Hold::Write;
        c.deadlineMs = now + options_.writeTimeoutMs;
        c.posted = false;
        writeQueue_[queueOf(*kind)].push_back(i);
        advanceWrites(now);
        return false;
    }
    if (c.hold != Hold::Lock) c.deadlineMs = now + options_.writeTimeoutMs;
    if (!region_.tryLock()) {
        c.hold = Hold::Lock;
        if (now < c.deadlineMs) return false;
        c.hold = Hold::None;
        sendException(i, kTargetFailed);
        return true;
    }
    uint8_t answer[2 + 1 + 250];
    const int n = readImage(*region_.share(), req, answer + 3);
    region_.unlock();
    c.hold = Hold::None;
    if (n < 0) {
        sendException(i, static_cast<uint8_t>(-n));
    } else {
        answer[0] = req.unit;
        answer[1] = req.function;
        answer[2] = static_cast<uint8_t>(n);
        send(i, answer, 3 + n);
    }
    return true;
}

// The library's identity with the board's identifier as product code: no
// board, nothing to tell.
void Gateway::sendIdentity(int i, const Request &req) {
    const int32_t board = once(region_.share()->boardId);
    if (board == IOSHARE_NO_BOARD) {
        sendException(i, kTargetFailed);
        return;
    }
    char product[16];
    std::snprintf(product, sizeof product, "%04X", static_cast<unsigned>(board));
    fieldbus::regmap::Identity id = fieldbus::regmap::processIdentity();
    id.product = product;
    uint8_t answer[kMaxBody];
    int length = 0;
    const int code = fieldbus::regmap::identityBody(req, id, answer, &length);
    if (code != 0)
        sendException(i, static_cast<uint8_t>(code));
    else
        send(i, answer, length);
}

// The write a queued request makes, as the write of a kind's slot: 0x16 as
// function 6 of the value worked out when it is posted, 0x17's write as
// function 16.
Request Gateway::writeRequest(int i) {
    Client &c = clients_[static_cast<size_t>(i)];
    Request req;
    checkRequest(c.in + kHeader, bodyLength(c.in), &req);  // passed when it came
    if (req.function == pdu::kMaskWrite) {
        req.function = 6;
        req.data = c.masked;
        req.dataBytes = 2;
    } else if (req.function == pdu::kReadWriteRegisters) {
        req.function = 16;
    }
    return req;
}

// 0x17 once its write is on the board: the registers it reads, from the
// read-back image, which shows the write by then. False while the mutex is
// busy (tried again on the next round).
bool Gateway::readBack(int i, uint8_t *exception, uint8_t *answer, int *length) {
    if (!region_.tryLock()) return false;
    const Client &c = clients_[static_cast<size_t>(i)];
    Request req;
    checkRequest(c.in + kHeader, bodyLength(c.in), &req);
    const int n = readImage(*region_.share(), fieldbus::regmap::readPart(req), answer + 3);
    region_.unlock();
    if (n < 0) {
        *exception = static_cast<uint8_t>(-n);
        return true;
    }
    answer[0] = req.unit;
    answer[1] = req.function;
    answer[2] = static_cast<uint8_t>(n);
    *length = 3 + n;
    return true;
}

void Gateway::finishWrite(int i, uint8_t exception, const uint8_t *answer, int length) {
    Client &c = clients_[static_cast<size_t>(i)];
    c.hold = Hold::None;
    if (exception != 0)
        sendException(i, exception);
    else if (answer != nullptr)
        send(i, answer, length);
    else  // unit, function, address and quantity or value (0x16: both masks)
        send(i, c.in + kHeader, c.in[kHeader + 1] == pdu::kMaskWrite ? 8 : 6);
    if (c.fd < 0) return;
    consumeFrame(i);
    serveInput(i);
}

// Where a posted write stands, with the mutex held: -1 still in the slot
// (taken back and answered when its time is up), else the exception it is
// answered with (0: none yet, it goes on to wait for the board).
int Gateway::followPosted(int i, long long now) {
    Client &c = clients_[static_cast<size_t>(i)];
    ioShare_t &r = *region_.share();
    ioshareHealth copy{};
    const Stage stage = ioshare::readProgress(region_.health(), &copy)
                            ? ioshare::takeStage(&r, copy, &c.ticket)
                            : Stage::Restarted;
    const Request req = writeRequest(i);
    switch (stage) {
        case Stage::Posted:
            if (now < c.deadlineMs) return -1;
            // Not taken in time: taken back, so that the exception means
            // "not done" (it must not reach the board later).
            ioshare::withdraw(&r, c.ticket);
            restoreImage(r, req, c.before);
            return kTargetFailed;
        case Stage::Refused:
            restoreImage(r, req, c.before);
            return kDeviceFailure;
        case Stage::Restarted:
            return kTargetFailed;  // the restarted server cleared the slots and the images
        default:
            return 0;
    }
}

// Moves each write queue on: its first write is posted when the slot is
// idle, and leaves the queue for the board's confirmation once the server
// has taken it, so that the next write can be posted. One write per kind is
// posted at a time, so none replaces another in the slot.
void Gateway::advanceWrites(long long now) {
    for (auto &queue : writeQueue_) {
        while (!queue.empty()) {
            const int i = queue.front();
            Client &c = clients_[static_cast<size_t>(i)];
            const bool lost = c.posted && c.postedGeneration != region_.generation();
            if (!region_.mapped() || lost || (!c.posted && now >= c.deadlineMs)) {
                queue.erase(queue.begin());
                finishWrite(i, kTargetFailed);
                continue;
            }
            // A server stopped with the mutex held keeps a posted write
            // waiting past its time: it may be taking it.
            if (!region_.tryLock()) break;
            ioShare_t &r = *region_.share();
            if (c.posted) {
                const int outcome = followPosted(i, now);
                region_.unlock();
                if (outcome < 0) break;
                queue.erase(queue.begin());
                if (outcome > 0) {
                    if (outcome == kTargetFailed) nextHousekeepingMs_ = now;  // look again
                    finishWrite(i, static_cast<uint8_t>(outcome));
                    continue;
                }
                c.hold = Hold::Confirm;
                confirming_.push_back(i);
                continue;
            }
            const Request req = writeRequest(i);
            const ioshare::Kind &kind = *writeKind(req.function);
            if (once(r.*kind.reqAddr) != IOSHARE_IDLE) {
                region_.unlock();  // another client's request is waiting in the slot
                break;
            }
            ioshareHealth copy{};
            // Without the server's request progress a write cannot be
            // confirmed, and is not made.
            if (!ioshare::readProgress(region_.health(), &copy)) {
                region_.unlock();
                queue.erase(queue.begin());
                nextHousekeepingMs_ = now;
                finishWrite(i, kTargetFailed);
                continue;
            }
            // The values go into the image only now, when this write owns the
            // slot: a write still queued cannot overwrite one not yet taken.
            // 0x16 works on the register as the output image has it then, so
            // that it comes after every write before it; 0x17 must be able to
            // read what it asks for before anything is written.
            uint8_t scratch[256];
            Request asked;
            checkRequest(c.in + kHeader, bodyLength(c.in), &asked);
            const bool readable = asked.function != pdu::kReadWriteRegisters ||
                                  readImage(r, fieldbus::regmap::readPart(asked), scratch) >= 0;
            const bool saved = readable && saveImage(r, req, c.before);
            if (saved && asked.function == pdu::kMaskWrite) {
                const unsigned value = c.before[0] << 8 | c.before[1];
                const unsigned andMask = asked.data[0] << 8 | asked.data[1];
                const unsigned orMask = asked.data[2] << 8 | asked.data[3];
                const unsigned masked = (value & andMask) | (orMask & ~andMask);
                c.masked[0] = static_cast<uint8_t>(masked >> 8);
                c.masked[1] = static_cast<uint8_t>(masked);
            }
            if (!saved || !writeImage(r, req)) {
                region_.unlock();
                queue.erase(queue.begin());
                finishWrite(i, fieldbus::regmap::kIllegalAddress);
                continue;
            }
            ioshare::post(&r, copy, static_cast<int>(&kind - ioshare::kKinds), req.address,
                          req.quantity, &c.ticket);
            region_.unlock();
            c.posted = true;
            c.postedGeneration = region_.generation();
            break;
        }
    }
}

// Answers the writes the board has confirmed (or refused), and those whose
// time ran out after the server took them: exception 11, and the server
// still delivers them when the board answers again.
void Gateway::advanceConfirms(long long now) {
    if (confirming_.empty()) return;
    ioshareHealth copy{};
    const bool read = ioshare::readProgress(region_.health(), &copy);
    for (size_t j = 0; j < confirming_.size();) {
        const int i = confirming_[j];
        Client &c = clients_[static_cast<size_t>(i)];
        const Stage stage = read ? ioshare::settleStage(copy, c.ticket) : Stage::Restarted;
        uint8_t exception = 0;
        uint8_t answer[kMaxBody];  // 0x17: the registers it read
        int length = 0;
        if (stage == Stage::Taken) {
            if (now < c.deadlineMs) {
                ++j;
                continue;
            }
            exception = kTargetFailed;
        } else if (stage == Stage::Refused) {
            // Taken out of the image again, so that the next write of the
            // kind does not send it after all.
            if (!region_.tryLock()) {
                ++j;
                continue;
            }
            restoreImage(*region_.share(), writeRequest(i), c.before);
            region_.unlock();
            exception = kDeviceFailure;
        } else if (stage == Stage::Restarted) {
            exception = kTargetFailed;
            nextHousekeepingMs_ = now;
        } else if (c.in[kHeader + 1] == pdu::kReadWriteRegisters &&
                   !readBack(i, &exception, answer, &length)) {
            ++j;
            continue;
        }
        confirming_.erase(confirming_.begin() + static_cast<long>(j));
        finishWrite(i, exception, length > 0 ? answer : nullptr, length);
    }
}

void Gateway::housekeeping(long long now) {
    const bool wasMapped = region_.mapped();
    const bool changed = region_.refresh();
    if (region_.repaired())
        std::printf("zuqgate: region %s was cut short by a client: its size put back\n",
                    region_.name().c_str());
    if (changed) {
        if (region_.mapped())
            std::printf("zuqgate: region %s %s\n", region_.name().c_str(),
                        wasMapped ? "replaced, mapped again" : "mapped");
        else
            std::printf("zuqgate: region %s gone, waiting for it\n", region_.name().c_str());
        std::fflush(stdout);
    }
    // A request sent a byte now and then would otherwise hold its place for
    // ever: each byte counts as being heard.
    for (size_t i = 0; i < clients_.size(); ++i) {
        const Client &c = clients_[i];
        if (c.fd < 0 || c.hold != Hold::None) continue;
        if (now - c.lastHeardMs > kIdleMs ||
            (c.partialSinceMs != 0 && now - c.partialSinceMs >= kRequestMs))
            drop(static_cast<int>(i));
    }
}

void Gateway::run(const volatile sig_atomic_t &stop) {
    while (stop == 0) {
        long long now = monoMs();
        if (now >= nextHousekeepingMs_) {
            housekeeping(now);
            nextHousekeepingMs_ = now + kHousekeepingMs;
        }
        bool waiting = !writeQueue_[0].empty() || !writeQueue_[1].empty() || !confirming_.empty();
        pollSet_.clear();
        pollClient_.clear();
        for (size_t i = 0; i < clients_.size(); ++i) {
            const Client &c = clients_[i];
            if (c.fd < 0) continue;
            waiting = waiting || c.hold == Hold::Lock;
            short events = 0;
            if (c.inLen < kInRoom) events |= POLLIN;
            if (c.outLen > 0) events |= POLLOUT;
            pollSet_.push_back({c.fd, events, 0});
            pollClient_.push_back(static_cast<int>(i));
        }
        // The listeners last: the places that clients leave in a round are
        // free before a newcomer would close someone to get one.
        for (int fd : listeners_) {
            pollSet_.push_back({fd, static_cast<short>(now < acceptRestUntilMs_ ? 0 : POLLIN), 0});
            pollClient_.push_back(-1);
        }
        long long timeout = waiting ? kTickMs : nextHousekeepingMs_ - now;
        if (now < acceptRestUntilMs_) timeout = std::min(timeout, acceptRestUntilMs_ - now);
        const int ready =
            poll(pollSet_.data(), pollSet_.size(), timeout > 0 ? static_cast<int>(timeout) : 0);
        if (ready < 0 && errno != EINTR) {
            std::perror("zuqgate: poll");
            return;
        }
        for (size_t k = 0; ready > 0 && k < pollSet_.size(); ++k) {
            const short ev = pollSet_[k].revents;
            if (ev == 0) continue;
            const int i = pollClient_[k];
            if (i < 0) {
                acceptAll(pollSet_[k].fd);
                continue;
            }
            // The slot may have been dropped (and taken again) meanwhile.
            if (clients_[static_cast<size_t>(i)].fd != pollSet_[k].fd) continue;
            if (ev & POLLOUT) flush(i);
            if (clients_[static_cast<size_t>(i)].fd >= 0 && (ev & (POLLIN | POLLHUP | POLLERR)))
                receive(i);
        }
        now = monoMs();
        for (size_t i = 0; i < clients_.size(); ++i)
            if (clients_[i].fd >= 0 && clients_[i].hold == Hold::Lock)
                serveInput(static_cast<int>(i));
        advanceWrites(now);
        advanceConfirms(now);
    }
}

}  // namespace zuqgate

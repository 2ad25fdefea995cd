// The bridge's connection to the broker, driven from the bridge's own poll
// loop: one client object per connection (so that nothing queued for a lost
// connection survives it), the last will, reconnection with exponential
// back-off, and a bound on what waits to go out.
#pragma once

#include <mosquitto.h>
#include <poll.h>

#include <functional>
#include <string>

#include "settings.h"

namespace zuqmqtt {

class Link {
  public:
    // A /set (or any) message from the broker: topic, payload, retain flag.
    using OnMessage = std::function<void(const char *topic, const void *payload, int length,
                                         bool retained)>;
    // Called once the broker has accepted a connection.
    using OnConnected = std::function<void()>;

    Link(const Settings &s, OnMessage onMessage, OnConnected onConnected);
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    // Fills `p` with the socket and the events to wait for: false when there
    // is no socket.
    bool pollEntry(pollfd *p) const;
    // After poll(): reads and writes what the socket is ready for, keeps the
    // connection alive, and connects again when its time has come.
    void service(short revents, long long now);
    // Milliseconds until service() has something to do without the socket.
    long long msUntilDue(long long now) const;

    bool up() const { return state_ == State::Up; }
    // While set, nothing more is read from the broker: it keeps what it has
    // for the bridge (and the TCP window fills) until the bridge catches up.
    void pauseReading(bool pause) { paused_ = pause; }
    // Messages handed to the library and not yet gone out (QoS 0) or
    // acknowledged (QoS 1, 2).
    int backlog() const { return backlog_; }
    // Room for more: changes wait (as the latest value of each point) while
    // the broker takes the earlier ones.
    bool hasRoom() const { return up() && backlog_ < kMaxBacklog; }
    // For the few messages that must not wait (errors), a looser bound.
    bool hasRoomForUrgent() const { return up() && backlog_ < 2 * kMaxBacklog; }

    // Publishes while up; false when not sent (down, or the library refused).
    bool publish(const std::string &topic, const std::string &payload, bool retain);
    bool publish(const std::string &topic, const std::string &payload, bool retain, int qos);

    void subscribe(const std::string &topic);

    // Orderly stop: "offline" on the status topic, waited for (at most
    // `waitMs`), then a normal disconnect, so the broker drops the will.
    void close(int waitMs);

    static constexpr int kMaxBacklog = 2000;

  private:
    enum class State { Down, Connecting, Up };
    void attempt(long long now);
    void lost(const std::string &why, long long now);
    void drop();
    static void onConnect(struct mosquitto *, void *self, int rc, int flags,
                          const mosquitto_property *);
    static void onDisconnect(struct mosquitto *, void *self, int rc, const mosquitto_property *);
    static void onPublish(struct mosquitto *, void *self, int mid, int rc,
                          const mosquitto_property *);
    static void onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m,
                          const mosquitto_property *);
    static void onLog(struct mosquitto *, void *self, int level, const char *text);

    const Settings &s_;
    OnMessage onMessage_;
    OnConnected onConnected_;
    struct mosquitto *m_ = nullptr;
    State state_ = State::Down;
    bool saidDown_ = false;  // the log says we are down
    bool closing_ = false;
    bool paused_ = false;
    long long nextAttemptMs_ = 0;
    long long connectDeadlineMs_ = 0;
    long long nextMiscMs_ = 0;
    int delayS_ = 1;
    int backlog_ = 0;
    int statusMid_ = -1;  // the "offline" of an orderly stop, until it is acknowledged
    bool statusAcked_ = false;
    std::string lastLibraryError_;
    std::string statusTopic_;
};

}  // namespace zuqmqtt

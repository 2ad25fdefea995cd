// The broker connection: attempts, their back-off, the library's callbacks.
#include "link.h"

#include <mqtt_protocol.h>
#include <time.h>

#include <algorithm>
#include <cstdio>

namespace zuqmqtt {
namespace {

// Nothing the bridge subscribes to needs more: a larger message is not
// delivered by the broker at all, so no peer can make the bridge hold one.
constexpr uint32_t kMaxIncomingPacket = 65536;
// A broker that takes the connection but never answers it.
constexpr int kConnectMs = 10000;
constexpr int kMaxDelayS = 60;

long long nowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

Link::Link(const Settings &s, OnMessage onMessage, OnConnected onConnected)
    : s_(s),
      onMessage_(std::move(onMessage)),
      onConnected_(std::move(onConnected)),
      statusTopic_(s.base + "/status") {}

Link::~Link() {
    drop();
}

void Link::drop() {
    if (m_ != nullptr) mosquitto_destroy(m_);
    m_ = nullptr;
    backlog_ = 0;
}

bool Link::pollEntry(pollfd *p) const {
    if (m_ == nullptr || state_ == State::Down) return false;
    const int fd = mosquitto_socket(m_);
    if (fd < 0) return false;
    p->fd = fd;
    p->events = static_cast<short>((paused_ ? 0 : POLLIN) | (mosquitto_want_write(m_) ? POLLOUT : 0));
    p->revents = 0;
    return true;
}

long long Link::msUntilDue(long long now) const {
    if (state_ == State::Down) return std::max(0LL, nextAttemptMs_ - now);
    long long due = nextMiscMs_ - now;
    if (state_ == State::Connecting) due = std::min(due, connectDeadlineMs_ - now);
    return std::max(0LL, due);
}

void Link::lost(const std::string &why, long long now) {
    if (state_ == State::Down) return;
    const bool wasUp = state_ == State::Up;
    state_ = State::Down;
    // The library's object is dropped by service(), never inside its own
    // callbacks.
    if (!closing_ && (wasUp || !saidDown_)) {
        std::printf("zuqmqtt: broker %s:%d %s: %s; trying again with back-off (1 s to %d s)\n",
                    s_.host.c_str(), s_.port, wasUp ? "lost" : "unreachable", why.c_str(),
                    kMaxDelayS);
        std::fflush(stdout);
        saidDown_ = true;
    }
    if (wasUp) delayS_ = 1;
    nextAttemptMs_ = now + delayS_ * 1000LL;
    delayS_ = std::min(delayS_ * 2, kMaxDelayS);
}

void Link::attempt(long long now) {
    drop();
    lastLibraryError_.clear();
    m_ = mosquitto_new(s_.clientId.c_str(), true, this);
    if (m_ == nullptr) {
        state_ = State::Connecting;  // so that lost() counts it as an attempt
        lost("out of memory", now);
        return;
    }
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Each change goes out at once, not held back to fill a segment.
    mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(m_, onConnect);
    mosquitto_disconnect_v5_callback_set(m_, onDisconnect);
    mosquitto_publish_v5_callback_set(m_, onPublish);
    mosquitto_message_v5_callback_set(m_, onMessage);
    mosquitto_log_callback_set(m_, onLog);
    const std::string offline = "offline";
    mosquitto_will_set_v5(m_, statusTopic_.c_str(), static_cast<int>(offline.size()),
                          offline.data(), s_.qos, true, nullptr);
    if (!s_.username.empty())
        mosquitto_username_pw_set(m_, s_.username.c_str(),
                                  s_.password.empty() ? nullptr : s_.password.c_str());
    int rc = MOSQ_ERR_SUCCESS;
    if (s_.tls()) {
        rc = mosquitto_tls_set(m_, s_.cafile.c_str(), nullptr,
                               s_.cert.empty() ? nullptr : s_.cert.c_str(),
                               s_.key.empty() ? nullptr : s_.key.c_str(), nullptr);
    }
    state_ = State::Connecting;
    if (rc != MOSQ_ERR_SUCCESS) {
        lost(std::string("TLS files: ") + mosquitto_strerror(rc), now);
        return;
    }
    mosquitto_property *props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxIncomingPacket);
    // The TCP connection itself is made while the bridge waits (a refused or
    // unreachable broker answers at once; a signal ends the wait); the rest
    // (TLS, the broker's answer) follows in service().
    rc = mosquitto_connect_bind_v5(m_, s_.host.c_str(), s_.port, s_.keepalive, nullptr, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string why = rc == MOSQ_ERR_ERRNO ? "connection refused or unreachable"
                                               : mosquitto_strerror(rc);
        if (!lastLibraryError_.empty()) why += " (" + lastLibraryError_ + ")";
        lost(why, now);
        return;
    }
    connectDeadlineMs_ = now + kConnectMs;
    nextMiscMs_ = now + 1000;
}

void Link::service(short revents, long long now) {
    if (state_ == State::Down) {
        if (m_ != nullptr) drop();
        if (now >= nextAttemptMs_) attempt(now);
        return;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if ((revents & (POLLERR | POLLHUP)) || (!paused_ && (revents & POLLIN)))
        rc = mosquitto_loop_read(m_, 1);
    if (rc == MOSQ_ERR_SUCCESS && state_ != State::Down && (revents & POLLOUT))
        rc = mosquitto_loop_write(m_, 1);
    if (rc == MOSQ_ERR_SUCCESS && state_ != State::Down && now >= nextMiscMs_) {
        rc = mosquitto_loop_misc(m_);
        nextMiscMs_ = now + 1000;
    }
    if (rc != MOSQ_ERR_SUCCESS && state_ != State::Down) {
        std::string why = rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_NO_CONN
                              ? "connection closed"
                              : mosquitto_strerror(rc);
        if (!lastLibraryError_.empty()) why += " (" + lastLibraryError_ + ")";
        lost(why, now);
    }
    if (state_ == State::Connecting && now >= connectDeadlineMs_)
        lost("no answer to the connection within 10 s", now);
    if (state_ == State::Down) drop();
}

bool Link::publish(const std::string &topic, const std::string &payload, bool retain) {
    return publish(topic, payload, retain, s_.qos);
}

bool Link::publish(const std::string &topic, const std::string &payload, bool retain, int qos) {
    if (state_ != State::Up) return false;
    ++backlog_;  // on_publish may come within the call (QoS 0 written at once)
    int mid = 0;
    const int rc = mosquitto_publish_v5(m_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), qos, retain, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        --backlog_;
        return false;
    }
    if (topic == statusTopic_) statusMid_ = mid;
    return true;
}

void Link::subscribe(const std::string &topic) {
    // The retain flag as the sender set it, also on messages delivered live:
    // a retained command is then refused the first time as well, not only
    // when the broker hands it out again at a later connection.
    if (state_ == State::Up)
        mosquitto_subscribe_v5(m_, nullptr, topic.c_str(), s_.qos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                               nullptr);
}

void Link::close(int waitMs) {
    closing_ = true;
    if (state_ == State::Up) {
        statusAcked_ = false;
        statusMid_ = -1;
        publish(statusTopic_, "offline", true);
        const int fd = mosquitto_socket(m_);
        for (int waited = 0; state_ == State::Up && !statusAcked_ && waited < waitMs;
             waited += 10) {
            pollfd p{fd, static_cast<short>(POLLIN | (mosquitto_want_write(m_) ? POLLOUT : 0)),
                     0};
            poll(&p, 1, 10);
            int rc = MOSQ_ERR_SUCCESS;
            if (p.revents & POLLOUT) rc = mosquitto_loop_write(m_, 1);
            if (rc == MOSQ_ERR_SUCCESS && (p.revents & (POLLIN | POLLERR | POLLHUP)))
                rc = mosquitto_loop_read(m_, 1);
            if (rc != MOSQ_ERR_SUCCESS) break;
        }
        if (m_ != nullptr && state_ == State::Up) {
            mosquitto_disconnect_v5(m_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
            for (int i = 0; i < 100 && mosquitto_want_write(m_); ++i) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 10);
                if (mosquitto_loop_write(m_, 1) != MOSQ_ERR_SUCCESS) break;
            }
        }
    }
    state_ = State::Down;
    drop();
}

void Link::onConnect(struct mosquitto *, void *self, int rc, int, const mosquitto_property *) {
    auto *l = static_cast<Link *>(self);
    const long long now = nowMs();
    if (rc != 0) {
        l->lost(std::string("refused: ") + mosquitto_reason_string(rc), now);
        return;
    }
    l->state_ = State::Up;
    l->delayS_ = 1;
    l->saidDown_ = false;
    std::printf("zuqmqtt: connected to broker %s:%d as %s\n", l->s_.host.c_str(), l->s_.port,
                l->s_.clientId.c_str());
    std::fflush(stdout);
    if (l->onConnected_) l->onConnected_();
}

void Link::onDisconnect(struct mosquitto *, void *self, int rc, const mosquitto_property *) {
    auto *l = static_cast<Link *>(self);
    const long long now = nowMs();
    l->lost(rc == 0 ? "disconnected" : mosquitto_reason_string(rc), now);
}

void Link::onPublish(struct mosquitto *, void *self, int mid, int, const mosquitto_property *) {
    auto *l = static_cast<Link *>(self);
    if (l->backlog_ > 0) --l->backlog_;
    if (mid == l->statusMid_) l->statusAcked_ = true;
}

void Link::onMessage(struct mosquitto *, void *self, const struct mosquitto_message *m,
                     const mosquitto_property *) {
    auto *l = static_cast<Link *>(self);
    if (l->onMessage_ && m != nullptr && m->topic != nullptr)
        l->onMessage_(m->topic, m->payload, m->payloadlen, m->retain);
}

void Link::onLog(struct mosquitto *, void *self, int level, const char *text) {
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) != 0 && text != nullptr)
        static_cast<Link *>(self)->lastLibraryError_ = std::string(text).substr(0, 300);
}

}  // namespace zuqmqtt

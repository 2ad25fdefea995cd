// zuqmqtt on rkboard-sim behind pellora, with a mosquitto broker of its own
// on a free loopback port, all started here:
//  1. a board input change until a subscriber has it, at refresh intervals
//     20 and 100 ms (target: p99 within one interval and 10 ms);
//  2. a full republish of the largest layout (board 0C25), messages per
//     second at the subscriber (median of 10 bursts), against mosquitto_pub -l
//     publishing the same payloads, retained at QoS 1, to the same broker in
//     the same run (one topic per burst: -l takes one) (target >= 1.0x);
//  3. idle and connected, at the server's default interval (100 ms) and at
//     20 ms: processor time (target under 0.5% of a core) and resident memory
//     against mosquitto_sub on the same broker (target at most 1.5x);
//  4. a fleet: BENCH_FLEET (default 20) bridges, each with its own board,
//     server and region, to one broker: every change of every board
//     delivered, no connection lost.
#ifndef HAVE_MOSQUITTO
#include <cstdio>
int main() {
    std::puts("libmosquitto not found: zuqmqtt is not built");
    return 0;
}
#else
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "pellora_rig.h"

namespace {

using bench::monoUs;
using bench::waitFor;

int freePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &out) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    if (!waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
}

struct Broker {
    explicit Broker(const std::string &dir) : port(freePort()) {
        const std::string conf = dir + "/broker.conf";
        std::FILE *f = std::fopen(conf.c_str(), "w");
        std::fprintf(f, "listener %d 127.0.0.1\nallow_anonymous true\nmax_queued_messages 100000\n",
                     port);
        std::fclose(f);
        pid = spawn({"/usr/sbin/mosquitto", "-c", conf}, {}, dir + "/broker.out");
        waitFor([&] {
            return bench::slurp(dir + "/broker.out").find("listen socket") != std::string::npos;
        });
    }
    ~Broker() { stop(pid); }
    int port;
    pid_t pid;
};

// A subscriber in this process: every message with the time it came.
struct Subscriber {
    struct Msg {
        std::string topic, payload;
        long long us;
    };
    Subscriber(int port, const std::string &topic) {
        m = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(m, [](mosquitto *, void *self, const mosquitto_message *msg) {
            auto *s = static_cast<Subscriber *>(self);
            std::lock_guard<std::mutex> g(s->lock);
            s->msgs.push_back({msg->topic, std::string(static_cast<const char *>(msg->payload),
                                                       static_cast<size_t>(msg->payloadlen)),
                               monoUs()});
        });
        mosquitto_connect(m, "127.0.0.1", port, 30);
        mosquitto_subscribe(m, nullptr, topic.c_str(), 1);
        mosquitto_loop_start(m);
    }
    ~Subscriber() {
        mosquitto_disconnect(m);
        mosquitto_loop_stop(m, true);
        mosquitto_destroy(m);
    }
    std::vector<Msg> taken() {
        std::lock_guard<std::mutex> g(lock);
        return msgs;
    }
    size_t count(const std::string &topic, const std::string &payload) {
        std::lock_guard<std::mutex> g(lock);
        return static_cast<size_t>(std::count_if(msgs.begin(), msgs.end(), [&](const Msg &x) {
            return x.topic == topic && x.payload == payload;
        }));
    }
    mosquitto *m;
    std::mutex lock;
    std::vector<Msg> msgs;
};

pid_t startBridge(const bench::Rig &rig, int port, const std::string &base,
                  std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {std::string(FIELDBUS_BIN_DIR) + "/zuqmqtt", "-h", "127.0.0.1",
                                     "-p", std::to_string(port), "-t", base, "-i", base};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return spawn(argv, {"PELLORA_SHM_NAME=" + rig.shmName()}, rig.path("mqtt.out"));
}

long long cpuTicks(pid_t pid) {
    const std::string stat = bench::slurp("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream in(stat.substr(close + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) in >> skip;
    long long utime = 0, stime = 0;
    in >> utime >> stime;
    return utime + stime;
}

long rssKb(pid_t pid) {
    const std::string s = bench::slurp("/proc/" + std::to_string(pid) + "/status");
    const auto at = s.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(s.c_str() + at + 6);
}

long long percentile(std::vector<long long> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void latency(int interval) {
    bench::Rig rig;
    if (!rig.start("0C2A", false, interval)) return;
    Broker broker(rig.path(""));
    Subscriber sub(broker.port, "lat/di/33");
    const pid_t bridge = startBridge(rig, broker.port, "lat");
    if (!waitFor([&] { return sub.count("lat/di/33", "0") > 0; })) {
        std::puts("latency: the bridge published nothing");
        stop(bridge);
        return;
    }
    std::vector<long long> us;
    for (int i = 1; i <= 60; ++i) {
        const std::string v = std::to_string(i % 2);
        const size_t before = sub.count("lat/di/33", v);
        const long long t0 = monoUs();
        rig.boardCommand("set di 33 " + v);
        if (!waitFor([&] { return sub.count("lat/di/33", v) > before; }, 5000)) continue;
        us.push_back(sub.taken().back().us - t0);
        usleep(static_cast<useconds_t>((37 * i % interval) * 1000));  // at any point of a cycle
    }
    stop(bridge);
    std::printf("1. input change to subscriber, interval %d ms: %zu changes, p50 %.1f ms, "
                "p99 %.1f ms, max %.1f ms (target p99 <= %d ms)\n",
                interval, us.size(), percentile(us, 0.5) / 1000.0, percentile(us, 0.99) / 1000.0,
                percentile(us, 1.0) / 1000.0, interval + 10);
}

void republishAndIdle() {
    bench::Rig rig;
    if (!rig.start("0C25", false, 20)) return;
    Broker broker(rig.path(""));
    Subscriber sub(broker.port, "rep/#");
    const pid_t bridge = startBridge(rig, broker.port, "rep", {"-r", "1"});
    // Bursts of the bridge's periodic republish: first to last point.
    waitFor([&] { return sub.taken().size() > 10; });
    sleep(11);
    // The median over the bursts of messages per second, first to last
    // message of a burst (a single burst is a millisecond or so: one
    // preempted process would decide an average).
    auto bursts = [](const std::vector<Subscriber::Msg> &msgs, const std::string &prefix) {
        std::vector<long long> rates;
        for (size_t i = 0; i < msgs.size();) {
            size_t j = i;
            while (j + 1 < msgs.size() && msgs[j + 1].us - msgs[j].us < 200000) ++j;
            long long n = 0;
            for (size_t k = i; k <= j; ++k) n += msgs[k].topic.rfind(prefix, 0) == 0;
            if (n > 1 && msgs[j].us > msgs[i].us)
                rates.push_back((n - 1) * 1000000 / (msgs[j].us - msgs[i].us));
            i = j + 1;
        }
        return static_cast<double>(percentile(rates, 0.5));
    };
    std::vector<Subscriber::Msg> msgs;
    for (const auto &m : sub.taken())
        if (m.topic.find("/health") == std::string::npos && m.topic.find("/status") == std::string::npos)
            msgs.push_back(m);
    const double bridgeRate = bursts(msgs, "rep/");
    // The same topics and payloads through mosquitto_pub -l (one topic per
    // process: -l takes one topic), bursts of the same size.
    std::vector<std::pair<std::string, std::string>> points;
    for (size_t i = 0; i < msgs.size() && points.size() < 32; ++i) {
        bool seen = false;
        for (const auto &p : points) seen = seen || p.first == msgs[i].topic;
        if (!seen) points.push_back({msgs[i].topic, msgs[i].payload});
    }
    Subscriber peer(broker.port, "peer/#");
    for (int round = 0; round < 10; ++round) {
        std::string lines;
        for (size_t i = 0; i < points.size(); ++i) lines += points[i].second + "\n";
        const std::string file = rig.path("lines");
        std::FILE *f = std::fopen(file.c_str(), "w");
        std::fputs(lines.c_str(), f);
        std::fclose(f);
        std::system(("/usr/bin/mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.port) +
                     " -q 1 -r -t peer/" + std::to_string(round) + " -l <" + file)
                        .c_str());
        usleep(500000);
    }
    const double peerRate = bursts(peer.taken(), "peer/");
    std::printf("2. full republish of board 0C25 (%zu points): %.0f messages/s, mosquitto_pub -l "
                "%.0f messages/s, ratio %.2f (target >= 1.0)\n",
                points.size(), bridgeRate, peerRate, peerRate > 0 ? bridgeRate / peerRate : 0.0);
    stop(bridge);
}

void idle(int interval) {
    bench::Rig rig;
    if (!rig.start("0C2A", false, interval)) return;
    Broker broker(rig.path(""));
    // No changes, connected, no periodic republish.
    const pid_t idle = startBridge(rig, broker.port, "idle");
    const pid_t subPid = spawn({"/usr/bin/mosquitto_sub", "-h", "127.0.0.1", "-p",
                                std::to_string(broker.port), "-t", "idle/#"},
                               {}, rig.path("sub.out"));
    sleep(2);
    const long long t0 = cpuTicks(idle), w0 = monoUs();
    sleep(10);
    const long long t1 = cpuTicks(idle), w1 = monoUs();
    const double cpu = 100.0 * static_cast<double>(t1 - t0) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
                       (static_cast<double>(w1 - w0) / 1e6);
    const long rb = rssKb(idle), rs = rssKb(subPid);
    std::printf("3. idle and connected, interval %d ms: %.2f%% of a core (target < 0.5%%); "
                "resident %ld kB, mosquitto_sub %ld kB, ratio %.2f (target <= 1.5)\n",
                interval, cpu, rb, rs, rs > 0 ? static_cast<double>(rb) / static_cast<double>(rs) : 0.0);
    stop(subPid);
    stop(idle);
}

void fleet(int n) {
    std::vector<std::unique_ptr<bench::Rig>> rigs;
    for (int i = 0; i < n; ++i) {
        rigs.push_back(std::make_unique<bench::Rig>());
        if (!rigs.back()->start("0C2A", false, 100)) return;
    }
    Broker broker(rigs[0]->path(""));
    Subscriber sub(broker.port, "fleet/+/di/33");
    std::vector<pid_t> bridges;
    for (int i = 0; i < n; ++i)
        bridges.push_back(startBridge(*rigs[static_cast<size_t>(i)], broker.port,
                                      "fleet/" + std::to_string(i)));
    waitFor([&] { return sub.taken().size() >= static_cast<size_t>(n); }, 30000);
    const int changes = 10;
    for (int c = 1; c <= changes; ++c) {
        for (auto &r : rigs) r->boardCommand("set di 33 " + std::to_string(c % 2));
        usleep(300000);  // longer than a cycle: each value is a change of its own
    }
    waitFor([&] { return sub.taken().size() >= static_cast<size_t>(n * (changes + 1)); }, 10000);
    int delivered = 0, lost = 0;
    for (int i = 0; i < n; ++i) {
        const std::string topic = "fleet/" + std::to_string(i) + "/di/33";
        delivered += static_cast<int>(sub.count(topic, "1") + sub.count(topic, "0")) - 1;
        stop(bridges[static_cast<size_t>(i)]);
        const std::string out = bench::slurp(rigs[static_cast<size_t>(i)]->path("mqtt.out"));
        lost += out.find(" lost") != std::string::npos;
    }
    std::printf("4. fleet of %d bridges: %d of %d changes delivered, %d connections lost "
                "(target: all, 0)\n",
                n, delivered, n * changes, lost);
}

}  // namespace

int main(int argc, char **argv) {
    if (access("/usr/sbin/mosquitto", X_OK) != 0 || access("/usr/bin/mosquitto_pub", X_OK) != 0) {
        std::puts("mosquitto and mosquitto-clients are needed");
        return 0;
    }
    mosquitto_lib_init();
    const std::string only = argc > 1 ? argv[1] : "";
    if (only.empty() || only == "latency") {
        latency(20);
        latency(100);
    }
    if (only.empty() || only == "republish") republishAndIdle();
    if (only.empty() || only == "idle") {
        idle(100);  // the server's default
        idle(20);
    }
    if (only.empty() || only == "fleet") {
        const char *env = std::getenv("BENCH_FLEET");
        fleet(env != nullptr ? std::max(1, std::atoi(env)) : 20);
    }
    mosquitto_lib_cleanup();
    return 0;
}
#endif

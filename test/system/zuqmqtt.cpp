// zuqmqtt between pellora on rkboard-sim (the gateway's rig) and a real
// mosquitto broker on a free loopback port, with mosquitto_sub and
// mosquitto_pub as the peers: the board's points on the broker, writes that
// reach the board only through the request slot, payloads and commands that
// must be refused, the broker killed and started again, a server restart,
// a flood of writes, credentials and TLS.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "zuqgate_rig.h"

namespace {

const char *const kBroker = "/usr/sbin/mosquitto";
const char *const kSub = "/usr/bin/mosquitto_sub";
const char *const kPub = "/usr/bin/mosquitto_pub";
const std::string kBase = "fb/test";

bool peersMissing() {
    return !fbtest::fileExists(fbtest::programPath("zuqmqtt")) || access(kBroker, X_OK) != 0 ||
           access(kSub, X_OK) != 0 || access(kPub, X_OK) != 0;
}
#define SKIP_WITHOUT_PEERS()                                                              \
    if (peersMissing())                                                                   \
    GTEST_SKIP() << "zuqmqtt (libmosquitto-dev, nlohmann-json3-dev) or mosquitto and its " \
                    "clients missing: scripts/deps.sh installs them"

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

bool accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// mosquitto on 127.0.0.1:port, with `extra` configuration lines.
struct Broker : fbtest::Process {
    bool start(const fbtest::TestNames &names, int p, const std::string &extra = "") {
        port = p;
        const std::string conf = names.path("broker-" + std::to_string(p) + ".conf");
        // As root, the broker would become the user mosquitto and could not
        // read the test's files.
        std::ofstream(conf) << "listener " << p << " 127.0.0.1\n"
                            << (geteuid() == 0 ? "user root\n" : "")
                            << "max_queued_messages 5000\n"
                            << (extra.empty() ? "allow_anonymous true\n" : extra);
        return Process::start(kBroker, {"-c", conf}) &&
               fbtest::waitUntil([&] { return accepts(p); });
    }
    int port = 0;
};

std::string runPub(int port, const std::vector<std::string> &args, const std::string &input = "") {
    fbtest::Process p;
    std::vector<std::string> a = {"-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1"};
    a.insert(a.end(), args.begin(), args.end());
    if (!p.start(kPub, a)) return "not started";
    if (!input.empty()) p.writeStdin(input);
    p.closeStdin();
    p.wait(20000);
    return p.err();
}

// A subscriber to everything under the base: "topic payload" lines.
struct Sub : fbtest::Process {
    bool start(int port, const std::string &topic = kBase + "/#") {
        return Process::start(kSub, {"-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1",
                                     "-v", "-t", topic});
    }
    bool saw(const std::string &line, int timeoutMs = 10000) {
        return waitForOutput(line + "\n", timeoutMs);
    }
};

struct Bridge : fbtest::Process {
    bool start(const fbtest::TestNames &names, int port, std::vector<std::string> args = {},
               std::vector<std::string> env = {}) {
        args.insert(args.begin(), {"-h", "127.0.0.1", "-p", std::to_string(port), "-t", kBase});
        env.push_back("PELLORA_SHM_NAME=" + names.shmName);
        return Process::start(fbtest::programPath("zuqmqtt"), args, env);
    }
};

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(Zuqmqtt, PublishesTheBoardAndCarriesConfirmedWrites) {
    SKIP_WITHOUT_PEERS();
    gatetest::GateRig g("mqttmap");
    Broker broker;
    ASSERT_TRUE(broker.start(g.names, freePort()));
    Sub discovery;
    ASSERT_TRUE(discovery.start(broker.port, "ha/#"));
    Bridge bridge;
    ASSERT_TRUE(bridge.start(g.names, broker.port, {"--ha-discovery", "ha"}));
    ASSERT_TRUE(bridge.waitForOutput("connected to broker"));
    Sub sub;
    ASSERT_TRUE(sub.start(broker.port));
    // Every point of the board's image, retained, as the rig set them.
    for (const char *line :
         {"status online", "di/32 1", "di/33 0", "di/34 1", "di/35 1", "coil/0 1", "coil/3 1",
          "ir/0 4660", "ir/3 57072", "hr/32 258", "hr/33 772", "dword/128 2863315899"})
        EXPECT_TRUE(sub.saw(kBase + "/" + line)) << line << "\n" << sub.out();
    ASSERT_EQ(g.board.command("set di 33 1"), "ok");
    EXPECT_TRUE(sub.saw(kBase + "/di/33 1"));
    // A discovery config for each of the 18 points, a switch commanding its coil.
    EXPECT_TRUE(fbtest::waitUntil([&] { return count(discovery.out(), "/config {") == 18; }))
        << discovery.out();
    const std::string out = discovery.out();
    const auto coil = out.find("ha/switch/fb_test/coil_1/config {");
    ASSERT_NE(coil, std::string::npos) << out;
    EXPECT_NE(out.find("\"command_topic\":\"fb/test/coil/1/set\"", coil), std::string::npos);
    EXPECT_NE(out.find("\"availability_topic\":\"fb/test/status\"", coil), std::string::npos);
    EXPECT_NE(out.find("ha/number/fb_test/hr_33/config {"), std::string::npos);

    // Writes: on the board, and the point published as read back.
    runPub(broker.port, {"-t", kBase + "/coil/1/set", "-m", "on"});
    EXPECT_TRUE(sub.saw(kBase + "/coil/1 1"));
    EXPECT_EQ(g.board.command("get coil 0 4"), "coil 0: 1 1 0 1");
    runPub(broker.port, {"-t", kBase + "/hr/33/set", "-m", "4660"});
    EXPECT_TRUE(sub.saw(kBase + "/hr/33 4660"));
    EXPECT_EQ(g.board.command("get hr 32 2"), "hr 32: 258 4660");

    // Refused, each with its reason on the error topic, nothing reaching
    // the board; a retained command is not carried out at all.
    struct Bad {
        const char *topic, *payload, *reason;
    };
    const Bad kBad[] = {{"coil/2/set", "2", "bad value for a coil"},
                        {"coil/2/set", "yes please", "bad value for a coil"},
                        {"coil/2/set", "", "bad value for a coil"},
                        {"hr/32/set", "65536", "bad value for a holding register"},
                        {"hr/32/set", "-1", "bad value for a holding register"},
                        {"hr/32/set", "1e3", "bad value for a holding register"},
                        {"hr/32/set", "00000000000000000001", "payload too long"},
                        {"coil/4/set", "1", "address outside the mirrored range"},
                        {"hr/31/set", "1", "address outside the mirrored range"},
                        {"coil/99999/set", "1", "bad address"},
                        {"coil/0x2/set", "1", "bad address"}};
    size_t errors = 0;
    for (const Bad &b : kBad) {
        runPub(broker.port, {"-t", kBase + "/" + b.topic, "-m", b.payload});
        EXPECT_TRUE(fbtest::waitUntil([&] { return count(sub.out(), kBase + "/error ") > errors; }));
        const std::string out = sub.out();
        EXPECT_NE(out.find("\"reason\":\"" + std::string(b.reason), out.rfind(kBase + "/error ")),
                  std::string::npos)
            << b.topic << " " << b.payload << "\n" << out.substr(out.rfind(kBase + "/error "));
        errors = count(out, kBase + "/error ");
    }
    std::string big(40000, 'x');
    big[7] = '\xff';  // not UTF-8 either
    runPub(broker.port, {"-t", kBase + "/coil/2/set", "-m", big});
    EXPECT_TRUE(sub.waitForOutput("payload too long\",\"topic\"")) << sub.out();
    runPub(broker.port, {"-r", "-t", kBase + "/coil/2/set", "-m", "1"});
    EXPECT_TRUE(bridge.waitForOutput("ignored a retained message on " + kBase + "/coil/2/set"));
    runPub(broker.port, {"-t", kBase + "/coil/3/set", "-m", "off"});  // a write after them all
    EXPECT_TRUE(sub.saw(kBase + "/coil/3 0"));
    EXPECT_EQ(g.board.command("get coil 0 4"), "coil 0: 1 1 0 0");
    EXPECT_EQ(g.board.command("get hr 32 2"), "hr 32: 258 4660");
    runPub(broker.port, {"-r", "-t", kBase + "/coil/2/set", "-n"});  // the retained one goes

    bridge.signal(SIGTERM);
    EXPECT_TRUE(sub.saw(kBase + "/status offline"));
    ASSERT_NE(bridge.wait(), -1);
    EXPECT_EQ(bridge.exitCode(), 0);
    EXPECT_EQ(count(bridge.out(), "lost"), 0u) << bridge.out();
}

// A register is published when it moved by its kind's deadband from the
// value last published, and every point again every REPUBLISH_S.
TEST(Zuqmqtt, DeadbandAndPeriodicRepublish) {
    SKIP_WITHOUT_PEERS();
    gatetest::GateRig g("mqttdeadband");
    Broker broker;
    ASSERT_TRUE(broker.start(g.names, freePort()));
    const std::string conf = g.names.path("bridge.conf");
    std::ofstream(conf) << "deadband-ir 10\n  # the others stay 0\nrepublish 1\n";
    Bridge bridge;
    ASSERT_TRUE(bridge.start(g.names, broker.port, {"-c", conf}));
    Sub sub;
    ASSERT_TRUE(sub.start(broker.port));
    ASSERT_TRUE(sub.saw(kBase + "/ir/0 4660"));
    // di 33 changes after ir 0: once it is published, so has been every
    // snapshot holding 4665.
    ASSERT_EQ(g.board.command("set ir 0 4665"), "ok");
    ASSERT_EQ(g.board.command("set di 33 1"), "ok");
    ASSERT_TRUE(sub.saw(kBase + "/di/33 1"));
    ASSERT_EQ(g.board.command("set ir 0 4671"), "ok");
    EXPECT_TRUE(sub.saw(kBase + "/ir/0 4671"));
    EXPECT_EQ(count(sub.out(), kBase + "/ir/0 4665"), 0u);
    // Unchanged points come again with the periodic republish.
    EXPECT_TRUE(fbtest::waitUntil([&] { return count(sub.out(), kBase + "/ir/1 22136\n") >= 3; },
                                  15000));
}

TEST(Zuqmqtt, FollowsTheBrokerAndTheServerThroughRestartsAndLeavesItsWill) {
    SKIP_WITHOUT_PEERS();
    gatetest::GateRig g("mqttrestart");
    auto broker = std::make_unique<Broker>();
    const int port = freePort();
    ASSERT_TRUE(broker->start(g.names, port));
    Bridge bridge;
    ASSERT_TRUE(bridge.start(g.names, port));
    ASSERT_TRUE(bridge.waitForOutput("connected to broker"));
    bridge.signal(SIGHUP);  // its session ending: a daemon goes on

    // The broker dies; the board changes while it is away; once it is back
    // the bridge reconnects on its own and the broker holds the new image.
    broker->signal(SIGKILL);
    broker->wait();
    ASSERT_TRUE(bridge.waitForOutput("lost"));
    ASSERT_EQ(g.board.command("set di 32 0"), "ok");
    ASSERT_EQ(g.board.command("set ir 2 777"), "ok");
    sleep(4);  // several attempts, each one refused
    broker = std::make_unique<Broker>();
    ASSERT_TRUE(broker->start(g.names, port));
    ASSERT_TRUE(fbtest::waitUntil([&] { return count(bridge.out(), "connected to broker") == 2; },
                                  70000));
    Sub sub;
    ASSERT_TRUE(sub.start(port));
    EXPECT_TRUE(sub.saw(kBase + "/status online"));
    EXPECT_TRUE(sub.saw(kBase + "/di/32 0"));
    EXPECT_TRUE(sub.saw(kBase + "/ir/2 777"));
    // One line for the loss, none for each refused attempt.
    EXPECT_EQ(count(bridge.out(), "trying again"), 1u) << bridge.out();

    // A new server under the same region name: followed, and writes reach
    // the board through it.
    EXPECT_EQ(g.server->stop(), 0);
    EXPECT_TRUE(bridge.waitForOutput("gone, waiting for it"));
    EXPECT_TRUE(sub.waitForOutput("\"state\":\"no server\""));
    fbtest::Server server;
    ASSERT_TRUE(server.start(g.names, {"-i", "20"}));
    ASSERT_TRUE(server.waitReady());
    EXPECT_TRUE(bridge.waitForOutput("mapped"));
    EXPECT_TRUE(fbtest::waitUntil([&] {
        runPub(port, {"-t", kBase + "/hr/32/set", "-m", "31337"});
        return g.board.command("get hr 32") == "hr 32: 31337";
    }, 20000));
    EXPECT_TRUE(sub.saw(kBase + "/hr/32 31337"));

    // Killed outright: the broker says "offline" for it.
    bridge.signal(SIGKILL);
    EXPECT_TRUE(sub.saw(kBase + "/status offline", 90000)) << sub.out();
}

TEST(Zuqmqtt, FloodOfWritesIsCarriedInOrderWithinBoundedMemory) {
    SKIP_WITHOUT_PEERS();
    gatetest::GateRig g("mqttflood");
    Broker broker;
    ASSERT_TRUE(broker.start(g.names, freePort()));
    Bridge bridge;
    ASSERT_TRUE(bridge.start(g.names, broker.port));
    ASSERT_TRUE(bridge.waitForOutput("connected to broker"));
    Sub errors;
    ASSERT_TRUE(errors.start(broker.port, kBase + "/error"));
    sleep(1);  // subscribed before the flood
    const int n = 1000;
    std::string lines;
    for (int v = 1; v <= n; ++v) lines += std::to_string(v) + "\n";
    runPub(broker.port, {"-t", kBase + "/hr/33/set", "-l"}, lines);
    // Each write is either carried out or refused on the error topic, and
    // those carried out reached the board in the order sent: the board ends
    // with the last one not refused.
    std::set<int> refused;
    int last = 0;
    ASSERT_TRUE(fbtest::waitUntil([&] {
        refused.clear();
        static const std::regex kPayload("\"payload\":\"([0-9]+)\"");
        const std::string out = errors.out();
        for (std::sregex_iterator it(out.begin(), out.end(), kPayload), end; it != end; ++it)
            refused.insert(std::stoi((*it)[1]));
        last = n;
        while (last > 0 && refused.count(last) != 0) --last;
        return g.board.command("get hr 33") == "hr 33: " + std::to_string(last);
    }, 60000)) << refused.size() << " refused, last accepted " << last << ", board "
               << g.board.command("get hr 33");
    EXPECT_LT(refused.size(), static_cast<size_t>(n));
    // Each one carried out was a write of its own on the board's line, none
    // merged into another on the way.
    size_t sent = 0;
    for (const fbtest::TraceEntry &e : g.board.trace())
        sent += e.function == 16 && e.address <= 33 && 33 < e.address + e.count && e.outcome == "ok";
    EXPECT_GE(sent, n - refused.size());
    std::printf("%zu of %d writes refused, %zu register writes on the board\n", refused.size(), n,
                sent);
    const std::string status = fbtest::readFile("/proc/" + std::to_string(bridge.pid()) + "/status");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(status, m, std::regex("VmHWM:\\s+([0-9]+) kB")));
    EXPECT_LT(std::stol(m[1]), 40000) << "peak resident kB";
}

TEST(Zuqmqtt, CredentialsAndTls) {
    SKIP_WITHOUT_PEERS();
    if (access("/usr/bin/openssl", X_OK) != 0 || access("/usr/bin/mosquitto_passwd", X_OK) != 0)
        GTEST_SKIP() << "openssl or mosquitto_passwd missing";
    gatetest::GateRig g("mqttauth");
    const std::string d = g.names.dir;
    // A password in a file others may read: refused before anything else.
    const std::string conf = d + "/bridge.conf";
    std::ofstream(conf) << "# test\nusername plant\npassword s3cret#1\n";
    chmod(conf.c_str(), 0644);
    Bridge refused;
    ASSERT_TRUE(refused.start(g.names, 1, {"-c", conf}));
    ASSERT_NE(refused.wait(), -1);
    EXPECT_EQ(refused.exitCode(), 2);
    EXPECT_NE(refused.err().find("readable by others"), std::string::npos) << refused.err();

    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + d + "/pw plant 's3cret#1' >/dev/null 2>&1").c_str()), 0);
    Broker locked;
    ASSERT_TRUE(locked.start(g.names, freePort(), "allow_anonymous false\npassword_file " + d + "/pw\n"));
    chmod(conf.c_str(), 0600);
    Bridge fromFile;
    ASSERT_TRUE(fromFile.start(g.names, locked.port, {"-c", conf}));
    EXPECT_TRUE(fromFile.waitForOutput("connected to broker"));
    Bridge wrong;  // the environment's credentials take the file's place
    ASSERT_TRUE(wrong.start(g.names, locked.port, {"-c", conf, "-i", "other"},
                            {"MQTT_USERNAME=plant", "MQTT_PASSWORD=wrong"}));
    EXPECT_TRUE(wrong.waitForOutput("refused: "));
    EXPECT_EQ(count(wrong.out(), "connected to broker"), 0u);

    // TLS with a CA made here: the right CA connects, another is refused
    // with the reason.
    const std::string ssl =
        "cd " + d + " && for ca in ca other; do openssl req -x509 -newkey rsa:2048 -nodes "
        "-keyout $ca.key -out $ca.crt -days 2 -subj /CN=$ca || exit 1; done && "
        "openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=127.0.0.1 && "
        "printf 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1\\n' >ext && "
        "openssl x509 -req -in srv.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out srv.crt "
        "-days 2 -extfile ext";
    ASSERT_EQ(std::system(("(" + ssl + ") >/dev/null 2>&1").c_str()), 0);
    Broker tls;
    ASSERT_TRUE(tls.start(g.names, freePort(),
                          "allow_anonymous true\ncafile " + d + "/ca.crt\ncertfile " + d +
                              "/srv.crt\nkeyfile " + d + "/srv.key\n"));
    Bridge good, bad;
    ASSERT_TRUE(good.start(g.names, tls.port, {"--cafile", d + "/ca.crt", "-i", "good"}));
    ASSERT_TRUE(bad.start(g.names, tls.port, {"--cafile", d + "/other.crt", "-i", "bad"}));
    EXPECT_TRUE(good.waitForOutput("connected to broker"));
    EXPECT_TRUE(bad.waitForOutput("certificate verify failed")) << bad.out();
    EXPECT_EQ(count(bad.out(), "connected to broker"), 0u);
}

}  // namespace

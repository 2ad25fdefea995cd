// zuqweb in front of pellora and rkboard-sim, with curl as the client: the
// JSON and the metrics of a known board, the event stream's snapshot and
// changes across a server restart, the refusals, and writes behind a
// password.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "zuqweb_rig.h"

namespace {

using gatetest::GateRig;
using webtest::json;
using webtest::pointValue;
using webtest::Web;

#define NEED_ZUQWEB()                                                                    \
    if (!fbtest::fileExists(fbtest::programPath("zuqweb")) || !webtest::haveProgram("curl")) \
    GTEST_SKIP() << "zuqweb is not built (no libcivetweb-dev) or curl is missing"

// A passwords file as the man page makes one: USER:REALM:MD5(USER:REALM:PASSWORD).
std::string passwords(const fbtest::TestNames &names, const std::string &user,
                      const std::string &password) {
    const std::string hash = webtest::run("printf '%s' '" + user + ":zuqweb:" + password +
                                          "' | md5sum | cut -d' ' -f1");
    const std::string path = names.path("passwords");
    std::ofstream(path) << user << ":zuqweb:" << hash;
    return path;
}

// The board's values reach the page's JSON, the health its status, and the
// metrics are what Prometheus reads.
TEST(Zuqweb, PointsStatusAndMetricsOfTheBoard) {
    NEED_ZUQWEB();
    GateRig g("webpoints");
    Web web;
    ASSERT_TRUE(web.start(g.names));
    json points;
    ASSERT_TRUE(fbtest::waitUntil([&] {
        points = web.http("/api/points").j();
        return pointValue(points, "ir32", 128) == 0xAAAABBBB;
    })) << points.dump();
    EXPECT_EQ(pointValue(points, "di", 32), 1);
    EXPECT_EQ(pointValue(points, "di", 33), 0);
    EXPECT_EQ(pointValue(points, "di", 35), 1);
    EXPECT_EQ(pointValue(points, "ir", 2), 0x9ABC);
    EXPECT_EQ(points["ir32"][1]["address"], 130);  // two registers each
    EXPECT_EQ(points["coil"].size(), 4u);
    EXPECT_EQ(points["hr"].size(), 2u);
    EXPECT_EQ(pointValue(points, "hr", 33), pointValue(points, "hr", 33, "readback"));

    const json status = web.http("/api/status").j();
    EXPECT_EQ(status["board"], "0C2A");
    EXPECT_EQ(status["state"], "cycling");
    EXPECT_EQ(status["layout"]["di"], (json{{"base", 32}, {"count", 4}}));
    EXPECT_EQ(status["layout"]["ir32"], (json{{"base", 128}, {"count", 4}}));
    EXPECT_EQ(status["failedReads"], 0);
    EXPECT_EQ(status["writes"], false);
    EXPECT_GT(status["cycles"].get<long long>(), 0);

    const Web::Answer metrics = web.http("/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("\nfieldbus_state{state=\"cycling\"} 1\n"), std::string::npos)
        << metrics.body;
    EXPECT_NE(metrics.body.find("fieldbus_board_info{board_id=\"0C2A\""), std::string::npos);
    EXPECT_NE(metrics.body.find("\nfieldbus_cycles_total "), std::string::npos);
    if (webtest::haveProgram("promtool")) {
        std::ofstream(g.names.path("metrics")) << metrics.body;
        // promtool prints nothing and ends with 0 for metrics it finds right.
        EXPECT_EQ(webtest::run("promtool check metrics < " + g.names.path("metrics") +
                               " 2>&1; echo rc=$?"),
                  "rc=0\n");
    } else {
        ADD_FAILURE() << "promtool (Debian's prometheus) is missing: scripts/deps.sh installs it";
    }
    // Read-only: a write is refused, and nothing reaches the board.
    const Web::Answer refused = web.post(R"({"kind":"coil","address":1,"value":1})");
    EXPECT_EQ(refused.status, 403) << refused.body;
    EXPECT_EQ(g.board.command("get coil 1"), "coil 1: 0");
    EXPECT_EQ(web.http("/nothing").status, 404);
    EXPECT_EQ(web.http("/metrics", "-X DELETE").status, 405);
}

// Waits for a server, shows a snapshot, then only what changed, and the
// server going and coming back.
TEST(Zuqweb, EventStreamFollowsChangesAndAServerRestart) {
    NEED_ZUQWEB();
    fbtest::TestNames names("webevents");
    Web web;
    ASSERT_TRUE(web.start(names));
    webtest::Events events(web.port);
    ASSERT_TRUE(events.ok);
    std::string name;
    json data;
    ASSERT_TRUE(events.next(&name, &data));
    EXPECT_EQ(events.status, "HTTP/1.1 200 OK");
    EXPECT_EQ(name, "snapshot");
    EXPECT_EQ(data["status"]["state"], "no server");

    fbtest::BoardSim board;
    ASSERT_TRUE(board.start(names, {"--board", "0C2A"}));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(board.command("set di 33 0"), "ok");
        fbtest::Server server;
        ASSERT_TRUE(server.start(names, {"-i", "20"}));
        ASSERT_TRUE(server.waitReady());
        // A new layout comes whole, with the board's values.
        EXPECT_TRUE(events.until([](const std::string &n, const json &d) {
            return n == "snapshot" && d["status"]["board"] == "0C2A" &&
                   pointValue(d["points"], "di", 33) == 0 && d["points"]["di"].size() == 4;
        }));
        ASSERT_EQ(board.command("set di 33 1"), "ok");
        // Then only the point that changed.
        EXPECT_TRUE(events.until([](const std::string &n, const json &d) {
            return n == "change" && d.contains("points") &&
                   d["points"] == json{{"di", {{{"address", 33}, {"value", 1}}}}};
        }));
        EXPECT_EQ(server.stop(), 0);
        EXPECT_TRUE(events.until([](const std::string &, const json &d) {
            return d.contains("status") && d["status"]["state"] == "no server";
        }));
    }
    // A reconnection (the browser sends the last id it saw) starts afresh.
    webtest::Events again(web.port, "Last-Event-ID: 7\r\n");
    ASSERT_TRUE(again.next(&name, &data));
    EXPECT_EQ(name, "snapshot");
    web.signal(SIGTERM);
    ASSERT_NE(web.wait(), -1);
    EXPECT_EQ(web.exitCode(), 0);
}

// --writes needs --auth; with both, a wrong or no password is refused, a
// malformed write too, and a good one reaches the board and is confirmed
// with the board's read-back.
TEST(Zuqweb, WritesOnlyWithAPassword) {
    NEED_ZUQWEB();
    GateRig g("webwrites");
    {
        Web bare;
        ASSERT_TRUE(bare.Process::start(fbtest::programPath("zuqweb"), {"--writes", "-p", "0"}));
        ASSERT_NE(bare.wait(), -1);
        EXPECT_EQ(bare.exitCode(), 2);
        EXPECT_NE(bare.err().find("--writes needs --auth"), std::string::npos) << bare.err();
    }
    const std::string file = passwords(g.names, "tech", "s3cret");
    Web web;
    ASSERT_TRUE(web.start(g.names, {"--auth", file, "--writes"}));
    const std::string good = "--digest -u tech:s3cret";
    EXPECT_EQ(web.http("/api/status").status, 401);
    EXPECT_EQ(web.http("/api/status", "--digest -u tech:wrong").status, 401);
    EXPECT_EQ(web.http("/", "--digest -u other:s3cret").status, 401);
    EXPECT_EQ(web.post(R"({"kind":"coil","address":1,"value":1})").status, 401);
    EXPECT_EQ(web.http("/metrics").status, 200);  // scrapers have no digest
    const json status = web.http("/api/status", good).j();
    EXPECT_EQ(status["writes"], true);
    EXPECT_TRUE(fbtest::waitUntil(
        [&] { return web.http("/api/status", good).j()["state"] == "cycling"; }));

    for (const char *bad : {R"({"kind":"di","address":33,"value":1})",
                            R"({"kind":"coil","address":1,"value":2})",
                            R"({"kind":"hr","address":32,"value":65536})",
                            R"({"kind":"hr","address":32.5,"value":1})", R"({"kind":"coil")",
                            R"(["coil",1,1])"}) {
        const Web::Answer a = web.post(bad, good);
        EXPECT_EQ(a.status, 400) << bad << " " << a.body;
    }
    EXPECT_EQ(web.post(R"({"kind":"coil","address":9,"value":1})", good).status, 404);
    const std::string big(5000, ' ');
    EXPECT_EQ(web.post(big + R"({"kind":"coil","address":1,"value":1})", good).status, 413);
    EXPECT_EQ(g.board.command("get coil 1"), "coil 1: 0") << "a refused write reached the board";

    const Web::Answer coil = web.post(R"({"kind":"coil","address":1,"value":1})", good);
    EXPECT_EQ(coil.status, 200) << coil.body;
    EXPECT_EQ(coil.j()["readback"], 1);
    EXPECT_EQ(g.board.command("get coil 1"), "coil 1: 1");
    const Web::Answer hr = web.post(R"({"kind":"hr","address":33,"value":4660})", good);
    EXPECT_EQ(hr.status, 200) << hr.body;
    EXPECT_EQ(hr.j()["readback"], 4660);
    EXPECT_EQ(g.board.command("get hr 33"), "hr 33: 4660");
}

// Clients beyond -c get 503 while the others are served; a place freed is
// taken again.
TEST(Zuqweb, ClientsBeyondTheLimitAreTurnedAway) {
    NEED_ZUQWEB();
    fbtest::TestNames names("webclients");
    Web web;
    ASSERT_TRUE(web.start(names, {"-c", "2"}));
    std::string name;
    json data;
    auto first = std::make_unique<webtest::Events>(web.port);
    webtest::Events second(web.port);
    ASSERT_TRUE(first->next(&name, &data));
    ASSERT_TRUE(second.next(&name, &data));
    const Web::Answer beyond = web.http("/api/status");
    EXPECT_EQ(beyond.status, 503) << beyond.body;
    webtest::Events third(web.port);
    EXPECT_FALSE(third.next(&name, &data, 2000));
    EXPECT_NE(third.status.find(" 503 "), std::string::npos) << third.status;
    first.reset();  // a vanished reader: its place is given back
    EXPECT_TRUE(fbtest::waitUntil([&] { return web.http("/api/status").status == 200; }, 10000));
}

}  // namespace

namespace {

// The page in a real browser, with a password: the board's values, a change
// on the board arriving without a reload, a coil toggled from the page that
// the board then drives. The screenshot is kept in the build tree.
TEST(Zuqweb, PageInAHeadlessBrowser) {
    NEED_ZUQWEB();
    if (!webtest::haveProgram("chromium") || !webtest::haveProgram("chromedriver"))
        GTEST_SKIP() << "no chromium or chromedriver (Debian's chromium, chromium-driver)";
    GateRig g("webpage");
    const std::string file = passwords(g.names, "tech", "s3cret");
    Web web;
    ASSERT_TRUE(web.start(g.names, {"--auth", file, "--writes"}));
    ASSERT_TRUE(fbtest::waitUntil([&] {
        return web.http("/api/points", "--digest -u tech:s3cret").j()["ir32"].size() == 4;
    }));
    const std::string artefacts = FIELDBUS_BIN_DIR "/../test-artefacts";
    const std::string shot = artefacts + "/zuqweb-page.png";
    ASSERT_EQ(webtest::run("mkdir -p " + artefacts + " && rm -f " + shot + "; echo ok"), "ok\n");
    fbtest::Process browser;
    ASSERT_TRUE(browser.start("/usr/bin/python3",
                              {FIELDBUS_SOURCE_DIR "/test/system/zuqweb_browser.py",
                               "http://127.0.0.1:" + std::to_string(web.port) + "/", "tech",
                               "s3cret", shot, g.names.path("profile")}));
    std::string line;
    ASSERT_TRUE(browser.readLine(&line, 60000)) << browser.err();
    if (line.rfind("nostart: ", 0) == 0) GTEST_SKIP() << "the browser cannot start here: " << line;
    ASSERT_EQ(line, "loaded") << browser.err();
    ASSERT_EQ(g.board.command("set di 33 1"), "ok");
    browser.writeStdin("changed\n");
    ASSERT_TRUE(browser.readLine(&line, 30000));
    ASSERT_EQ(line, "seen");
    ASSERT_TRUE(browser.readLine(&line, 30000));
    EXPECT_EQ(line, "toggled: coil 2 = 1: done, board has 1");
    EXPECT_EQ(g.board.command("get coil 2"), "coil 2: 1");
    ASSERT_TRUE(browser.readLine(&line, 30000));
    EXPECT_EQ(line, "shot");
    EXPECT_TRUE(fbtest::fileExists(shot));
    ASSERT_NE(browser.wait(30000), -1);
    EXPECT_EQ(browser.exitCode(), 0) << browser.err();
}

}  // namespace

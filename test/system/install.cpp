// Installing: `cmake --install` of this build into a scratch prefix, then a C
// application outside the tree built against what was installed, through
// pkg-config (shared and static) and through the CMake package, and run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "c_app.h"

namespace {

using fbtest::filesIn;
using fbtest::shq;
using Result = fbtest::ShellResult;

Result run(const std::string &command) {
    return fbtest::shell(command);
}

bool exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

class Installed : public testing::Test {
  protected:
    void SetUp() override {
        if (FIELDBUS_CROSS) GTEST_SKIP() << "an application for the target cannot run here";
        char tmpl[] = "/tmp/fieldbus-install-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        prefix = root_ + "/prefix";
        app = root_ + "/app";
        libdir = prefix + "/" FIELDBUS_INSTALL_LIBDIR;
        ASSERT_EQ(mkdir(app.c_str(), 0755), 0);

        const Result r = run(shq(FIELDBUS_CMAKE_COMMAND) + " --install " + shq(FIELDBUS_BUILD_DIR) +
                             " --prefix " + shq(prefix));
        ASSERT_EQ(r.status, 0) << r.output;
        std::ofstream(app + "/app.c")
            << fbtest::cAppSource(filesIn(prefix + "/include/fieldbus", ".h"));
    }
    void TearDown() override {
        if (!root_.empty()) run("rm -rf " + shq(root_));
    }

    // pkg-config sees only the installed fieldbus.pc.
    std::string pkgConfig(const std::string &args) const {
        return "$(PKG_CONFIG_LIBDIR=" + shq(libdir + "/pkgconfig") + " pkg-config " + args +
               " fieldbus)";
    }
    std::string cc() const { return shq(FIELDBUS_C_COMPILER) + " " FIELDBUS_APP_FLAGS; }
    // Runs a built application; the installed library is found through
    // LD_LIBRARY_PATH only.
    Result runApp(const std::string &exe) const {
        return run("LD_LIBRARY_PATH=" + shq(libdir) + " " + shq(exe));
    }
    bool needsSharedLibrary(const std::string &exe) const {
        return run("readelf -d " + shq(exe)).output.find("[libfieldbus.so") != std::string::npos;
    }

    std::string prefix, app, libdir;

  private:
    std::string root_;
};

TEST_F(Installed, PutsEveryPartInPlace) {
    const std::string man = prefix + "/" FIELDBUS_INSTALL_MANDIR "/man1/";
    for (const std::string &path :
         {prefix + "/bin/pellora", prefix + "/bin/quorvat", prefix + "/bin/rkboard-sim",
          libdir + "/libfieldbus.so", libdir + "/libfieldbus.a", libdir + "/pkgconfig/fieldbus.pc",
          libdir + "/cmake/fieldbus/fieldbusConfig.cmake",
          libdir + "/cmake/fieldbus/fieldbusTargets.cmake", prefix + "/include/fieldbus/crc16.h",
          prefix + "/include/fieldbus/modbus.h", prefix + "/include/fieldbus/msw.h",
          man + "pellora.1", man + "quorvat.1", man + "rkboard-sim.1", man + "zuqio.1",
          prefix + "/bin/zuqio", prefix + "/" FIELDBUS_SYSTEMD_UNITDIR "/pellora.service",
          man + "zuqgate.1", prefix + "/bin/zuqgate",
          prefix + "/" FIELDBUS_SYSTEMD_UNITDIR "/zuqgate.service", man + "zuqweb.1",
          prefix + "/" FIELDBUS_SYSTEMD_UNITDIR "/zuqweb.service", prefix + "/etc/default/zuqweb",
          prefix + "/lib/sysusers.d/fieldbus.conf", prefix + "/etc/logrotate.d/pellora",
          prefix + "/etc/default/pellora", prefix + "/etc/default/zuqgate",
          prefix + "/" FIELDBUS_INSTALL_MANDIR "/man3/fieldbus.3"}) {
        EXPECT_TRUE(exists(path)) << path;
    }
}

TEST_F(Installed, ServiceUnitStartsTheServerInTheForeground) {
    // @NAME@ is configure_file()'s; a system call filter's @group is not.
    const std::regex placeholder("@[A-Za-z_]+@");
    const std::string unit = readFile(prefix + "/" FIELDBUS_SYSTEMD_UNITDIR "/pellora.service");
    EXPECT_FALSE(std::regex_search(unit, placeholder)) << unit;
    const size_t exec = unit.find("\nExecStart=/");
    ASSERT_NE(exec, std::string::npos) << unit;
    std::istringstream line(unit.substr(exec + 11, unit.find('\n', exec + 1) - exec - 11));
    std::string program, arg;
    line >> program;
    EXPECT_EQ(program, prefix + "/bin/pellora");
    while (line >> arg) EXPECT_NE(arg, "-d") << "the server must stay in the foreground";
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    // The gateway's unit follows the server's and is bound to it.
    const std::string gate = readFile(prefix + "/" FIELDBUS_SYSTEMD_UNITDIR "/zuqgate.service");
    EXPECT_FALSE(std::regex_search(gate, placeholder)) << gate;
    EXPECT_NE(gate.find("\nBindsTo=pellora.service\n"), std::string::npos) << gate;
    EXPECT_NE(gate.find("\nAfter=pellora.service"), std::string::npos) << gate;
    const std::string web = readFile(prefix + "/" FIELDBUS_SYSTEMD_UNITDIR "/zuqweb.service");
    EXPECT_FALSE(std::regex_search(web, placeholder)) << web;
    EXPECT_NE(web.find("\nBindsTo=pellora.service\n"), std::string::npos) << web;
    EXPECT_NE(web.find("\nAfter=pellora.service"), std::string::npos) << web;
    // Each reads its settings file, as installed: options and environment,
    // every line a comment until the administrator changes it.
    for (const auto &[text, name, options] :
         {std::tuple{unit, "pellora", "PELLORA_OPTIONS"}, {gate, "zuqgate", "ZUQGATE_OPTIONS"},
          {web, "zuqweb", "ZUQWEB_OPTIONS"}}) {
        const std::string settings = prefix + "/etc/default/" + name;
        EXPECT_NE(text.find("\nEnvironmentFile=-" + settings + "\n"), std::string::npos) << text;
        const std::regex execStart("\nExecStart=\\S+ .*\\$" + std::string(options) + "\n");
        EXPECT_TRUE(std::regex_search(text, execStart)) << text;
        std::istringstream lines(readFile(settings));
        int commented = 0;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_TRUE(line.empty() || line[0] == '#') << settings << ": " << line;
            commented += line.rfind(std::string("#") + options + "=", 0) == 0;
        }
        EXPECT_EQ(commented, 1) << settings << " shows no " << options;
    }
}

TEST_F(Installed, ManPagesFormatWithoutWarnings) {
    const std::string dir = prefix + "/" FIELDBUS_INSTALL_MANDIR "/man1";
    const auto pages = filesIn(dir, ".1");
    std::vector<std::string> expected = {"pellora.1", "quorvat.1", "rkboard-sim.1", "zuqgate.1",
                                         "zuqio.1"};
    // The MQTT bridge's page comes with the bridge (built where its libraries are).
    if (exists(prefix + "/bin/zuqmqtt")) expected.push_back("zuqmqtt.1");
    if (exists(prefix + "/bin/zuqweb")) expected.push_back("zuqweb.1");
    EXPECT_EQ(pages, expected);
    const std::string library = prefix + "/" FIELDBUS_INSTALL_MANDIR "/man3";
    EXPECT_EQ(filesIn(library, ".3"), std::vector<std::string>{"fieldbus.3"});
    for (const auto &page : pages) {
        const Result r = run("groff -ww -man -z " + shq(dir + "/" + page));
        EXPECT_EQ(r.status, 0) << page << ": " << r.output;
        EXPECT_EQ(r.output, "") << page;
    }
    const Result r = run("groff -ww -man -z " + shq(library + "/fieldbus.3"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
}

TEST_F(Installed, PkgConfigSharedBuildRuns) {
    const Result build = run(cc() + " -o " + shq(app + "/app") + " " + shq(app + "/app.c") + " " +
                             pkgConfig("--cflags --libs"));
    ASSERT_EQ(build.status, 0) << build.output;
    EXPECT_TRUE(needsSharedLibrary(app + "/app"));
    const Result r = runApp(app + "/app");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, fbtest::kCAppOutput);
}

// As the README has it for a prefix outside the loader's path: a run path
// instead of LD_LIBRARY_PATH; the headers included through the fieldbus/
// prefix, so that a header of the application's own (or another library's)
// named like one of them is never taken for it, nor it for theirs.
TEST_F(Installed, RunPathAndHeadersThroughTheirPrefix) {
    std::vector<std::string> headers;
    for (const auto &h : filesIn(prefix + "/include/fieldbus", ".h")) {
        headers.push_back("fieldbus/" + h);
        // Ahead of the library's headers on the path, each an error.
        ASSERT_EQ(run("mkdir -p " + shq(app + "/include")).status, 0);
        std::ofstream(app + "/include/" + h) << "#error the application's own " << h << "\n";
    }
    std::ofstream(app + "/app.c") << fbtest::cAppSource(headers);
    const Result build = run(cc() + " -I" + shq(app + "/include") + " -o " + shq(app + "/app") +
                             " " + shq(app + "/app.c") + " " + pkgConfig("--cflags --libs") +
                             " -Wl,-rpath," + pkgConfig("--variable=libdir"));
    ASSERT_EQ(build.status, 0) << build.output;
    const Result r = run(shq(app + "/app"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, fbtest::kCAppOutput);
}

// Without the shared library the linker must take the archive, and the
// private libraries (the C++ runtime among them) must all be listed.
TEST_F(Installed, PkgConfigStaticBuildRuns) {
    for (const auto &name : filesIn(libdir, "")) {
        if (name.rfind("libfieldbus.so", 0) == 0) {
            ASSERT_EQ(unlink((libdir + "/" + name).c_str()), 0);
        }
    }
    const Result build = run(cc() + " -o " + shq(app + "/app") + " " + shq(app + "/app.c") + " " +
                             pkgConfig("--static --cflags --libs"));
    ASSERT_EQ(build.status, 0) << build.output;
    EXPECT_FALSE(needsSharedLibrary(app + "/app"));
    const Result r = runApp(app + "/app");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, fbtest::kCAppOutput);
}

TEST_F(Installed, FindPackageBuildsSharedAndStatic) {
    std::ofstream(app + "/CMakeLists.txt") << "cmake_minimum_required(VERSION 3.16)\n"
                                              "project(app C)\n"
                                              "find_package(fieldbus 0.1 REQUIRED)\n"
                                              "add_executable(app_shared app.c)\n"
                                              "target_link_libraries(app_shared PRIVATE "
                                              "fieldbus::fieldbus)\n"
                                              "add_executable(app_static app.c)\n"
                                              "target_link_libraries(app_static PRIVATE "
                                              "fieldbus::fieldbus_static)\n";
    const std::string build = app + "/build";
    const Result configure = run(shq(FIELDBUS_CMAKE_COMMAND) + " -S " + shq(app) + " -B " +
                                 shq(build) + " -DCMAKE_PREFIX_PATH=" + shq(prefix) +
                                 " -DCMAKE_C_COMPILER=" + shq(FIELDBUS_C_COMPILER) +
                                 " -DCMAKE_C_FLAGS=" + shq(FIELDBUS_APP_FLAGS) +
                                 " -DCMAKE_EXE_LINKER_FLAGS=" + shq(FIELDBUS_APP_FLAGS));
    ASSERT_EQ(configure.status, 0) << configure.output;
    const Result make = run(shq(FIELDBUS_CMAKE_COMMAND) + " --build " + shq(build));
    ASSERT_EQ(make.status, 0) << make.output;

    EXPECT_TRUE(needsSharedLibrary(build + "/app_shared"));
    EXPECT_FALSE(needsSharedLibrary(build + "/app_static"));
    for (const char *exe : {"/app_shared", "/app_static"}) {
        const Result r = runApp(build + exe);
        EXPECT_EQ(r.status, 0) << exe;
        EXPECT_EQ(r.output, fbtest::kCAppOutput) << exe;
    }
}

}  // namespace

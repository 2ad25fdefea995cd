// Packaging: the Debian package of this build, made by CPack from the install
// rules (once per test run, by the fixture test system_packaging_make, which
// ctest runs first even when only these tests are picked) and
// unpacked with dpkg-deb into a scratch root. Checked: it holds exactly what
// `cmake --install` installs plus Debian's files, its control fields, its
// shared library exporting exactly the functions and variables its headers
// declare; on the build host a C application built against it through
// pkg-config; in the armhf build its programs as 32-bit ARM hard-float files,
// and pellora started from it under the emulator. Its services' units load
// cleanly and stay fenced, and dpkg installs it twice into a scratch root with
// the users the units run as made once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "c_app.h"
#include "exec_wrapper.h"

namespace {

using fbtest::shell;
using fbtest::shq;
using Names = std::set<std::string>;

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// Paths (relative to dir) of the files and symbolic links under dir.
Names treeOf(const std::string &dir) {
    Names names;
    std::istringstream lines(
        shell("find " + shq(dir) + " \\( -type f -o -type l \\) -printf '%P\\n'").output);
    for (std::string line; std::getline(lines, line);) names.insert(line);
    return names;
}

// Names of the functions and variables declared at file scope by the
// headers in dir, as the C compiler sees them: clang's syntax tree of a unit
// including them all, less what their system headers declare.
Names declaredBy(const std::string &dir, std::string &error) {
    std::string own, system;
    const std::regex systemInclude(R"(^\s*#\s*include\s*(<[^>]+>))");
    for (const auto &h : fbtest::filesIn(dir, ".h")) {
        own += "#include \"" + h + "\"\n";
        std::istringstream lines(readFile(dir + "/" + h));
        std::smatch m;
        for (std::string line; std::getline(lines, line);)
            if (std::regex_search(line, m, systemInclude)) system += "#include " + m.str(1) + "\n";
    }
    const std::regex decl(
        R"(^[|`]-(FunctionDecl|VarDecl) 0x[0-9a-f]+ (?:(?:prev|parent) 0x[0-9a-f]+ )*<.*> )"
        R"(\S+ (?:(?:implicit|used|referenced|invalid) )*([A-Za-z_]\w*) '[^']*'(.*)$)");
    auto names = [&](const std::string &source) {
        Names out;
        const auto r = shell("printf '%s' " + shq(source) + " | clang -x c -std=c11 -I" + shq(dir) +
                             " -fsyntax-only -fno-color-diagnostics -Xclang -ast-dump -");
        if (r.status != 0) error += r.output.substr(0, 2000);
        std::istringstream lines(r.output);
        std::smatch m;
        for (std::string line; std::getline(lines, line);) {
            // A static or inline function is the application's own copy.
            if (std::regex_search(line, m, decl) && m.str(3).find("static") == std::string::npos &&
                m.str(3).find("inline") == std::string::npos)
                out.insert(m.str(2));
        }
        return out;
    };
    Names declared = names(system + own);
    for (const auto &n : names(system)) declared.erase(n);
    return declared;
}

Names definedDynamicSymbols(const std::string &library) {
    Names out;
    const auto r = shell(shq(FIELDBUS_NM) + " -D --defined-only " + shq(library));
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string value, type, name;
        // AddressSanitizer's indicators for exported variables are its own.
        if (words >> value >> type >> name && name.rfind("__odr_asan", 0) != 0) out.insert(name);
    }
    return out;
}

std::string describeDifference(const Names &a, const Names &b) {
    std::string s;
    for (const auto &n : a)
        if (!b.count(n)) s += " " + n;
    return s.empty() ? " (none)" : s;
}

// The words of every `key=` line of a unit file, in order.
std::vector<std::string> unitWords(const std::string &unit, const std::string &key) {
    std::vector<std::string> words;
    std::istringstream lines(unit);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(key + "=", 0) != 0) continue;
        std::istringstream values(line.substr(key.size() + 1));
        for (std::string w; values >> w;) words.push_back(w);
    }
    return words;
}

// How many entries of a passwd or group file are `name`'s.
int entriesOf(const std::string &file, const std::string &name) {
    int n = 0;
    std::istringstream lines(file);
    for (std::string line; std::getline(lines, line);) n += line.rfind(name + ":", 0) == 0;
    return n;
}

class DebianPackage : public testing::Test {
  protected:
    void SetUp() override {
        const auto debs = fbtest::filesIn(FIELDBUS_PACKAGE_DIR, ".deb");
        ASSERT_EQ(debs.size(), 1u) << "one package expected in " FIELDBUS_PACKAGE_DIR
                                      " (made by the fixture test system_packaging_make)";
        deb = FIELDBUS_PACKAGE_DIR "/" + debs[0];

        char tmpl[] = "/tmp/fieldbus-package-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        scratch_ = tmpl;
        root = scratch_ + "/root";
        const auto x = shell("dpkg-deb -x " + shq(deb) + " " + shq(root));
        ASSERT_EQ(x.status, 0) << x.output;
        libdir = root + "/usr/" FIELDBUS_INSTALL_LIBDIR;
    }
    void TearDown() override {
        if (!scratch_.empty()) shell("rm -rf " + shq(scratch_));
    }

    std::string field(const std::string &name) const {
        return trimmed(shell("dpkg-deb -f " + shq(deb) + " " + name).output);
    }

    // The units as the package installs them: directory in the package's
    // tree, and the text of each service unit by name.
    static std::string unitDir() { return "/usr/" FIELDBUS_SYSTEMD_UNITDIR; }
    std::map<std::string, std::string> units() const {
        std::map<std::string, std::string> found;
        for (const auto &name : fbtest::filesIn(root + unitDir(), ".service"))
            found[name] = readFile(root + unitDir() + "/" + name);
        return found;
    }

    std::string deb, root, libdir;
    std::string scratch_;
};

// Whatever the install rules install is in the package, under /usr, and
// nothing else but Debian's files; the services' units name programs the
// package holds and nothing enables them.
TEST_F(DebianPackage, HoldsWhatInstallInstallsAndDebiansFiles) {
    const std::string installed = scratch_ + "/installed";
    const auto r = shell("DESTDIR=" + shq(installed) + " " + shq(FIELDBUS_CMAKE_COMMAND) +
                         " --install " + shq(FIELDBUS_BUILD_DIR) + " --prefix /usr");
    ASSERT_EQ(r.status, 0) << r.output;

    Names expected;
    for (auto path : treeOf(installed)) {
        if (path.rfind("usr/share/man/", 0) == 0) path += ".gz";
        expected.insert(path);
    }
    expected.insert("usr/share/doc/fieldbus/copyright");
    expected.insert("usr/share/doc/fieldbus/changelog.gz");
    const Names packaged = treeOf(root);
    EXPECT_EQ(packaged, expected) << "only packaged:" << describeDifference(packaged, expected)
                                  << "\nonly installed:" << describeDifference(expected, packaged);

    const std::string license = readFile(FIELDBUS_SOURCE_DIR "/LICENSE");
    ASSERT_FALSE(license.empty());
    EXPECT_NE(readFile(root + "/usr/share/doc/fieldbus/copyright").find(license),
              std::string::npos);

    int units = 0;
    const std::regex execStart(R"((?:^|\n)ExecStart=[-@:+!]*(/\S+))");
    for (const auto &path : packaged) {
        if (path.find("/systemd/system/") == std::string::npos) continue;
        ++units;
        const std::string unit = readFile(root + "/" + path);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(unit, m, execStart)) << path;
        EXPECT_EQ(access((root + m.str(1)).c_str(), X_OK), 0) << path << ": " << m.str(1);
    }
    EXPECT_GE(units, 1);
    // What the package puts under /etc is the administrator's: a conffile.
    Names conffiles, underEtc;
    std::istringstream listed(shell("dpkg-deb --ctrl-tarfile " + shq(deb) + " | tar -xO ./conffiles").output);
    for (std::string line; std::getline(listed, line);) conffiles.insert(line);
    for (const auto &path : packaged)
        if (path.rfind("etc/", 0) == 0) underEtc.insert("/" + path);
    EXPECT_EQ(conffiles, underEtc);
    // No maintainer script starts or enables a service.
    const auto scripts = shell("dpkg-deb --ctrl-tarfile " + shq(deb) + " | tar -xO");
    EXPECT_EQ(scripts.output.find("systemctl"), std::string::npos) << scripts.output;
    EXPECT_NE(scripts.output.find("activate-noawait ldconfig"), std::string::npos);
}

// A unit whose start fails at once (the serial device, or the address to
// listen on, not there yet at boot) is started again every RestartSec; its
// start limit, StartLimitBurst starts within StartLimitIntervalSec, must not
// end the tries before a minute has passed.
void expectTriesForAMinute(const std::string &name, const std::string &unit) {
    auto seconds = [&](const std::string &key) {
        const auto words = unitWords(unit, key);
        const bool plain = words.size() == 1 && words[0].find_first_not_of("0123456789") == std::string::npos;
        EXPECT_TRUE(plain) << name << ": " << key << " as a number of seconds expected";
        return plain ? std::stod(words[0]) : 0.0;
    };
    EXPECT_EQ(unitWords(unit, "Restart"), std::vector<std::string>{"on-failure"}) << name;
    const double delay = seconds("RestartSec"), window = seconds("StartLimitIntervalSec");
    const double burst = seconds("StartLimitBurst");
    ASSERT_GT(delay, 0) << name;
    // Starts at 0, delay, 2 delay ...: never more than burst in one window,
    // or the last one allowed comes a minute or more after the first.
    const bool neverLimited = std::floor(window / delay) + 1 <= burst;
    EXPECT_TRUE(neverLimited || (burst - 1) * delay >= 60)
        << name << ": the start limit ends the tries after " << (burst - 1) * delay << " s";
}

// Each service unit loads without a warning and keeps its fence: the exposure
// systemd-analyze gives it offline (0 to 10) stays at or under its limit. The
// server's log, as its unit names it, is what the logrotate snippet rotates.
// A failed start is tried again for a minute at least.
TEST_F(DebianPackage, ServiceUnitsLoadCleanlyAndStayFenced) {
    for (const auto &[name, text] : units()) expectTriesForAMinute(name, text);
    if (shell("command -v systemd-analyze").status != 0)
        GTEST_SKIP() << "systemd-analyze (package systemd) is not installed";
    const std::map<std::string, double> limits = {{"pellora.service", 0.8},
                                                  {"zuqgate.service", 3.0},
                                                  {"zuqmqtt.service", 2.0},
                                                  {"zuqweb.service", 1.5}};
    const auto all = units();
    ASSERT_FALSE(all.empty());
    const std::regex exposure(R"(Overall exposure level for \S+: ([0-9]+\.[0-9]+))");
    for (const auto &[name, text] : all) {
        const std::string path = shq(unitDir() + "/" + name);
        const auto verify =
            shell("systemd-analyze verify --man=no --recursive-errors=no --root=" + shq(root) +
                  " " + path);
        EXPECT_EQ(verify.status, 0) << name;
        EXPECT_EQ(verify.output, "") << name;
        const auto limit = limits.find(name);
        ASSERT_NE(limit, limits.end()) << name << " has no exposure limit here";
        const auto security =
            shell("systemd-analyze security --offline=true --root=" + shq(root) + " " + path);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(security.output, m, exposure)) << security.output;
        EXPECT_LE(std::stod(m.str(1)), limit->second) << security.output;
    }
    std::smatch log;
    const std::string server = all.count("pellora.service") ? all.at("pellora.service") : "";
    ASSERT_TRUE(
        std::regex_search(server, log, std::regex(R"(ExecStart=\S+ .*-l (/var/log/(\S+)/\S+))")))
        << server;
    EXPECT_EQ(unitWords(server, "LogsDirectory"), std::vector<std::string>{log.str(2)});
    EXPECT_NE(readFile(root + "/etc/logrotate.d/pellora").find("\n" + log.str(1) + " {\n"),
              std::string::npos)
        << "the logrotate snippet does not rotate " << log.str(1);
}

// dpkg installs the package into a scratch root (its maintainer scripts run
// against that root) twice: the first install makes each user the units run
// as, once, and each group they name (or it is the system's own, dialout);
// the second changes none of them.
TEST_F(DebianPackage, InstallsTwiceMakingTheServicesUsersOnce) {
    if (shell("command -v systemd-sysusers").status != 0)
        GTEST_SKIP() << "systemd-sysusers (package systemd) is not installed";
    const std::string target = scratch_ + "/target", admin = target + "/var/lib/dpkg";
    ASSERT_EQ(shell("mkdir -p " + shq(admin + "/info") + " " + shq(admin + "/updates") +
                    " && touch " + shq(admin + "/status"))
                  .status,
              0);
    // dpkg looks for ldconfig on the PATH, which a user's may lack.
    const std::string install = "PATH=\"$PATH:/usr/sbin:/sbin\" dpkg --root=" + shq(target) +
                                " --log=" + shq(target + "/log") +
                                " --force-not-root,script-chrootless,depends,architecture -i " +
                                shq(deb);
    std::string accounts[2];
    for (auto &after : accounts) {
        const auto r = shell(install);
        ASSERT_EQ(r.status, 0) << r.output;
        after = readFile(target + "/etc/passwd") + "--\n" + readFile(target + "/etc/group");
    }
    EXPECT_EQ(accounts[1], accounts[0]) << "the second install changed them";
    int users = 0;
    for (const auto &[name, text] : units()) {
        for (const auto &user : unitWords(text, "User")) {
            EXPECT_EQ(entriesOf(readFile(target + "/etc/passwd"), user), 1) << name << ": " << user;
            ++users;
        }
        for (const char *key : {"Group", "SupplementaryGroups"})
            for (const auto &g : unitWords(text, key))
                EXPECT_TRUE(entriesOf(readFile(target + "/etc/group"), g) == 1 ||
                            shell("getent group " + shq(g)).status == 0)
                    << name << ": group " << g;
    }
    EXPECT_GE(users, 2);
}

TEST_F(DebianPackage, ControlNamesVersionArchitectureAndRuntime) {
    EXPECT_EQ(field("Package"), "fieldbus");
    EXPECT_EQ(field("Version"), FIELDBUS_VERSION);
#if defined(__arm__) && defined(__ARM_PCS_VFP)
    EXPECT_EQ(field("Architecture"), "armhf");
#else
    EXPECT_EQ(field("Architecture"), trimmed(shell("dpkg --print-architecture").output));
#endif
    const std::string depends = field("Depends");
    for (const char *runtime : {"libc6 (>= ", "libstdc++6 (>= "})
        EXPECT_NE(depends.find(runtime), std::string::npos) << depends;
    EXPECT_NE(field("Maintainer").find('<'), std::string::npos);
    // A synopsis line and a long description.
    const std::string description = field("Description");
    EXPECT_GT(std::count(description.begin(), description.end(), '\n'), 3) << description;
}

TEST_F(DebianPackage, LibraryExportsExactlyWhatItsHeadersDeclare) {
    std::string error;
    const Names declared = declaredBy(root + "/usr/include/fieldbus", error);
    ASSERT_EQ(error, "");
    ASSERT_TRUE(declared.count("modbusRequest") && declared.count("_fd")) << "parse failed";
    const Names exported = definedDynamicSymbols(libdir + "/libfieldbus.so." FIELDBUS_SOVERSION);
    EXPECT_EQ(exported, declared) << "exported only:" << describeDifference(exported, declared)
                                  << "\ndeclared only:" << describeDifference(declared, exported);
}

TEST_F(DebianPackage, PkgConfigApplicationBuildsAndRuns) {
    if (FIELDBUS_CROSS) GTEST_SKIP() << "an application for the target cannot run here";
    const std::string app = scratch_ + "/app";
    std::ofstream(app + ".c") << fbtest::cAppSource(
        fbtest::filesIn(root + "/usr/include/fieldbus", ".h"));
    // fieldbus.pc finds its prefix from where it lies: no sysroot needed.
    const std::string pc = "$(PKG_CONFIG_LIBDIR=" + shq(libdir + "/pkgconfig") +
                           " pkg-config --cflags --libs fieldbus)";
    const auto build = shell(shq(FIELDBUS_C_COMPILER) + " " FIELDBUS_APP_FLAGS " -o " + shq(app) +
                             " " + shq(app + ".c") + " " + pc);
    ASSERT_EQ(build.status, 0) << build.output;
    const auto ldd = shell("LD_LIBRARY_PATH=" + shq(libdir) + " ldd " + shq(app));
    EXPECT_NE(ldd.output.find(libdir + "/libfieldbus.so." FIELDBUS_SOVERSION), std::string::npos)
        << ldd.output;
    const auto r = shell("LD_LIBRARY_PATH=" + shq(libdir) + " " + shq(app));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, fbtest::kCAppOutput);
}

TEST_F(DebianPackage, ArmProgramsAreHardFloatAndRunFromThePackage) {
#if !(defined(__arm__) && defined(__ARM_PCS_VFP))
    GTEST_SKIP() << "the armhf build's package";
#else
    const auto programs = fbtest::filesIn(root + "/usr/bin", "");
    ASSERT_GE(programs.size(), 4u);
    for (const auto &p : programs) {
        const std::string path = shq(root + "/usr/bin/" + p);
        const std::string header = shell("readelf -h " + path).output;
        EXPECT_NE(header.find("ELF32"), std::string::npos) << p;
        EXPECT_NE(header.find("Machine:                           ARM"), std::string::npos) << p;
        EXPECT_NE(shell("readelf -A " + path).output.find("Tag_ABI_VFP_args: VFP registers"),
                  std::string::npos)
            << p;
    }
    // The time base's calls take a struct timeval: an application must be
    // built with the library's 64-bit time, which fieldbus.pc hands on.
    const std::string pc = shell("cat " + shq(libdir + "/pkgconfig/fieldbus.pc")).output;
    EXPECT_NE(pc.find("-D_TIME_BITS=64"), std::string::npos) << pc;
    const auto r = shell(fbtest::execWrapperCommand() + shq(root + "/usr/bin/pellora") + " -h");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Usage:"), std::string::npos) << r.output;
#endif
}

}  // namespace

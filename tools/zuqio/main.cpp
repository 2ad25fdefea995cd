// zuqio: a client of the running server's shared I/O region, on the
// library's client helpers. Shows the board's layout and images, reads and
// writes single points, asks for on-demand reads.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ioshare.h"

namespace {

constexpr int kTimeoutMs = 5000;

void usage(FILE *out) {
    std::fputs(
        "Usage: zuqio [-n NAME] COMMAND [ARGUMENT]...\n"
        "A client of the shared I/O region of a running pellora server: region NAME,\n"
        "else the environment's PELLORA_SHM_NAME, else /zuqshmio.\n"
        "\n"
        "Commands:\n"
        "  show                    the board, its layout and every mirrored point\n"
        "  get KIND ADDR           one point, as the region holds it now\n"
        "  set coil|hr ADDR VALUE  change one output and wait until the board has it\n"
        "                          (VALUE 0 or 1 for a coil, 0 to 65535 for hr)\n"
        "  read KIND ADDR COUNT    have the server read COUNT points from the board now\n"
        "                          (also beyond the mirrored range), then show them\n"
        "  interval [MS]           show, or set, the refresh interval\n"
        "  status                  the server's health: board, state, cycles, cycle rate,\n"
        "                          failures, age of the inputs, last error\n"
        "  watch [MS]              the board's points and the health on one screen,\n"
        "                          refreshed every MS ms (default 500); q leaves\n"
        "\n"
        "KIND: di (discrete inputs), coil (outputs as written by clients), coilrb\n"
        "(outputs as read back), ir (input registers), hr (holding registers as\n"
        "written), hrrb (holding registers as read back), dword (32-bit inputs,\n"
        "ADDR their first register). ADDR is the Modbus address; numbers are\n"
        "decimal or 0x hexadecimal.\n"
        "\n"
        "Exit status: 0 done, 1 no region, or a set or read not carried out (refused,\n"
        "not taken, or not confirmed by the board in time), 2 usage.\n",
        out);
}

struct Kind {
    const char *name;
    int kind;
};

constexpr Kind kKinds[] = {{"di", IOSHARE_BIT_IN},         {"coil", IOSHARE_BIT_OUT},
                           {"coilrb", IOSHARE_BIT_OUT_RB}, {"ir", IOSHARE_INT_IN},
                           {"hr", IOSHARE_INT_OUT},        {"hrrb", IOSHARE_INT_OUT_RB},
                           {"dword", IOSHARE_DWORD_IN}};

const Kind *findKind(const char *name) {
    for (const Kind &k : kKinds)
        if (std::strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

bool parseInt(const char *text, long min, long max, long *out) {
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

int bad(const char *what, const char *text) {
    std::fprintf(stderr, "zuqio: %s: %s\n", what, text);
    return 2;
}

// Base and count of each kind's mirrored range, in the order of kKinds.
void layoutOf(const ioShare_t &r, int32_t base[7], int32_t count[7]) {
    const int32_t values[7][2] = {{r.bitInBase, r.bitInCount},    {r.bitOutBase, r.bitOutCount},
                                  {r.bitOutBase, r.bitOutCount},  {r.intInBase, r.intInCount},
                                  {r.intOutBase, r.intOutCount},  {r.intOutBase, r.intOutCount},
                                  {r.dwordInBase, r.dwordInCount}};
    for (int i = 0; i < 7; ++i) {
        base[i] = values[i][0];
        count[i] = values[i][1];
    }
}

// Prints `count` points of `kind` from `addr` on ("KIND ADDR: V V ..."),
// from a copy of the region.
void printPoints(const ioShare_t &r, const Kind &k, long addr, long count) {
    std::printf("%s %ld:", k.name, addr);
    const long step = k.kind == IOSHARE_DWORD_IN ? 2 : 1;
    for (long i = 0; i < count; ++i) {
        uint32_t v = 0;
        if (ioshare_get(&r, k.kind, static_cast<int32_t>(addr + i * step), &v) == 0)
            std::printf(" %u", v);
        else
            std::printf(" -");
    }
    std::printf("\n");
}

int show(const ioShare_t &r) {
    if (r.boardId == IOSHARE_NO_BOARD)
        std::printf("no board answered; refresh interval %d ms\n", r.interval);
    else
        std::printf("board %04X, refresh interval %d ms\n", r.boardId, r.interval);
    int32_t base[7], count[7];
    layoutOf(r, base, count);
    for (int i = 0; i < 7; ++i) {
        std::printf("%-7s first %-4d count %-3d ", kKinds[i].name, base[i], count[i]);
        printPoints(r, kKinds[i], base[i], count[i] < 64 ? count[i] : 64);
    }
    return 0;
}

// Why a request came to nothing, on standard error; the health record's
// last error says what the board answered when it refused or failed it.
int failed(const char *what, int rc, const char *name) {
    std::fprintf(stderr, "zuqio: %s: %s", what, ioshare_outcome_text(rc));
    const ioshareHealth *health = rc == IOSHARE_ERR_REFUSED ? ioshare_health_open(name) : nullptr;
    ioshareHealth h{};
    if (health != nullptr && ioshare_health_read(health, &h) == 0 && h.lastError[0] != '\0') {
        h.lastError[IOSHARE_HEALTH_ERROR_SIZE - 1] = '\0';
        std::fprintf(stderr, " (last error: %s)", h.lastError);
    }
    if (health != nullptr) ioshare_health_close(health);
    std::fprintf(stderr, "\n");
    return 1;
}

const char *stateName(uint32_t state) {
    static const char *const kNames[] = {"starting", "cycling", "no board",
                                         "failing",  "no port", "stopped"};
    return state < sizeof kNames / sizeof kNames[0] ? kNames[state] : "unknown";
}

// The health record of the server of region `name`, one figure a line.
int printHealth(const ioshareHealth *health) {
    ioshareHealth h{};
    if (health == nullptr || ioshare_health_read(health, &h) != 0) {
        std::printf("no health record (is pellora running?)\n");
        return 1;
    }
    if (h.boardId == IOSHARE_NO_BOARD)
        std::printf("board none\n");
    else
        std::printf("board %04X\n", static_cast<unsigned>(h.boardId));
    std::printf("state %s\n", stateName(h.state));
    std::printf("server pid %d\n", h.serverPid);
    std::printf("cycles %llu\n", static_cast<unsigned long long>(h.cycles));
    std::printf("cycle rate %u.%03u /s\n", h.cycleRateMilli / 1000, h.cycleRateMilli % 1000);
    std::printf("last cycle %u us\n", h.lastCycleUs);
    const long long age = ioshare_inputs_age_ms(&h);
    if (age < 0)
        std::printf("inputs age never read\n");
    else
        std::printf("inputs age %lld ms\n", age);
    std::printf("failed reads %u, requests %u, writes %u\n", h.failedReads, h.failedRequests,
                h.failedWrites);
    std::printf("port reopens %u\n", h.portReopens);
    std::printf(
        "outputs sent again %u%s%s\n", h.outputResends,
        (h.outputsOverridden >> IOSHARE_BIT_OUT & 1) != 0 ? ", board keeps its coils" : "",
        (h.outputsOverridden >> IOSHARE_INT_OUT & 1) != 0 ? ", board keeps its registers" : "");
    h.lastError[IOSHARE_HEALTH_ERROR_SIZE - 1] = '\0';
    std::printf("last error %s\n", h.lastError[0] != '\0' ? h.lastError : "none");
    return 0;
}

int status(const char *name) {
    const ioshareHealth *health = ioshare_health_open(name);
    ioshareHealth probe{};
    if (health == nullptr || ioshare_health_read(health, &probe) != 0) {
        const int saved = errno;
        if (health != nullptr) ioshare_health_close(health);
        std::fprintf(stderr,
                     "zuqio: no health record beside the region: %s (is pellora running?)\n",
                     std::strerror(saved));
        return 1;
    }
    const int rc = printHealth(health);
    ioshare_health_close(health);
    return rc;
}

volatile sig_atomic_t leaveWatch = 0;
void onLeave(int) {
    leaveWatch = 1;
}

// Keys without Enter and without echo while the screen is shown; the
// terminal's own settings come back however the loop ends.
class KeyboardMode {
  public:
    KeyboardMode() {
        if (tcgetattr(0, &saved_) != 0) return;
        termios t = saved_;
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        active_ = tcsetattr(0, TCSANOW, &t) == 0;
    }
    ~KeyboardMode() {
        if (active_) tcsetattr(0, TCSANOW, &saved_);
    }
    KeyboardMode(const KeyboardMode &) = delete;
    KeyboardMode &operator=(const KeyboardMode &) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

// Redraws points and health in place until q, Ctrl-C, SIGTERM or the end
// of standard input.
int watch(ioShare_t *share, const char *name, long periodMs) {
    const ioshareHealth *health = ioshare_health_open(name);
    struct sigaction sa {};
    sa.sa_handler = onLeave;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    auto copy = std::make_unique<ioShare_t>();
    KeyboardMode mode;
    while (leaveWatch == 0) {
        if (health == nullptr) health = ioshare_health_open(name);
        ioshare_lock(share);
        std::memcpy(copy.get(), share, sizeof(ioShare_t));
        ioshare_unlock(share);
        std::printf("\033[H\033[2J");
        show(*copy);
        std::printf("\n");
        printHealth(health);
        std::printf("\nq leaves\n");
        std::fflush(stdout);
        pollfd in{0, POLLIN, 0};
        if (poll(&in, 1, static_cast<int>(periodMs)) <= 0) continue;
        char key[64];
        const ssize_t n = read(0, key, sizeof key);
        if (n <= 0) break;  // end of input: nobody is there to press q
        if (std::memchr(key, 'q', static_cast<size_t>(n)) != nullptr ||
            std::memchr(key, 'Q', static_cast<size_t>(n)) != nullptr)
            break;
    }
    if (health != nullptr) ioshare_health_close(health);
    return 0;
}

// Runs one command with the region mapped: 0, 1 or 2 as the exit status.
int run(ioShare_t *share, const char *name, int argc, char **argv) {
    const char *cmd = argv[0];
    auto copy = std::make_unique<ioShare_t>();
    auto snapshot = [&] {
        ioshare_lock(share);
        std::memcpy(copy.get(), share, sizeof(ioShare_t));
        ioshare_unlock(share);
        return copy.get();
    };
    long addr = 0, value = 0, count = 0;
    if (std::strcmp(cmd, "show") == 0 && argc == 1) return show(*snapshot());
    if (std::strcmp(cmd, "watch") == 0 && argc <= 2) {
        long period = 500;
        if (argc == 2 && !parseInt(argv[1], 10, 60000, &period)) return bad("bad period", argv[1]);
        return watch(share, name, period);
    }
    if (std::strcmp(cmd, "interval") == 0 && argc <= 2) {
        if (argc == 2) {
            if (!parseInt(argv[1], 0, INT32_MAX, &value)) return bad("bad interval", argv[1]);
            ioshare_lock(share);
            share->interval = static_cast<int32_t>(value);
            ioshare_signal(share);  // the wait under way still has the old deadline
            ioshare_unlock(share);
        }
        std::printf("refresh interval %d ms\n", snapshot()->interval);
        if (argc == 2 && value == 0)
            std::fprintf(stderr,
                         "zuqio: note: with interval 0 the server cycles back to back, which "
                         "costs it about a quarter of a processor\n");
        return 0;
    }
    if (argc < 3) return bad("missing arguments for", cmd);
    const Kind *k = findKind(argv[1]);
    if (k == nullptr) return bad("unknown kind", argv[1]);
    if (!parseInt(argv[2], INT32_MIN, INT32_MAX, &addr) || addr == IOSHARE_IDLE)
        return bad("bad address", argv[2]);
    const auto a = static_cast<int32_t>(addr);

    if (std::strcmp(cmd, "get") == 0 && argc == 3) {
        uint32_t v = 0;
        if (ioshare_get(snapshot(), k->kind, a, &v) != 0) return bad("no such point", argv[2]);
        std::printf("%s %d: %u\n", k->name, a, v);
        return 0;
    }
    if (std::strcmp(cmd, "set") == 0 && argc == 4) {
        if (k->kind != IOSHARE_BIT_OUT && k->kind != IOSHARE_INT_OUT)
            return bad("only coil and hr can be set, not", k->name);
        // A coil holds 0 or 1: any other value would be written as "on" and
        // then never read back as itself.
        const long most = k->kind == IOSHARE_BIT_OUT ? 1 : 0xFFFF;
        if (!parseInt(argv[3], 0, most, &value)) return bad("bad value", argv[3]);
        uint32_t old = 0;
        ioshare_lock(share);
        ioshare_get(share, k->kind, a, &old);
        const int put = ioshare_put(share, k->kind, a, static_cast<uint32_t>(value));
        ioshare_unlock(share);
        if (put != 0) return bad("no such point", argv[2]);
        char what[96];
        std::snprintf(what, sizeof what, "%s %d set to %ld, not on the board", k->name, a, value);
        const int rc = ioshare_request_confirmed(share, k->kind, a, 1, kTimeoutMs);
        if (rc == IOSHARE_ERR_NOT_TAKEN || rc == IOSHARE_ERR_REFUSED) {
            // Not carried out: the value is taken back out of the image (unless
            // another client set the point since), or the next write of the
            // kind would send it after all.
            uint32_t now = 0;
            ioshare_lock(share);
            if (ioshare_get(share, k->kind, a, &now) == 0 && now == static_cast<uint32_t>(value))
                ioshare_put(share, k->kind, a, old);
            ioshare_unlock(share);
        }
        if (rc != IOSHARE_DONE) return failed(what, rc, name);
        std::printf("%s %d set to %ld, on the board\n", k->name, a, value);
        return 0;
    }
    if (std::strcmp(cmd, "read") == 0 && argc == 4) {
        if (k->kind == IOSHARE_BIT_OUT || k->kind == IOSHARE_INT_OUT || k->kind == IOSHARE_DWORD_IN)
            return bad("read takes di, coilrb, ir or hrrb, not", k->name);
        if (!parseInt(argv[3], 1, 2000, &count)) return bad("bad count", argv[3]);
        const int rc =
            ioshare_request_confirmed(share, k->kind, a, static_cast<int32_t>(count), kTimeoutMs);
        // A failed read leaves the image as it was: old values are no answer.
        if (rc != IOSHARE_DONE) {
            char what[96];
            std::snprintf(what, sizeof what, "read of %s %d count %ld", k->name, a, count);
            return failed(what, rc, name);
        }
        printPoints(*snapshot(), *k, a, count);
        return 0;
    }
    usage(stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const char *name = nullptr;
    int opt;
    while ((opt = getopt(argc, argv, "+hn:")) != -1) {
        switch (opt) {
            case 'h':
                usage(stdout);
                return 0;
            case 'n':
                name = optarg;
                break;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind >= argc) {
        usage(stderr);
        return 2;
    }
    // The health lives beside the region and is read without it.
    if (std::strcmp(argv[optind], "status") == 0 && argc - optind == 1) return status(name);
    ioShare_t *share = ioshare_open(name);
    if (share == nullptr) {
        const char *shown = name != nullptr ? name : std::getenv(IOSHARE_NAME_ENV);
        std::fprintf(stderr, "zuqio: no region %s: %s (is pellora running?)\n",
                     shown != nullptr && *shown != '\0' ? shown : IOSHARE_DEFAULT_NAME,
                     std::strerror(errno));
        return 1;
    }
    const int rc = run(share, name, argc - optind, argv + optind);
    ioshare_close(share);
    return rc;
}

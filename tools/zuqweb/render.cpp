// JSON and metrics text out of a snapshot.
#include "render.h"

#include <cmath>
#include <cstdio>

namespace zuqweb {
namespace {

using nlohmann::json;

// A snapshot shown as "no server" has no health to speak of.
bool haveServer(const Snapshot &s) {
    return s.region && s.health;
}

std::string boardText(int32_t id) {
    if (id == IOSHARE_NO_BOARD) return "none";
    char text[16];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(id) & 0xFFFFu);
    return text;
}

json point(const Points &p, int k, size_t i) {
    // A 32-bit input takes two register addresses.
    const int64_t step = k == kIr32 ? 2 : 1;
    json o = {{"address", p.base + step * static_cast<int64_t>(i)}, {"value", p.value[i]}};
    if (!p.readback.empty()) {
        o["readback"] = p.readback[i];
        o["differs"] = p.readback[i] != p.value[i];
    }
    return o;
}

void sample(std::string *out, const char *name, const char *type, const char *help, double v) {
    char line[256];
    // Whole numbers (counters) exactly, fractions to six digits.
    const bool whole = v == std::floor(v) && std::fabs(v) < 1e15;
    std::snprintf(line, sizeof line, whole ? "# HELP %s %s\n# TYPE %s %s\n%s %.0f\n"
                                           : "# HELP %s %s\n# TYPE %s %s\n%s %.6g\n",
                  name, help, name, type, name, v);
    *out += line;
}

std::string labelValue(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

constexpr const char *kStates[] = {"starting", "cycling", "no board", "failing", "no port",
                                   "stopped"};

}  // namespace

const char *stateName(const Snapshot &s) {
    if (!haveServer(s)) return "no server";
    return s.h.state < sizeof kStates / sizeof kStates[0] ? kStates[s.h.state] : "unknown";
}

json statusJson(const Snapshot &s, const Extras &x) {
    json j = {{"region", x.regionName}, {"server", haveServer(s)}, {"state", stateName(s)},
              {"writes", x.writes}, {"clients", x.clients}};
    if (s.region) {
        j["board"] = boardText(s.boardId);
        j["intervalMs"] = s.intervalMs;
        json layout = json::object();
        for (int k = 0; k < kPointKinds; ++k)
            layout[kKindNames[k]] = {{"base", s.points[k].base}, {"count", s.points[k].count}};
        j["layout"] = layout;
    }
    if (haveServer(s)) {
        const ioshareHealth &h = s.h;
        const long long age = ioshare_inputs_age_ms(&h);
        j["serverPid"] = h.serverPid;
        j["cycles"] = h.cycles;
        j["lastCycleUs"] = h.lastCycleUs;
        j["cycleRate"] = h.cycleRateMilli / 1000.0;
        j["inputsAgeMs"] = age < 0 ? json(nullptr) : json(age);
        j["failedReads"] = h.failedReads;
        j["failedRequests"] = h.failedRequests;
        j["failedWrites"] = h.failedWrites;
        j["portReopens"] = h.portReopens;
        j["outputResends"] = h.outputResends;
        json overridden = json::array();
        if (h.outputsOverridden & 1u << IOSHARE_BIT_OUT) overridden.push_back("coil");
        if (h.outputsOverridden & 1u << IOSHARE_INT_OUT) overridden.push_back("hr");
        j["outputsOverridden"] = overridden;
        j["lastError"] = std::string(h.lastError, strnlen(h.lastError, sizeof h.lastError));
    }
    return j;
}

json pointsJson(const Snapshot &s) {
    json j = json::object();
    for (int k = 0; k < kPointKinds; ++k) {
        json list = json::array();
        const Points &p = s.points[k];
        for (size_t i = 0; i < p.value.size(); ++i) list.push_back(point(p, k, i));
        j[kKindNames[k]] = std::move(list);
    }
    return j;
}

json changedPoints(const Snapshot &before, const Snapshot &now) {
    json j = json::object();
    for (int k = 0; k < kPointKinds; ++k) {
        const Points &a = before.points[k], &b = now.points[k];
        json list = json::array();
        for (size_t i = 0; i < b.value.size() && i < a.value.size(); ++i) {
            const bool rbChanged = !b.readback.empty() && b.readback[i] != a.readback[i];
            if (b.value[i] != a.value[i] || rbChanged) list.push_back(point(b, k, i));
        }
        if (!list.empty()) j[kKindNames[k]] = std::move(list);
    }
    return j;
}

std::string metricsText(const Snapshot &s, const Extras &x) {
    std::string out;
    out.reserve(4096);
    sample(&out, "fieldbus_web_clients", "gauge", "Web clients zuqweb is serving now.", x.clients);
    sample(&out, "fieldbus_server_up", "gauge",
           "Whether the server's region and health record are there.", haveServer(s) ? 1 : 0);
    if (!haveServer(s)) return out;
    const ioshareHealth &h = s.h;
    sample(&out, "fieldbus_cycles_total", "counter", "Refresh cycles completed.",
           static_cast<double>(h.cycles));
    sample(&out, "fieldbus_cycle_duration_seconds", "gauge",
           "Duration of the last cycle's board work.", h.lastCycleUs / 1e6);
    sample(&out, "fieldbus_cycle_rate_hertz", "gauge", "Refresh cycles per second, last second.",
           h.cycleRateMilli / 1000.0);
    sample(&out, "fieldbus_refresh_interval_seconds", "gauge", "Refresh interval the server uses.",
           s.intervalMs / 1000.0);
    const long long age = ioshare_inputs_age_ms(&h);
    if (age >= 0)
        sample(&out, "fieldbus_inputs_age_seconds", "gauge",
               "Time since every periodic read of a cycle last succeeded.", age / 1000.0);
    sample(&out, "fieldbus_failed_reads_total", "counter", "Periodic reads that failed.",
           h.failedReads);
    sample(&out, "fieldbus_failed_requests_total", "counter",
           "Clients' on-demand reads that failed.", h.failedRequests);
    sample(&out, "fieldbus_failed_writes_total", "counter", "Output writes that failed.",
           h.failedWrites);
    sample(&out, "fieldbus_port_reopens_total", "counter",
           "Times the board's serial port was closed and opened again.", h.portReopens);
    sample(&out, "fieldbus_output_resends_total", "counter",
           "Times the output images were sent again unasked.", h.outputResends);
    out += "# HELP fieldbus_state What the server's refresh is doing: 1 for the present state.\n"
           "# TYPE fieldbus_state gauge\n";
    for (size_t i = 0; i < sizeof kStates / sizeof kStates[0]; ++i) {
        std::string label = kStates[i];
        for (char &c : label)
            if (c == ' ') c = '_';
        out += "fieldbus_state{state=\"" + label + "\"} " + (h.state == i ? "1\n" : "0\n");
    }
    out += "# HELP fieldbus_board_info The board's identifier (none while no board answers).\n"
           "# TYPE fieldbus_board_info gauge\n"
           "fieldbus_board_info{board_id=\"" +
           labelValue(boardText(s.boardId)) + "\",region=\"" + labelValue(x.regionName) +
           "\"} 1\n";
    return out;
}

}  // namespace zuqweb

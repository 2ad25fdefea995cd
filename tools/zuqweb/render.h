// What zuqweb makes of a snapshot: the JSON of the API and the event
// stream, and the metrics text.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "monitor.h"

namespace zuqweb {

// What the page and the metrics say besides the region's own fields.
struct Extras {
    std::string regionName;
    bool writes = false;
    int clients = 0;  // web clients being served now
};

const char *stateName(const Snapshot &s);

// The health record and the layout (GET /api/status).
nlohmann::json statusJson(const Snapshot &s, const Extras &x);
// Every point, by kind (GET /api/points).
nlohmann::json pointsJson(const Snapshot &s);
// The points of `now` that differ from `before` (same layout), by kind;
// an empty object when none does.
nlohmann::json changedPoints(const Snapshot &before, const Snapshot &now);
// The metrics in the text exposition format.
std::string metricsText(const Snapshot &s, const Extras &x);

}  // namespace zuqweb

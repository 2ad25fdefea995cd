// The register-map server's rules: one request body in, the map read or
// written, one answer body out. Pure: no port, no allocation, no state.
#pragma once

#include <cstdint>

#include "modbus.h"

namespace fieldbus::regmap {

// Serves the request body (unit, function, data; `length` bytes) from `map`
// and writes the answer body (room for 2048 bytes) with *answerLength set:
// the data read or the echo of a write, or an exception answer. Returns the
// function code answered, with 0x80 set for an exception. Touches nothing of
// the map outside its arrays' points.
int serveBody(fieldbusMap *map, const uint8_t *body, int length, uint8_t *answer,
              int *answerLength);

}  // namespace fieldbus::regmap

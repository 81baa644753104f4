// The catalogue's rows as JSON (Jansson), for gwtest's --json output and
// any front end that shows plans.
#pragma once

#include <jansson.h>

#include <string>

#include "catalogue.h"

namespace station {

// "0x0001".
std::string codeText(uint16_t code);

// ["GWM0202", "GWM0303"]: the models of a row's bits.
json_t *modelsJson(uint8_t models);

// {"code": "0x0001", "name": "mac", "title": ..., "models": [...],
//  "operator": "none", "longest_ms": 1000, "decoder": "mac", "hint": ...}
json_t *testJson(const catalogue::Test &test);

// Writes a JSON value (taking its reference) to standard output, one line.
void printJson(json_t *value);

} // namespace station

// Small helpers over Jansson for the page's JSON: owned values, strings that
// are always valid UTF-8, compact text.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <memory>
#include <string>

#include "wire/text.h"

namespace station::web {

struct JsonFree {
    void operator()(json_t *value) const { json_decref(value); }
};
using Json = std::unique_ptr<json_t, JsonFree>;

// A JSON string of any text (cleaned first).
json_t *jsonText(const std::string &text);

// Sets a member, taking the value's reference.
void put(json_t *object, const char *key, json_t *value);
void put(json_t *object, const char *key, const std::string &text);
void put(json_t *object, const char *key, int64_t number);
void putBool(json_t *object, const char *key, bool value);

// Compact text of a value.
std::string dump(const json_t *value);

// Parses a request body that must be one JSON object; null otherwise.
Json parseObject(const std::string &body);

} // namespace station::web

// Typed reads of one member of a JSON object parsed by Jansson (the Z-Wave
// device list, the NXP module's reports).
#pragma once

#include <cstddef>
#include <cstdint>
#include <jansson.h>

// The object stays the caller's: nothing is referenced, copied or released. Each getter
// fails when the object is null or not an object, the member is missing or
// has another type, or the value is out of the output's range; on failure
// the output is left as it was, so a default set beforehand survives.

// Integer members: 0 on success, -1 on failure.
int json_obj_get_integer(const json_t *obj, const char *key, int64_t *out);
int json_obj_get_int64(const json_t *obj, const char *key, int64_t *out);
int json_obj_get_uint64(const json_t *obj, const char *key, uint64_t *out); // 0 to INT64_MAX
int json_obj_get_int(const json_t *obj, const char *key, int32_t *out);
int json_obj_get_uint32(const json_t *obj, const char *key, uint32_t *out);
int json_obj_get_uint16(const json_t *obj, const char *key, uint16_t *out);
int json_obj_get_uint8(const json_t *obj, const char *key, uint8_t *out);

// true or the integer 1 gives 1, false or the integer 0 gives 0.
int json_obj_get_bool(const json_t *obj, const char *key, uint8_t *out);

// An integer or a real member.
int json_obj_get_double(const json_t *obj, const char *key, double *out);

// The member's text, owned by the parsed document (valid until it is
// released), or null.
const char *json_obj_get_string(const json_t *obj, const char *key);
// A heap copy of the member's text for the caller to free(), or null.
char *json_obj_dup_string(const json_t *obj, const char *key);
// Copies the member's text with its NUL into buf (size bytes). Returns its
// length, or -1 when the member is missing or not a string, or when the text
// did not fit (buf then holds it cut to size - 1 characters).
int json_obj_copy_string(const json_t *obj, const char *key, char *buf, size_t size);

// Typed reads of JSON members, for the JSON text that gateway tools print.
// Nothing here logs: a caller that pre-set a default keeps it when a member
// is missing, has the wrong type or is out of range.
#include <cstdio>
#include <cstring>
#include <limits>

#include "util/json.h"

namespace {

static_assert(sizeof(json_int_t) == sizeof(int64_t), "JSON integers are 64-bit on every target");

// The member of that name of an object, or null when the handle is not an
// object or the member is absent.
const json_t *member(const json_t *obj, const char *key)
{
    if (obj == nullptr || !json_is_object(obj) || key == nullptr) {
        return nullptr;
    }
    return json_object_get(obj, key);
}

// Reads an integer member and checks it against [lo, hi] before narrowing,
// so that a value beyond the output's width is refused rather than wrapped.
template <typename T>
int getInRange(const json_t *obj, const char *key, T *out, int64_t lo, int64_t hi)
{
    if (out == nullptr) {
        return -1;
    }
    int64_t value = 0;
    if (json_obj_get_integer(obj, key, &value) != 0 || value < lo || value > hi) {
        return -1;
    }
    *out = static_cast<T>(value);
    return 0;
}

} // namespace

int json_obj_get_integer(const json_t *obj, const char *key, int64_t *out)
{
    const json_t *value = member(obj, key);
    if (value == nullptr || !json_is_integer(value) || out == nullptr) {
        return -1;
    }
    *out = json_integer_value(value);
    return 0;
}

int json_obj_get_int64(const json_t *obj, const char *key, int64_t *out)
{
    return getInRange(obj, key, out, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
}

int json_obj_get_uint64(const json_t *obj, const char *key, uint64_t *out)
{
    return getInRange(obj, key, out, 0, std::numeric_limits<int64_t>::max());
}

int json_obj_get_int(const json_t *obj, const char *key, int32_t *out)
{
    return getInRange(obj, key, out, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}

int json_obj_get_uint32(const json_t *obj, const char *key, uint32_t *out)
{
    return getInRange(obj, key, out, 0, std::numeric_limits<uint32_t>::max());
}

int json_obj_get_uint16(const json_t *obj, const char *key, uint16_t *out)
{
    return getInRange(obj, key, out, 0, std::numeric_limits<uint16_t>::max());
}

int json_obj_get_uint8(const json_t *obj, const char *key, uint8_t *out)
{
    return getInRange(obj, key, out, 0, std::numeric_limits<uint8_t>::max());
}

int json_obj_get_bool(const json_t *obj, const char *key, uint8_t *out)
{
    const json_t *value = member(obj, key);
    if (value == nullptr || out == nullptr) {
        return -1;
    }
    if (json_is_true(value)) {
        *out = 1;
        return 0;
    }
    if (json_is_false(value)) {
        *out = 0;
        return 0;
    }
    if (json_is_integer(value)) {
        const json_int_t number = json_integer_value(value);
        if (number == 0 || number == 1) {
            *out = static_cast<uint8_t>(number);
            return 0;
        }
    }
    return -1;
}

int json_obj_get_double(const json_t *obj, const char *key, double *out)
{
    const json_t *value = member(obj, key);
    if (value == nullptr || !json_is_number(value) || out == nullptr) {
        return -1;
    }
    *out = json_number_value(value);
    return 0;
}

const char *json_obj_get_string(const json_t *obj, const char *key)
{
    const json_t *value = member(obj, key);
    if (value == nullptr || !json_is_string(value)) {
        return nullptr;
    }
    return json_string_value(value);
}

char *json_obj_dup_string(const json_t *obj, const char *key)
{
    const char *text = json_obj_get_string(obj, key);
    return text != nullptr ? strdup(text) : nullptr;
}

int json_obj_copy_string(const json_t *obj, const char *key, char *buf, size_t size)
{
    const char *text = json_obj_get_string(obj, key);
    if (text == nullptr || buf == nullptr || size == 0) {
        return -1;
    }
    const int written = std::snprintf(buf, size, "%s", text);
    if (written < 0 || static_cast<size_t>(written) >= size) {
        return -1;
    }
    return written;
}

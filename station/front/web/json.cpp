// Jansson helpers of the page.
#include "front/web/json.h"

namespace station::web {

json_t *jsonText(const std::string &text)
{
    const std::string clean = cleanUtf8(text);
    return json_stringn(clean.data(), clean.size());
}

void put(json_t *object, const char *key, json_t *value)
{
    json_object_set_new(object, key, value ? value : json_null());
}

void put(json_t *object, const char *key, const std::string &text) { put(object, key, jsonText(text)); }

void put(json_t *object, const char *key, int64_t number) { put(object, key, json_integer(number)); }

void putBool(json_t *object, const char *key, bool value) { put(object, key, json_boolean(value)); }

std::string dump(const json_t *value)
{
    char *text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
    if (text == nullptr) {
        return "null";
    }
    std::string out(text);
    free(text);
    return out;
}

Json parseObject(const std::string &body)
{
    json_error_t error;
    Json value(json_loadb(body.data(), body.size(), JSON_REJECT_DUPLICATES, &error));
    if (!value || !json_is_object(value.get())) {
        return nullptr;
    }
    return value;
}

} // namespace station::web

// Jansson helpers of the page.
#include "front/web/json.h"

namespace station::web {

std::string cleanUtf8(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t point = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07;
        }
        bool ok = length > 0 && i + length <= text.size();
        for (size_t k = 1; ok && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and points past U+10FFFF are not UTF-8.
        if (ok && ((length == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
                   (length == 4 && (point < 0x10000 || point > 0x10FFFF)))) {
            ok = false;
        }
        if (ok && point == 0) {
            ok = false; // Jansson strings stop at NUL
        }
        if (ok) {
            out.append(text, i, length);
            i += length;
        } else {
            out += '?';
            ++i;
        }
    }
    return out;
}

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

// The catalogue's rows as JSON.
#include "front/catalogueJson.h"

#include <cstdio>
#include <cstdlib>

namespace station {

std::string codeText(uint16_t code)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", code);
    return text;
}

json_t *modelsJson(uint8_t models)
{
    json_t *list = json_array();
    for (const catalogue::ModelName &m : catalogue::kModels) {
        if ((models & m.model) != 0) {
            json_array_append_new(list, json_stringn(m.name.data(), m.name.size()));
        }
    }
    return list;
}

json_t *testJson(const catalogue::Test &test)
{
    const auto str = [](std::string_view s) { return json_stringn(s.data(), s.size()); };
    json_t *row = json_object();
    json_object_set_new(row, "code", json_string(codeText(test.code).c_str()));
    json_object_set_new(row, "name", str(test.name));
    json_object_set_new(row, "title", str(test.title));
    json_object_set_new(row, "models", modelsJson(test.models));
    json_object_set_new(row, "operator", str(catalogue::operatorName(test.op)));
    json_object_set_new(row, "longest_ms", json_integer(test.longestMs));
    json_object_set_new(row, "decoder", str(catalogue::decoderName(test.decoder)));
    json_object_set_new(row, "hint", str(test.hint));
    return row;
}

void printJson(json_t *value)
{
    char *text = json_dumps(value, JSON_COMPACT | JSON_PRESERVE_ORDER);
    json_decref(value);
    if (text != nullptr) {
        std::printf("%s\n", text);
        std::free(text);
    }
}

} // namespace station

// Fuzz target of the Z-Wave device list the inclusion test reads: one line
// of JSON the peripheral script prints (at most 254 characters). A reference
// reading through Jansson says what the reported device must be: the last
// element's texts cut to 31 characters, its integers when they fit 32 bits,
// and what earlier elements (or nothing) left for members an element lacks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <jansson.h>
#include <limits>
#include <string>

#include "fuzzInput.h"
#include "peripher/zwave.h"

namespace {

constexpr size_t kLineMax = 254;

void setText(std::array<char, kZwaveFieldSize> &field, const json_t *element, const char *key)
{
    const json_t *value = json_object_get(element, key);
    if (json_is_string(value)) {
        const std::string text = std::string(json_string_value(value)).substr(0, kZwaveFieldSize - 1);
        field.fill('\0');
        std::memcpy(field.data(), text.c_str(), text.size() + 1);
    }
}

void setInt(int32_t &field, const json_t *element, const char *key)
{
    const json_t *value = json_object_get(element, key);
    if (json_is_integer(value) && json_integer_value(value) >= std::numeric_limits<int32_t>::min() &&
        json_integer_value(value) <= std::numeric_limits<int32_t>::max()) {
        field = static_cast<int32_t>(json_integer_value(value));
    }
}

ZwaveDevice reference(const std::string &line, ZwaveDevice device)
{
    json_t *doc = json_loads(line.c_str(), 0, nullptr);
    if (json_is_array(doc)) {
        for (size_t i = 0; i < json_array_size(doc); ++i) {
            const json_t *element = json_array_get(doc, i);
            setText(device.mac, element, "mac");
            setText(device.version, element, "version");
            setInt(device.pir, element, "pir");
            setInt(device.battery, element, "battery");
        }
    }
    json_decref(doc);
    return device;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    // What was there before: zeros as the handler starts, or earlier values.
    ZwaveDevice before{};
    if (in.byte() % 2 == 1) {
        std::strcpy(before.mac.data(), "earlier-mac");
        std::strcpy(before.version.data(), "earlier-version");
        before.battery = -7;
        before.pir = 12345;
    }
    std::string line = in.bytes(kLineMax);
    line = line.substr(0, line.find('\0'));

    ZwaveDevice got = before;
    readDevices(line.c_str(), got);
    const ZwaveDevice want = reference(line, before);
    fuzzCheck(std::strcmp(got.mac.data(), want.mac.data()) == 0, "the mac text");
    fuzzCheck(std::strcmp(got.version.data(), want.version.data()) == 0, "the version text");
    fuzzCheck(got.battery == want.battery && got.pir == want.pir, "the integers");
    fuzzCheck(got.mac.back() == '\0' && got.version.back() == '\0', "the texts stay terminated");
    return 0;
}

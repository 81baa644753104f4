// Z-Wave include and exclude through the peripheral command script. The
// script starts the operation and returns; the radio then has 12 seconds to
// find the device before the service asks for the device list, which the
// script prints as one line of JSON ("[]" when empty).
#include "peripher/zwave.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <jansson.h>

#include "board/shell.h"
#include "clock.h"
#include "log.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"
#include "util/json.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

constexpr size_t kListSize = 256;
static_assert(kListSize >= kShellLineRoom);

constexpr unsigned kSettleSec = 12;
constexpr int kExcludeAttempts = 5;
constexpr char kEmptyList[] = "[]";

constexpr size_t kReplyTextSize = 256;

// The parsed device list; released on every path out of the handler.
class JsonDoc {
public:
    explicit JsonDoc(json_t *doc) : doc_(doc) {}
    JsonDoc(const JsonDoc &) = delete;
    JsonDoc &operator=(const JsonDoc &) = delete;
    ~JsonDoc() { json_decref(doc_); }
    json_t *get() const { return doc_; }

private:
    json_t *doc_;
};

// The first line the getlist action prints, into a cleared list buffer:
// empty when the script could not run or printed nothing. Logged under the
// caller's name.
void readDeviceList(const char *caller, std::array<char, kListSize> &list)
{
    list.fill('\0');
    shellFirstLine(peripheralCmd("%s getlist").data(), list.data());
    GW_LOG_AS(caller, "out is [%s] \r\n\n", list.data());
}

bool isEmptyList(const std::array<char, kListSize> &list) { return std::strcmp(list.data(), kEmptyList) == 0; }

// A member that is missing or not a text leaves the field as an earlier
// element set it.
void copyText(std::array<char, kZwaveFieldSize> &field, const char *text)
{
    if (text != nullptr) {
        std::snprintf(field.data(), field.size(), "%s", text);
    }
}

} // namespace

void readDevices(const char *list, ZwaveDevice &device)
{
    JsonDoc doc(json_loads(list, 0, nullptr));
    if (doc.get() == nullptr) {
        return;
    }
    const size_t count = json_array_size(doc.get());
    for (size_t i = 0; i < count; ++i) {
        const json_t *element = json_array_get(doc.get(), i);
        if (element == nullptr) {
            break;
        }
        copyText(device.mac, json_obj_get_string(element, "mac"));
        copyText(device.version, json_obj_get_string(element, "version"));
        json_obj_get_int(element, "pir", &device.pir);
        json_obj_get_int(element, "battery", &device.battery);
    }
}

int cmd_request_zwave_include_and_query(uint8_t *reply, int cap)
{
    GW_LOG("cmd ZWave Include ....\r\n\n");

    // The script's exit status tells nothing about the radio.
    shellRunUnchecked(peripheralCmd("%s include").data());
    gwSleepSec(kSettleSec);

    std::array<char, kListSize> list{};
    readDeviceList(__func__, list);
    if (isEmptyList(list)) {
        // Nothing was included.
        return replyResultByte(reply, cap, kResultFail);
    }

    ZwaveDevice device{};
    readDevices(list.data(), device);

    std::array<char, kReplyTextSize> text{};
    std::snprintf(text.data(), text.size(), "%s|%s|%d|%d", device.mac.data(), device.version.data(), device.battery,
                  device.pir);
    GW_LOG("RET: <%s>\r\n\n", text.data());

    if (cap < 1) {
        return 0;
    }
    // The text goes out without its terminator, cut to the buffer.
    const auto room = static_cast<uint16_t>(std::min(cap, static_cast<int>(UINT16_MAX)));
    const auto textLen = static_cast<uint16_t>(std::strlen(text.data()));
    return resInfoWrite(reply, room, kResultPass, reinterpret_cast<const uint8_t *>(text.data()), textLen);
}

int cmd_request_zwave_exclude(uint8_t *reply, int cap)
{
    GW_LOG("cmd ZWave Exclude ....\r\n\n");

    std::array<char, kListSize> list{};
    bool empty = false;
    for (int attempt = 0; attempt < kExcludeAttempts && !empty; ++attempt) {
        shellRunUnchecked(peripheralCmd("%s exclude").data());
        gwSleepSec(kSettleSec);
        readDeviceList(__func__, list);
        empty = isEmptyList(list);
    }
    return replyResultByte(reply, cap, empty ? kResultPass : kResultFail);
}

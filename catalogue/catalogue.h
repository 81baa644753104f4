// The one table of the gateway's test codes. Per code and model: the short
// name stations and people use, its title, whether it needs the operator,
// the longest it may take (from the service's own fixed waits), how to read
// its reply data, and what a failure usually means.
//
// Header only and constexpr: the service checks its dispatch tables against
// it at compile time, the station plans and decodes from it, gwsim and the
// end-to-end tests read it.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace catalogue {

// Models as bits, so that a row can name the models that answer it.
enum Model : uint8_t {
    kGwm0101 = 1U << 0,
    kGwm0202 = 1U << 1,
    kGwm0303 = 1U << 2,
    kGwm0404 = 1U << 3,
    kEveryModel = kGwm0101 | kGwm0202 | kGwm0303 | kGwm0404,
};

struct ModelName {
    Model model;
    std::string_view name; // as the gateway's model file spells it, upper case
};

inline constexpr std::array kModels{
    ModelName{kGwm0101, "GWM0101"},
    ModelName{kGwm0202, "GWM0202"},
    ModelName{kGwm0303, "GWM0303"},
    ModelName{kGwm0404, "GWM0404"},
};

// What a person at the station does for a test.
enum class Operator : uint8_t {
    kNone,        // automatic
    kPressButton, // press the gateway's button while the test runs
    kLedLit,      // after the reply: did the named LED light for two seconds?
    kAllBlinking, // after the reply: are all LEDs blinking?
    kAllRestored, // after the reply: are all LEDs back to normal?
};

// How the data after the result byte reads.
enum class Decoder : uint8_t {
    kNone,    // no data expected
    kMac,     // the MAC as text, shown 02:47:57:04:04:00
    kVersion, // a version text
    kModel,   // the model file's text, newline dropped
    kZwave,   // Z-Wave device fields
    kText,    // printable text, else hex
};

struct Test {
    uint16_t code;
    uint8_t models;         // Model bits of the models that answer this row
    std::string_view name;  // short, unique per code: "mac", "ping-host", "zwave-exclude"
    std::string_view title; // "ping of a host by name"
    Operator op;
    uint32_t longestMs;     // the service's fixed waits for this test on these models
    Decoder decoder;
    std::string_view hint;  // what a failure usually means, what to check
};

// Rows in plan order: identity first, then network, radios, cellular, the
// operator's tests last. A code may have one row per model family when its
// title or duration differs (the 2G, 3G and 4G modem tests).
// clang-format off
inline constexpr std::array kTests{
    Test{0x0001, kEveryModel, "mac", "MAC address", Operator::kNone, 1000, Decoder::kMac, "the factory data partition: is the MAC written?"},
    Test{0x0002, kEveryModel, "sysversion", "system build version", Operator::kNone, 1000, Decoder::kVersion, "the firmware image: build file missing or without a version"},
    Test{0x0005, kEveryModel, "model", "device model", Operator::kNone, 1000, Decoder::kModel, "the model file /tmp/sysinfo/model: empty or missing"},
    Test{0x0003, kGwm0202, "zbversion", "Zigbee firmware version", Operator::kNone, 1000, Decoder::kVersion, "the Zigbee module: not flashed or not answering"},
    Test{0x0004, kGwm0202, "zwversion", "Z-Wave firmware version", Operator::kNone, 1000, Decoder::kVersion, "the Z-Wave module: not flashed or not answering"},
    Test{0x0101, kEveryModel, "wan", "WAN address (DHCP)", Operator::kNone, 5000, Decoder::kText, "the WAN cable and the line's DHCP server"},
    Test{0x0102, kEveryModel, "ping-gw", "ping of the default gateway", Operator::kNone, 5000, Decoder::kNone, "the WAN cable, the default route, the line's router"},
    Test{0x0103, kEveryModel, "ping-host", "ping of a host by name", Operator::kNone, 5000, Decoder::kNone, "DNS or the upstream link of the line"},
    Test{0x0203, kEveryModel, "smartconfig", "Wi-Fi smart-config", Operator::kNone, 5000, Decoder::kNone, "the Wi-Fi module or its antenna"},
    Test{0x0301, kGwm0202, "modem-usb", "4G modem on USB", Operator::kNone, 5000, Decoder::kNone, "the 4G module: seated? powered? its USB lines"},
    Test{0x0301, kGwm0404, "modem-usb", "3G modem on USB", Operator::kNone, 5000, Decoder::kNone, "the 3G module: seated? powered? its USB lines"},
    Test{0x0302, kGwm0202, "modem-at", "4G modem answers AT", Operator::kNone, 12000, Decoder::kNone, "the 4G module's serial port or power"},
    Test{0x0302, kGwm0303, "modem-at", "2G modem answers AT", Operator::kNone, 12000, Decoder::kNone, "the 2G module's serial port or power"},
    Test{0x0302, kGwm0404, "modem-at", "3G modem answers AT", Operator::kNone, 12000, Decoder::kNone, "the 3G module's serial port or power"},
    Test{0x0303, kGwm0202, "sim", "SIM ready (4G)", Operator::kNone, 75000, Decoder::kNone, "the SIM card: inserted? its holder's contacts"},
    Test{0x0303, kGwm0303, "sim", "SIM ready (2G)", Operator::kNone, 75000, Decoder::kNone, "the SIM card: inserted? its holder's contacts"},
    Test{0x0303, kGwm0404, "sim", "SIM ready (3G)", Operator::kNone, 75000, Decoder::kNone, "the SIM card: inserted? its holder's contacts"},
    Test{0x0401, kGwm0101, "greenpower-pair", "Green Power pairing", Operator::kNone, 5000, Decoder::kNone, "the Zigbee radio or its antenna"},
    Test{0x0401, kGwm0202, "zigbee-pair", "Zigbee pairing", Operator::kNone, 5000, Decoder::kNone, "the Zigbee radio or its antenna"},
    Test{0x0501, kGwm0202, "zwave-pair", "Z-Wave pairing", Operator::kNone, 5000, Decoder::kNone, "the Z-Wave radio or its antenna"},
    Test{0x0601, kGwm0202 | kGwm0303, "ble-present", "BLE device present", Operator::kNone, 5000, Decoder::kNone, "the BLE module: seated? powered?"},
    Test{0x0602, kGwm0202, "ble-scan", "BLE scan", Operator::kNone, 5000, Decoder::kNone, "the BLE radio or its antenna; a beacon near the station?"},
    Test{0x0801, kGwm0101 | kGwm0303 | kGwm0404, "nxp-pair", "NXP radio pairing", Operator::kNone, 5000, Decoder::kNone, "the NXP radio or its antenna"},
    Test{0x0802, kGwm0101 | kGwm0303 | kGwm0404, "nxp-carrier", "NXP radio single carrier", Operator::kNone, 5000, Decoder::kNone, "the NXP radio's serial port"},
    Test{0x0803, kGwm0202 | kGwm0303, "ember-carrier", "Ember single carrier", Operator::kNone, 5000, Decoder::kNone, "the Ember radio"},
    Test{0x0804, kGwm0202 | kGwm0303 | kGwm0404, "ble-carrier", "BLE single carrier", Operator::kNone, 5000, Decoder::kNone, "the BLE radio"},
    Test{0x0502, kGwm0202, "zwave-include", "Z-Wave inclusion and query", Operator::kNone, 65000, Decoder::kZwave, "the Z-Wave radio; the reference device near the station in inclusion mode?"},
    Test{0x0503, kGwm0202, "zwave-exclude", "Z-Wave exclusion", Operator::kNone, 65000, Decoder::kNone, "the Z-Wave radio; the reference device near the station in exclusion mode?"},
    Test{0x0603, kEveryModel, "button", "button pressed", Operator::kPressButton, 10000, Decoder::kNone, "the button: not pressed in time, or its switch or GPIO line"},
    Test{0x0701, kEveryModel, "led-power", "power LED", Operator::kLedLit, 2000, Decoder::kNone, "the power LED or its driver"},
    Test{0x0702, kGwm0202, "led-zwave", "Z-Wave LED", Operator::kLedLit, 2000, Decoder::kNone, "the Z-Wave LED or its driver"},
    Test{0x0703, kEveryModel, "led-zigbee", "Zigbee LED", Operator::kLedLit, 2000, Decoder::kNone, "the Zigbee LED or its driver"},
    Test{0x0704, kGwm0202, "led-4g", "4G LED", Operator::kLedLit, 2000, Decoder::kNone, "the 4G LED or its driver"},
    Test{0x0705, kEveryModel, "led-error", "error LED", Operator::kLedLit, 2000, Decoder::kNone, "the error LED or its driver"},
    Test{0x0706, kEveryModel, "leds-blink", "all LEDs blink", Operator::kAllBlinking, 1000, Decoder::kNone, "the LED drivers or the blink script"},
    Test{0x0707, kEveryModel, "leds-restore", "all LEDs back to normal", Operator::kAllRestored, 1000, Decoder::kNone, "the LED drivers or the restore script"},
};
// clang-format on

// The model's bit for its name (upper case, as the model file spells it); 0
// for an unknown model.
constexpr uint8_t modelBit(std::string_view name)
{
    for (const ModelName &m : kModels) {
        if (m.name == name) {
            return m.model;
        }
    }
    return 0;
}

// The row of a code on a model, or null when the model does not answer it.
constexpr const Test *find(uint16_t code, uint8_t model)
{
    for (const Test &t : kTests) {
        if (t.code == code && (t.models & model) != 0) {
            return &t;
        }
    }
    return nullptr;
}

// Any row of a code, whatever the model; null when no model answers it.
constexpr const Test *findAny(uint16_t code) { return find(code, kEveryModel); }

// The row of a short name on a model; null when unknown there.
constexpr const Test *findName(std::string_view name, uint8_t model)
{
    for (const Test &t : kTests) {
        if (t.name == name && (t.models & model) != 0) {
            return &t;
        }
    }
    return nullptr;
}

} // namespace catalogue

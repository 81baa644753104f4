// The one table of the gateway's test codes. Per code and model: the short
// name stations and people use, its title, whether it needs the operator,
// the longest it may take (from the service's own fixed waits), how to read
// its reply data, and what a failure usually means.
//
// Header only and constexpr, no heap: the service checks its dispatch tables
// against it at compile time, the station plans and decodes from it, gwsim
// and the end-to-end tests read it. It is the only place where the models
// that answer a code are written down.
#pragma once

#include <array>
#include <cstddef>
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
    std::string_view name; // upper case, as the service matches it
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
    kMac,     // eth0's six hardware-address bytes, shown 02:47:57:04:04:00
    kVersion, // a version text and its NUL, sometimes with the file's newline
    kModel,   // the model file's first line and a NUL, newline dropped when shown
    kZwave,   // the included device: "mac|version|battery|pir"
    kText,    // printable text, else hex
};

struct Test {
    uint16_t code;
    uint8_t models;         // Model bits of the models that answer this row
    std::string_view name;  // short, one per code: "mac", "ping-host", "zwave-exclude"
    std::string_view title; // "ping of a host by name"
    Operator op;
    uint32_t longestMs; // the longest the service may take for this test on these models
    Decoder decoder;
    std::string_view hint; // what a failure usually means, what to check
};

// What a test's longest run is made of: the service's fixed sleeps, the
// time-outs of its exchanges (a ping's deadline, a serial read), and an
// allowance for the gateway tools it runs through the shell. The station
// waits this long plus its own margin before it calls a test silent.
namespace duration {

inline constexpr uint32_t kSecond = 1000;
// A test with no waits of its own (a file read, an interface query, a tool
// started in the background): done well within a second.
inline constexpr uint32_t kQuick = kSecond;
// A BusyBox one-liner or a line tool (gpioc, gpio, kill, ifconfig, echo to sysfs).
inline constexpr uint32_t kShellTool = 100;
// A platform script that talks to a daemon (the init scripts, tovak_*.sh, ubus).
inline constexpr uint32_t kScript = 500;

constexpr uint32_t atLeastQuick(uint32_t ms) { return ms < kQuick ? kQuick : ms; }

// One AT exchange: up to 1 s to write, a 500 ms pause for the answer, the read time-out.
constexpr uint32_t atExchange(uint32_t readMs) { return kSecond + 500 + readMs; }
inline constexpr uint32_t kAtProbe = atExchange(5 * kSecond);   // "AT\r", answered OK
inline constexpr uint32_t kSimProbe = atExchange(10 * kSecond); // "AT+CPIN?\r", answered READY

// A 200 ms pulse on a modem line with the line tool: two commands.
inline constexpr uint32_t kLinePulse = 200 + 2 * kShellTool;
// A 2G pulse (high, 1 s, low, 1 s, high) with the pin's export and direction first.
inline constexpr uint32_t k2gPulse = 2 * kSecond + 5 * kShellTool;
// Up to 12 checks of the modem's tty, one second apart.
inline constexpr uint32_t kPresenceWait = 11 * kSecond;

// The 4G modem's restart: data link stopped, 1 s, power off (a reset pulse,
// or on the MediaTek SDK the network manager stopped and three gpio
// commands), 1 s, power on (a power pulse), 10 s to boot.
inline constexpr uint32_t k4gPowerOff = kScript + 3 * kShellTool > kLinePulse ? kScript + 3 * kShellTool : kLinePulse;
inline constexpr uint32_t k4gRestart = kScript + kSecond + k4gPowerOff + kSecond + kLinePulse + 10 * kSecond;

// Pings have a 3 s deadline. A host name is resolved first, and a resolver
// that gets no answer tries twice for 5 s each before ping gives up.
inline constexpr uint32_t kPing = 3 * kSecond + kShellTool;
inline constexpr uint32_t kPingByName = 10 * kSecond + kPing;

// Smart-config: four commands to restart it, up to 30 checks of wlan0 one
// second apart, two commands to stop it.
inline constexpr uint32_t kSmartconfig = 4 * kShellTool + 30 * (kShellTool + kSecond) + 2 * kShellTool;

// The 4G modem on USB: switched on (on the MediaTek SDK the power-off
// commands, 200 ms, one gpio command), 8 s, the tty looked up (find and
// basename on the MediaTek SDK), then the presence wait.
inline constexpr uint32_t k4gUsb =
    (kScript + 3 * kShellTool) + 200 + kShellTool + 8 * kSecond + 2 * kShellTool + kPresenceWait;
// The 3G modem on USB: when it is up already, data link stopped, pppd
// killed, a reset pulse and 1 s; then a power pulse and the presence wait.
inline constexpr uint32_t k3gUsb = kScript + kShellTool + kLinePulse + kSecond + kLinePulse + kPresenceWait;
// The 2G AT test: data link stopped, 1 s, reset pulse, 1 s, power pulse,
// 10 s to boot, then the AT probe on each of its two ports.
inline constexpr uint32_t k2gAt = kScript + kSecond + k2gPulse + kSecond + k2gPulse + 10 * kSecond + 2 * kAtProbe;
// The 3G SIM check: up to six SIM probes, one second apart.
inline constexpr uint32_t k3gSim = 6 * kSimProbe + 5 * kSecond;

// The NXP carrier: its service stopped, the tone command, the probe written
// (100 ms at most) and its answer awaited (500 ms).
inline constexpr uint32_t kNxpCarrier = 2 * kScript + 100 + 500;

// Z-Wave: the include or exclude command, 12 s, the device list read.
inline constexpr uint32_t kZwaveRound = kScript + 12 * kSecond + kScript;
inline constexpr uint32_t kZwaveExcludeRounds = 5;

// The button is checked ten times, one second apart.
inline constexpr uint32_t kButton = 10 * kSecond;
// A single LED is lit for two seconds.
inline constexpr uint32_t kLedOn = 2 * kSecond;
// The restore test stops the blink script, waits 1 s and starts the restore.
inline constexpr uint32_t kRestore = kShellTool + kSecond + kShellTool;

} // namespace duration

// Rows in plan order: identity first (the model before anything else, so a
// wrong model stops a run at once), then network, cellular (the AT test
// before the SIM check, which builds on it), radios, Z-Wave (inclusion
// before exclusion), the operator's tests last (blink before restore).
// A code has one row per model family when its title, duration or hint
// differs (the 2G, 3G and 4G modem tests); every row of a code has the same
// short name.
// clang-format off
inline constexpr std::array kTests{
    Test{0x0005, kEveryModel, "model", "device model", Operator::kNone, duration::kQuick, Decoder::kModel,
         "/tmp/sysinfo/model is missing, unreadable or empty: the gateway's start-up did not write its model"},
    Test{0x0001, kEveryModel, "mac", "MAC address", Operator::kNone, duration::kQuick, Decoder::kMac,
         "eth0 has no hardware address (the service then sends no reply at all): the Ethernet driver, or no MAC in the factory data"},
    Test{0x0002, kEveryModel, "sysversion", "system build version", Operator::kNone, duration::kQuick, Decoder::kVersion,
         "/etc/tovak_build is missing or its first line holds no version (name=version-build): the firmware image"},
    Test{0x0003, kGwm0202, "zbversion", "Zigbee firmware version", Operator::kNone, duration::kQuick, Decoder::kVersion,
         "/etc/config/tovak/amber/version is missing or holds no version: the Zigbee module was not flashed or its stack did not start"},
    Test{0x0004, kGwm0202, "zwversion", "Z-Wave firmware version", Operator::kNone, duration::kQuick, Decoder::kVersion,
         "/etc/config/tovak/zwdev/version is missing or holds no version: the Z-Wave module was not flashed or its stack did not start"},
    Test{0x0101, kEveryModel, "wan", "WAN address (DHCP)", Operator::kNone, duration::kQuick, Decoder::kNone,
         "the WAN interface (eth0.2, eth0 on GWM0303) has no IPv4 address: the WAN cable, or the line's DHCP server"},
    Test{0x0102, kEveryModel, "ping-gw", "ping of the default gateway", Operator::kNone, duration::kPing, Decoder::kNone,
         "no default route, or the router did not answer within 3 s: the WAN cable, the line's router"},
    Test{0x0103, kEveryModel, "ping-host", "ping of a host by name", Operator::kNone, duration::kPingByName, Decoder::kNone,
         "the host name did not resolve or did not answer within 3 s: DNS or the upstream link of the line"},
    Test{0x0203, kEveryModel, "smartconfig", "Wi-Fi smart-config", Operator::kNone, duration::kSmartconfig, Decoder::kNone,
         "wlan0 got no address within 30 s: the Wi-Fi module or its antenna, or the line's smart-config sender"},
    Test{0x0301, kGwm0202, "modem-usb", "4G modem on USB", Operator::kNone, duration::k4gUsb, Decoder::kNone,
         "the 4G modem's tty did not appear after its power pulse: module seated? powered? its USB lines"},
    Test{0x0301, kGwm0404, "modem-usb", "3G modem on USB", Operator::kNone, duration::k3gUsb, Decoder::kNone,
         "/dev/ttyUSB4 did not appear after the power pulse: 3G module seated? powered? its USB lines"},
    Test{0x0302, kGwm0202, "modem-at", "4G modem answers AT", Operator::kNone, duration::k4gRestart + duration::kAtProbe, Decoder::kNone,
         "the 4G modem, power-cycled, was not found on USB or did not answer AT with OK: module, its power or USB lines"},
    Test{0x0302, kGwm0303, "modem-at", "2G modem answers AT", Operator::kNone, duration::k2gAt, Decoder::kNone,
         "the 2G modem answered AT on neither /dev/ttyS1 nor /dev/ttyS2: module, its power and reset lines, its UART"},
    Test{0x0302, kGwm0404, "modem-at", "3G modem answers AT", Operator::kNone, duration::kAtProbe, Decoder::kNone,
         "the 3G modem's tty was not found on USB or did not answer AT with OK: run modem-usb first; module or its USB lines"},
    Test{0x0303, kGwm0202, "sim", "SIM ready (4G)", Operator::kNone, duration::k4gRestart + duration::kSimProbe, Decoder::kNone,
         "the SIM did not answer READY: SIM inserted? its holder's contacts; or the 4G modem itself (see modem-at)"},
    Test{0x0303, kGwm0303, "sim", "SIM ready (2G)", Operator::kNone, duration::kSimProbe, Decoder::kNone,
         "the SIM did not answer READY, or no 2G AT test has passed since the service started (run modem-at first): SIM inserted? its contacts"},
    Test{0x0303, kGwm0404, "sim", "SIM ready (3G)", Operator::kNone, duration::k3gSim, Decoder::kNone,
         "the SIM did not answer READY in six tries: SIM inserted? its holder's contacts; or the 3G modem itself (see modem-at)"},
    Test{0x0401, kGwm0101, "zigbee-pair", "Green Power pairing", Operator::kNone, duration::kQuick, Decoder::kNone,
         "this test always passes on GWM0101: a failure means the gateway runs an unexpected service build"},
    Test{0x0401, kGwm0202, "zigbee-pair", "Zigbee pairing", Operator::kNone, duration::kQuick, Decoder::kNone,
         "/etc/config/tovak/amber/netinfo is missing: the Zigbee stack formed no network; the Zigbee module"},
    Test{0x0501, kGwm0202, "zwave-pair", "Z-Wave pairing", Operator::kNone, duration::kQuick, Decoder::kNone,
         "/etc/config/tovak/zwdev/netinfo is missing: the Z-Wave stack formed no network; the Z-Wave module"},
    Test{0x0601, kGwm0202 | kGwm0303, "ble-present", "BLE device present", Operator::kNone, duration::kQuick, Decoder::kNone,
         "/etc/config/tovak/ble/netinfo is missing: the BLE module is not seated or powered, or its stack did not start"},
    Test{0x0602, kGwm0202, "ble-scan", "BLE scan", Operator::kNone, duration::kQuick, Decoder::kNone,
         "this test always passes: a failure means the gateway runs an unexpected service build"},
    Test{0x0801, kGwm0101 | kGwm0303 | kGwm0404, "nxp-pair", "NXP radio pairing", Operator::kNone, duration::kQuick, Decoder::kNone,
         "this test always passes: a failure means the gateway runs an unexpected service build"},
    Test{0x0802, kGwm0101 | kGwm0303 | kGwm0404, "nxp-carrier", "NXP radio single carrier", Operator::kNone, duration::kNxpCarrier, Decoder::kNone,
         "the NXP radio did not answer on /dev/ttyS1 within 0.5 s: the radio, its UART, or the nxp service still holding the port"},
    Test{0x0803, kGwm0202 | kGwm0303, "ember-carrier", "Ember radio single carrier", Operator::kNone, duration::atLeastQuick(duration::kScript), Decoder::kNone,
         "the service only starts the tone and always passes: judge the carrier on the station's RF meter"},
    Test{0x0804, kGwm0202 | kGwm0303 | kGwm0404, "ble-carrier", "BLE radio single carrier", Operator::kNone, duration::atLeastQuick(duration::kScript), Decoder::kNone,
         "the service only sends the direct-test message and always passes: judge the carrier on the station's RF meter"},
    Test{0x0502, kGwm0202, "zwave-include", "Z-Wave inclusion and query", Operator::kNone, duration::kZwaveRound, Decoder::kZwave,
         "no device in the list 12 s after inclusion started: the reference device near the station and in inclusion mode? the Z-Wave radio"},
    Test{0x0503, kGwm0202, "zwave-exclude", "Z-Wave exclusion", Operator::kNone, duration::kZwaveExcludeRounds * duration::kZwaveRound, Decoder::kNone,
         "the device list never emptied in five exclusions: the reference device in exclusion mode? the Z-Wave radio"},
    Test{0x0603, kEveryModel, "button", "button pressed", Operator::kPressButton, duration::kButton, Decoder::kNone,
         "no press within 10 s: pressed in time? the button's switch or its line"},
    Test{0x0701, kEveryModel, "led-power", "power LED", Operator::kLedLit, duration::kLedOn, Decoder::kNone,
         "a fail from the gateway: /sys/class/leds/pwrled is missing (LED driver); a 'no' from the operator: the LED or its solder"},
    Test{0x0702, kGwm0202, "led-zwave", "Z-Wave LED", Operator::kLedLit, duration::kLedOn, Decoder::kNone,
         "a fail from the gateway: /sys/class/leds/zwled is missing (LED driver); a 'no' from the operator: the LED or its solder"},
    Test{0x0703, kEveryModel, "led-zigbee", "Zigbee LED", Operator::kLedLit, duration::kLedOn, Decoder::kNone,
         "a fail from the gateway: /sys/class/leds/zigbee is missing (LED driver); a 'no' from the operator: the LED or its solder"},
    Test{0x0704, kGwm0202, "led-4g", "4G LED", Operator::kLedLit, duration::kLedOn, Decoder::kNone,
         "a fail from the gateway: /sys/class/leds/4gled is missing (LED driver); a 'no' from the operator: the LED or its solder"},
    Test{0x0705, kEveryModel, "led-error", "error LED", Operator::kLedLit, duration::kLedOn, Decoder::kNone,
         "a fail from the gateway: /sys/class/leds/errled is missing (LED driver); a 'no' from the operator: the LED or its solder"},
    Test{0x0706, kEveryModel, "leds-blink", "all LEDs blink", Operator::kAllBlinking, duration::kQuick, Decoder::kNone,
         "a fail from the gateway: tovak_peripheralcmd.sh could not be started; a 'no' from the operator: an LED or its driver"},
    Test{0x0707, kEveryModel, "leds-restore", "all LEDs back to normal", Operator::kAllRestored, duration::atLeastQuick(duration::kRestore), Decoder::kNone,
         "a fail from the gateway: tovak_peripheralcmd.sh could not be started; a 'no' from the operator: an LED or its driver"},
};
// clang-format on

namespace detail {

constexpr char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

constexpr bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace detail

// The model's bit for its name, in any case ("gwm0202" as the model file
// holds it, "GWM0202" as the service matches it); 0 for an unknown model.
constexpr uint8_t modelBit(std::string_view name)
{
    for (const ModelName &m : kModels) {
        if (detail::equalIgnoringCase(m.name, name)) {
            return m.model;
        }
    }
    return 0;
}

// The name of a single model's bit; empty for anything else.
constexpr std::string_view modelName(uint8_t bit)
{
    for (const ModelName &m : kModels) {
        if (m.model == bit) {
            return m.name;
        }
    }
    return {};
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

// Whether a model answers a code. (Also for compile-time checks: a row's
// address compared with null is not a constant expression everywhere.)
constexpr bool answers(uint16_t code, uint8_t model)
{
    for (const Test &t : kTests) {
        if (t.code == code && (t.models & model) != 0) {
            return true;
        }
    }
    return false;
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

// Any row of a short name, whatever the model; null for an unknown name.
constexpr const Test *findName(std::string_view name) { return findName(name, kEveryModel); }

// The longest a code may take on any model that answers it; 0 when none does.
constexpr uint32_t longestOnAnyModel(uint16_t code)
{
    uint32_t longest = 0;
    for (const Test &t : kTests) {
        if (t.code == code && t.longestMs > longest) {
            longest = t.longestMs;
        }
    }
    return longest;
}

// A model's plan: the catalogue's rows of that model, in row order.
class Plan {
public:
    constexpr const Test *const *begin() const { return rows_.data(); }
    constexpr const Test *const *end() const { return rows_.data() + count_; }
    constexpr size_t size() const { return count_; }
    constexpr bool empty() const { return count_ == 0; }
    constexpr const Test &operator[](size_t i) const { return *rows_[i]; }
    constexpr void add(const Test *t) { rows_[count_++] = t; }

private:
    std::array<const Test *, kTests.size()> rows_{};
    size_t count_ = 0;
};

// The plan of one model's bit; empty for 0 or an unknown bit.
constexpr Plan plan(uint8_t model)
{
    Plan p;
    if (modelName(model).empty()) {
        return p;
    }
    for (const Test &t : kTests) {
        if ((t.models & model) != 0) {
            p.add(&t);
        }
    }
    return p;
}

// The sum of a plan's longest durations.
constexpr uint64_t planLongestMs(const Plan &p)
{
    uint64_t sum = 0;
    for (const Test *t : p) {
        sum += t->longestMs;
    }
    return sum;
}

constexpr std::string_view operatorName(Operator op)
{
    switch (op) {
    case Operator::kNone:
        return "none";
    case Operator::kPressButton:
        return "press-button";
    case Operator::kLedLit:
        return "led-lit";
    case Operator::kAllBlinking:
        return "all-blinking";
    case Operator::kAllRestored:
        return "all-restored";
    }
    return "none";
}

constexpr std::string_view decoderName(Decoder d)
{
    switch (d) {
    case Decoder::kNone:
        return "none";
    case Decoder::kMac:
        return "mac";
    case Decoder::kVersion:
        return "version";
    case Decoder::kModel:
        return "model";
    case Decoder::kZwave:
        return "zwave";
    case Decoder::kText:
        return "text";
    }
    return "none";
}

// The table's own rules, checked where it is compiled.
namespace detail {

// Every row names at least one model, and no model has two rows of a code
// (find would see only the first).
constexpr bool oneRowPerCodeAndModel()
{
    for (size_t i = 0; i < kTests.size(); ++i) {
        if ((kTests[i].models & kEveryModel) == 0 || (kTests[i].models & ~kEveryModel) != 0) {
            return false;
        }
        for (size_t j = i + 1; j < kTests.size(); ++j) {
            if (kTests[i].code == kTests[j].code && (kTests[i].models & kTests[j].models) != 0) {
                return false;
            }
        }
    }
    return true;
}

// A short name stands for one code and a code has one short name, so that a
// name means the same test on every model.
constexpr bool oneNamePerCode()
{
    for (size_t i = 0; i < kTests.size(); ++i) {
        if (kTests[i].name.empty()) {
            return false;
        }
        for (size_t j = i + 1; j < kTests.size(); ++j) {
            if ((kTests[i].code == kTests[j].code) != (kTests[i].name == kTests[j].name)) {
                return false;
            }
        }
    }
    return true;
}

// A name is never read as a code: it does not start with a digit.
constexpr bool namesAreNotNumbers()
{
    for (const Test &t : kTests) {
        if (t.name.front() >= '0' && t.name.front() <= '9') {
            return false;
        }
    }
    return true;
}

// Every row can be shown and waited for: a title, a hint, a duration; and
// the code is one the service hands to its tables (below 0x1200).
constexpr bool rowsComplete()
{
    for (const Test &t : kTests) {
        if (t.title.empty() || t.hint.empty() || t.longestMs == 0 || t.code >= 0x1200) {
            return false;
        }
    }
    return true;
}

// The rows of a code follow one another, so a plan lists a code once per
// model in a stable place.
constexpr bool rowsOfACodeTogether()
{
    for (size_t i = 0; i < kTests.size(); ++i) {
        for (size_t j = i + 2; j < kTests.size(); ++j) {
            if (kTests[i].code == kTests[j].code) {
                for (size_t k = i + 1; k < j; ++k) {
                    if (kTests[k].code != kTests[i].code) {
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

} // namespace detail

static_assert(detail::oneRowPerCodeAndModel(), "a model has two rows of one code, or a row names no model");
static_assert(detail::oneNamePerCode(), "a code has two short names, or two codes share one");
static_assert(detail::namesAreNotNumbers(), "a short name starts with a digit and reads as a code");
static_assert(detail::rowsComplete(),
              "a row lacks its title, hint or duration, or has a code the service never dispatches");
static_assert(detail::rowsOfACodeTogether(), "the rows of a code are apart");

// The two queries the station makes of every gateway before its plan: the
// model, which picks the plan, and the MAC, which names the unit in the
// records. Every model answers both.
inline constexpr uint16_t kModelQuery = 0x0005;
inline constexpr uint16_t kMacQuery = 0x0001;
static_assert(answers(kModelQuery, kEveryModel) && findAny(kModelQuery)->decoder == Decoder::kModel &&
                  findAny(kModelQuery)->models == kEveryModel,
              "the model query is not a row every model answers with its model");
static_assert(answers(kMacQuery, kEveryModel) && findAny(kMacQuery)->decoder == Decoder::kMac &&
                  findAny(kMacQuery)->models == kEveryModel,
              "the MAC query is not a row every model answers with its MAC");

// The models as people read them in a message or a help text:
// "GWM0101, GWM0202, GWM0303 or GWM0404".
namespace detail {

constexpr size_t modelListSize()
{
    size_t n = 0;
    for (size_t i = 0; i < kModels.size(); ++i) {
        n += kModels[i].name.size() + (i == 0 ? 0 : i + 1 == kModels.size() ? 4 : 2);
    }
    return n;
}

constexpr std::array<char, modelListSize()> modelListChars()
{
    std::array<char, modelListSize()> out{};
    size_t n = 0;
    const auto append = [&](std::string_view text) {
        for (char c : text) {
            out[n++] = c;
        }
    };
    for (size_t i = 0; i < kModels.size(); ++i) {
        append(i == 0 ? "" : i + 1 == kModels.size() ? " or " : ", ");
        append(kModels[i].name);
    }
    return out;
}

inline constexpr auto kModelListChars = modelListChars();

} // namespace detail

inline constexpr std::string_view kModelList{detail::kModelListChars.data(), detail::kModelListChars.size()};

} // namespace catalogue

// The test plans of each gateway model.
#include "plans.h"

#include <array>

namespace station {

namespace {

// Every model: identity, network, button and LED tests.
constexpr std::array kGeneral{
    PlanStep{0x0001, "MAC address"},
    PlanStep{0x0002, "system build version"},
    PlanStep{0x0005, "device model"},
    PlanStep{0x0101, "WAN address (DHCP)"},
    PlanStep{0x0102, "ping of the default gateway"},
    PlanStep{0x0103, "ping of a host by name"},
    PlanStep{0x0203, "Wi-Fi smart-config"},
    PlanStep{0x0603, "button pressed"},
    PlanStep{0x0701, "power LED"},
    PlanStep{0x0703, "Zigbee LED"},
    PlanStep{0x0705, "error LED"},
    PlanStep{0x0706, "all LEDs blink"},
    PlanStep{0x0707, "all LEDs back to normal"},
};

// The general steps followed by the model's own.
template <size_t N>
constexpr std::array<PlanStep, kGeneral.size() + N> withGeneral(const std::array<PlanStep, N> &own)
{
    std::array<PlanStep, kGeneral.size() + N> all{};
    size_t i = 0;
    for (const PlanStep &step : kGeneral) {
        all[i++] = step;
    }
    for (const PlanStep &step : own) {
        all[i++] = step;
    }
    return all;
}

constexpr auto kGwm0101 = withGeneral(std::array{
    PlanStep{0x0401, "Green Power pairing"},
    PlanStep{0x0801, "NXP radio pairing"},
    PlanStep{0x0802, "NXP radio single carrier"},
});

constexpr auto kGwm0202 = withGeneral(std::array{
    PlanStep{0x0003, "Zigbee firmware version"},
    PlanStep{0x0004, "Z-Wave firmware version"},
    PlanStep{0x0301, "4G modem on USB"},
    PlanStep{0x0302, "4G modem answers AT"},
    PlanStep{0x0303, "SIM ready (4G)"},
    PlanStep{0x0401, "Zigbee pairing"},
    PlanStep{0x0501, "Z-Wave pairing"},
    PlanStep{0x0601, "BLE device present"},
    PlanStep{0x0602, "BLE scan"},
    PlanStep{0x0702, "Z-Wave LED"},
    PlanStep{0x0704, "4G LED"},
    PlanStep{0x0803, "Ember single carrier"},
    PlanStep{0x0804, "BLE single carrier"},
    PlanStep{0x0502, "Z-Wave inclusion and query"},
    PlanStep{0x0503, "Z-Wave exclusion"},
});

constexpr auto kGwm0303 = withGeneral(std::array{
    PlanStep{0x0302, "2G modem answers AT"},
    PlanStep{0x0303, "SIM ready (2G)"},
    PlanStep{0x0801, "NXP radio pairing"},
    PlanStep{0x0802, "NXP radio single carrier"},
    PlanStep{0x0803, "Ember single carrier"},
    PlanStep{0x0804, "BLE single carrier"},
    PlanStep{0x0601, "BLE device present"},
});

constexpr auto kGwm0404 = withGeneral(std::array{
    PlanStep{0x0301, "3G modem on USB"},
    PlanStep{0x0302, "3G modem answers AT"},
    PlanStep{0x0303, "SIM ready (3G)"},
    PlanStep{0x0801, "NXP radio pairing"},
    PlanStep{0x0802, "NXP radio single carrier"},
    PlanStep{0x0804, "BLE single carrier"},
});

constexpr std::array<std::string_view, 4> kModels{"GWM0101", "GWM0202", "GWM0303", "GWM0404"};

} // namespace

std::span<const PlanStep> planFor(std::string_view model)
{
    if (model == "GWM0101") {
        return kGwm0101;
    }
    if (model == "GWM0202") {
        return kGwm0202;
    }
    if (model == "GWM0303") {
        return kGwm0303;
    }
    if (model == "GWM0404") {
        return kGwm0404;
    }
    return {};
}

std::span<const std::string_view> plannedModels() { return kModels; }

} // namespace station

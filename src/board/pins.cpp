// GPIO lines and modem power. The sysfs GPIO files are written through the
// shell, as the gateway's own scripts do; the 4G modem is switched with the
// platform's line tools, which differ between the gateway's two SDKs.
#include "board/pins.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "clock.h"
#include "log.h"
#include "board/shell.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

constexpr char kGpioRoot[] = "/sys/class/gpio";
constexpr char kGpioPrefix[] = "gpio";
constexpr char kMtkSdkMarker[] = "/tmp/sysinfo/mtksdk";

constexpr size_t kCmdLen = 512;
constexpr size_t kPinPathLen = 64;
// The longest pin directory: root, slash, prefix and a five-digit number.
static_assert(std::string_view(kGpioRoot).size() + 1 + std::string_view(kGpioPrefix).size() + 5 < kPinPathLen);

// The 2G pulses: one second per level.
constexpr uint64_t k2gPulseSec = 1;
// The 4G pulses on the reset and power lines.
constexpr uint64_t k4gPulseMs = 200;

// The MediaTek SDK's gpio tool drives the modem lines with its own pattern
// arguments; the network manager must let go of the modem first.
constexpr std::array<const char *, 4> kMtkPowerOffCmds{
    "/etc/init.d/netmged stop;",
    "gpio l 28 0 4000 0 1 4000",
    "gpio l 29 0 4000 0 1 4000",
    "gpio l 35 4000 0 1 0 4000",
};
constexpr char kMtkPowerOnCmd[] = "gpio l 29 4000 0 1 0 4000";

constexpr char kResetLineHigh[] = "gpioc set 4G_RESET 1";
constexpr char kResetLineLow[] = "gpioc set 4G_RESET 0";
constexpr char kPowerLineHigh[] = "gpioc set 4G_POWER 1";
constexpr char kPowerLineLow[] = "gpioc set 4G_POWER 0";

// The platform tools and sysfs writes report nothing the sequences could act
// on: their exit status is not examined, and a sequence always runs to its end.
void runUnchecked(const char *command)
{
    [[maybe_unused]] const int status = shellRun(command);
}

bool onMtkSdk() { return access(kMtkSdkMarker, F_OK) == 0; }

// High, 1 s, low, 1 s, high: the line is left high. A pin not yet exported
// is exported as an output first; one the kernel already exports is reused.
void pulse2gLine(uint16_t pin)
{
    if (boardPinIsCfg(pin) == 0) {
        boardPinCfg(pin, 0);
    }
    boardPinSet(pin, 1);
    gwSleepSec(k2gPulseSec);
    boardPinSet(pin, 0);
    gwSleepSec(k2gPulseSec);
    boardPinSet(pin, 1);
}

} // namespace

int boardPinLookup(const char *name)
{
    if (name == nullptr) {
        return -1;
    }
    for (const PinEntry &row : boardPinTable) {
        if (std::strcmp(row.name, name) == 0) {
            return static_cast<int>(row.pin & 0xFFFFU);
        }
    }
    return -1;
}

int boardPinIsCfg(uint16_t pin)
{
    std::array<char, kPinPathLen> path{};
    std::snprintf(path.data(), path.size(), "%s/%s%d", kGpioRoot, kGpioPrefix, pin);
    GW_LOG("Path:%s\r\n\n", path.data());
    return access(path.data(), F_OK) == 0 ? 1 : 0;
}

int boardPinCfg(uint16_t pin, uint8_t dirIn)
{
    const char *direction = dirIn != 0 ? "in" : "out";
    std::array<char, kCmdLen> cmd{};

    // Exporting a pin the kernel already exports fails harmlessly.
    std::snprintf(cmd.data(), cmd.size(), "echo %d > %s/%s", pin, kGpioRoot, "export");
    GW_LOG("%s\r\n\n", cmd.data());
    runUnchecked(cmd.data());

    std::snprintf(cmd.data(), cmd.size(), "echo %s > %s/%s%d/%s", direction, kGpioRoot, kGpioPrefix, pin,
                  "direction");
    GW_LOG("%s\r\n\n", cmd.data());
    return shellRun(cmd.data());
}

int boardPinSet(uint16_t pin, uint8_t level)
{
    std::array<char, kCmdLen> cmd{};
    std::snprintf(cmd.data(), cmd.size(), " echo %d > %s/%s%d/%s", level != 0 ? 1 : 0, kGpioRoot, kGpioPrefix, pin,
                  "value");
    GW_LOG("%s\r\n\n", cmd.data());
    return shellRun(cmd.data());
}

int powerOn_2gModule()
{
    const int pin = boardPinLookup("2GPWR");
    if (pin < 0) {
        GW_LOG("No Found Pin No.\r\n\n");
        return 1;
    }
    pulse2gLine(static_cast<uint16_t>(pin));
    GW_LOG("2G Module Power on.\r\n\n");
    return 0;
}

int powerOff_2gModule()
{
    const int pin = boardPinLookup("2GRST");
    if (pin < 0) {
        GW_LOG("No Found Pin No.\r\n\n");
        return 1;
    }
    pulse2gLine(static_cast<uint16_t>(pin));
    GW_LOG("2G Module Power off .\r\n\n");
    return 0;
}

int powerOff_4gModule(const char *path)
{
    if (path == nullptr) {
        return -1;
    }
    if (access(path, R_OK) != 0) {
        const int err = errno;
        if (err == ENOENT) {
            GW_LOG("4G Module Alread Power off.\n\n");
            return 0;
        }
        GW_LOG("access %s, Error(%d):%s \n\n", path, err, std::strerror(err));
        return err;
    }

    if (onMtkSdk()) {
        GW_LOG("mtk sdk...\n");
        for (const char *cmd : kMtkPowerOffCmds) {
            runUnchecked(cmd);
        }
    } else {
        // A pulse on the modem's reset line.
        runUnchecked(kResetLineHigh);
        gwSleepMs(k4gPulseMs);
        runUnchecked(kResetLineLow);
    }
    GW_LOG("4G Module Power off ing.\r\n\n");
    return 0;
}

int powerOn_4gModule(const char *path)
{
    // Callers always name the interface; a missing one is refused rather
    // than handed to access().
    if (path == nullptr) {
        return -1;
    }
    if (access(path, R_OK) == 0) {
        GW_LOG("4G Module Alread Power on.\n\n");
        return 0;
    }
    const int err = errno;
    if (err != ENOENT) {
        GW_LOG("access %s, Error(%d):%s \n\n", path, err, std::strerror(err));
        return err;
    }

    if (onMtkSdk()) {
        runUnchecked(kMtkPowerOnCmd);
        return 0;
    }
    // A pulse on the modem's power line.
    runUnchecked(kPowerLineHigh);
    gwSleepMs(k4gPulseMs);
    runUnchecked(kPowerLineLow);
    GW_LOG("4G Module Power On ing.\r\n\n");
    return 0;
}

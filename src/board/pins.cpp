// GPIO lines and modem power. The sysfs GPIO files are written through the
// shell, as the gateway's own scripts do; the 3G and 4G modems are switched
// with the platform's line tools, which differ between the gateway's two SDKs.
// The tools and the sysfs writes report nothing a sequence could act on: a
// sequence always runs to its end.
#include "board/pins.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "board/shell.h"
#include "clock.h"
#include "log.h"

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
// The pulses on the modem lines of the platform's line tool.
constexpr uint64_t kLinePulseMs = 200;
constexpr size_t kLineCmdLen = 64;

// The MediaTek SDK's gpio tool drives the modem lines with its own pattern
// arguments; the network manager must let go of the modem first.
constexpr std::array<const char *, 4> kMtkPowerOffCmds{
    "/etc/init.d/netmged stop;",
    "gpio l 28 0 4000 0 1 4000",
    "gpio l 29 0 4000 0 1 4000",
    "gpio l 35 4000 0 1 0 4000",
};
constexpr char kMtkPowerOnCmd[] = "gpio l 29 4000 0 1 0 4000";

// "gpioc set <line> <level>".
void setLine(const char *line, int level)
{
    std::array<char, kLineCmdLen> cmd{};
    std::snprintf(cmd.data(), cmd.size(), "gpioc set %s %d", line, level);
    shellRunUnchecked(cmd.data());
}

// The 2G power and reset pulses on the named line: high, 1 s, low, 1 s,
// high; the line is left high. A pin not yet exported is exported as an
// output first; one the kernel already exports is reused. The outcome is
// logged under the caller's name. 0 done, 1 the line is not in the pin table.
int pulse2gLine(const char *caller, const char *name, const char *doneText)
{
    const int found = boardPinLookup(name);
    if (found < 0) {
        GW_LOG_AS(caller, "No Found Pin No.\r\n\n");
        return 1;
    }
    const auto pin = static_cast<uint16_t>(found);
    if (boardPinIsCfg(pin) == 0) {
        boardPinCfg(pin, 0);
    }
    boardPinSet(pin, 1);
    gwSleepSec(k2gPulseSec);
    boardPinSet(pin, 0);
    gwSleepSec(k2gPulseSec);
    boardPinSet(pin, 1);
    GW_LOG_AS(caller, "%s", doneText);
    return 0;
}

} // namespace

bool boardOnMtkSdk() { return access(kMtkSdkMarker, F_OK) == 0; }

void boardLinePulse(const char *line)
{
    setLine(line, 1);
    gwSleepMs(kLinePulseMs);
    setLine(line, 0);
}

void mtk4gPowerOff()
{
    for (const char *cmd : kMtkPowerOffCmds) {
        shellRunUnchecked(cmd);
    }
}

void mtk4gPowerOn() { shellRunUnchecked(kMtkPowerOnCmd); }

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
    shellRunUnchecked(cmd.data());

    std::snprintf(cmd.data(), cmd.size(), "echo %s > %s/%s%d/%s", direction, kGpioRoot, kGpioPrefix, pin, "direction");
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

int powerOn_2gModule() { return pulse2gLine(__func__, "2GPWR", "2G Module Power on.\r\n\n"); }

int powerOff_2gModule() { return pulse2gLine(__func__, "2GRST", "2G Module Power off .\r\n\n"); }

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

    if (boardOnMtkSdk()) {
        GW_LOG("mtk sdk...\n");
        mtk4gPowerOff();
    } else {
        boardLinePulse("4G_RESET");
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

    if (boardOnMtkSdk()) {
        mtk4gPowerOn();
        return 0;
    }
    boardLinePulse("4G_POWER");
    GW_LOG("4G Module Power On ing.\r\n\n");
    return 0;
}

// Cellular modem tests. The modem is power-cycled through the board's GPIO
// lines or the platform's line tools, found as the tty its USB interface
// exposes (or on one of two UARTs for the 2G modem) and probed with AT
// commands. Every handler replies with the result byte alone.
#include "peripher/cellular.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "board/atCmd.h"
#include "board/pins.h"
#include "board/shell.h"
#include "clock.h"
#include "log.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"

namespace {

constexpr char kLogModule[] = "src/peripher";

constexpr size_t kTtySlotLen = 64;
using TtySlot = std::array<char, kTtySlotLen>;

// The USB modem's AT port found most recently: "/dev/" and the entry name
// found under the modem's USB interface. Written by every successful
// discovery, read by the SIM checks; a failed discovery leaves it alone.
TtySlot ttyUsbPath{};

// The UARTs the 2G modem may answer on, in the order they are tried.
constexpr std::array<TtySlot, 2> modem2gTtyList{{{"/dev/ttyS1"}, {"/dev/ttyS2"}}};
// The one that answered the last passed 2G AT test; none until one passed.
const TtySlot *modem2gTty = nullptr;

// The USB-device tests wait for the modem's usual tty.
constexpr char kFixedModemTty[] = "/dev/ttyUSB4";
// The modem's AT interface on the USB bus; the MediaTek SDK build numbers
// the interfaces differently.
constexpr char kUsbIfaceStandard[] = "/sys/bus/usb/devices/1-1.4:1.3";
constexpr char kUsbIfaceMtk[] = "/sys/bus/usb/devices/1-1.4:1.2";

constexpr char kTtyPattern[] = "ttyUSB";
constexpr uint16_t kTtyNameCap = 64;
constexpr size_t kDevPrefixLen = std::string_view("/dev/").size();
// A remembered path holding this was found on the USB bus.
constexpr char kUsbTtyMarker[] = "/dev/ttyUSB";

struct AtProbe {
    const char *cmd;
    const char *expect; // found anywhere in the answer
    uint16_t timeoutMs; // for the answer to arrive
};
constexpr AtProbe kAtProbe{"AT\r", "OK", 5000};
// The SIM takes its time to answer.
constexpr AtProbe kSimProbe{"AT+CPIN?\r", "READY", 10000};

// A modem comes up within about 11 s of its power pulse.
constexpr int kPresenceChecks = 12;
constexpr uint64_t kPresencePauseSec = 1;
// The 3G modem's SIM can take a few seconds to be ready after the AT test.
constexpr int kSimProbes3g = 6;
constexpr uint64_t kSimProbePauseSec = 1;

// On the MediaTek SDK, between the 4G modem's off and on commands.
constexpr uint64_t kMtkOffOnPauseMs = 200;
constexpr uint64_t kSettleSec = 1;
// From the power pulse to the USB modem's enumeration.
constexpr uint64_t k4gBootSec = 8;
constexpr uint64_t kModemBootSec = 10;

// The data link holds the modem's ports; it is stopped before the modem is
// reset or power-cycled.
constexpr char kDatalinkStop[] = "/etc/init.d/datalink stop";

// On the MediaTek SDK the 4G modem's tty number is not fixed: it is the
// ttyUSB entry of its interface.
constexpr char kMtkTtyFind[] = "find /sys/bus/usb/devices/1-1.4:1.2/ -name \"ttyUSB*\" -maxdepth 1";
constexpr size_t kShellLineBuf = 256;
static_assert(kShellLineBuf >= kShellLineRoom);
// "basename " and the longest line find may give: never cut.
constexpr size_t kBasenameCmdLen = 512;
static_assert(kBasenameCmdLen > std::string_view("basename ").size() + kShellLineRoom);
// "/dev/" and whatever basename may give: never cut.
constexpr size_t kFoundTtyLen = kDevPrefixLen + kShellLineBuf;

int replyVerdict(uint8_t *reply, int cap, bool passed)
{
    return replyResultByte(reply, cap, passed ? kResultPass : kResultFail);
}

// Checks the USB modem's tty once a second, 12 times at most, and says
// whether the modem ("3G", "4G") was found; true once the tty is there.
bool waitForModem(const char *caller, const char *path, const char *generation)
{
    for (int failed = 0;;) {
        if (access(path, R_OK) == 0) {
            GW_LOG_AS(caller, "Find %s Module.\r\n\n", generation);
            return true;
        }
        if (++failed >= kPresenceChecks) {
            GW_LOG_AS(caller, "Find %s Timeout.\r\n\n", path);
            GW_LOG_AS(caller, "Can't Find %s Module.\r\n\n", generation);
            return false;
        }
        gwSleepSec(kPresencePauseSec);
    }
}

// How a found tty is reported: the 4G SIM check has its own wording.
enum class FoundStyle { Plain, Dashed };

// Finds the modem's tty under its USB interface and remembers it in
// ttyUsbPath, replacing the previous path whole.
bool discoverTty(const char *caller, const char *ifaceDir, FoundStyle style)
{
    std::array<char, kTtyNameCap> name{};
    if (findDev(ifaceDir, kTtyPattern, name.data(), kTtyNameCap) <= 0) {
        GW_LOG_AS(caller, "Cant'find ttyUSB.\n\n");
        return false;
    }
    if (style == FoundStyle::Dashed) {
        GW_LOG_AS(caller, "---------Find USB Device:%s\n\n", name.data());
    } else {
        GW_LOG_AS(caller, "Find USB Device:%s\n\n", name.data());
    }
    usbTtyPathOfEntry(name.data(), ttyUsbPath.data(), ttyUsbPath.size());
    GW_LOG_AS(caller, "ttyUSB Path:%s\r\n\n", ttyUsbPath.data());
    return true;
}

bool probePort(const char *caller, const char *port, const AtProbe &probe)
{
    if (atCmdCmp(port, probe.cmd, probe.expect, probe.timeoutMs) == 0) {
        GW_LOG_AS(caller, "AT CMD Success.\r\n\n");
        return true;
    }
    GW_LOG_AS(caller, "AT CMD Failed.\r\n\n");
    return false;
}

// The 4G modem's USB interface directory on this gateway.
const char *usbIface4g(const char *caller)
{
    if (!boardOnMtkSdk()) {
        return kUsbIfaceStandard;
    }
    GW_LOG_AS(caller, "mtk sdk...\n");
    GW_LOG_AS(caller, "path is :%s\n", kUsbIfaceMtk);
    return kUsbIfaceMtk;
}

// Stops the data link, power-cycles the 4G modem, gives it time to boot and
// finds its tty again.
bool restart4gModem(const char *caller, const char *ifaceDir, FoundStyle style)
{
    shellRunUnchecked(kDatalinkStop);
    gwSleepSec(kSettleSec);
    if (powerOff_4gModule(ifaceDir) != 0) {
        GW_LOG_AS(caller, "Power Off Error.\r\n\n");
        return false;
    }
    gwSleepSec(kSettleSec);
    if (powerOn_4gModule(ifaceDir) != 0) {
        GW_LOG_AS(caller, "Power On Error.\r\n\n");
        return false;
    }
    gwSleepSec(kModemBootSec);
    return discoverTty(caller, ifaceDir, style);
}

// The MediaTek SDK's 4G tty: "/dev/" and the ttyUSB entry of the modem's
// interface; left empty when the interface shows none, so the modem counts
// as absent (an empty path never becomes "/dev/", which would always be
// there).
void findMtk4gTty(std::array<char, kFoundTtyLen> &path)
{
    std::array<char, kShellLineBuf> found{};
    shellFirstLine(kMtkTtyFind, found.data());
    if (found[0] == '\0') {
        return;
    }
    std::array<char, kBasenameCmdLen> command{};
    mtkBasenameCommand(found.data(), command.data(), command.size());
    std::array<char, kShellLineBuf> name{};
    shellFirstLine(command.data(), name.data());
    if (name[0] == '\0') {
        return;
    }
    mtkTtyPathOfName(name.data(), path.data(), path.size());
}

} // namespace

void usbTtyPathOfEntry(const char *name, char *path, size_t cap)
{
    // A name too long for the path is cut; no such device opens, and the
    // probe that follows fails.
    const int room = cap > kDevPrefixLen ? static_cast<int>(cap - kDevPrefixLen - 1) : 0;
    std::snprintf(path, cap, "/dev/%.*s", room, name);
}

void mtkBasenameCommand(const char *found, char *command, size_t cap)
{
    std::snprintf(command, cap, "basename %s", found);
}

void mtkTtyPathOfName(const char *name, char *path, size_t cap) { std::snprintf(path, cap, "/dev/%s", name); }

int cmd_request_3g_usb_device(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function 3G Device.\r\n\n");

    if (access(kFixedModemTty, R_OK) == 0) {
        // The modem is up: free it from the data link and reset it.
        shellRunUnchecked(kDatalinkStop);
        shellRunUnchecked("kill -s 9 `pidof pppd`");
        boardLinePulse("3G_RESET");
        gwSleepSec(kSettleSec);
    }
    boardLinePulse("3G_POWER");

    return replyVerdict(reply, cap, waitForModem(__func__, kFixedModemTty, "3G"));
}

int cmd_request_4g_usb_device(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function 4G Device.\r\n\n");

    if (boardOnMtkSdk()) {
        GW_LOG("mtk sdk...\n");
        mtk4gPowerOff();
        gwSleepMs(kMtkOffOnPauseMs);
        mtk4gPowerOn();
    } else {
        boardLinePulse("4G_POWER");
    }
    gwSleepSec(k4gBootSec);

    std::array<char, kFoundTtyLen> path{};
    if (boardOnMtkSdk()) {
        GW_LOG("mtk sdk...\n");
        findMtk4gTty(path);
        GW_LOG("path is :%s\n", path.data());
    } else {
        std::snprintf(path.data(), path.size(), "%s", kFixedModemTty);
    }

    return replyVerdict(reply, cap, waitForModem(__func__, path.data(), "4G"));
}

int cmd_request_3g_at_cmd(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function 3G AT CMD.\n\n");
    const bool passed =
        discoverTty(__func__, kUsbIfaceStandard, FoundStyle::Plain) && probePort(__func__, ttyUsbPath.data(), kAtProbe);
    return replyVerdict(reply, cap, passed);
}

int cmd_request_4g_at_cmd(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function 4G AT CMD.\n\n");
    const char *iface = usbIface4g(__func__);
    const bool passed =
        restart4gModem(__func__, iface, FoundStyle::Plain) && probePort(__func__, ttyUsbPath.data(), kAtProbe);
    return replyVerdict(reply, cap, passed);
}

int cmd_request_2g_at_cmd(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function 2G AT CMD.\n\n");

    shellRunUnchecked(kDatalinkStop);
    gwSleepSec(kSettleSec);
    // A line missing from the pin table does not stop the test: the probes
    // tell whether the modem is up.
    powerOff_2gModule();
    gwSleepSec(kSettleSec);
    powerOn_2gModule();
    gwSleepSec(kModemBootSec);

    for (const TtySlot &port : modem2gTtyList) {
        if (probePort(__func__, port.data(), kAtProbe)) {
            modem2gTty = &port;
            return replyVerdict(reply, cap, true);
        }
    }
    return replyVerdict(reply, cap, false);
}

int cmd_request_3g_sim_card_chk(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Sim Check.\r\n\n");

    if (std::strstr(ttyUsbPath.data(), kUsbTtyMarker) == nullptr &&
        !discoverTty(__func__, kUsbIfaceStandard, FoundStyle::Plain)) {
        return replyVerdict(reply, cap, false);
    }
    for (int probe = 0; probe < kSimProbes3g; ++probe) {
        if (probe > 0) {
            gwSleepSec(kSimProbePauseSec);
        }
        if (probePort(__func__, ttyUsbPath.data(), kSimProbe)) {
            return replyVerdict(reply, cap, true);
        }
    }
    return replyVerdict(reply, cap, false);
}

int cmd_request_sim_card_chk(uint8_t *reply, int cap)
{
    GW_LOG("cmd request Function Sim Check.\r\n\n");
    const char *iface = usbIface4g(__func__);

    GW_LOG("!!!!!!!----------USB PATH:%s\n", ttyUsbPath.data());
    // No AT test found the modem yet: bring it up and find it first.
    if (std::strstr(ttyUsbPath.data(), kUsbTtyMarker) == nullptr &&
        !restart4gModem(__func__, iface, FoundStyle::Dashed)) {
        return replyVerdict(reply, cap, false);
    }
    GW_LOG("----------USB PATH:%s\n", ttyUsbPath.data());
    return replyVerdict(reply, cap, probePort(__func__, ttyUsbPath.data(), kSimProbe));
}

int cmd_request_2g_sim_card_chk(uint8_t *reply, int cap)
{
    GW_LOG("cmd request 2G Function Sim Check.\r\n\n");
    // Only a passed 2G AT test tells which UART the modem is on.
    if (modem2gTty == nullptr) {
        return replyVerdict(reply, cap, false);
    }
    return replyVerdict(reply, cap, probePort(__func__, modem2gTty->data(), kSimProbe));
}

void cellularResetStateForTests()
{
    ttyUsbPath.fill('\0');
    modem2gTty = nullptr;
}

// The cellular modem tests on a fake board: the modem's USB interface in a
// tmpfs sysfs tree, its AT port a pty at /dev/ttyUSB<n>, /dev/ttyS1 or
// /dev/ttyS2 with an emulated modem on the far end, the platform's line
// tools and init scripts as stand-ins, and the virtual clock for the
// power pulses, boot waits and presence checks ("at 5 s the tty appears").
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "asUser.h"
#include "capture.h"
#include "cellularBoard.h"
#include "gpioBoard.h"
#include "handlerCall.h"
#include "logText.h"
#include "modem.h"
#include "peripher/cellular.h"
#include "peripher/peripher.h"
#include "peripher/resultReply.h"
#include "sandbox.h"
#include "serialEmulator.h"
#include "shellLog.h"
#include "tools.h"
#include "virtualClock.h"

namespace {

using sandbox::callHandler;
using sandbox::HandlerResult;
using sandbox::kUsPerMs;
using sandbox::kUsPerSec;
using sandbox::Modem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Sleeps = std::vector<uint64_t>;

constexpr char kModule[] = "src/peripher";
constexpr char kIfaceStd[] = "1-1.4:1.3";
constexpr char kIfaceMtk[] = "1-1.4:1.2";
constexpr char kIfaceStdPath[] = "/sys/bus/usb/devices/1-1.4:1.3";
constexpr char kIfaceMtkPath[] = "/sys/bus/usb/devices/1-1.4:1.2";
constexpr char kUsb4[] = "/dev/ttyUSB4";
constexpr char kS1[] = "/dev/ttyS1";
constexpr char kS2[] = "/dev/ttyS2";

constexpr uint64_t kPulse = 200 * kUsPerMs;
constexpr uint64_t kSec = kUsPerSec;
// The pause of every AT exchange between command and answer.
constexpr uint64_t kAnswerPause = 500 * kUsPerMs;

const Lines kMtkOnCmds{"/etc/init.d/netmged stop;", "gpio l 28 0 4000 0 1 4000", "gpio l 29 0 4000 0 1 4000",
                       "gpio l 35 4000 0 1 0 4000"};
const char kMtkFind[] = "find /sys/bus/usb/devices/1-1.4:1.2/ -name \"ttyUSB*\" -maxdepth 1";

Sleeps seconds(size_t count) { return Sleeps(count, kSec); }

Sleeps operator+(Sleeps a, const Sleeps &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Lines operator+(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The messages a function printed, in order.
Lines messagesOf(const std::string &out, const std::string &function)
{
    Lines messages;
    for (const sandbox::LogLine &line : sandbox::logLines(out)) {
        if (line.function == function) {
            messages.push_back(line.message);
        }
    }
    return messages;
}

gwemu::ModemBehaviour simReadyFrom(unsigned probe)
{
    gwemu::ModemBehaviour b;
    b.simReadyFrom = probe;
    return b;
}

gwemu::ModemBehaviour atError()
{
    gwemu::ModemBehaviour b;
    b.atOk = false;
    return b;
}

// The whole reply is the result byte, and nothing beyond it is written.
void expectVerdict(const HandlerResult &r, uint8_t result)
{
    EXPECT_EQ(r.len, 1);
    EXPECT_EQ(r.reply, Bytes{result});
    EXPECT_FALSE(r.wroteBeyond);
}

class Cellular : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::setUpCellularBoard();
        if (recordShell_) {
            sandbox::recordShellCommands();
        }
        cellularResetStateForTests();
    }

    bool recordShell_ = true;
};

// ---------------------------------------------------------------------------
// 3G modem on USB

struct Usb3gCase {
    const char *name;
    bool upAtStart;
    std::optional<uint64_t> goneAtUs;    // the tty goes away (the modem resets)
    std::optional<uint64_t> appearsAtUs; // the tty (re)appears
    uint8_t result;
    Sleeps sleeps;
};

void PrintTo(const Usb3gCase &c, std::ostream *os) { *os << c.name; }

class Usb3g : public Cellular, public ::testing::WithParamInterface<Usb3gCase> {};

TEST_P(Usb3g, PulsesThePowerLineAndWaitsForTheTty)
{
    const Usb3gCase &c = GetParam();
    if (c.upAtStart) {
        sandbox::writeFile(kUsb4, "");
    }
    sandbox::VirtualClock clock;
    if (c.goneAtUs) {
        clock.at(*c.goneAtUs, [] { unlink(kUsb4); });
    }
    if (c.appearsAtUs) {
        clock.at(*c.appearsAtUs, [] { sandbox::writeFile(kUsb4, ""); });
    }
    const auto r = callHandler(cmd_request_3g_usb_device);

    expectVerdict(r, c.result);
    EXPECT_THAT(clock.sleeps(), ElementsAreArray(c.sleeps));
    const Lines reset{"/etc/init.d/datalink stop", "kill -s 9 `pidof pppd`", "gpioc set 3G_RESET 1",
                      "gpioc set 3G_RESET 0"};
    const Lines power{"gpioc set 3G_POWER 1", "gpioc set 3G_POWER 0"};
    EXPECT_THAT(sandbox::shellCommands(), ElementsAreArray(c.upAtStart ? reset + power : power));
    EXPECT_EQ(sandbox::gpiocLevel("3G_POWER"), "0");
    const Lines verdict = c.result == 0 ? Lines{"Find 3G Module.\r\n\n"}
                                        : Lines{"Find /dev/ttyUSB4 Timeout.\r\n\n", "Can't Find 3G Module.\r\n\n"};
    EXPECT_THAT(messagesOf(r.out, "cmd_request_3g_usb_device"),
                ElementsAreArray(Lines{"cmd request Function 3G Device.\r\n\n"} + verdict));
}

// The presence wait starts 200 ms after the power pulse began: its checks
// fall on 0.2 s, 1.2 s, ... 11.2 s.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Presence, Usb3g,
    ::testing::Values(
        Usb3gCase{"AppearsFiveSecondsAfterThePulse", false, {}, 5200 * kUsPerMs, 0, Sleeps{kPulse} + seconds(5)},
        Usb3gCase{"NeverAppears", false, {}, {}, 1, Sleeps{kPulse} + seconds(11)},
        Usb3gCase{"AppearsAtTheTwelfthCheck", false, {}, 11200 * kUsPerMs, 0, Sleeps{kPulse} + seconds(11)},
        Usb3gCase{"AppearsAfterTheLastCheck", false, {}, 11500 * kUsPerMs, 1, Sleeps{kPulse} + seconds(11)},
        Usb3gCase{"AlreadyUpIsResetFirst", true, {}, {}, 0, Sleeps{kPulse, kSec, kPulse}},
        // The reset takes it off the bus; it is back 2 s into the wait.
        Usb3gCase{"BackAfterItsReset", true, 100 * kUsPerMs, 3400 * kUsPerMs, 0,
                  Sleeps{kPulse, kSec, kPulse} + seconds(2)}),
    [](const ::testing::TestParamInfo<Usb3gCase> &info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------
// 4G modem on USB

struct Usb4gCase {
    const char *name;
    bool mtkSdk;
    Lines ifaceTtys;                     // entries of the MediaTek interface (absent when empty)
    std::string ttyAtStart;              // "" none
    std::optional<uint64_t> appearsAtUs; // /dev/ttyUSB4 appears
    uint8_t result;
    Sleeps sleeps;
    Lines commands;
    Lines messages; // after the entry message
};

void PrintTo(const Usb4gCase &c, std::ostream *os) { *os << c.name; }

class Usb4g : public Cellular, public ::testing::WithParamInterface<Usb4gCase> {};

TEST_P(Usb4g, SwitchesOnByThePlatformAndWaitsForTheTty)
{
    const Usb4gCase &c = GetParam();
    sandbox::setMtkSdkMarker(c.mtkSdk);
    if (!c.ifaceTtys.empty()) {
        sandbox::addUsbInterface(kIfaceMtk, c.ifaceTtys);
    }
    if (!c.ttyAtStart.empty()) {
        sandbox::writeFile(c.ttyAtStart, "");
    }
    sandbox::VirtualClock clock;
    if (c.appearsAtUs) {
        clock.at(*c.appearsAtUs, [] { sandbox::writeFile(kUsb4, ""); });
    }
    const auto r = callHandler(cmd_request_4g_usb_device);

    expectVerdict(r, c.result);
    EXPECT_THAT(clock.sleeps(), ElementsAreArray(c.sleeps));
    EXPECT_THAT(sandbox::shellCommands(), ElementsAreArray(c.commands));
    EXPECT_THAT(messagesOf(r.out, "cmd_request_4g_usb_device"),
                ElementsAreArray(Lines{"cmd request Function 4G Device.\r\n\n"} + c.messages));
}

const Lines kGpiocOn{"gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0"};
const Lines kMtkUsbCmds = kMtkOnCmds + Lines{"gpio l 29 4000 0 1 0 4000", kMtkFind};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Platforms, Usb4g,
    ::testing::Values(
        Usb4gCase{"AlreadyThere", false, {}, kUsb4, {}, 0, {kPulse, 8 * kSec}, kGpiocOn, {"Find 4G Module.\r\n\n"}},
        // The wait starts 8.2 s after the pulse began.
        Usb4gCase{"AppearsAtTheSixthCheck", false, {}, "", 13200 * kUsPerMs, 0, Sleeps{kPulse, 8 * kSec} + seconds(5),
                  kGpiocOn, {"Find 4G Module.\r\n\n"}},
        Usb4gCase{"NeverAppears", false, {}, "", {}, 1, Sleeps{kPulse, 8 * kSec} + seconds(11), kGpiocOn,
                  {"Find /dev/ttyUSB4 Timeout.\r\n\n", "Can't Find 4G Module.\r\n\n"}},
        // The MediaTek build names the tty after its interface's entry,
        // whatever /dev/ttyUSB4 is.
        Usb4gCase{"MtkTtyOfTheInterface", true, {"ttyUSB2"}, "/dev/ttyUSB2", {}, 0, {kPulse, 8 * kSec},
                  kMtkUsbCmds + Lines{"basename /sys/bus/usb/devices/1-1.4:1.2/ttyUSB2"},
                  {"mtk sdk...\n", "mtk sdk...\n", "path is :/dev/ttyUSB2\n", "Find 4G Module.\r\n\n"}},
        Usb4gCase{"MtkTtyNotYetThere", true, {"ttyUSB2"}, "", {}, 1, Sleeps{kPulse, 8 * kSec} + seconds(11),
                  kMtkUsbCmds + Lines{"basename /sys/bus/usb/devices/1-1.4:1.2/ttyUSB2"},
                  {"mtk sdk...\n", "mtk sdk...\n", "path is :/dev/ttyUSB2\n", "Find /dev/ttyUSB2 Timeout.\r\n\n",
                   "Can't Find 4G Module.\r\n\n"}},
        // No entry: no tty is known, and /dev itself never counts as one.
        Usb4gCase{"MtkInterfaceWithoutTty", true, {"power"}, kUsb4, {}, 1, Sleeps{kPulse, 8 * kSec} + seconds(11),
                  kMtkUsbCmds,
                  {"mtk sdk...\n", "mtk sdk...\n", "path is :\n", "Find  Timeout.\r\n\n",
                   "Can't Find 4G Module.\r\n\n"}}),
    [](const ::testing::TestParamInfo<Usb4gCase> &info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Cellular, UsbDeviceTestsLeaveTheRememberedTtyAlone)
{
    sandbox::addUsbInterface(kIfaceStd, {"ttyUSB4"});
    Modem modem(kUsb4);
    ASSERT_EQ(modem.error(), "");
    sandbox::VirtualClock clock;
    expectVerdict(callHandler(cmd_request_4g_usb_device), 0);
    expectVerdict(callHandler(cmd_request_3g_usb_device), 0);
    // The SIM check still has to find the modem itself.
    const auto r = callHandler(cmd_request_sim_card_chk);
    expectVerdict(r, 0);
    EXPECT_THAT(messagesOf(r.out, "cmd_request_sim_card_chk"), Contains("---------Find USB Device:ttyUSB4\n\n"));
}

// ---------------------------------------------------------------------------
// 4G modem AT test

struct At4gCase {
    const char *name;
    bool mtkSdk;
    const char *modemIface; // where the modem's interface is
    uint8_t result;
    Sleeps sleeps;
    Lines commands;
    Lines messages; // after the entry message
};

void PrintTo(const At4gCase &c, std::ostream *os) { *os << c.name; }

class At4g : public Cellular, public ::testing::WithParamInterface<At4gCase> {};

TEST_P(At4g, PowerCyclesFindsTheTtyAndProbes)
{
    const At4gCase &c = GetParam();
    sandbox::setMtkSdkMarker(c.mtkSdk);
    sandbox::addUsbInterface(c.modemIface, {"ttyUSB4"});
    Modem modem(kUsb4);
    ASSERT_EQ(modem.error(), "");
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_4g_at_cmd);

    expectVerdict(r, c.result);
    EXPECT_THAT(clock.sleeps(), ElementsAreArray(c.sleeps));
    EXPECT_THAT(sandbox::shellCommands(), ElementsAreArray(c.commands));
    EXPECT_THAT(messagesOf(r.out, "cmd_request_4g_at_cmd"),
                ElementsAreArray(Lines{"cmd request Function 4G AT CMD.\n\n"} + c.messages));
    const std::string dir = c.mtkSdk ? kIfaceMtkPath : kIfaceStdPath;
    EXPECT_THAT(messagesOf(r.out, "findDev"), Contains("Open Path:" + dir + "\n\n"));
    EXPECT_EQ(modem.received(), c.result == 0 ? "AT\r" : "");
}

const Lines kMtkPathMessages{"mtk sdk...\n", "path is :/sys/bus/usb/devices/1-1.4:1.2\n"};
const Lines kFoundAndPassed{"Find USB Device:ttyUSB4\n\n", "ttyUSB Path:/dev/ttyUSB4\r\n\n", "AT CMD Success.\r\n\n"};
const Lines kStdCycleCmds{"/etc/init.d/datalink stop", "gpioc set 4G_RESET 1", "gpioc set 4G_RESET 0"};
// Nothing is there to switch off; the power pulse brings up nothing.
const Lines kStdEmptyCycleCmds{"/etc/init.d/datalink stop", "gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0"};

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Platforms, At4g,
    ::testing::Values(
        At4gCase{"Standard", false, kIfaceStd, 0, {kSec, kPulse, kSec, 10 * kSec, kAnswerPause}, kStdCycleCmds,
                 kFoundAndPassed},
        At4gCase{"Mtk", true, kIfaceMtk, 0, {kSec, kSec, 10 * kSec, kAnswerPause},
                 Lines{"/etc/init.d/datalink stop"} + kMtkOnCmds, kMtkPathMessages + kFoundAndPassed},
        At4gCase{"StandardLooksNotAtTheMtkInterface", false, kIfaceMtk, 1, {kSec, kSec, kPulse, 10 * kSec},
                 kStdEmptyCycleCmds, {"Cant'find ttyUSB.\n\n"}},
        At4gCase{"MtkLooksNotAtTheStandardInterface", true, kIfaceStd, 1, {kSec, kSec, 10 * kSec},
                 {"/etc/init.d/datalink stop", "gpio l 29 4000 0 1 0 4000"},
                 kMtkPathMessages + Lines{"Cant'find ttyUSB.\n\n"}}),
    [](const ::testing::TestParamInfo<At4gCase> &info) { return std::string(info.param.name); });
// clang-format on

// The reset pulse takes the modem off the bus, the power pulse brings it
// back with another tty number: the test finds and probes the new one.
TEST_F(Cellular, At4gFindsTheModemUnderItsNewNameAfterThePowerCycle)
{
    const std::string iface = sandbox::addUsbInterface(kIfaceStd, {"ttyUSB3"});
    sandbox::installGpioTools("case \"$2 $3\" in\n"
                              "'4G_RESET 0') rm -rf '" +
                              iface +
                              "' ;;\n"
                              "'4G_POWER 0') mkdir -p '" +
                              iface +
                              "/ttyUSB2' ;;\n"
                              "esac");
    Modem modem("/dev/ttyUSB2");
    ASSERT_EQ(modem.error(), "");
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_4g_at_cmd);

    expectVerdict(r, 0);
    EXPECT_THAT(clock.sleeps(), ElementsAre(kSec, kPulse, kSec, kPulse, 10 * kSec, kAnswerPause));
    EXPECT_THAT(sandbox::shellCommands(),
                ElementsAre("/etc/init.d/datalink stop", "gpioc set 4G_RESET 1", "gpioc set 4G_RESET 0",
                            "gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0"));
    EXPECT_THAT(sandbox::logMessages(r.out), Contains("4G Module Power off ing.\r\n\n"));
    EXPECT_THAT(sandbox::logMessages(r.out), Contains("4G Module Power On ing.\r\n\n"));
    EXPECT_THAT(messagesOf(r.out, "cmd_request_4g_at_cmd"), Contains("ttyUSB Path:/dev/ttyUSB2\r\n\n"));
    EXPECT_EQ(modem.received(), "AT\r");
}

// An interface the service may not read: the power operations report the
// access error, the test fails with result 1 (not the error number) and no
// AT exchange is made. Root reads everything, so the handler runs in a
// child that has dropped to the nobody user.
struct PowerErrorCase {
    const char *name;
    CmdHandler handler;
    const char *function;
    bool mtkSdk;
    bool unreadableAfterReset; // readable for the power-off, not for the power-on
    Lines messages;            // of the handler, after its entry and interface messages
};

void PrintTo(const PowerErrorCase &c, std::ostream *os) { *os << c.name; }

class PowerError : public Cellular, public ::testing::WithParamInterface<PowerErrorCase> {
protected:
    PowerError() { recordShell_ = false; }
};

TEST_P(PowerError, FailsWithResultOneBeforeAnyExchange)
{
    const PowerErrorCase &c = GetParam();
    sandbox::setMtkSdkMarker(c.mtkSdk);
    const char *ifaceName = c.mtkSdk ? kIfaceMtk : kIfaceStd;
    const std::string iface = sandbox::addUsbInterface(ifaceName, {"ttyUSB4"}, c.unreadableAfterReset ? 0755 : 0311);
    if (c.unreadableAfterReset) {
        // The reset pulse, run as nobody too, leaves an interface its owner
        // cannot read.
        ASSERT_EQ(chown(iface.c_str(), sandbox::kNobodyUid, sandbox::kNobodyGid), 0);
        sandbox::installGpioTools("[ \"$2 $3\" = '4G_RESET 0' ] && chmod 0311 '" + iface + "'\nexit 0");
    }
    Modem modem(kUsb4);
    ASSERT_EQ(modem.error(), "");
    ASSERT_EQ(chmod(sandbox::toolLogPath().c_str(), 0666), 0);
    ASSERT_EQ(chmod((sandbox::scratchDir() + "/gpioc").c_str(), 0777), 0);

    sandbox::VirtualClock clock;
    sandbox::OutputCapture out;
    const std::optional<int> result = sandbox::runAsUser([&] {
        std::array<uint8_t, kReplyCap> reply{};
        const int len = c.handler(reply.data(), kReplyCap);
        return len == 1 ? reply[0] : 100 + len;
    });
    const std::string text = out.finish();

    ASSERT_TRUE(result.has_value()) << "the handler did not run as nobody";
    EXPECT_EQ(*result, 1);
    const std::string accessError =
        "access " + iface + ", Error(" + std::to_string(EACCES) + "):" + std::strerror(EACCES) + " \n\n";
    const char *failing = c.unreadableAfterReset ? "powerOn_4gModule" : "powerOff_4gModule";
    EXPECT_THAT(messagesOf(text, failing), ElementsAre(accessError));
    Lines handlerMessages = messagesOf(text, c.function);
    ASSERT_GE(handlerMessages.size(), c.messages.size());
    EXPECT_THAT(Lines(handlerMessages.end() - static_cast<std::ptrdiff_t>(c.messages.size()), handlerMessages.end()),
                ElementsAreArray(c.messages));
    EXPECT_THAT(messagesOf(text, "findDev"), IsEmpty());
    EXPECT_THAT(messagesOf(text, "atCmdCmp"), IsEmpty());
    EXPECT_EQ(modem.received(), "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    AccessErrors, PowerError,
    ::testing::Values(
        PowerErrorCase{"AtTestOff", cmd_request_4g_at_cmd, "cmd_request_4g_at_cmd", false, false,
                       {"Power Off Error.\r\n\n"}},
        PowerErrorCase{"AtTestOffMtk", cmd_request_4g_at_cmd, "cmd_request_4g_at_cmd", true, false,
                       {"Power Off Error.\r\n\n"}},
        PowerErrorCase{"AtTestOn", cmd_request_4g_at_cmd, "cmd_request_4g_at_cmd", false, true,
                       {"Power On Error.\r\n\n"}},
        PowerErrorCase{"SimCheckOff", cmd_request_sim_card_chk, "cmd_request_sim_card_chk", false, false,
                       {"!!!!!!!----------USB PATH:\n", "Power Off Error.\r\n\n"}},
        PowerErrorCase{"SimCheckOn", cmd_request_sim_card_chk, "cmd_request_sim_card_chk", false, true,
                       {"!!!!!!!----------USB PATH:\n", "Power On Error.\r\n\n"}}),
    [](const ::testing::TestParamInfo<PowerErrorCase> &info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------
// 4G SIM check

class Sim4g : public Cellular, public ::testing::WithParamInterface<bool> {};

TEST_P(Sim4g, StraightAfterAPassedAtTestProbesTheKnownTtyOnce)
{
    const bool mtkSdk = GetParam();
    sandbox::setMtkSdkMarker(mtkSdk);
    sandbox::addUsbInterface(mtkSdk ? kIfaceMtk : kIfaceStd, {"ttyUSB4"});
    Modem modem(kUsb4);
    ASSERT_EQ(modem.error(), "");
    sandbox::VirtualClock clock;
    expectVerdict(callHandler(cmd_request_4g_at_cmd), 0);
    sandbox::clearShellCommands();
    sandbox::clearToolCalls();
    const size_t sleepsBefore = clock.sleeps().size();

    const auto r = callHandler(cmd_request_sim_card_chk);

    expectVerdict(r, 0);
    EXPECT_THAT(sandbox::shellCommands(), IsEmpty());
    EXPECT_THAT(sandbox::toolCalls(), IsEmpty());
    EXPECT_THAT(Sleeps(clock.sleeps().begin() + static_cast<std::ptrdiff_t>(sleepsBefore), clock.sleeps().end()),
                ElementsAre(kAnswerPause));
    EXPECT_THAT(messagesOf(r.out, "findDev"), IsEmpty());
    const Lines iface = mtkSdk ? kMtkPathMessages : Lines{};
    EXPECT_THAT(messagesOf(r.out, "cmd_request_sim_card_chk"),
                ElementsAreArray(Lines{"cmd request Function Sim Check.\r\n\n"} + iface +
                                 Lines{"!!!!!!!----------USB PATH:/dev/ttyUSB4\n", "----------USB PATH:/dev/ttyUSB4\n",
                                       "AT CMD Success.\r\n\n"}));
    EXPECT_EQ(modem.received(), "AT\rAT+CPIN?\r");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Platforms, Sim4g, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Mtk" : "Standard"; });
// clang-format on

TEST_F(Cellular, Sim4gWithoutAKnownTtyPowerCyclesFindsItAndProbesOnce)
{
    struct Case {
        unsigned readyFrom;
        uint8_t result;
        const char *verdict;
    };
    // clang-format off
    const Case cases[] = {{1, 0, "AT CMD Success.\r\n\n"}, {2, 1, "AT CMD Failed.\r\n\n"}};
    // clang-format on
    sandbox::addUsbInterface(kIfaceStd, {"ttyUSB4"});
    for (const Case &c : cases) {
        SCOPED_TRACE("SIM ready from probe " + std::to_string(c.readyFrom));
        cellularResetStateForTests();
        sandbox::clearShellCommands();
        Modem modem(kUsb4, simReadyFrom(c.readyFrom));
        ASSERT_EQ(modem.error(), "");
        sandbox::VirtualClock clock;
        const auto r = callHandler(cmd_request_sim_card_chk);

        expectVerdict(r, c.result);
        EXPECT_THAT(clock.sleeps(), ElementsAre(kSec, kPulse, kSec, 10 * kSec, kAnswerPause));
        EXPECT_THAT(sandbox::shellCommands(), ElementsAreArray(kStdCycleCmds));
        EXPECT_THAT(messagesOf(r.out, "cmd_request_sim_card_chk"),
                    ElementsAre("cmd request Function Sim Check.\r\n\n", "!!!!!!!----------USB PATH:\n",
                                "---------Find USB Device:ttyUSB4\n\n", "ttyUSB Path:/dev/ttyUSB4\r\n\n",
                                "----------USB PATH:/dev/ttyUSB4\n", c.verdict));
        // One probe, no retries.
        EXPECT_EQ(modem.received(), "AT+CPIN?\r");
    }
}

// ---------------------------------------------------------------------------
// 3G modem AT test and SIM check

TEST_F(Cellular, At3gFindsTheTtyOnTheStandardInterfaceWhateverTheMarker)
{
    sandbox::addUsbInterface(kIfaceStd, {"ttyUSB4"});
    sandbox::addUsbInterface(kIfaceMtk, {"ttyUSB2"});
    for (const bool mtkSdk : {false, true}) {
        SCOPED_TRACE(mtkSdk ? "marker" : "no marker");
        sandbox::setMtkSdkMarker(mtkSdk);
        Modem modem(kUsb4);
        ASSERT_EQ(modem.error(), "");
        sandbox::VirtualClock clock;
        const auto r = callHandler(cmd_request_3g_at_cmd);

        expectVerdict(r, 0);
        EXPECT_THAT(clock.sleeps(), ElementsAre(kAnswerPause));
        EXPECT_THAT(sandbox::shellCommands(), IsEmpty());
        EXPECT_THAT(messagesOf(r.out, "findDev"), Contains(std::string("Open Path:") + kIfaceStdPath + "\n\n"));
        EXPECT_THAT(messagesOf(r.out, "cmd_request_3g_at_cmd"),
                    ElementsAreArray(Lines{"cmd request Function 3G AT CMD.\n\n"} + kFoundAndPassed));
        EXPECT_EQ(modem.received(), "AT\r");
    }
}

TEST_F(Cellular, At3gFailures)
{
    struct Case {
        const char *name;
        bool iface;
        Lines ttys;
        bool modemAnswersOk;
        Lines messages; // after the entry message
        bool exchanged;
    };
    // clang-format off
    const Case cases[] = {
        {"no interface", false, {}, true, {"Cant'find ttyUSB.\n\n"}, false},
        {"interface without tty", true, {"power", "driver"}, true, {"Cant'find ttyUSB.\n\n"}, false},
        {"modem answers ERROR", true, {"ttyUSB4"}, false,
         {"Find USB Device:ttyUSB4\n\n", "ttyUSB Path:/dev/ttyUSB4\r\n\n", "AT CMD Failed.\r\n\n"}, true},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sandbox::removeUsbInterface(kIfaceStd);
        if (c.iface) {
            sandbox::addUsbInterface(kIfaceStd, c.ttys);
        }
        Modem modem(kUsb4, c.modemAnswersOk ? gwemu::ModemBehaviour{} : atError());
        ASSERT_EQ(modem.error(), "");
        sandbox::VirtualClock clock;
        const auto r = callHandler(cmd_request_3g_at_cmd);

        expectVerdict(r, 1);
        EXPECT_THAT(messagesOf(r.out, "cmd_request_3g_at_cmd"),
                    ElementsAreArray(Lines{"cmd request Function 3G AT CMD.\n\n"} + c.messages));
        EXPECT_EQ(modem.received(), c.exchanged ? "AT\r" : "");
    }
}

TEST_F(Cellular, Sim3gRetriesUntilTheSimIsReady)
{
    struct Case {
        unsigned readyFrom; // 0: never
        size_t probes;
        uint8_t result;
    };
    // clang-format off
    const Case cases[] = {{1, 1, 0}, {3, 3, 0}, {6, 6, 0}, {0, 6, 1}, {7, 6, 1}};
    // clang-format on
    sandbox::addUsbInterface(kIfaceStd, {"ttyUSB4"});
    for (const Case &c : cases) {
        SCOPED_TRACE("SIM ready from probe " + std::to_string(c.readyFrom));
        cellularResetStateForTests();
        Modem modem(kUsb4, simReadyFrom(c.readyFrom));
        ASSERT_EQ(modem.error(), "");
        sandbox::VirtualClock clock;
        const auto r = callHandler(cmd_request_3g_sim_card_chk);

        expectVerdict(r, c.result);
        // A second between probes, none before the first.
        Sleeps sleeps{kAnswerPause};
        Lines messages{"cmd request Function Sim Check.\r\n\n", "Find USB Device:ttyUSB4\n\n",
                       "ttyUSB Path:/dev/ttyUSB4\r\n\n"};
        std::string probes = "AT+CPIN?\r";
        for (size_t probe = 1; probe < c.probes; ++probe) {
            sleeps = sleeps + Sleeps{kSec, kAnswerPause};
            messages.push_back("AT CMD Failed.\r\n\n");
            probes += "AT+CPIN?\r";
        }
        messages.push_back(c.result == 0 ? "AT CMD Success.\r\n\n" : "AT CMD Failed.\r\n\n");
        EXPECT_THAT(clock.sleeps(), ElementsAreArray(sleeps));
        EXPECT_THAT(messagesOf(r.out, "cmd_request_3g_sim_card_chk"), ElementsAreArray(messages));
        EXPECT_EQ(modem.received(), probes);
        EXPECT_THAT(sandbox::shellCommands(), IsEmpty());
    }
}

TEST_F(Cellular, Sim3gWithoutAModemFailsWithoutAProbe)
{
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_3g_sim_card_chk);
    expectVerdict(r, 1);
    EXPECT_THAT(clock.sleeps(), IsEmpty());
    EXPECT_THAT(messagesOf(r.out, "cmd_request_3g_sim_card_chk"),
                ElementsAre("cmd request Function Sim Check.\r\n\n", "Cant'find ttyUSB.\n\n"));
    EXPECT_THAT(messagesOf(r.out, "atCmdCmp"), IsEmpty());
}

// The remembered path is rewritten whole: after ttyUSB10, a later ttyUSB4
// leaves no trailing digit of the longer name behind.
TEST_F(Cellular, ShorterDiscoveredNameReplacesTheLongerOne)
{
    Modem modem10("/dev/ttyUSB10");
    Modem modem4(kUsb4);
    ASSERT_EQ(modem10.error(), "");
    ASSERT_EQ(modem4.error(), "");
    sandbox::VirtualClock clock;

    sandbox::addUsbInterface(kIfaceStd, {"ttyUSB10"});
    const auto first = callHandler(cmd_request_3g_at_cmd);
    expectVerdict(first, 0);
    EXPECT_THAT(messagesOf(first.out, "cmd_request_3g_at_cmd"), Contains("ttyUSB Path:/dev/ttyUSB10\r\n\n"));

    sandbox::removeUsbInterface(kIfaceStd);
    sandbox::addUsbInterface(kIfaceStd, {"ttyUSB4"});
    const auto second = callHandler(cmd_request_3g_at_cmd);
    expectVerdict(second, 0);
    EXPECT_THAT(messagesOf(second.out, "cmd_request_3g_at_cmd"), Contains("ttyUSB Path:/dev/ttyUSB4\r\n\n"));
    EXPECT_THAT(messagesOf(second.out, "atCmdCmp"), Contains("Device:/dev/ttyUSB4 Baud:115200.\r\n\n"));

    // The SIM check uses the path as it now stands, without discovering.
    sandbox::removeUsbInterface(kIfaceStd);
    const auto sim = callHandler(cmd_request_3g_sim_card_chk);
    expectVerdict(sim, 0);
    EXPECT_EQ(modem10.received(), "AT\r");
    EXPECT_EQ(modem4.received(), "AT\rAT+CPIN?\r");
}

// A tty name longer than the remembered path can hold is cut, never written
// beyond it; no device has the cut name, so the probe fails.
TEST_F(Cellular, OverlongTtyNameIsCutToThePath)
{
    const std::string name = "ttyUSB" + std::string(200, '7');
    sandbox::addUsbInterface(kIfaceStd, {name});
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_3g_at_cmd);

    expectVerdict(r, 1);
    const std::string path = "/dev/" + name.substr(0, 58);
    EXPECT_THAT(messagesOf(r.out, "cmd_request_3g_at_cmd"),
                ElementsAre("cmd request Function 3G AT CMD.\n\n", "Find USB Device:" + name.substr(0, 63) + "\n\n",
                            "ttyUSB Path:" + path + "\r\n\n", "AT CMD Failed.\r\n\n"));
    EXPECT_THAT(messagesOf(r.out, "atCmdCmp"), Contains("Device:" + path + " Baud:115200.\r\n\n"));
}

// ---------------------------------------------------------------------------
// 2G modem on the UARTs

TEST_F(Cellular, At2gPowerCyclesThenProbesTheUartsInOrder)
{
    Modem s1(kS1);
    Modem s2(kS2);
    ASSERT_EQ(s1.error(), "");
    ASSERT_EQ(s2.error(), "");
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_2g_at_cmd);

    expectVerdict(r, 0);
    // Data link stop, 1 s, reset pulse (1 s, 1 s), 1 s, power pulse (1 s,
    // 1 s), 10 s for the modem to boot, then one exchange.
    EXPECT_THAT(clock.sleeps(), ElementsAre(kSec, kSec, kSec, kSec, kSec, kSec, 10 * kSec, kAnswerPause));
    const Lines pulse37{" echo 1 > /sys/class/gpio/gpio37/value", " echo 0 > /sys/class/gpio/gpio37/value",
                        " echo 1 > /sys/class/gpio/gpio37/value"};
    const Lines pulse0{" echo 1 > /sys/class/gpio/gpio0/value", " echo 0 > /sys/class/gpio/gpio0/value",
                       " echo 1 > /sys/class/gpio/gpio0/value"};
    EXPECT_THAT(sandbox::shellCommands(), ElementsAreArray(Lines{"/etc/init.d/datalink stop"} + pulse37 + pulse0));
    EXPECT_THAT(messagesOf(r.out, "cmd_request_2g_at_cmd"),
                ElementsAre("cmd request Function 2G AT CMD.\n\n", "AT CMD Success.\r\n\n"));
    // An answer on the first UART: the second is never opened.
    EXPECT_EQ(s1.received(), "AT\r");
    EXPECT_EQ(s2.received(), "");
    EXPECT_THAT(messagesOf(r.out, "atCmdCmp"), Not(Contains(HasSubstr(kS2))));
}

TEST_F(Cellular, Sim2gProbesThePortThatAnsweredTheAtTest)
{
    struct Case {
        const char *name;
        bool s1Present;
        bool s1AnswersOk;
        bool s2AnswersOk;
        uint8_t atResult;
        Lines atMessages; // after the entry message
        std::string s1Gets;
        std::string s2Gets;
    };
    // clang-format off
    const Case cases[] = {
        {"first UART answers", true, true, true, 0, {"AT CMD Success.\r\n\n"}, "AT\rAT+CPIN?\r", ""},
        {"first UART says ERROR", true, false, true, 0, {"AT CMD Failed.\r\n\n", "AT CMD Success.\r\n\n"}, "AT\r",
         "AT\rAT+CPIN?\r"},
        {"first UART missing", false, true, true, 0, {"AT CMD Failed.\r\n\n", "AT CMD Success.\r\n\n"}, "",
         "AT\rAT+CPIN?\r"},
        // No port answered: the SIM check knows none and fails at once.
        {"neither answers", true, false, false, 1, {"AT CMD Failed.\r\n\n", "AT CMD Failed.\r\n\n"}, "AT\r", "AT\r"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        cellularResetStateForTests();
        std::optional<Modem> s1;
        if (c.s1Present) {
            s1.emplace(kS1, c.s1AnswersOk ? gwemu::ModemBehaviour{} : atError());
            ASSERT_EQ(s1->error(), "");
        }
        Modem s2(kS2, c.s2AnswersOk ? gwemu::ModemBehaviour{} : atError());
        ASSERT_EQ(s2.error(), "");
        sandbox::VirtualClock clock;

        const auto at = callHandler(cmd_request_2g_at_cmd);
        expectVerdict(at, c.atResult);
        EXPECT_THAT(messagesOf(at.out, "cmd_request_2g_at_cmd"),
                    ElementsAreArray(Lines{"cmd request Function 2G AT CMD.\n\n"} + c.atMessages));

        const size_t sleepsBefore = clock.sleeps().size();
        const auto sim = callHandler(cmd_request_2g_sim_card_chk);
        expectVerdict(sim, c.atResult);
        const Lines simMessages = c.atResult == 0
                                      ? Lines{"cmd request 2G Function Sim Check.\r\n\n", "AT CMD Success.\r\n\n"}
                                      : Lines{"cmd request 2G Function Sim Check.\r\n\n"};
        EXPECT_THAT(messagesOf(sim.out, "cmd_request_2g_sim_card_chk"), ElementsAreArray(simMessages));
        EXPECT_EQ(clock.sleeps().size() - sleepsBefore, c.atResult == 0 ? 1U : 0U);
        EXPECT_EQ(s1 ? s1->received() : "", c.s1Gets);
        EXPECT_EQ(s2.received(), c.s2Gets);
    }
}

TEST_F(Cellular, Sim2gBeforeAnyPassedAtTestFailsAtOnce)
{
    Modem s1(kS1);
    Modem s2(kS2);
    ASSERT_EQ(s1.error(), "");
    ASSERT_EQ(s2.error(), "");
    sandbox::VirtualClock clock;
    const auto r = callHandler(cmd_request_2g_sim_card_chk);

    expectVerdict(r, 1);
    EXPECT_THAT(clock.sleeps(), IsEmpty());
    EXPECT_THAT(sandbox::logLines(r.out),
                ElementsAre(sandbox::LogLine{kModule, "cmd_request_2g_sim_card_chk",
                                             "cmd request 2G Function Sim Check.\r\n\n"},
                            sandbox::LogLine{kModule, "resInfoWrite", "Res:0x1 actualLength:1.\r\n\n"}));
    EXPECT_EQ(s1.received(), "");
    EXPECT_EQ(s2.received(), "");
}

// A failed AT test forgets nothing: the port of the last passed one stays.
TEST_F(Cellular, FailedAt2gKeepsThePortOfTheLastPass)
{
    sandbox::VirtualClock clock;
    {
        Modem s2(kS2);
        ASSERT_EQ(s2.error(), "");
        expectVerdict(callHandler(cmd_request_2g_at_cmd), 0);
    }
    {
        Modem s1(kS1, atError());
        Modem s2(kS2, atError());
        ASSERT_EQ(s1.error(), "");
        ASSERT_EQ(s2.error(), "");
        expectVerdict(callHandler(cmd_request_2g_at_cmd), 1);
    }
    Modem s1(kS1);
    Modem s2(kS2);
    ASSERT_EQ(s1.error(), "");
    ASSERT_EQ(s2.error(), "");
    expectVerdict(callHandler(cmd_request_2g_sim_card_chk), 0);
    EXPECT_EQ(s1.received(), "");
    EXPECT_EQ(s2.received(), "AT+CPIN?\r");
}

// ---------------------------------------------------------------------------
// Dispatch: each model's table leads the modem codes to its own modem's test

TEST_F(Cellular, EachModelReachesTheTestOfItsModem)
{
    struct Case {
        const char *model;
        uint16_t code;
        const char *function;
    };
    // clang-format off
    const Case cases[] = {
        {"GWM0202", 0x0301, "cmd_request_4g_usb_device"},   {"GWM0202", 0x0302, "cmd_request_4g_at_cmd"},
        {"GWM0202", 0x0303, "cmd_request_sim_card_chk"},    {"GWM0303", 0x0302, "cmd_request_2g_at_cmd"},
        {"GWM0303", 0x0303, "cmd_request_2g_sim_card_chk"}, {"GWM0404", 0x0301, "cmd_request_3g_usb_device"},
        {"GWM0404", 0x0302, "cmd_request_3g_at_cmd"},       {"GWM0404", 0x0303, "cmd_request_3g_sim_card_chk"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + c.function);
        PeripherCtx ctx{};
        ctx.replyCap = kReplyCap;
        std::strcpy(ctx.model.data(), c.model);
        sandbox::VirtualClock clock;
        sandbox::OutputCapture out;
        const int len = peripherHandler(c.code, &ctx);
        const std::string text = out.finish();

        // No modem here: every test fails, and still replies.
        EXPECT_EQ(len, 1);
        EXPECT_EQ(ctx.replyLen, 1);
        EXPECT_EQ(ctx.reply[0], 0x01);
        const auto lines = sandbox::logLines(text);
        ASSERT_GE(lines.size(), 2U);
        EXPECT_EQ(lines[1].function, c.function);
    }
    // No cellular test on the model without a modem.
    PeripherCtx ctx{};
    ctx.replyCap = kReplyCap;
    std::strcpy(ctx.model.data(), "GWM0101");
    for (const uint16_t code : {0x0301, 0x0302, 0x0303}) {
        sandbox::OutputCapture out;
        EXPECT_EQ(peripherHandler(code, &ctx), 0);
        EXPECT_THAT(out.finish(), HasSubstr("GWM0101 No Matched Function\n \n"));
    }
}

} // namespace

// GPIO lines and modem power on a fake board: the sysfs GPIO class and the
// USB device tree as tmpfs trees, the platform's gpioc, gpio and netmged as
// stand-ins that log their command lines, and the virtual clock for the
// pulses. The sysfs writes are shell echo commands, so they are seen in the
// log lines the operations print and in the files they leave behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "asUser.h"
#include "board/pins.h"
#include "capture.h"
#include "cellularBoard.h"
#include "gpioBoard.h"
#include "logText.h"
#include "sandbox.h"
#include "tools.h"
#include "virtualClock.h"

namespace {

using sandbox::kUsPerMs;
using sandbox::kUsPerSec;
using sandbox::LogLine;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

constexpr char kModule[] = "src/peripher";
constexpr char kStandardIface[] = "1-1.4:1.3";
constexpr char kMtkIface[] = "1-1.4:1.2";

std::string ifacePath(const std::string &name) { return std::string(sandbox::kUsbDevicesRoot) + "/" + name; }

class Pins : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { sandbox::setUpModemPowerBoard(); }
};

// ---------------------------------------------------------------------------
// Pin table

TEST(BoardPinLookup, FindsNamesExactlyAndCaseSensitively)
{
    struct Case {
        const char *name;
        int pin;
    };
    // clang-format off
    const Case cases[] = {
        {"2GRST", 37}, {"2GPWR", 0}, {"2GWAK", 1}, {"2grst", -1}, {"2GRST ", -1},
        {"2GRS", -1},  {"", -1},     {"4G_POWER", -1}, {nullptr, -1},
    };
    // clang-format on
    for (const Case &c : cases) {
        EXPECT_EQ(boardPinLookup(c.name), c.pin) << (c.name != nullptr ? c.name : "(null)");
    }
}

// ---------------------------------------------------------------------------
// Single pin operations

TEST_F(Pins, IsCfgTellsExportedFromNotExported)
{
    struct Case {
        unsigned pin;
        bool exported;
        int result;
    };
    // clang-format off
    const Case cases[] = {{37, true, 1}, {37, false, 0}, {0, true, 1}, {65535, false, 0}};
    // clang-format on
    for (const Case &c : cases) {
        sandbox::sh("rm -rf " + sandbox::gpioPinDir(c.pin));
        if (c.exported) {
            sandbox::exportGpio(c.pin);
        }
        sandbox::OutputCapture out;
        const int result = boardPinIsCfg(static_cast<uint16_t>(c.pin));
        const std::string text = out.finish();
        EXPECT_EQ(result, c.result) << "gpio" << c.pin;
        EXPECT_THAT(sandbox::logLines(text),
                    ElementsAre(LogLine{kModule, "boardPinIsCfg", "Path:" + sandbox::gpioPinDir(c.pin) + "\r\n\n"}));
    }
}

TEST_F(Pins, CfgExportsThenSetsTheDirectionAndReturnsTheDirectionStatus)
{
    enum class Tree { Exported, NotExported, ExportRefused };
    struct Case {
        const char *what;
        uint8_t flag;
        Tree tree;
        std::string direction; // the direction file afterwards
        bool succeeds;         // status of the direction command
        std::string exportFile;
    };
    // clang-format off
    const Case cases[] = {
        {"input", 1, Tree::Exported, "in\n", true, "37\n"},
        {"output", 0, Tree::Exported, "out\n", true, "37\n"},
        {"any non-zero flag is input", 0x80, Tree::Exported, "in\n", true, "37\n"},
        // Nothing creates the pin's directory here, so the direction write fails.
        {"pin directory missing", 0, Tree::NotExported, "", false, "37\n"},
        // The export write fails but only the direction command counts.
        {"export refused", 0, Tree::ExportRefused, "out\n", true, ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sandbox::sh(std::string("rm -rf ") + sandbox::kGpioRoot + "/*");
        if (c.tree == Tree::ExportRefused) {
            sandbox::mkdirs(std::string(sandbox::kGpioRoot) + "/export");
        } else {
            sandbox::writeFile(std::string(sandbox::kGpioRoot) + "/export", "");
        }
        if (c.tree != Tree::NotExported) {
            sandbox::exportGpio(37, "none");
        }

        sandbox::OutputCapture out;
        const int status = boardPinCfg(37, c.flag);
        const std::string text = out.finish();

        EXPECT_EQ(status == 0, c.succeeds) << "status " << status;
        EXPECT_EQ(sandbox::gpioFile(37, "direction"), c.direction);
        EXPECT_EQ(sandbox::gpioExportFile(), c.exportFile);
        const std::string direction = c.flag != 0 ? "in" : "out";
        EXPECT_THAT(sandbox::logLines(text),
                    ElementsAre(LogLine{kModule, "boardPinCfg", "echo 37 > /sys/class/gpio/export\r\n\n"},
                                LogLine{kModule, "boardPinCfg",
                                        "echo " + direction + " > /sys/class/gpio/gpio37/direction\r\n\n"}));
    }
}

TEST_F(Pins, SetWritesOneOrZeroAndReturnsTheCommandStatus)
{
    struct Case {
        unsigned pin;
        uint8_t level;
        bool exported;
        std::string value; // the value file afterwards
        bool succeeds;
    };
    // clang-format off
    const Case cases[] = {
        {37, 1, true, "1\n", true},  {37, 0, true, "0\n", true},    {0, 255, true, "1\n", true},
        {65535, 2, true, "1\n", true}, {37, 1, false, "", false},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE("gpio" + std::to_string(c.pin) + " level " + std::to_string(c.level));
        sandbox::sh("rm -rf " + sandbox::gpioPinDir(c.pin));
        if (c.exported) {
            sandbox::exportGpio(c.pin, "out", "x");
        }
        sandbox::OutputCapture out;
        const int status = boardPinSet(static_cast<uint16_t>(c.pin), c.level);
        const std::string text = out.finish();

        EXPECT_EQ(status == 0, c.succeeds) << "status " << status;
        EXPECT_EQ(sandbox::gpioFile(c.pin, "value"), c.value);
        const std::string written = c.level != 0 ? "1" : "0";
        EXPECT_THAT(sandbox::logLines(text),
                    ElementsAre(LogLine{kModule, "boardPinSet",
                                        " echo " + written + " > " + sandbox::gpioPinDir(c.pin) + "/value\r\n\n"}));
    }
}

// ---------------------------------------------------------------------------
// 2G modem pulses

struct Pulse2gCase {
    const char *name;
    int (*op)();
    const char *function;
    unsigned pin;
    bool exported;
    const char *finalMessage;
};

void PrintTo(const Pulse2gCase &c, std::ostream *os) { *os << c.name; }

class Pulse2g : public Pins, public ::testing::WithParamInterface<Pulse2gCase> {};

TEST_P(Pulse2g, DrivesTheLineHighLowHighOneSecondApart)
{
    const Pulse2gCase &c = GetParam();
    const std::string dir = sandbox::gpioPinDir(c.pin);
    const std::string valueCmd = " > " + dir + "/value\r\n\n";
    if (c.exported) {
        // Exported earlier as an input: the sequence must leave it so.
        sandbox::exportGpio(c.pin, "in", "0");
    }

    sandbox::OutputCapture out;
    sandbox::VirtualClock clock;
    // What the line and the log showed as each second ran out.
    std::vector<std::string> valueAt;
    std::vector<std::string> lastMessageAt;
    for (uint64_t at : {1 * kUsPerSec, 2 * kUsPerSec}) {
        clock.at(at, [&] {
            valueAt.push_back(sandbox::gpioFile(c.pin, "value"));
            lastMessageAt.push_back(sandbox::logMessages(out.text()).back());
        });
    }
    const int result = c.op();
    const std::string text = out.finish();

    EXPECT_EQ(result, 0);
    EXPECT_THAT(clock.sleeps(), ElementsAre(kUsPerSec, kUsPerSec));
    EXPECT_THAT(lastMessageAt, ElementsAre(" echo 1" + valueCmd, " echo 0" + valueCmd));

    std::vector<LogLine> expected{{kModule, "boardPinIsCfg", "Path:" + dir + "\r\n\n"}};
    if (!c.exported) {
        expected.push_back(
            {kModule, "boardPinCfg", "echo " + std::to_string(c.pin) + " > /sys/class/gpio/export\r\n\n"});
        expected.push_back({kModule, "boardPinCfg", "echo out > " + dir + "/direction\r\n\n"});
    }
    for (const char *level : {"1", "0", "1"}) {
        expected.push_back({kModule, "boardPinSet", std::string(" echo ") + level + valueCmd});
    }
    expected.push_back({kModule, c.function, c.finalMessage});
    EXPECT_THAT(sandbox::logLines(text), ElementsAreArray(expected));

    if (c.exported) {
        EXPECT_THAT(valueAt, ElementsAre("1\n", "0\n"));
        EXPECT_EQ(sandbox::gpioFile(c.pin, "value"), "1\n");
        EXPECT_EQ(sandbox::gpioFile(c.pin, "direction"), "in\n");
        EXPECT_EQ(sandbox::gpioExportFile(), "");
    } else {
        // No kernel creates the pin here: every write after the export fails,
        // and the sequence still runs to its end.
        EXPECT_EQ(sandbox::gpioExportFile(), std::to_string(c.pin) + "\n");
        EXPECT_FALSE(sandbox::exists(dir));
    }
    EXPECT_THAT(sandbox::toolCalls(), IsEmpty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Sequences, Pulse2g,
    ::testing::Values(
        Pulse2gCase{"PowerOffExported", powerOff_2gModule, "powerOff_2gModule", 37, true, "2G Module Power off .\r\n\n"},
        Pulse2gCase{"PowerOffNotExported", powerOff_2gModule, "powerOff_2gModule", 37, false,
                    "2G Module Power off .\r\n\n"},
        Pulse2gCase{"PowerOnExported", powerOn_2gModule, "powerOn_2gModule", 0, true, "2G Module Power on.\r\n\n"},
        Pulse2gCase{"PowerOnNotExported", powerOn_2gModule, "powerOn_2gModule", 0, false,
                    "2G Module Power on.\r\n\n"}),
    [](const ::testing::TestParamInfo<Pulse2gCase> &info) { return std::string(info.param.name); });
// clang-format on

// ---------------------------------------------------------------------------
// 4G modem power sequences

enum class Iface {
    Absent,
    Present,
    UnderAFile, // a path through a regular file: ENOTDIR
    NoPath,     // a null path
};

struct Power4gCase {
    const char *name;
    int (*op)(const char *);
    const char *function;
    bool mtkSdk;
    Iface iface;
    int result;
    Lines messages;
    Lines calls;
    Lines callsWhenWaitEnds; // the tool calls made once the 200 ms wait has run out
    std::vector<uint64_t> sleeps;
};

void PrintTo(const Power4gCase &c, std::ostream *os) { *os << c.name; }

class Power4g : public Pins, public ::testing::WithParamInterface<Power4gCase> {};

TEST_P(Power4g, RunsTheSequenceOfTheInterfaceStateAndPlatform)
{
    const Power4gCase &c = GetParam();
    sandbox::setMtkSdkMarker(c.mtkSdk);
    std::string path = ifacePath(c.mtkSdk ? kMtkIface : kStandardIface);
    switch (c.iface) {
    case Iface::Present:
        sandbox::addUsbInterface(c.mtkSdk ? kMtkIface : kStandardIface, {"ttyUSB4"});
        break;
    case Iface::UnderAFile:
        sandbox::writeFile(ifacePath("usb1"), "");
        path = ifacePath("usb1") + "/" + kStandardIface;
        break;
    case Iface::Absent:
    case Iface::NoPath:
        break;
    }

    sandbox::OutputCapture out;
    sandbox::VirtualClock clock;
    Lines callsWhenWaitEnds;
    clock.at(200 * kUsPerMs, [&] { callsWhenWaitEnds = sandbox::toolCalls(); });
    const int result = c.op(c.iface == Iface::NoPath ? nullptr : path.c_str());
    const std::string text = out.finish();

    EXPECT_EQ(result, c.result);
    std::vector<LogLine> expected;
    for (std::string message : c.messages) {
        const auto at = message.find("<path>");
        if (at != std::string::npos) {
            message.replace(at, 6, path);
        }
        expected.push_back({kModule, c.function, message});
    }
    EXPECT_THAT(sandbox::logLines(text), ElementsAreArray(expected));
    EXPECT_THAT(sandbox::toolCalls(), ElementsAreArray(c.calls));
    EXPECT_THAT(callsWhenWaitEnds, ElementsAreArray(c.callsWhenWaitEnds));
    EXPECT_THAT(clock.sleeps(), ElementsAreArray(c.sleeps));
}

const Lines kMtkOffCalls{"/etc/init.d/netmged stop", "gpio l 28 0 4000 0 1 4000", "gpio l 29 0 4000 0 1 4000",
                         "gpio l 35 4000 0 1 0 4000"};
const std::string kNotADirectory =
    std::string("access <path>, Error(") + std::to_string(ENOTDIR) + "):" + std::strerror(ENOTDIR) + " \n\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Sequences, Power4g,
    ::testing::Values(
        Power4gCase{"OffNoPath", powerOff_4gModule, "powerOff_4gModule", false, Iface::NoPath, -1, {}, {}, {}, {}},
        Power4gCase{"OffAlreadyOff", powerOff_4gModule, "powerOff_4gModule", false, Iface::Absent, 0,
                    {"4G Module Alread Power off.\n\n"}, {}, {}, {}},
        Power4gCase{"OffAlreadyOffMtk", powerOff_4gModule, "powerOff_4gModule", true, Iface::Absent, 0,
                    {"4G Module Alread Power off.\n\n"}, {}, {}, {}},
        Power4gCase{"OffResetPulse", powerOff_4gModule, "powerOff_4gModule", false, Iface::Present, 0,
                    {"4G Module Power off ing.\r\n\n"},
                    {"gpioc set 4G_RESET 1", "gpioc set 4G_RESET 0"},
                    {"gpioc set 4G_RESET 1"},
                    {200 * kUsPerMs}},
        Power4gCase{"OffMtk", powerOff_4gModule, "powerOff_4gModule", true, Iface::Present, 0,
                    {"mtk sdk...\n", "4G Module Power off ing.\r\n\n"}, kMtkOffCalls, {}, {}},
        Power4gCase{"OffPathUnderAFile", powerOff_4gModule, "powerOff_4gModule", false, Iface::UnderAFile, ENOTDIR,
                    {kNotADirectory}, {}, {}, {}},
        Power4gCase{"OnNoPath", powerOn_4gModule, "powerOn_4gModule", false, Iface::NoPath, -1, {}, {}, {}, {}},
        Power4gCase{"OnAlreadyOn", powerOn_4gModule, "powerOn_4gModule", false, Iface::Present, 0,
                    {"4G Module Alread Power on.\n\n"}, {}, {}, {}},
        Power4gCase{"OnAlreadyOnMtk", powerOn_4gModule, "powerOn_4gModule", true, Iface::Present, 0,
                    {"4G Module Alread Power on.\n\n"}, {}, {}, {}},
        Power4gCase{"OnPowerPulse", powerOn_4gModule, "powerOn_4gModule", false, Iface::Absent, 0,
                    {"4G Module Power On ing.\r\n\n"},
                    {"gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0"},
                    {"gpioc set 4G_POWER 1"},
                    {200 * kUsPerMs}},
        Power4gCase{"OnMtk", powerOn_4gModule, "powerOn_4gModule", true, Iface::Absent, 0, {},
                    {"gpio l 29 4000 0 1 0 4000"}, {}, {}},
        Power4gCase{"OnPathUnderAFile", powerOn_4gModule, "powerOn_4gModule", false, Iface::UnderAFile, ENOTDIR,
                    {kNotADirectory}, {}, {}, {}}),
    [](const ::testing::TestParamInfo<Power4gCase> &info) { return std::string(info.param.name); });
// clang-format on

TEST_F(Pins, PowerOnRightAfterPowerOffSeesTheModemStillOnTheBus)
{
    // The modem takes a while to drop off USB after its reset pulse; until
    // then its interface is still there and power-on has nothing to do.
    const std::string path = sandbox::addUsbInterface(kStandardIface, {"ttyUSB4"});
    sandbox::OutputCapture out;
    sandbox::VirtualClock clock;
    const int off = powerOff_4gModule(path.c_str());
    const int on = powerOn_4gModule(path.c_str());
    const std::string text = out.finish();

    EXPECT_EQ(off, 0);
    EXPECT_EQ(on, 0);
    EXPECT_THAT(sandbox::logMessages(text),
                ElementsAre("4G Module Power off ing.\r\n\n", "4G Module Alread Power on.\n\n"));
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("gpioc set 4G_RESET 1", "gpioc set 4G_RESET 0"));
    EXPECT_EQ(sandbox::gpiocLevel("4G_RESET"), "0");
    EXPECT_EQ(sandbox::gpiocLevel("4G_POWER"), "");
}

TEST_F(Pins, TheMarkerIsReadAfreshOnEveryCall)
{
    sandbox::VirtualClock clock;
    sandbox::OutputCapture out;
    const std::string path = ifacePath(kStandardIface);
    powerOn_4gModule(path.c_str());
    sandbox::setMtkSdkMarker(true);
    powerOn_4gModule(path.c_str());
    out.finish();
    EXPECT_THAT(sandbox::toolCalls(),
                ElementsAre("gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0", "gpio l 29 4000 0 1 0 4000"));
}

// An interface the service may not read. The tests run as root, and root
// passes access(R_OK) on anything that exists, so the check runs in a forked
// child that has dropped to the nobody user: the same EACCES the service
// meets on a gateway where the USB tree is not readable to it.
struct Unreadable4gCase {
    const char *name;
    int (*op)(const char *);
    const char *function;
    bool mtkSdk;
    bool rootUnsearchable; // the devices directory itself cannot be searched
};

void PrintTo(const Unreadable4gCase &c, std::ostream *os) { *os << c.name; }

class Unreadable4g : public Pins, public ::testing::WithParamInterface<Unreadable4gCase> {};

TEST_P(Unreadable4g, ReturnsTheAccessErrorAndRunsNothing)
{
    const Unreadable4gCase &c = GetParam();
    sandbox::setMtkSdkMarker(c.mtkSdk);
    const std::string path = sandbox::addUsbInterface(kStandardIface, {"ttyUSB4"}, c.rootUnsearchable ? 0755 : 0311);
    if (c.rootUnsearchable) {
        ASSERT_EQ(chmod(sandbox::kUsbDevicesRoot, 0700), 0);
    }
    // Let a wrongly run stand-in still log its call from the child.
    ASSERT_EQ(chmod(sandbox::toolLogPath().c_str(), 0666), 0);

    sandbox::VirtualClock clock;
    sandbox::OutputCapture out;
    const std::optional<int> result = sandbox::runAsUser([&] { return c.op(path.c_str()); });
    const std::string text = out.finish();

    ASSERT_TRUE(result.has_value()) << "the check did not run as nobody";
    EXPECT_EQ(*result, EACCES);
    EXPECT_THAT(sandbox::logLines(text), ElementsAre(LogLine{kModule, c.function,
                                                             "access " + path + ", Error(" + std::to_string(EACCES) +
                                                                 "):" + std::strerror(EACCES) + " \n\n"}));
    EXPECT_THAT(sandbox::toolCalls(), IsEmpty());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    AccessErrors, Unreadable4g,
    ::testing::Values(Unreadable4gCase{"OffUnreadable", powerOff_4gModule, "powerOff_4gModule", false, false},
                      Unreadable4gCase{"OffUnreadableMtk", powerOff_4gModule, "powerOff_4gModule", true, false},
                      Unreadable4gCase{"OffUnsearchableTree", powerOff_4gModule, "powerOff_4gModule", false, true},
                      Unreadable4gCase{"OnUnreadable", powerOn_4gModule, "powerOn_4gModule", false, false},
                      Unreadable4gCase{"OnUnreadableMtk", powerOn_4gModule, "powerOn_4gModule", true, false},
                      Unreadable4gCase{"OnUnsearchableTree", powerOn_4gModule, "powerOn_4gModule", false, true}),
    [](const ::testing::TestParamInfo<Unreadable4gCase> &info) { return std::string(info.param.name); });
// clang-format on

} // namespace

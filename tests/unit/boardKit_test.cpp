// The board side of the test kit: fake sysfs trees, the line-tool stand-ins,
// the modem's side of the board, and running code as an ordinary user.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <set>
#include <string>
#include <unistd.h>

#include "asUser.h"
#include "capture.h"
#include "cellularBoard.h"
#include "gpioBoard.h"
#include "sandbox.h"
#include "sysTree.h"
#include "tools.h"

namespace {

using ::testing::ElementsAre;

std::set<std::string> entriesOf(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            names.insert(e->d_name);
        }
        closedir(d);
    }
    return names;
}

class BoardKit : public sandbox::SandboxTest {};

TEST_F(BoardKit, FakeSysDirectoriesLeaveTheRestOfSysfsInPlace)
{
    std::set<std::string> classBefore = entriesOf("/sys/class");
    std::set<std::string> busBefore = entriesOf("/sys/bus");
    sandbox::fakeGpioTree();
    sandbox::fakeUsbDevices();

    std::set<std::string> classAfter = entriesOf("/sys/class");
    std::set<std::string> busAfter = entriesOf("/sys/bus");
    classBefore.insert("gpio");
    busBefore.insert("usb");
    EXPECT_EQ(classAfter, classBefore);
    EXPECT_EQ(busAfter, busBefore);
    EXPECT_TRUE(sandbox::exists("/sys/class/net/lo"));
    EXPECT_EQ(entriesOf(sandbox::kGpioRoot), (std::set<std::string>{".", "..", "export", "unexport"}));

    sandbox::exportGpio(37, "out", "1");
    EXPECT_EQ(sandbox::gpioFile(37, "direction"), "out\n");
    EXPECT_EQ(sandbox::gpioFile(37, "value"), "1\n");
    EXPECT_EQ(sandbox::gpioFile(38, "value"), "");

    const std::string iface = sandbox::addUsbInterface("1-1.4:1.3", {"ttyUSB4"});
    EXPECT_EQ(iface, "/sys/bus/usb/devices/1-1.4:1.3");
    EXPECT_TRUE(sandbox::exists(iface + "/ttyUSB4"));
    sandbox::removeUsbInterface("1-1.4:1.3");
    EXPECT_FALSE(sandbox::exists(iface));
}

TEST_F(BoardKit, LineToolStandInsLogAndKeepLineLevels)
{
    sandbox::setUpTools();
    sandbox::installGpioTools("[ \"$2\" = 4G_POWER ] && [ \"$3\" = 0 ] && mkdir -p /tmp/modem-up; exit 0");
    EXPECT_EQ(sandbox::sh("gpioc set 4G_POWER 1"), 0);
    EXPECT_EQ(sandbox::gpiocLevel("4G_POWER"), "1");
    EXPECT_FALSE(sandbox::exists("/tmp/modem-up"));
    EXPECT_EQ(sandbox::sh("gpioc set 4G_POWER 0; gpioc get 4G_POWER; gpio l 29 4000 0 1 0 4000"), 0);
    EXPECT_EQ(sandbox::gpiocLevel("4G_POWER"), "0");
    EXPECT_EQ(sandbox::gpiocLevel("4G_RESET"), "");
    EXPECT_TRUE(sandbox::exists("/tmp/modem-up"));
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0", "gpioc get 4G_POWER",
                                                  "gpio l 29 4000 0 1 0 4000"));
}

TEST_F(BoardKit, CellularBoardIsLaidOutAsTheModemTestsExpect)
{
    sandbox::setUpCellularBoard();
    // The 2G modem's lines exported high, nothing written to export.
    EXPECT_EQ(sandbox::gpioFile(37, "direction"), "out\n");
    EXPECT_EQ(sandbox::gpioFile(37, "value"), "1\n");
    EXPECT_EQ(sandbox::gpioFile(0, "value"), "1\n");
    EXPECT_EQ(sandbox::gpioExportFile(), "");
    EXPECT_TRUE(entriesOf(sandbox::kUsbDevicesRoot).count("1-1.4:1.3") == 0) << "no modem interface yet";
    // The gateway's BusyBox find, and no pppd.
    EXPECT_EQ(sandbox::sh("[ \"$(readlink '" + sandbox::toolDir() + "/find')\" = /bin/busybox ]"), 0);
    EXPECT_EQ(sandbox::sh("pidof pppd"), 1);
    EXPECT_EQ(sandbox::sh("/etc/init.d/datalink stop && /etc/init.d/netmged stop"), 0);
    EXPECT_THAT(sandbox::toolCalls(),
                ElementsAre("pidof pppd", "/etc/init.d/datalink stop", "/etc/init.d/netmged stop"));
    EXPECT_FALSE(sandbox::exists(sandbox::kMtkSdkMarker));
    sandbox::setMtkSdkMarker(true);
    EXPECT_TRUE(sandbox::exists(sandbox::kMtkSdkMarker));
    sandbox::setMtkSdkMarker(false);
    EXPECT_FALSE(sandbox::exists(sandbox::kMtkSdkMarker));

    // The fresh /dev takes a modem at its AT port.
    sandbox::Modem modem("/dev/ttyUSB4");
    EXPECT_EQ(modem.error(), "");
}

TEST_F(BoardKit, RunAsUserRunsAsNobodyAndHandsBackTheResult)
{
    sandbox::OutputCapture out;
    std::printf("pending ");
    const auto uid = sandbox::runAsUser([] {
        std::printf("child\n");
        return static_cast<int>(geteuid());
    });
    const auto negative = sandbox::runAsUser([] { return -13; });
    const std::string text = out.finish();

    ASSERT_TRUE(uid.has_value());
    EXPECT_EQ(*uid, static_cast<int>(sandbox::kNobodyUid));
    ASSERT_TRUE(negative.has_value());
    EXPECT_EQ(*negative, -13);
    // Written once: the parent's unwritten output is not copied into the child.
    EXPECT_EQ(text, "pending child\n");
    EXPECT_EQ(geteuid(), 0U);
}

} // namespace

// The test kit itself: the fixture's set-up hook, stand-in tools and their
// log, and the virtual clock behave as the handler tests rely on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "clock.h"
#include "sandbox.h"
#include "tools.h"
#include "virtualClock.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string namespaceOf(const std::string &process, const char *kind)
{
    char target[128] = {};
    const std::string link = "/proc/" + process + "/ns/" + kind;
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "unreadable " + link;
}

class TestKit : public sandbox::SandboxTest {};

// The hook runs after the sandbox was entered: what a fixture lays out there
// never lands on the machine.
class SetUpHookKit : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        ran_ = true;
        ownMounts_ = namespaceOf("self", "mnt") != namespaceOf("1", "mnt");
        ownNetwork_ = namespaceOf("self", "net") != namespaceOf("1", "net");
        scratchReady_ = sandbox::exists(sandbox::scratchDir());
    }
    bool ran_ = false;
    bool ownMounts_ = false;
    bool ownNetwork_ = false;
    bool scratchReady_ = false;
};

TEST_F(SetUpHookKit, RunsInsideTheEnteredSandbox)
{
    EXPECT_TRUE(ran_);
    EXPECT_TRUE(ownMounts_);
    EXPECT_TRUE(ownNetwork_);
    EXPECT_TRUE(scratchReady_);
}

TEST_F(TestKit, StandInToolsLogTheirCommandLines)
{
    sandbox::setUpTools({"pidof"});
    sandbox::installTool("gpioc", "exit 3");
    sandbox::installTool("/etc/init.d/nxp");
    EXPECT_EQ(sandbox::sh("gpioc -p 5 -w 1"), 3);
    EXPECT_EQ(sandbox::sh("/etc/init.d/nxp stop"), 0);
    EXPECT_EQ(sandbox::sh("gpioc"), 3);
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("gpioc -p 5 -w 1", "/etc/init.d/nxp stop", "gpioc"));
    EXPECT_EQ(sandbox::sh("command -v pidof | grep -q '^" + sandbox::toolDir() + "/pidof$'"), 0);
}

TEST_F(TestKit, ToolLogOfAnotherPlaceIsReadTheSameWay)
{
    // As a gwsim instance's tool log is read.
    sandbox::writeFile("/tmp/other-tools.log", "gpioc set 4G_POWER 1\n/etc/init.d/nxp stop\n");
    EXPECT_THAT(sandbox::toolCallsIn("/tmp/other-tools.log"),
                ElementsAre("gpioc set 4G_POWER 1", "/etc/init.d/nxp stop"));
    EXPECT_THAT(sandbox::toolCallsIn("/tmp/no-such.log"), IsEmpty());
}

TEST(VirtualClockKit, SleepsAdvanceTimeAndRunEventsInOrder)
{
    sandbox::VirtualClock clock;
    std::vector<std::string> seen;
    clock.at(1500000, [&] { seen.push_back("b@" + std::to_string(clock.nowUs())); });
    clock.at(1000000, [&] { seen.push_back("a@" + std::to_string(clock.nowUs())); });
    gwSleepSec(1);
    gwSleepMs(200);
    gwSleepMs(400);
    EXPECT_EQ(clock.nowUs(), 1600000U);
    EXPECT_THAT(clock.sleeps(), ElementsAre(1000000U, 200000U, 400000U));
    EXPECT_THAT(seen, ElementsAre("a@1000000", "b@1600000"));
}

} // namespace

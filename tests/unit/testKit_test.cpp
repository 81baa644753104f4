// The test kit itself: stand-in tools and the virtual clock behave as the
// handler tests rely on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "clock.h"
#include "sandbox.h"
#include "tools.h"
#include "virtualClock.h"

namespace {

using ::testing::ElementsAre;

class TestKit : public sandbox::SandboxTest {};

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

// The parts of the test kit the handler tests build the fake gateway from:
// the shell command record, the private process table, the router
// namespace and the overlays.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

#include "network.h"
#include "overlay.h"
#include "pidNamespace.h"
#include "processes.h"
#include "sandbox.h"
#include "shellLog.h"
#include "tools.h"

namespace {

using ::testing::ElementsAre;

class GatewayKit : public sandbox::SandboxTest {};

TEST_F(GatewayKit, ShellCommandsAreRecordedByteForByte)
{
    sandbox::recordShellCommands();
    EXPECT_EQ(sandbox::sh("echo \"inet addr\" | grep -q 'inet addr'"), 0);
    EXPECT_EQ(sandbox::sh("printf 'a\\n'\nexit 3"), 3);
    FILE *p = popen("echo $((1 + 2))", "r");
    ASSERT_NE(p, nullptr);
    char line[16] = {};
    EXPECT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    EXPECT_STREQ(line, "3\n");
    EXPECT_THAT(sandbox::shellCommands(),
                ElementsAre("echo \"inet addr\" | grep -q 'inet addr'", "printf 'a\\n'\nexit 3", "echo $((1 + 2))"));
}

TEST_F(GatewayKit, ScriptsKeepTheNamesBusyboxFindsThemBy)
{
    // Short and long (cut to 15 characters by the kernel) script names.
    sandbox::setUpTools({"pidof"});
    sandbox::recordShellCommands();
    const std::string pids = sandbox::scratchDir();
    // Private pids: the same names may run in tests alongside.
    sandbox::inPrivatePids([&] {
        for (const std::string name : {"smartconfig.sh", "tovak_peripheralcmd.sh"}) {
            SCOPED_TRACE(name);
            sandbox::installTool(name, "echo $$ > " + pids + "/" + name + ".pid; while :; do sleep 1; done");
            ASSERT_EQ(sandbox::sh(name + " >/dev/null &"), 0);
            const pid_t running = sandbox::waitForPidFile(pids + "/" + name + ".pid");
            ASSERT_GT(running, 0);
            // A process of the shell still on its way to exec may be seen for
            // a moment under the same name: ask again before giving up.
            EXPECT_EQ(sandbox::sh("for i in $(seq 30); do [ \"$(pidof " + name + ")\" = " + std::to_string(running) +
                                  " ] && exit 0; sleep 0.1; done; pidof " + name + "; exit 1"),
                      0);
        }
    });
}

TEST_F(GatewayKit, PrivatePidsHideTheOtherProcesses)
{
    sandbox::setUpTools({"pidof"});
    sandbox::installTool("lookalike.sh",
                         "echo $$ > " + sandbox::scratchDir() + "/outside.pid; while :; do sleep 1; done");
    ASSERT_EQ(sandbox::sh("lookalike.sh >/dev/null &"), 0);
    const pid_t outside = sandbox::waitForPidFile(sandbox::scratchDir() + "/outside.pid");
    ASSERT_GT(outside, 0);
    sandbox::inPrivatePids([] {
        EXPECT_EQ(getpid(), 1);
        EXPECT_NE(sandbox::sh("pidof lookalike.sh >/dev/null"), 0);
    });
    EXPECT_TRUE(sandbox::processRunning(outside));
    EXPECT_EQ(sandbox::sh("pidof lookalike.sh >/dev/null"), 0);
    sandbox::sh("kill " + std::to_string(outside));
}

TEST_F(GatewayKit, RouterAnswersPingUntilToldNotTo)
{
    sandbox::setUpTools({"ping"});
    sandbox::PeerNamespace router;
    sandbox::addRouterLink(router, "eth0.2", "192.0.2.2/24", "up0", "192.0.2.1/24");
    EXPECT_EQ(sandbox::sh("ping -c 1 -w 3 192.0.2.1 >/dev/null"), 0);
    router.answerPing(false);
    EXPECT_NE(sandbox::sh("ping -c 1 -W 1 -w 1 192.0.2.1 >/dev/null"), 0);
}

TEST_F(GatewayKit, OverlayKeepsWritesInTheSandbox)
{
    sandbox::overlayDir("/etc");
    sandbox::overlayDir("/etc"); // a second call changes nothing
    sandbox::writeFile("/etc/tovak_build", "BUILD=1\n");
    EXPECT_EQ(sandbox::readFile("/etc/tovak_build"), "BUILD=1\n");
    EXPECT_TRUE(sandbox::exists("/etc/passwd"));
}

} // namespace

// The identity, network, button and LED tests through the real service over
// TCP: the dispatcher's tables bring each request to its handler, on the
// models that have it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "network.h"
#include "overlay.h"
#include "sandbox.h"
#include "serviceProcess.h"
#include "tools.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

constexpr int kReplyWaitMs = 10000;

class Handlers : public sandbox::ServiceTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::overlayDir("/etc");
        sandbox::overlayDir("/sys/class");
    }

    // Sends the request and waits for its reply; empty when none came.
    static std::optional<Bytes> ask(station::Connection &conn, uint16_t code)
    {
        return sandbox::ask(conn, code, kReplyWaitMs);
    }
};

TEST_F(Handlers, IdentityQueries)
{
    sandbox::writeFile("/tmp/sysinfo/model", "gwm0202\n");
    sandbox::addVeth("eth0", "00:11:22:33:44:55", "eth0-peer");
    sandbox::writeFile("/etc/tovak_build", "BUILD_VERSION=V1.1.3-20200619\n");
    sandbox::writeFile("/etc/config/tovak/amber/version", "version:6.7.8,build 12\n");
    sandbox::writeFile("/etc/config/tovak/zwdev/version", "version:7.15\n");
    startService();
    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0001), (Bytes{0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    EXPECT_EQ(ask(conn, 0x0002), (Bytes{0x00, 'V', '1', '.', '1', '.', '3', 0x00}));
    EXPECT_EQ(ask(conn, 0x0003), (Bytes{0x00, '6', '.', '7', '.', '8', 0x00}));
    EXPECT_EQ(ask(conn, 0x0004), (Bytes{0x00, '7', '.', '1', '5', '\n', 0x00}));
    EXPECT_THAT(service.out(), HasSubstr("GWM0202 CMD Function OK\n\n"));
}

TEST_F(Handlers, RadioVersionsOnlyOnTheModelWithTheRadios)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0303\n");
    sandbox::writeFile("/etc/tovak_build", "BUILD_VERSION=V1.1.3-20200619\n");
    sandbox::writeFile("/etc/config/tovak/amber/version", "version:6.7.8,build 12\n");
    startService();
    auto conn = sandbox::connectService();
    ASSERT_TRUE(conn.sendRequest(0x0003));
    // The next reply is the build version's: the Zigbee query went unanswered.
    EXPECT_EQ(ask(conn, 0x0002), (Bytes{0x00, 'V', '1', '.', '1', '.', '3', 0x00}));
    EXPECT_THAT(service.out(), HasSubstr("GWM0303 No Matched Function\n \n"));
    EXPECT_THAT(service.out(), Not(HasSubstr("cmd request Function ZBversion.")));
}

TEST_F(Handlers, WanAddressOnTheGwm0303IsEth0)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0303\n");
    sandbox::setUpTools({"cat"});
    sandbox::addVeth("eth0", "", "lan-peer");
    sandbox::addVeth("eth0.2", "", "wan-peer");
    ASSERT_EQ(sandbox::sh("ip addr add 10.0.1.2/24 dev eth0 && ip addr add 192.0.2.2/24 dev eth0.2"), 0);
    startService();
    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0101), Bytes{0x00});
    EXPECT_THAT(service.out(), HasSubstr("Wan DHCP Success, WAN IP:10.0.1.2.\r\n\n"));
}

TEST_F(Handlers, DefaultGatewayAnsweringPing)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0101\n");
    sandbox::setUpTools({"ping", "grep"});
    sandbox::PeerNamespace router;
    sandbox::addRouterLink(router, "eth0.2", "192.0.2.2/24", "up0", "192.0.2.1/24");
    ASSERT_EQ(sandbox::sh("ip route add default via 192.0.2.1 dev eth0.2"), 0);
    startService();
    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0102), Bytes{0x00});
    EXPECT_THAT(service.out(), HasSubstr("ping -w 3 192.0.2.1 | grep ttl\r\n\n"));
}

TEST_F(Handlers, ZwaveLedOnlyOnTheGwm0202)
{
    sandbox::mkdirs("/sys/class/leds/zwled");
    sandbox::writeFile("/sys/class/leds/zwled/brightness", "1");
    startService();
    struct Case {
        const char *modelFile; // nullptr: none
        bool answered;
        const char *log;
    };
    // clang-format off
    const Case cases[] = {
        {"gwm0202\n", true, "GWM0202 CMD Function OK\n\n"},
        {"GWM0101\n", false, "GWM0101 No Matched Function\n \n"},
        {"GWM0303\n", false, "GWM0303 No Matched Function\n \n"},
        {"GWM0404\n", false, "GWM0404 No Matched Function\n \n"},
        {nullptr, false, "No Matched CMD Function\n\n"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.modelFile != nullptr ? c.modelFile : "(no model file)");
        unlink("/tmp/sysinfo/model");
        if (c.modelFile != nullptr) {
            sandbox::writeFile("/tmp/sysinfo/model", c.modelFile);
        }
        sandbox::writeFile("/sys/class/leds/zwled/brightness", "1");
        auto conn = sandbox::connectService();
        if (c.answered) {
            EXPECT_EQ(ask(conn, 0x0702), Bytes{0x00});
            EXPECT_EQ(sandbox::readFile("/sys/class/leds/zwled/brightness"), "0");
        } else {
            ASSERT_TRUE(conn.sendRequest(0x0702));
            // The model query is answered on every model; its reply comes
            // first, so the LED request got none.
            const auto model = ask(conn, 0x0005);
            EXPECT_TRUE(model.has_value());
            EXPECT_EQ(sandbox::readFile("/sys/class/leds/zwled/brightness"), "1");
        }
        EXPECT_TRUE(service.waitForOut(c.log, kReplyWaitMs));
        // The next connection reads the model file anew.
        conn.close();
    }
}

TEST_F(Handlers, AllLedsFlashStartsTheScript)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0404\n");
    sandbox::setUpTools();
    sandbox::installTool("tovak_peripheralcmd.sh");
    startService();
    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0706), Bytes{0x00});
    EXPECT_THAT(service.out(), HasSubstr("cmd All LEDs Flash.\r\n\n"));
}

// A script the service leaves running in the background must hold none of
// its sockets: not the client's (the station would never see the connection
// closed) and not the listening one (a restarted service could not bind).
TEST_F(Handlers, BackgroundScriptsInheritNoSocket)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0202\n");
    sandbox::setUpTools();
    const std::string fds = sandbox::scratchDir() + "/blink.fds";
    sandbox::installTool("tovak_peripheralcmd.sh",
                         "ls -l /proc/$$/fd > " + fds + ".part; mv " + fds + ".part " + fds + "; sleep 30");
    startService();
    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0706), Bytes{0x00});
    // The script runs on after the reply: its listing comes when it comes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!sandbox::exists(fds) && std::chrono::steady_clock::now() < deadline) {
        usleep(10000);
    }
    const std::string open = sandbox::readFile(fds);
    EXPECT_THAT(open, HasSubstr("/dev/null")) << "the listing was taken";
    EXPECT_THAT(open, Not(HasSubstr("socket:"))) << open;
    // The station sees its connection end when the service closes it.
    conn.close();
    sandbox::sh("pkill -f 'tovak_peripheralcmd.sh blink' || true");
}

} // namespace

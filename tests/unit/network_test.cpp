// The network tests against real interfaces in the sandbox: veth eth0 and
// eth0.2, a router namespace on their far end that answers ping or not, the
// kernel's own route table, /etc/hosts for the DNS host, and wlan0 with a
// stand-in smart-configuration script.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <net/if.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "handlerCall.h"
#include "logText.h"
#include "network.h"
#include "overlay.h"
#include "peripher/network.h"
#include "peripher/peripher.h"
#include "pidNamespace.h"
#include "processes.h"
#include "sandbox.h"
#include "shellLog.h"
#include "tools.h"
#include "virtualClock.h"

namespace {

using sandbox::callHandler;
using sandbox::kUsPerSec;
using sandbox::logPrefix;
using sandbox::maskLineNumbers;
using sandbox::missingInOrder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

class NetworkTest : public sandbox::SandboxTest {
protected:
    // The gateway's BusyBox flavour of the tools its command lines use; every
    // command line the handlers give the shell is recorded.
    void SetUpSandbox() override
    {
        sandbox::setUpTools({"ifconfig", "pidof", "grep", "cat", "ping"});
        sandbox::recordShellCommands();
    }
    // Log lines of a handler, each with its prefix.
    static std::vector<std::string> lines(const char *function, const std::vector<std::string> &messages)
    {
        std::vector<std::string> out;
        for (const std::string &m : messages) {
            out.push_back(logPrefix("src/peripher", function) + m);
        }
        return out;
    }
};

// ---------------------------------------------------------------------------
// WAN address

class WanDhcp : public NetworkTest {
protected:
    void SetUpSandbox() override
    {
        NetworkTest::SetUpSandbox();
        sandbox::addVeth("eth0", "", "lan-peer");
        sandbox::addVeth("eth0.2", "", "wan-peer");
    }
};

TEST_F(WanDhcp, ModelChoosesTheInterface)
{
    ASSERT_EQ(sandbox::sh("ip addr add 10.0.1.2/24 dev eth0 && ip addr add 192.0.2.2/24 dev eth0.2"), 0);
    struct Case {
        const char *model; // nullptr: no model file
        const char *address;
    };
    // clang-format off
    const Case cases[] = {
        {"GWM0303\n", "10.0.1.2"},       {"GWM0303", "10.0.1.2"},          {"GWM0303\nGWM0202\n", "10.0.1.2"},
        {"gwm0303\n", "192.0.2.2"},      {"GWM0202\n", "192.0.2.2"},       {"GWM0303\r\n", "192.0.2.2"},
        {"GWM0303 \n", "192.0.2.2"},     {"GWM03030\n", "192.0.2.2"},      {nullptr, "192.0.2.2"},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.model != nullptr ? c.model : "(no model file)");
        unlink("/tmp/sysinfo/model");
        if (c.model != nullptr) {
            sandbox::writeFile("/tmp/sysinfo/model", c.model);
        }
        sandbox::clearShellCommands();
        const auto r = callHandler(cmd_wan_dhcpcli);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_EQ(missingInOrder(
                      maskLineNumbers(r.out),
                      lines("cmd_wan_dhcpcli", {"cmd request Function DHCP.\r\n\n",
                                                "Wan DHCP Success, WAN IP:" + std::string(c.address) + ".\r\n\n"})),
                  "");
        EXPECT_THAT(sandbox::shellCommands(), ElementsAre("cat /tmp/sysinfo/model"));
    }
}

TEST_F(WanDhcp, InterfaceWithoutAddressFails)
{
    struct Case {
        const char *model;
        const char *setup;
        int error;
    };
    // clang-format off
    const Case cases[] = {
        {"GWM0202\n", "ip addr add 10.0.1.2/24 dev eth0", EADDRNOTAVAIL},
        {"GWM0303\n", "ip addr add 192.0.2.2/24 dev eth0.2", EADDRNOTAVAIL},
        {"GWM0202\n", "ip addr add 10.0.1.2/24 dev eth0 && ip link del eth0.2", ENODEV},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setup);
        ASSERT_EQ(sandbox::sh("ip addr flush dev eth0; ip addr flush dev eth0.2 2>/dev/null; true"), 0);
        ASSERT_EQ(sandbox::sh(c.setup), 0);
        sandbox::writeFile("/tmp/sysinfo/model", c.model);
        const auto r = callHandler(cmd_wan_dhcpcli);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x01});
        EXPECT_EQ(
            missingInOrder(maskLineNumbers(r.out),
                           lines("cmd_wan_dhcpcli", {"ioctl error: " + std::string(std::strerror(c.error)) + "\n\n",
                                                     "Wan DHCP Error.\r\n\n"})),
            "");
        EXPECT_THAT(r.out, Not(HasSubstr("Success")));
    }
}

// ---------------------------------------------------------------------------
// Default gateway

class WanPingGateway : public NetworkTest {
protected:
    void SetUpSandbox() override
    {
        NetworkTest::SetUpSandbox();
        sandbox::addRouterLink(router, "eth0.2", "192.0.2.2/24", "up0", "192.0.2.1/24");
    }
    static std::string gateAddrLine(const char *address)
    {
        char text[64];
        std::snprintf(text, sizeof text, "gate addr:0x%x.\r\n\n", static_cast<unsigned>(inet_addr(address)));
        return text;
    }
    sandbox::PeerNamespace router;
};

TEST_F(WanPingGateway, AnsweringGatewayPasses)
{
    ASSERT_EQ(sandbox::sh("ip route add default via 192.0.2.1 dev eth0.2"), 0);
    sandbox::clearShellCommands();
    const auto r = callHandler(cmd_request_wan_ping_gw);
    EXPECT_EQ(r.len, 1);
    EXPECT_EQ(r.reply, Bytes{0x00});
    EXPECT_EQ(missingInOrder(maskLineNumbers(r.out),
                             lines("cmd_request_wan_ping_gw",
                                   {"cmd request Function Ping GataWay.\r\n\n", gateAddrLine("192.0.2.1"),
                                    "Gataway IP:192.0.2.1\r\n\n", "ping -w 3 192.0.2.1 | grep ttl\r\n\n",
                                    "ping 192.0.2.1 Success.\r\n\n", "WAN Gataway Ping Success.\r\n\n"})),
              "");
    EXPECT_THAT(sandbox::shellCommands(), ElementsAre("ping -w 3 192.0.2.1 | grep ttl"));
}

TEST_F(WanPingGateway, SilentGatewayFails)
{
    router.answerPing(false);
    ASSERT_EQ(sandbox::sh("ip route add default via 192.0.2.1 dev eth0.2"), 0);
    const auto r = callHandler(cmd_request_wan_ping_gw);
    EXPECT_EQ(r.reply, Bytes{0x01});
    EXPECT_EQ(missingInOrder(
                  maskLineNumbers(r.out),
                  lines("cmd_request_wan_ping_gw", {"ping -w 3 192.0.2.1 | grep ttl\r\n\n",
                                                    "ping 192.0.2.1 Failed.\r\n\n", "WAN Gataway Ping Failed.\r\n\n"})),
              "");
}

TEST_F(WanPingGateway, NoDefaultRouteFailsWithoutPing)
{
    sandbox::clearShellCommands();
    const auto r = callHandler(cmd_request_wan_ping_gw);
    EXPECT_EQ(r.reply, Bytes{0x01});
    EXPECT_EQ(
        missingInOrder(maskLineNumbers(r.out), lines("cmd_request_wan_ping_gw",
                                                     {"Can't Find Gataway.\r\n\n", "WAN Gataway Ping Failed.\r\n\n"})),
        "");
    EXPECT_THAT(sandbox::shellCommands(), IsEmpty());
}

TEST_F(WanPingGateway, FirstOfTwoDefaultRoutesIsPinged)
{
    // A second router on eth0 that does not answer; its route is added
    // first but the kernel lists the lower metric first.
    sandbox::PeerNamespace second;
    sandbox::addRouterLink(second, "eth0", "198.51.100.2/24", "up1", "198.51.100.1/24");
    second.answerPing(false);
    ASSERT_EQ(sandbox::sh("ip route add default via 198.51.100.1 dev eth0 metric 20"), 0);
    ASSERT_EQ(sandbox::sh("ip route add default via 192.0.2.1 dev eth0.2 metric 10"), 0);
    std::ifstream table("/proc/net/route");
    std::string header;
    std::string firstRoute;
    std::getline(table, header);
    std::getline(table, firstRoute);
    ASSERT_EQ(firstRoute.rfind("eth0.2\t00000000\t", 0), 0U) << "precondition: " << firstRoute;

    sandbox::clearShellCommands();
    const auto r = callHandler(cmd_request_wan_ping_gw);
    EXPECT_EQ(r.reply, Bytes{0x00});
    EXPECT_THAT(sandbox::shellCommands(), ElementsAre("ping -w 3 192.0.2.1 | grep ttl"));
}

TEST_F(WanPingGateway, GatewayZeroIsPingedAsIs)
{
    // A default route straight onto the link has gateway 0; the test pings
    // 0.0.0.0, which the kernel answers locally.
    ASSERT_EQ(sandbox::sh("ip route add default dev eth0.2"), 0);
    sandbox::clearShellCommands();
    const auto r = callHandler(cmd_request_wan_ping_gw);
    EXPECT_EQ(r.reply, Bytes{0x00});
    EXPECT_EQ(missingInOrder(maskLineNumbers(r.out),
                             lines("cmd_request_wan_ping_gw", {"gate addr:0x0.\r\n\n", "Gataway IP:0.0.0.0\r\n\n",
                                                               "ping -w 3 0.0.0.0 | grep ttl\r\n\n"})),
              "");
    EXPECT_THAT(sandbox::shellCommands(), ElementsAre("ping -w 3 0.0.0.0 | grep ttl"));
}

// The route table as text, for lines the kernel never prints.
TEST(RouteTable, FirstDefaultRouteOfTheTable)
{
    const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\n";
    struct Case {
        const char *name;
        std::string table;
        bool found;
        uint32_t gateway;
    };
    const std::string longLine = "eth0.2\t00000000\t0A0B0C0D\t0003" + std::string(300, ' ') + "\n";
    // clang-format off
    const Case cases[] = {
        {"empty file", "", false, 0},
        {"header only", header, false, 0},
        {"default route", header + "eth0.2\t000200C0\t00000000\t0001\neth0.2\t00000000\t010200C0\t0003\n", true,
         0x010200C0},
        {"first of two wins", header + "eth0\t00000000\t016433C6\t0003\neth0.2\t00000000\t010200C0\t0003\n", true,
         0x016433C6},
        {"lower case hex", header + "wlan0\t00000000\t0a0b0c0d\t0003\n", true, 0x0A0B0C0D},
        {"gateway 0", header + "eth0.2\t00000000\t00000000\t0001\n", true, 0},
        {"no default", header + "eth0.2\t000200C0\t00000000\t0001\n", false, 0},
        {"two fields only", header + "eth0.2\t00000000\n", false, 0},
        {"not hex", header + "eth0.2\tzzzz\t010200C0\n", false, 0},
        {"fifteen-character name", header + "abcdefghijklmno\t00000000\t01020304\t0003\n", true, 0x01020304},
        // A name longer than any kernel name is no route: its tail must not
        // be taken for the destination.
        {"long name skipped", header + "eth0eth0eth0eth00\t00000000\t0A0A0A0A\neth0\t00000000\t0B0B0B0B\n", true,
         0x0B0B0B0B},
        {"very long name", header + std::string(200, 'x') + "\t00000000\t0A0A0A0A\n", false, 0},
        {"line beyond the read limit", header + longLine + "eth0\t00000000\t0B0B0B0B\n", true, 0x0A0B0C0D},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.table;
        FILE *f = fmemopen(text.data(), text.size(), "r");
        if (text.empty()) {
            f = std::fopen("/dev/null", "r");
        }
        ASSERT_NE(f, nullptr);
        uint32_t gateway = 0xFFFFFFFF;
        EXPECT_EQ(routeDefaultGateway(f, &gateway), c.found);
        if (c.found) {
            EXPECT_EQ(gateway, c.gateway);
        }
        std::fclose(f);
    }
}

// ---------------------------------------------------------------------------
// Internet host by name

class WanDnsPing : public NetworkTest {
protected:
    void SetUpSandbox() override
    {
        NetworkTest::SetUpSandbox();
        sandbox::addRouterLink(router, "eth0.2", "192.0.2.2/24", "up0", "192.0.2.1/24");
        // The sandbox's own resolver files (either may be a link on the
        // machine running the tests). No name server answers in the
        // sandbox: only /etc/hosts resolves.
        sandbox::overlayDir("/etc");
        writeEtc("/etc/resolv.conf", "nameserver 127.0.0.1\n");
    }
    static void writeEtc(const std::string &path, const std::string &content)
    {
        unlink(path.c_str());
        sandbox::writeFile(path, content);
    }
    sandbox::PeerNamespace router;
};

TEST_F(WanDnsPing, HostResolvedAndAnsweringPasses)
{
    writeEtc("/etc/hosts", "127.0.0.1 localhost\n192.0.2.1 www.baidu.com\n");
    sandbox::clearShellCommands();
    const auto r = callHandler(cmd_request_wan_dns_ping);
    EXPECT_EQ(r.len, 1);
    EXPECT_EQ(r.reply, Bytes{0x00});
    EXPECT_EQ(missingInOrder(maskLineNumbers(r.out),
                             lines("cmd_request_wan_dns_ping",
                                   {"cmd request Function Ping DNS.\r\n\n", "Ping http:www.baidu.com\r\n\n",
                                    "ping -w 3 www.baidu.com | grep ttl\r\n\n", "ping www.baidu.com Success.\r\n\n",
                                    "WAN DNS Ping Success.\r\n\n"})),
              "");
    EXPECT_THAT(r.out, HasSubstr("from 192.0.2.1"));
    EXPECT_THAT(sandbox::shellCommands(), ElementsAre("ping -w 3 www.baidu.com | grep ttl"));
}

TEST_F(WanDnsPing, SilentHostOrUnknownNameFails)
{
    struct Case {
        const char *name;
        const char *hosts;
        bool answer;
    };
    // clang-format off
    const Case cases[] = {
        {"host does not answer", "192.0.2.1 www.baidu.com\n", false},
        {"name unknown", "192.0.2.1 www.example.org\n", true},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        writeEtc("/etc/hosts", c.hosts);
        router.answerPing(c.answer);
        const auto r = callHandler(cmd_request_wan_dns_ping);
        EXPECT_EQ(r.reply, Bytes{0x01});
        EXPECT_THAT(maskLineNumbers(r.out), HasSubstr(logPrefix("src/peripher", "cmd_request_wan_dns_ping") +
                                                      "ping www.baidu.com Failed.\r\n\n"));
        EXPECT_THAT(r.out, Not(HasSubstr("Success")));
    }
}

// ---------------------------------------------------------------------------
// Wi-Fi smart configuration

bool hasIpv4(const char *interface)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    std::strncpy(req.ifr_name, interface, sizeof req.ifr_name - 1);
    const bool has = fd >= 0 && ioctl(fd, SIOCGIFADDR, &req) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return has;
}

class WifiSmartconfig : public NetworkTest {
protected:
    void SetUpSandbox() override
    {
        NetworkTest::SetUpSandbox();
        sandbox::addVeth("wlan0", "", "wlan0-ap");
        sandbox::overlayDir("/usr/bin");
        // The platform's script: starts the smartconfig program, and once
        // the phone app has sent the network (here: the trigger file), gives
        // wlan0 its address. Both keep running until they are killed.
        sandbox::installTool("/usr/bin/smartconfig.sh",
                             "echo $$ > " + scriptPid +
                                 "\n"
                                 "smartconfig &\n"
                                 "while [ ! -e " +
                                 joined +
                                 " ]; do sleep 0.02; done\n"
                                 "ip addr add 10.0.3.2/24 dev wlan0 && ip link set wlan0 up\n"
                                 "while :; do sleep 1; done");
        sandbox::installTool("smartconfig", "echo $$ > " + programPid + "\nwhile :; do sleep 1; done");
        sandbox::writeFile("/tmp/smartconfig_lock", "");
    }
    const std::string scriptPid = sandbox::scratchDir() + "/smartconfig.sh.pid";
    const std::string programPid = sandbox::scratchDir() + "/smartconfig.pid";
    const std::string joined = sandbox::scratchDir() + "/wifi-joined";

    static std::vector<std::string> commands(int checks, bool success)
    {
        std::vector<std::string> c{"ifconfig wlan0 down", "kill -9 $(pidof smartconfig.sh)",
                                   "kill -9 $(pidof smartconfig)", "/usr/bin/smartconfig.sh &"};
        for (int i = 0; i < checks; ++i) {
            c.push_back("ifconfig wlan0 | grep -q \"inet addr\"");
        }
        if (success) {
            c.push_back("ifconfig wlan0");
        }
        c.push_back("kill -9 $(pidof smartconfig.sh)");
        c.push_back("kill -9 $(pidof smartconfig)");
        return c;
    }
};

TEST_F(WifiSmartconfig, AddressAtTheFifthCheckPasses)
{
    sandbox::inPrivatePids([&] {
        sandbox::VirtualClock clock;
        // After the fourth wait the configuration arrives; the script has
        // given wlan0 its address before the fifth check.
        clock.at(4 * kUsPerSec, [&] {
            sandbox::writeFile(joined, "");
            for (int i = 0; i < 1000 && !hasIpv4("wlan0"); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        sandbox::clearShellCommands();
        const auto r = callHandler(cmd_request_wifi_smartconfig);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x00});
        EXPECT_THAT(clock.sleeps(), ElementsAre(kUsPerSec, kUsPerSec, kUsPerSec, kUsPerSec));
        EXPECT_EQ(sandbox::shellCommands(), commands(5, true));
        const std::string p = logPrefix("src/peripher", "cmd_request_wifi_smartconfig");
        EXPECT_EQ(missingInOrder(maskLineNumbers(r.out),
                                 {p + "cmd request Function WIFI Smartconfig.\r\n\n", p + "start smartconfig\n",
                                  "inet addr:10.0.3.2", p + "smartconfig Success.\n\n"}),
                  "");
        EXPECT_FALSE(sandbox::exists("/tmp/smartconfig_lock"));
        const pid_t script = sandbox::waitForPidFile(scriptPid);
        const pid_t program = sandbox::waitForPidFile(programPid);
        EXPECT_TRUE(script > 0 && sandbox::waitUntilStopped(script)) << "smartconfig.sh left running";
        EXPECT_TRUE(program > 0 && sandbox::waitUntilStopped(program)) << "smartconfig left running";
    });
}

TEST_F(WifiSmartconfig, NoAddressAfterThirtyChecksFails)
{
    sandbox::inPrivatePids([&] {
        sandbox::VirtualClock clock;
        sandbox::clearShellCommands();
        const auto r = callHandler(cmd_request_wifi_smartconfig);
        EXPECT_EQ(r.len, 1);
        EXPECT_EQ(r.reply, Bytes{0x01});
        EXPECT_EQ(clock.sleeps(), std::vector<uint64_t>(30, kUsPerSec));
        EXPECT_EQ(sandbox::shellCommands(), commands(30, false));
        EXPECT_THAT(r.out, Not(HasSubstr("smartconfig Success")));
        const pid_t script = sandbox::waitForPidFile(scriptPid);
        const pid_t program = sandbox::waitForPidFile(programPid);
        EXPECT_TRUE(script > 0 && sandbox::waitUntilStopped(script)) << "smartconfig.sh left running";
        EXPECT_TRUE(program > 0 && sandbox::waitUntilStopped(program)) << "smartconfig left running";
    });
}

TEST_F(WifiSmartconfig, RestartKillsAScriptLeftFromBefore)
{
    sandbox::inPrivatePids([&] {
        // A script and program still running from an earlier attempt.
        ASSERT_EQ(sandbox::sh("/usr/bin/smartconfig.sh >/dev/null 2>&1 &"), 0);
        const pid_t oldScript = sandbox::waitForPidFile(scriptPid);
        const pid_t oldProgram = sandbox::waitForPidFile(programPid);
        ASSERT_GT(oldScript, 0);
        ASSERT_GT(oldProgram, 0);
        unlink(scriptPid.c_str());
        // By the first wait the old ones are gone and a fresh script runs.
        // (Checked after the call: its output is captured meanwhile.)
        sandbox::VirtualClock clock;
        bool oldScriptRuns = true;
        bool oldProgramRuns = true;
        pid_t fresh = -1;
        clock.at(1 * kUsPerSec, [&] {
            oldScriptRuns = sandbox::processRunning(oldScript);
            oldProgramRuns = sandbox::processRunning(oldProgram);
            fresh = sandbox::waitForPidFile(scriptPid);
        });
        const auto r = callHandler(cmd_request_wifi_smartconfig);
        EXPECT_EQ(r.reply, Bytes{0x01});
        EXPECT_FALSE(oldScriptRuns);
        EXPECT_FALSE(oldProgramRuns);
        EXPECT_TRUE(fresh > 0 && fresh != oldScript);
    });
}

} // namespace

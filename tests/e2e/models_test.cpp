// End to end: the real gwtestd on a gwsim board of each model, driven by the
// station's client over the veth link. With the default scenario every test
// of the model passes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "gwsimProcess.h"
#include "logText.h"
#include "sandbox.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

struct ModelPlan {
    const char *name; // test name
    const char *model;
    bool mtksdk;
    std::vector<uint16_t> codes; // the model's table, in stored order
    // Tool command lines expected in this order. (Not the blink script's own
    // line: the restore test that follows kills it, on a loaded machine
    // sometimes before it has written anything. Nor the restore script's:
    // it runs in the background too, and its line may come after the next
    // test's first ones; it is checked on its own.)
    std::vector<std::string> tools;
    std::vector<std::string> logs; // messages the service's log must hold
};

// Every model answers these.
const std::vector<uint16_t> kGeneralCodes{0x0001, 0x0002, 0x0005, 0x0101, 0x0102, 0x0103, 0x0203,
                                          0x0603, 0x0701, 0x0703, 0x0705, 0x0706, 0x0707};

const std::string kBleCommand =
    R"(ubus send TK.BLE {"PKT":{"to": "BLE", "from": "CLOUD", "type": "cmd", "data": {"id": "stream", "command": )"
    R"("setAttribute", "arguments": {"mac": "0102030405060708", "attribute": "ble.dtm", "value": )"
    R"({"channel":21,"power":100,"len":40,"phy":1,"mode":254} } } }})";

const ModelPlan kPlans[] = {
    {"GWM0101",
     "GWM0101",
     false,
     {0x0401, 0x0801, 0x0802},
     {"/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20"},
     {"Device Model:GWM0101\n\n", "cmd request Function GreenPower Pair.\r\n\n", "Single Carrier Test\r\n\n",
      "GWM0101 CMD Function OK\n\n"}},
    {"GWM0202",
     "GWM0202",
     false,
     {0x0003, 0x0004, 0x0301, 0x0302, 0x0303, 0x0401, 0x0501, 0x0601, 0x0602, 0x0702, 0x0704, 0x0803, 0x0804, 0x0502,
      0x0503},
     {"/usr/bin/smartconfig.sh", "gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0", "/etc/init.d/datalink stop",
      "gpioc set 4G_RESET 1", "gpioc set 4G_RESET 0", "gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0",
      "tovak_ucmd.sh tone 15 20", kBleCommand, "tovak_peripheralcmd.sh include", "tovak_peripheralcmd.sh getlist",
      "tovak_peripheralcmd.sh exclude", "tovak_peripheralcmd.sh getlist"},
     {"Device Model:GWM0202\n\n", "cmd request Function 4G AT CMD.\n\n", "AT CMD Success.\r\n\n",
      "RET: <0a1b2c3d4e5f|6.81|80|0>\r\n\n", "out is [[]] \r\n\n"}},
    {"GWM0202_MediaTek",
     "GWM0202",
     true,
     {0x0301, 0x0302, 0x0303},
     {"/etc/init.d/netmged stop", "gpio l 28 0 4000 0 1 4000", "gpio l 29 0 4000 0 1 4000", "gpio l 35 4000 0 1 0 4000",
      "gpio l 29 4000 0 1 0 4000", "/etc/init.d/datalink stop", "/etc/init.d/netmged stop", "gpio l 28 0 4000 0 1 4000",
      "gpio l 29 0 4000 0 1 4000", "gpio l 35 4000 0 1 0 4000", "gpio l 29 4000 0 1 0 4000"},
     {"mtk sdk...\n", "path is :/sys/bus/usb/devices/1-1.4:1.2\n", "Find 4G Module.\r\n\n"}},
    {"GWM0303",
     "GWM0303",
     false,
     {0x0302, 0x0303, 0x0801, 0x0802, 0x0803, 0x0804, 0x0601},
     {"/etc/init.d/datalink stop", "/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20", "tovak_ucmd.sh tone 15 20",
      kBleCommand},
     {"cmd request Function 2G AT CMD.\n\n", "Device:/dev/ttyS2 Baud:115200.\r\n\n",
      "cmd request 2G Function Sim Check.\r\n\n"}},
    {"GWM0404",
     "GWM0404",
     false,
     {0x0301, 0x0302, 0x0303, 0x0801, 0x0802, 0x0804},
     {"/etc/init.d/datalink stop", "gpioc set 3G_RESET 1", "gpioc set 3G_RESET 0", "gpioc set 3G_POWER 1",
      "gpioc set 3G_POWER 0", "/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20", kBleCommand},
     {"Find 3G Module.\r\n\n", "GWM0404 CMD Function OK \r\n\n", "Receive:"}},
};

// The expected tool lines, in order, among the logged ones (others may come
// between); "" when all are there.
std::string missingLine(const std::vector<std::string> &logged, const std::vector<std::string> &expected)
{
    // Each line between two marks no tool prints, so only whole lines match.
    const auto marked = [](const std::string &line) { return "\x01" + line + "\x02"; };
    std::string text;
    for (const std::string &line : logged) {
        text += marked(line);
    }
    std::vector<std::string> pieces;
    for (const std::string &line : expected) {
        pieces.push_back(marked(line));
    }
    const std::string missing = sandbox::missingInOrder(text, pieces);
    return missing.empty() ? "" : missing.substr(1, missing.size() - 2);
}

class EveryTestPasses : public sandbox::SandboxTest, public ::testing::WithParamInterface<ModelPlan> {};

TEST_P(EveryTestPasses, DefaultScenario)
{
    const ModelPlan &plan = GetParam();
    sandbox::GwsimInstance sim;
    std::vector<std::string> args;
    if (plan.mtksdk) {
        args.push_back("--mtksdk");
    }
    ASSERT_TRUE(sim.start(plan.model, "", args)) << sim.failure();
    auto conn = sim.connect();

    std::vector<uint16_t> codes = plan.codes;
    if (!plan.mtksdk) {
        codes.insert(codes.begin(), kGeneralCodes.begin(), kGeneralCodes.end());
    }
    for (uint16_t code : codes) {
        const Bytes reply = sandbox::call(conn, code);
        ASSERT_FALSE(reply.empty()) << std::hex << "no reply to 0x" << code << "\n" << sim.serviceLog();
        EXPECT_EQ(reply[0], 0) << std::hex << "code 0x" << code << " failed\n" << sim.serviceLog();
    }
    EXPECT_EQ(missingLine(sim.toolCalls(), plan.tools), "") << "tool calls:\n"
                                                            << ::testing::PrintToString(sim.toolCalls());
    if (!plan.mtksdk) {
        EXPECT_THAT(sim.toolCalls(), ::testing::Contains("tovak_peripheralcmd.sh restore"));
    }
    const std::string log = sim.serviceLog();
    for (const std::string &message : plan.logs) {
        EXPECT_THAT(log, HasSubstr(message));
    }
    EXPECT_TRUE(sim.stop());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Models, EveryTestPasses, ::testing::ValuesIn(kPlans),
                         [](const auto &info) { return std::string(info.param.name); });
// clang-format on

void PrintTo(const ModelPlan &p, std::ostream *os) { *os << p.name; }

} // namespace

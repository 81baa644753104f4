// End to end: the real gwtestd on a gwsim board of each model, driven by the
// station's client over the veth link. With the default scenario every test
// of the model's plan (the catalogue's rows of that model, in their order)
// passes, each within the catalogue's longest duration and a margin.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <unistd.h>

#include "catalogue.h"
#include "gwsimProcess.h"
#include "logText.h"
#include "sandbox.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

// Which of the model's tests a case runs.
enum class Tests {
    kWholePlan,
    kCellular, // the modem tests only (code group 0x03)
};

struct ModelPlan {
    const char *name; // test name
    const char *model;
    bool mtksdk;
    Tests tests;
    // Tool command lines expected in this order. (Not the blink script's own
    // line: the restore test that follows kills it, on a loaded machine
    // sometimes before it has written anything. Nor the restore script's:
    // it runs in the background too, and its line may come after the next
    // test's first ones; it is checked on its own.)
    std::vector<std::string> tools;
    std::vector<std::string> logs; // messages the service's log must hold
};

const std::string kBleCommand =
    R"(ubus send TK.BLE {"PKT":{"to": "BLE", "from": "CLOUD", "type": "cmd", "data": {"id": "stream", "command": )"
    R"("setAttribute", "arguments": {"mac": "0102030405060708", "attribute": "ble.dtm", "value": )"
    R"({"channel":21,"power":100,"len":40,"phy":1,"mode":254} } } }})";

const ModelPlan kPlans[] = {
    {"GWM0101",
     "GWM0101",
     false,
     Tests::kWholePlan,
     {"/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20"},
     {"Device Model:GWM0101\n\n", "cmd request Function GreenPower Pair.\r\n\n", "Single Carrier Test\r\n\n",
      "GWM0101 CMD Function OK\n\n"}},
    {"GWM0202",
     "GWM0202",
     false,
     Tests::kWholePlan,
     {"/usr/bin/smartconfig.sh", "gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0", "/etc/init.d/datalink stop",
      "gpioc set 4G_RESET 1", "gpioc set 4G_RESET 0", "gpioc set 4G_POWER 1", "gpioc set 4G_POWER 0",
      "tovak_ucmd.sh tone 15 20", kBleCommand, "tovak_peripheralcmd.sh include", "tovak_peripheralcmd.sh getlist",
      "tovak_peripheralcmd.sh exclude", "tovak_peripheralcmd.sh getlist"},
     {"Device Model:GWM0202\n\n", "cmd request Function 4G AT CMD.\n\n", "AT CMD Success.\r\n\n",
      "RET: <0a1b2c3d4e5f|6.81|80|0>\r\n\n", "out is [[]] \r\n\n"}},
    {"GWM0202_MediaTek",
     "GWM0202",
     true,
     Tests::kCellular,
     {"/etc/init.d/netmged stop", "gpio l 28 0 4000 0 1 4000", "gpio l 29 0 4000 0 1 4000", "gpio l 35 4000 0 1 0 4000",
      "gpio l 29 4000 0 1 0 4000", "/etc/init.d/datalink stop", "/etc/init.d/netmged stop", "gpio l 28 0 4000 0 1 4000",
      "gpio l 29 0 4000 0 1 4000", "gpio l 35 4000 0 1 0 4000", "gpio l 29 4000 0 1 0 4000"},
     {"mtk sdk...\n", "path is :/sys/bus/usb/devices/1-1.4:1.2\n", "Find 4G Module.\r\n\n"}},
    {"GWM0303",
     "GWM0303",
     false,
     Tests::kWholePlan,
     {"/etc/init.d/datalink stop", "/etc/init.d/nxp stop", "tovak_ucmd.sh tone 15 20", "tovak_ucmd.sh tone 15 20",
      kBleCommand},
     {"cmd request Function 2G AT CMD.\n\n", "Device:/dev/ttyS2 Baud:115200.\r\n\n",
      "cmd request 2G Function Sim Check.\r\n\n"}},
    {"GWM0404",
     "GWM0404",
     false,
     Tests::kWholePlan,
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

    const auto steps = catalogue::plan(catalogue::modelBit(plan.model));
    ASSERT_FALSE(steps.empty()) << plan.model;
    for (const catalogue::Test *step : steps) {
        if (plan.tests == Tests::kCellular && (step->code >> 8) != 0x03) {
            continue;
        }
        // As long as a station waits before it calls the test silent; a
        // loaded machine may take a few seconds more.
        const int timeoutMs = static_cast<int>(step->longestMs) + 10000;
        const Bytes reply = sandbox::call(conn, step->code, timeoutMs);
        ASSERT_FALSE(reply.empty()) << step->name << ": no reply within " << timeoutMs << " ms\n" << sim.serviceLog();
        EXPECT_EQ(reply[0], 0) << step->name << " failed\n" << sim.serviceLog();
    }
    EXPECT_EQ(missingLine(sim.toolCalls(), plan.tools), "") << "tool calls:\n"
                                                            << ::testing::PrintToString(sim.toolCalls());
    if (!plan.mtksdk) {
        // The restore script runs in the background and may log after the
        // restore test's reply, which ends the plan.
        const auto restored = [&sim] {
            const auto calls = sim.toolCalls();
            return std::find(calls.begin(), calls.end(), "tovak_peripheralcmd.sh restore") != calls.end();
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!restored() && std::chrono::steady_clock::now() < deadline) {
            usleep(50000);
        }
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

// End to end: scenarios that break one part of the board make exactly the
// tests of that part fail, with the failing result byte, through the real
// service on gwsim.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "gwsimProcess.h"
#include "sandbox.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Scenario {
    const char *name;
    const char *model;
    const char *text;                             // the scenario file
    std::vector<std::pair<uint16_t, int>> expect; // code, result byte
};

const Scenario kScenarios[] = {
    {"NoDefaultRoute", "GWM0202", "wan.route = none\n", {{0x0101, 0}, {0x0102, 1}}},
    {"UpstreamSilent", "GWM0202", "upstream.ping = silent\n", {{0x0102, 1}, {0x0103, 1}}},
    {"NoWanAddress", "GWM0404", "wan.address = absent\n", {{0x0101, 1}}},
    {"NameDoesNotResolve", "GWM0101", "dns = fail\n", {{0x0102, 0}, {0x0103, 1}}},
    {"LedsMissing", "GWM0202", "leds = missing\n", {{0x0701, 1}, {0x0702, 1}, {0x0703, 1}, {0x0704, 1}, {0x0705, 1}}},
    {"ButtonNeverPressed", "GWM0303", "button.press_after = never\n", {{0x0603, 1}}},
    {"SmartconfigNeverSucceeds", "GWM0101", "smartconfig.after = never\n", {{0x0203, 1}}},
    {"NetworkInfoMissing", "GWM0202", "netinfo = missing\n", {{0x0401, 1}, {0x0501, 1}, {0x0601, 1}}},
    {"ModemAbsent", "GWM0202", "modem = absent\n", {{0x0301, 1}, {0x0302, 1}, {0x0303, 1}}},
    {"ModemSilent", "GWM0404", "modem = silent\n", {{0x0302, 1}}},
    {"SimAbsent", "GWM0404", "sim = absent\n", {{0x0302, 0}, {0x0303, 1}}},
    {"SimReadyAtThirdProbe", "GWM0404", "sim.ready_after = 3\n", {{0x0302, 0}, {0x0303, 0}}},
    {"TwoGModemOnTtyS1", "GWM0303", "modem.port = ttyS1\n", {{0x0303, 1}, {0x0302, 0}, {0x0303, 0}}},
    {"TwoGModemMute", "GWM0303", "modem = silent\n", {{0x0302, 1}, {0x0303, 1}}},
    {"NxpRadioSilent", "GWM0101", "nxp.radio = silent\n", {{0x0801, 0}, {0x0802, 1}}},
    {"NxpRadioLate", "GWM0404", "nxp.radio = late\n", {{0x0802, 1}}},
    {"ZwaveNothingIncluded", "GWM0202", "zwave.list = []\n", {{0x0502, 1}}},
    {"ZwaveNeverExcluded", "GWM0202", "zwave.exclude_after = never\n", {{0x0502, 0}, {0x0503, 1}}},
};

class FailureScenario : public sandbox::SandboxTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(FailureScenario, ResultBytes)
{
    const Scenario &s = GetParam();
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start(s.model, s.text)) << sim.failure();
    auto conn = sim.connect();
    for (const auto &[code, result] : s.expect) {
        const Bytes reply = sandbox::call(conn, code);
        ASSERT_FALSE(reply.empty()) << std::hex << "no reply to 0x" << code << "\n" << sim.serviceLog();
        EXPECT_EQ(reply[0], result) << std::hex << "code 0x" << code << "\n" << sim.serviceLog();
    }
    EXPECT_TRUE(sim.stop());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Scenarios, FailureScenario, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });
// clang-format on

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

class GwsimScenario : public sandbox::SandboxTest {};

TEST_F(GwsimScenario, BadScenarioIsRefusedBeforeAnythingIsBuilt)
{
    sandbox::GwsimInstance sim;
    EXPECT_FALSE(sim.start("GWM0202", "modem = maybe\n"));
    EXPECT_THAT(sim.failure(), ::testing::HasSubstr(":1: bad value 'maybe' for modem"));
    EXPECT_FALSE(sim.start("GWM0202", "modme = absent\n"));
    EXPECT_THAT(sim.failure(), ::testing::HasSubstr(":1: unknown key 'modme'"));
    EXPECT_FALSE(sim.start("GWM9999"));
    EXPECT_THAT(sim.failure(), ::testing::HasSubstr("unknown model 'GWM9999'"));
}

// --exec runs the given command as the gateway's service, as a cross-built
// binary would run under qemu-user.
TEST_F(GwsimScenario, ExecRunsTheGivenCommand)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0303", "", {"--exec", "/usr/bin/env", "GWSIM_EXEC_CHECK=1", GWTESTD_BIN}))
        << sim.failure();
    auto conn = sim.connect();
    EXPECT_EQ(sandbox::call(conn, 0x0005), (Bytes{0x00, 'g', 'w', 'm', '0', '3', '0', '3', '\n', 0x00}));
    EXPECT_TRUE(sim.stop());
}

// GWTEST_GWSIM_EXEC gives every gwsim of a suite its service command (split
// into words), as script/test does with the gateway's binary under qemu-user;
// a test's own --exec still wins.
TEST_F(GwsimScenario, SuiteWideExecFromTheEnvironment)
{
    const char *suite = std::getenv("GWTEST_GWSIM_EXEC");
    const std::string saved = suite != nullptr ? suite : "";
    setenv("GWTEST_GWSIM_EXEC", "/usr/bin/env /bin/false", 1);

    sandbox::GwsimInstance broken;
    EXPECT_FALSE(broken.start("GWM0202"));
    EXPECT_THAT(broken.failure(), ::testing::HasSubstr("gwsim: the service exited with status 1 before it listened on "
                                                       "port 6666 (/usr/bin/env /bin/false)"));
    sandbox::GwsimInstance own;
    EXPECT_TRUE(own.start("GWM0303", "", {"--exec", GWTESTD_BIN})) << own.failure();
    if (!own.address().empty()) {
        auto conn = own.connect();
        EXPECT_EQ(sandbox::call(conn, 0x0005), (Bytes{0x00, 'g', 'w', 'm', '0', '3', '0', '3', '\n', 0x00}));
    }
    EXPECT_TRUE(own.stop());

    if (suite != nullptr) {
        setenv("GWTEST_GWSIM_EXEC", saved.c_str(), 1);
    } else {
        unsetenv("GWTEST_GWSIM_EXEC");
    }
}

} // namespace

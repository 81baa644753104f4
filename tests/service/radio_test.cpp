// The radio pairing and carrier tests and the Z-Wave include and exclude
// through the real service over TCP: every such code of each model's table
// reaches its handler and answers, with the NXP radio emulated on a pty at
// /dev/ttyS1 and stand-ins for the gateway's tools.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "carrierBoard.h"
#include "sandbox.h"
#include "serviceProcess.h"
#include "tools.h"

namespace {

using sandbox::kNxpAck;
using sandbox::kNxpProbe;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

constexpr int kReplyWaitMs = 10000;
// The Z-Wave tests wait 12 s for the radio before they read the list.
constexpr int kZwaveReplyWaitMs = 40000;

class RadioService : public sandbox::ServiceTest {
protected:
    void SetUpSandbox() override { sandbox::setUpCarrierBoard(); }

    // The NXP radio on its UART; `answers(hit)` tells whether the hit-th
    // probe is acknowledged.
    void startRadio(const std::function<bool(unsigned)> &answers = [](unsigned) { return true; })
    {
        radio.emplace([answers](unsigned hit) {
            return answers(hit) ? gwemu::Answer{gwemu::Chunk{0, kNxpAck}} : gwemu::Answer{};
        });
        ASSERT_EQ(radio->error(), "");
    }

    static void writeNetInfos()
    {
        for (const char *radio : {"amber", "zwdev", "ble"}) {
            sandbox::writeFile(std::string("/etc/config/tovak/") + radio + "/netinfo", "");
        }
    }

    static std::optional<Bytes> ask(station::Connection &conn, uint16_t code, int waitMs = kReplyWaitMs)
    {
        return sandbox::ask(conn, code, waitMs);
    }

    std::optional<sandbox::NxpRadio> radio;
};

TEST_F(RadioService, EveryRadioCodeOfEachModelAnswers)
{
    writeNetInfos();
    startRadio();
    startService();
    struct Model {
        const char *file;
        const char *okLine;
        std::vector<uint16_t> codes;
    };
    const Model models[] = {
        {"gwm0101\n", "GWM0101 CMD Function OK\n\n", {0x0401, 0x0801, 0x0802}},
        {"gwm0202\n", "GWM0202 CMD Function OK\n\n", {0x0401, 0x0501, 0x0601, 0x0602, 0x0803, 0x0804}},
        {"gwm0303\n", "GWM0303 CMD Function OK\n\n", {0x0801, 0x0802, 0x0803, 0x0804, 0x0601}},
        {"gwm0404\n", "GWM0404 CMD Function OK \r\n\n", {0x0801, 0x0802, 0x0804}},
    };
    size_t probes = 0;
    for (const Model &m : models) {
        sandbox::writeFile("/tmp/sysinfo/model", m.file);
        auto conn = sandbox::connectService();
        for (const uint16_t code : m.codes) {
            SCOPED_TRACE(std::string(m.file, 7) + " code " + std::to_string(code));
            EXPECT_EQ(ask(conn, code), Bytes{0x00});
            probes += code == 0x0802 ? 1 : 0;
        }
        EXPECT_THAT(service.out(), HasSubstr(m.okLine));
        conn.close();
    }
    std::string sent;
    for (size_t i = 0; i < probes; ++i) {
        sent += kNxpProbe;
    }
    EXPECT_EQ(radio->received(), sent);
    EXPECT_THAT(service.out(), HasSubstr("cmd request Function GreenPower Pair.\r\n\n"));
    EXPECT_THAT(service.out(), HasSubstr("cmd request Function Zigbee Pair.\r\n\n"));
    EXPECT_THAT(service.out(), HasSubstr("Single Ble Carrier Test---------------\r\n\n"));
}

TEST_F(RadioService, Code0401DependsOnTheModel)
{
    // No Zigbee network: Zigbee pairing fails, Green Power pairing passes.
    startService();
    for (const auto &[model, reply] : {std::pair{"GWM0101\n", Bytes{0x00}}, std::pair{"GWM0202\n", Bytes{0x01}}}) {
        SCOPED_TRACE(model);
        sandbox::writeFile("/tmp/sysinfo/model", model);
        auto conn = sandbox::connectService();
        EXPECT_EQ(ask(conn, 0x0401), reply);
        conn.close();
    }
}

TEST_F(RadioService, NxpCarrierRepeatedOnOneConnection)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0404\n");
    // The third probe goes unanswered.
    startRadio([](unsigned hit) { return hit != 3; });
    startService();
    auto conn = sandbox::connectService();
    const Bytes expected[] = {{0x00}, {0x00}, {0x01}, {0x00}};
    for (const Bytes &reply : expected) {
        EXPECT_EQ(ask(conn, 0x0802), reply);
    }
    EXPECT_EQ(radio->received(), kNxpProbe + kNxpProbe + kNxpProbe + kNxpProbe);
    EXPECT_EQ(sandbox::toolCalls().size(), 8U);
    EXPECT_THAT(service.out(), HasSubstr("GWM0404 CMD Function OK \r\n\n"));
}

TEST_F(RadioService, ZwaveInclusionRepliesTheDevice)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0202\n");
    sandbox::installTool(
        "tovak_peripheralcmd.sh",
        "[ \"$1\" = getlist ] && echo '[{\"mac\":\"0a1b\",\"version\":\"1.2\",\"pir\":0,\"battery\":80}]'\n"
        "exit 0");
    startService();
    auto conn = sandbox::connectService();
    const std::string text = "0a1b|1.2|80|0";
    Bytes expected{0x00};
    expected.insert(expected.end(), text.begin(), text.end());
    EXPECT_EQ(ask(conn, 0x0502, kZwaveReplyWaitMs), expected);
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("tovak_peripheralcmd.sh include", "tovak_peripheralcmd.sh getlist"));
    EXPECT_THAT(service.out(), HasSubstr("RET: <0a1b|1.2|80|0>\r\n\n"));
}

TEST_F(RadioService, ZwaveExclusionOfAnEmptyNetworkPassesAtTheFirstAttempt)
{
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0202\n");
    sandbox::installTool("tovak_peripheralcmd.sh", "[ \"$1\" = getlist ] && echo '[]'\nexit 0");
    startService();
    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0503, kZwaveReplyWaitMs), Bytes{0x00});
    EXPECT_THAT(sandbox::toolCalls(), ElementsAre("tovak_peripheralcmd.sh exclude", "tovak_peripheralcmd.sh getlist"));
}

} // namespace

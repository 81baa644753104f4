// The cellular modem tests through the real service over TCP, one model
// each: the model's table picks its modem's test, and what an AT test finds
// serves the SIM check of a later request, on a later connection too. The
// service's waits are real here (its boot waits run 12 to 16 s), so each
// model gets one run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "cellularBoard.h"
#include "gpioBoard.h"
#include "logText.h"
#include "modem.h"
#include "sandbox.h"
#include "serviceProcess.h"
#include "tools.h"

namespace {

using sandbox::Modem;
using sandbox::occurrences;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<uint8_t>;

// Longer than the longest test here: 2G AT with its 16 s of pulses and boot.
constexpr int kReplyWaitMs = 30000;

class CellularService : public sandbox::ServiceTest {
protected:
    void SetUpSandbox() override { sandbox::setUpCellularBoard(); }

    void startService(const std::string &model)
    {
        sandbox::writeFile("/tmp/sysinfo/model", model + "\n");
        ServiceTest::startService();
    }

    // Sends the request and waits for its reply; empty when none came.
    static std::optional<Bytes> ask(station::Connection &conn, uint16_t code)
    {
        return sandbox::ask(conn, code, kReplyWaitMs);
    }
};

TEST_F(CellularService, Gwm0404ModemUpAnsweringAndSimReady)
{
    sandbox::addUsbInterface("1-1.4:1.3", {"ttyUSB4"});
    Modem modem("/dev/ttyUSB4");
    ASSERT_EQ(modem.error(), "");
    startService("GWM0404");
    auto conn = sandbox::connectService();

    EXPECT_EQ(ask(conn, 0x0301), Bytes{0x00});
    EXPECT_EQ(ask(conn, 0x0302), Bytes{0x00});
    EXPECT_EQ(ask(conn, 0x0303), Bytes{0x00});

    // The modem was up: reset, then the power pulse.
    EXPECT_THAT(sandbox::toolCalls(),
                ElementsAre("/etc/init.d/datalink stop", "pidof pppd", "gpioc set 3G_RESET 1", "gpioc set 3G_RESET 0",
                            "gpioc set 3G_POWER 1", "gpioc set 3G_POWER 0"));
    EXPECT_EQ(modem.received(), "AT\rAT+CPIN?\r");
    const std::string out = service.out();
    EXPECT_THAT(out, HasSubstr("cmd request Function 3G Device.\r\n\n"));
    EXPECT_EQ(occurrences(out, "GWM0404 CMD Function OK \r\n\n"), 3U);
    // The SIM check used the tty the AT test found.
    EXPECT_EQ(occurrences(out, "Find USB Device:ttyUSB4\n\n"), 1U);
}

TEST_F(CellularService, Gwm0202SimCheckOnALaterConnectionReusesTheTty)
{
    sandbox::addUsbInterface("1-1.4:1.3", {"ttyUSB4"});
    Modem modem("/dev/ttyUSB4");
    ASSERT_EQ(modem.error(), "");
    startService("GWM0202");
    {
        auto conn = sandbox::connectService();
        EXPECT_EQ(ask(conn, 0x0302), Bytes{0x00});
    }
    const auto callsAfterAtTest = sandbox::toolCalls();
    EXPECT_THAT(callsAfterAtTest,
                ElementsAre("/etc/init.d/datalink stop", "gpioc set 4G_RESET 1", "gpioc set 4G_RESET 0"));

    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0303), Bytes{0x00});
    EXPECT_EQ(sandbox::toolCalls(), callsAfterAtTest) << "no second power cycle";
    EXPECT_EQ(modem.received(), "AT\rAT+CPIN?\r");
    EXPECT_THAT(service.out(), HasSubstr("!!!!!!!----------USB PATH:/dev/ttyUSB4\n"));
    EXPECT_EQ(occurrences(service.out(), "GWM0202 CMD Function OK\n\n"), 2U);
}

TEST_F(CellularService, Gwm0303SimCheckNeedsAPassedAtTest)
{
    gwemu::ModemBehaviour refuses;
    refuses.atOk = false;
    Modem s1("/dev/ttyS1", refuses);
    Modem s2("/dev/ttyS2");
    ASSERT_EQ(s1.error(), "");
    ASSERT_EQ(s2.error(), "");
    startService("GWM0303");
    {
        auto conn = sandbox::connectService();
        // No AT test has told the modem's UART yet.
        EXPECT_EQ(ask(conn, 0x0303), Bytes{0x01});
        EXPECT_EQ(ask(conn, 0x0302), Bytes{0x00});
    }
    auto conn = sandbox::connectService();
    EXPECT_EQ(ask(conn, 0x0303), Bytes{0x00});

    EXPECT_EQ(s1.received(), "AT\r");
    EXPECT_EQ(s2.received(), "AT\rAT+CPIN?\r");
    const std::string out = service.out();
    EXPECT_THAT(out, HasSubstr("GWM0303 CMD Function OK\n\n"));
    EXPECT_THAT(out, Not(HasSubstr("No Matched Function")));
    EXPECT_EQ(sandbox::gpioFile(37, "value"), "1\n");
    EXPECT_EQ(sandbox::gpioFile(0, "value"), "1\n");
}

} // namespace

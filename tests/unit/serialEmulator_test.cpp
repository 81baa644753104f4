// The emulated serial peers that the handler tests and gwsim put behind the
// gateway's device paths.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "modem.h"
#include "ptyPortTest.h"
#include "serialEmulator.h"

namespace {

constexpr char kDevice[] = "/dev/ttyS2";

class SerialEmulatorTest : public sandbox::PtyPortTest {
protected:
    SerialEmulatorTest() : PtyPortTest(kDevice) {}

    void SetUpSandbox() override
    {
        PtyPortTest::SetUpSandbox();
        line = open(kDevice, O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(line, 0);
    }
    void TearDown() override
    {
        if (line >= 0) {
            close(line);
        }
    }

    void send(const std::string &bytes) { ASSERT_EQ(write(line, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

    // What the peer has written back once `expected` bytes arrived (or the wait ended).
    std::string answer(size_t expected) { return sandbox::readArrived(line, expected, 2000); }

    int line = -1;
};

TEST_F(SerialEmulatorTest, ModemAnswersCommandsSplitOverWritesAndRejectsUnknownOnes)
{
    gwemu::SerialEmulator modem(port.master(), gwemu::modemRules());
    send("A");
    send("T+CP");
    send("IN?\r");
    const std::string sim = "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n";
    EXPECT_EQ(answer(sim.size()), sim);
    send("ATI\r");
    const std::string unknown = "ATI\r\r\nERROR\r\n";
    EXPECT_EQ(answer(unknown.size()), unknown);
    EXPECT_EQ(modem.received(), "AT+CPIN?\rATI\r");
}

TEST_F(SerialEmulatorTest, BinaryFrameRuleAnswersAfterItsDelay)
{
    // A peer of another kind: a fixed probe frame and a short binary answer.
    const std::string probe("\x01\xfe\x00\x0a\x55", 5);
    const std::string reply("\x02\x00\xff", 3);
    gwemu::SerialEmulator radio(port.master(), {{probe, [&](const std::string &request, unsigned hit) {
                                                     EXPECT_EQ(request, std::string("noise") + probe);
                                                     EXPECT_EQ(hit, 1U);
                                                     return gwemu::Answer{{100, reply}};
                                                 }}});
    send("noise" + probe);
    EXPECT_EQ(answer(reply.size()), reply);
}

TEST_F(SerialEmulatorTest, StopsInTheMiddleOfALongDelayedAnswer)
{
    gwemu::ModemBehaviour slow;
    slow.delayMs = 600000;
    gwemu::SerialEmulator modem(port.master(), gwemu::modemRules(slow));
    send("AT\r");
    EXPECT_EQ(answer(3), "AT\r");
    // Returns instead of waiting out the ten minutes.
    modem.stop();
    EXPECT_EQ(modem.received(), "AT\r");
}

} // namespace

// End to end: the service's connection behaviour as a station on the
// factory network meets it, over the veth link to a gwsim board.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "gwsimProcess.h"
#include "sandbox.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class OverTheLink : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { ASSERT_TRUE(sim.start("GWM0202")) << sim.failure(); }
    sandbox::GwsimInstance sim;
};

TEST_F(OverTheLink, SecondClientWaitsAndBytesAfterAFrameAreServed)
{
    auto first = sim.connect();
    // Two requests and the head of a third in one write: the first two are
    // answered in order, the third once its rest arrives.
    Bytes burst = sandbox::requestFrame(0x0005);
    const Bytes mac = sandbox::requestFrame(0x0001);
    burst.insert(burst.end(), mac.begin(), mac.end());
    const Bytes third = sandbox::requestFrame(0x0002);
    burst.insert(burst.end(), third.begin(), third.begin() + 2);
    ASSERT_TRUE(first.sendBytes(burst));
    ASSERT_TRUE(first.waitReply(0x0005, 5000));
    ASSERT_TRUE(first.waitReply(0x0001, 5000));
    ASSERT_TRUE(first.sendBytes(Bytes(third.begin() + 2, third.end())));
    const auto version = first.waitReply(0x0002, 5000);
    ASSERT_TRUE(version);
    EXPECT_EQ(version->payload[0], 0);

    auto second = sim.connect();
    ASSERT_TRUE(second.sendRequest(0x0005));
    EXPECT_FALSE(second.waitReply(0x0005, 1000)) << "served while the first station is connected";
    first.close();
    EXPECT_TRUE(second.waitReply(0x0005, 5000)) << "served once the first station left";
}

// Real time: a station that goes quiet is dropped after 60 s.
TEST_F(OverTheLink, QuietStationIsDroppedAfter60Seconds)
{
    auto conn = sim.connect();
    // Timed from before the last request: the service's 60 s begin after
    // its reply, however late this side hears it.
    const auto start = Clock::now();
    ASSERT_FALSE(sandbox::call(conn, 0x0005, 5000).empty());
    ASSERT_TRUE(conn.waitClosed(90000));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 60000);
    EXPECT_LE(waited, 75000);
    EXPECT_THAT(sim.serviceLog(), ::testing::HasSubstr("Timeout.\r\n\n"));
}

} // namespace

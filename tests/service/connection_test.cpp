// The real gwtestd binary in a sandbox, driven over a real socket: start-up,
// one client at a time, framing across reads, codes it must not answer, and
// clients that misbehave.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <random>
#include <regex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "sandbox.h"
#include "serviceProcess.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kModelReply{0x00, 'g', 'w', 'm', '0', '2', '0', '2', '\n', 0x00};

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

class Service : public sandbox::ServiceTest {
protected:
    void SetUpSandbox() override { sandbox::writeFile("/tmp/sysinfo/model", "gwm0202\n"); }
    // Sends a model query and expects its reply: the service still serves.
    void expectModelReply(station::Connection &conn)
    {
        ASSERT_TRUE(conn.sendRequest(0x0005));
        const auto reply = conn.waitReply(0x0005, 5000);
        ASSERT_TRUE(reply) << "no reply to the model query";
        EXPECT_EQ(reply->payload, kModelReply);
    }
};

TEST_F(Service, BannerAndListeningLines)
{
    startService();
    const std::string out = service.out();
    const std::regex banner(
        R"(^\[src/main\] main\(\) #\d+ Build:[A-Z][a-z]{2} [ 0-9]\d \d{4} \d\d:\d\d:\d\d, Version:1\.1\.3\n\n)");
    EXPECT_TRUE(std::regex_search(out, banner)) << out;
    EXPECT_TRUE(std::regex_search(
        out, std::regex(R"(\[src/tcpServer\] tcpServerLisener\(\) #\d+ Server Socket created\.\r\n\n)")));
}

TEST_F(Service, ModelQueryWithLowerCaseModelFile)
{
    startService();
    auto conn = sandbox::connectService();
    expectModelReply(conn);
    const std::string out = service.out();
    EXPECT_THAT(out, HasSubstr("Device Model:GWM0202\n\n"));
    EXPECT_THAT(out, HasSubstr("Connected Client IP:127.0.0.1, Port: "));
    EXPECT_THAT(out, HasSubstr("Clinet fd:"));
    EXPECT_THAT(out, HasSubstr("Send Message CMD:0x0005.\r\n\n"));
}

TEST_F(Service, ModelFileMissingAndChangedBetweenConnections)
{
    sandbox::sh("rm -f /tmp/sysinfo/model");
    startService();
    {
        auto conn = sandbox::connectService();
        ASSERT_TRUE(conn.sendRequest(0x0005));
        const auto reply = conn.waitReply(0x0005, 5000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->payload, Bytes{0x01});
        // A model-specific code is not answered without a model.
        ASSERT_TRUE(conn.sendRequest(0x0003));
        EXPECT_FALSE(conn.waitReply(0x0003, 300));
    }
    ASSERT_TRUE(service.waitForOut("Connection Closing", 5000));
    // The model is read anew for every connection.
    sandbox::writeFile("/tmp/sysinfo/model", "gwm0202\n");
    auto conn = sandbox::connectService();
    expectModelReply(conn);
}

TEST_F(Service, CodesFrom0x1200UpAndUnknownCodesGetNoReply)
{
    startService();
    auto conn = sandbox::connectService();
    for (uint16_t code : {0x1200, 0x1201, 0x8005, 0xFFFF, 0x11FF, 0x0999}) {
        ASSERT_TRUE(conn.sendRequest(code));
        EXPECT_FALSE(conn.waitReply(code, 300)) << std::hex << code;
        EXPECT_FALSE(conn.closedByPeer()) << std::hex << code;
    }
    expectModelReply(conn);
    EXPECT_THAT(service.out(), HasSubstr("GWM0202 No Matched Function\n \n"));
}

TEST_F(Service, EveryWholeFrameOfOneWriteIsAnsweredInOrder)
{
    startService();
    auto conn = sandbox::connectService();
    // Two model queries, the second with a payload, and the head of a third.
    const Bytes third = sandbox::requestFrame(0x0005);
    ASSERT_TRUE(conn.sendBytes(concat({sandbox::requestFrame(0x0005), sandbox::requestFrame(0x0005, {0xFE, 0x01}),
                                       Bytes(third.begin(), third.begin() + 3)})));
    for (int i = 0; i < 2; ++i) {
        const auto reply = conn.waitReply(0x0005, 5000);
        ASSERT_TRUE(reply) << "reply " << i;
        EXPECT_EQ(reply->payload, kModelReply);
    }
    EXPECT_FALSE(conn.waitReply(0x0005, 300)) << "the third frame is not complete yet";
    ASSERT_TRUE(conn.sendBytes(Bytes(third.begin() + 3, third.end())));
    const auto reply = conn.waitReply(0x0005, 5000);
    ASSERT_TRUE(reply) << "the rest of the third frame completes it";
    EXPECT_EQ(reply->payload, kModelReply);
}

TEST_F(Service, FrameSentOneByteAtATime)
{
    startService();
    auto conn = sandbox::connectService();
    for (uint8_t b : sandbox::requestFrame(0x0005, {1, 2, 3})) {
        ASSERT_TRUE(conn.sendBytes({b}));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto reply = conn.waitReply(0x0005, 5000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, kModelReply);
}

TEST_F(Service, BadFramesAreDroppedAndTheConnectionStays)
{
    startService();
    auto conn = sandbox::connectService();
    // Wrong checksum, a checksum over the header, a length too long.
    ASSERT_TRUE(conn.sendBytes({0xFE, 0x00, 0x05, 0x00, 0x00, 0x07}));
    ASSERT_TRUE(conn.sendBytes({0xFE, 0x00, 0x05, 0x00, 0x00, 0xFB}));
    ASSERT_TRUE(conn.sendBytes({0xFE, 0x00, 0x05, 0xFF, 0xFF}));
    EXPECT_FALSE(conn.waitReply(0x0005, 300));
    expectModelReply(conn);
    EXPECT_THAT(service.out(), HasSubstr("Message Receive Check Error Frame Sum 0x07, cal Sum 0x05.\r\n\n"));
    EXPECT_THAT(service.out(), HasSubstr("Receive Frame Length too Long\r\n\n"));
}

TEST_F(Service, SecondClientWaitsUntilTheFirstLeaves)
{
    startService();
    auto first = sandbox::connectService();
    expectModelReply(first);
    auto second = sandbox::connectService(); // lands in the listen backlog
    ASSERT_TRUE(second.sendRequest(0x0005));
    EXPECT_FALSE(second.waitReply(0x0005, 500)) << "served while the first client is connected";
    first.close();
    const auto reply = second.waitReply(0x0005, 5000);
    ASSERT_TRUE(reply) << "served once the first client left";
    EXPECT_EQ(reply->payload, kModelReply);
    EXPECT_THAT(service.err(), HasSubstr("Socket Connect Break\r\n\n"));
    EXPECT_THAT(service.out(), HasSubstr("Connection Closing, Remote IP:127.0.0.1 Port:"));
}

TEST_F(Service, ClientResettingDuringRepliesDoesNotEndTheService)
{
    startService();
    {
        auto conn = sandbox::connectService();
        // Many requests in one go, then a reset: the later replies are sent
        // to a connection that no longer exists.
        Bytes burst;
        for (int i = 0; i < 300; ++i) {
            burst = concat({burst, sandbox::requestFrame(0x0005)});
        }
        ASSERT_TRUE(conn.sendBytes(burst));
        linger reset{1, 0};
        setsockopt(conn.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ASSERT_TRUE(service.waitForOut("Connection Closing", 10000));
    auto conn = sandbox::connectService();
    expectModelReply(conn);
}

// Random bytes, with plenty of frame headers among them, over five
// connections; then a station is served. Each connection's end is waited
// for before the next one starts: the service takes one station at a time
// from a listen backlog of 3, and stations piling up behind a slow service
// (under valgrind, on a loaded machine) would find the backlog full and
// their connects dropped for seconds.
TEST_F(Service, RandomBytesNeverEndTheService)
{
    startService();
    const int slow = sandbox::underValgrind() ? 10 : 1;
    auto closings = [this] {
        const std::string out = service.out();
        size_t n = 0;
        for (size_t at = out.find("Connection Closing"); at != std::string::npos;
             at = out.find("Connection Closing", at + 1)) {
            ++n;
        }
        return n;
    };
    std::mt19937 rng(2026);
    for (int round = 0; round < 5; ++round) {
        auto conn = sandbox::connectService();
        for (int chunk = 0; chunk < 20; ++chunk) {
            Bytes noise(1 + rng() % 3000);
            for (uint8_t &b : noise) {
                // Plenty of headers among the noise.
                b = (rng() % 8 == 0) ? 0xFE : static_cast<uint8_t>(rng());
            }
            if (!conn.sendBytes(noise)) {
                break; // the service may close a connection after a protocol error
            }
        }
        conn.close();
        const auto deadline = Clock::now() + std::chrono::seconds(30 * slow);
        while (closings() < static_cast<size_t>(round + 1) && service.running() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_EQ(closings(), static_cast<size_t>(round + 1)) << "round " << round << "\n" << service.err();
    }
    ASSERT_TRUE(service.running()) << service.err();
    auto conn = sandbox::connectService();
    expectModelReply(conn);
}

TEST_F(Service, PortAlreadyBoundEndsWithStatus1)
{
    const int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(6666);
    ASSERT_EQ(bind(blocker, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    ASSERT_TRUE(service.start());
    const auto status = service.waitExit(10000);
    close(blocker);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    const std::string err = service.err();
    EXPECT_TRUE(
        std::regex_search(err, std::regex(R"(\[src/tcpServer\] tcpServerLisener\(\) #\d+ bind failed\. Error\r\n\n)")))
        << err;
    EXPECT_TRUE(std::regex_search(err, std::regex(R"(\[src/main\] main\(\) #\d+ Error: Address already in use\r\n\n)")))
        << err;
}

// Real time: a silent client is dropped after 60 s of silence, not before.
TEST_F(Service, SilentClientIsDisconnectedAfter60Seconds)
{
    startService();
    auto conn = sandbox::connectService();
    // Timed from before the last request: the service's 60 s begin after
    // its reply, however late this side hears it.
    const auto start = Clock::now();
    expectModelReply(conn);
    ASSERT_TRUE(conn.waitClosed(90000)) << "not disconnected";
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 60000);
    EXPECT_LE(waited, 75000);
    EXPECT_TRUE(service.waitForOut("Timeout.\r\n\n", 2000));
    // The next client is served.
    auto next = sandbox::connectService();
    expectModelReply(next);
}

// Real time: the 60-second limit starts anew before every wait, so a
// client that speaks every 50 s is never dropped.
TEST_F(Service, TimeOutStartsAnewAfterEveryRead)
{
    startService();
    auto conn = sandbox::connectService();
    std::this_thread::sleep_for(std::chrono::seconds(50));
    // Timed from before the byte: the service's new 60 s begin when it has
    // read it, however late this side goes on.
    const auto start = Clock::now();
    ASSERT_TRUE(conn.sendBytes({0x00})); // a stray byte, no frame
    ASSERT_TRUE(conn.waitClosed(90000));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 60000) << "dropped before 60 s of silence";
}

} // namespace

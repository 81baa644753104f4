// The real service started or used the way an unlucky factory does: from an
// init script that closed its standard descriptors, with a log reader that
// goes away, by stations that pipeline requests faster than they read the
// replies, read nothing at all or leave in the middle of a test, and with the
// model file changed under it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "sandbox.h"
#include "serviceProcess.h"
#include "wire/connection.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kModelReply{0x00, 'G', 'W', 'M', '0', '2', '0', '2', '\n', 0x00};

// Connects once the service listens: without its standard output there is
// no log line to wait for.
bool connectWhenListening(station::Connection &conn, std::string &error)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!conn.open("127.0.0.1", 6666, 1000, error)) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Many model queries in one buffer.
Bytes modelQueries(int count)
{
    Bytes burst;
    const Bytes one = sandbox::requestFrame(0x0005);
    for (int i = 0; i < count; ++i) {
        burst.insert(burst.end(), one.begin(), one.end());
    }
    return burst;
}

// Writes from a thread of its own: once the service stops reading, so does
// the station's write. Whatever the test's outcome, the write is ended and
// the thread joined.
class BackgroundWrite {
public:
    BackgroundWrite(station::Connection &conn, Bytes bytes)
        : conn_(conn), bytes_(std::move(bytes)), thread_([this] { conn_.sendBytes(bytes_); })
    {
    }
    ~BackgroundWrite()
    {
        shutdown(conn_.fd(), SHUT_WR);
        thread_.join();
    }
    BackgroundWrite(const BackgroundWrite &) = delete;
    BackgroundWrite &operator=(const BackgroundWrite &) = delete;

private:
    station::Connection &conn_;
    Bytes bytes_;
    std::thread thread_;
};

// Socket buffers of this test's network namespace kept small and fixed, as
// a loaded gateway's would be: the replies to a burst no longer all fit in
// the kernel's buffers, so the service has to wait for the station.
void smallSocketBuffers()
{
    ASSERT_EQ(sandbox::sh("echo '4096 4096 4096' > /proc/sys/net/ipv4/tcp_wmem && "
                          "echo '4096 4096 4096' > /proc/sys/net/ipv4/tcp_rmem"),
              0);
}

class Faults : public sandbox::ServiceTest {
protected:
    void SetUpSandbox() override { sandbox::writeFile("/tmp/sysinfo/model", "GWM0202\n"); }

    // Starts the service and waits until a client gets its model reply.
    void startAndExpectAnswers(sandbox::Stdio stdio)
    {
        ASSERT_TRUE(service.start(GWTESTD_BIN, {}, stdio));
        station::Connection conn;
        std::string error;
        ASSERT_TRUE(connectWhenListening(conn, error)) << error << "\n" << service.err();
        const auto reply = sandbox::ask(conn, 0x0005, 5000);
        ASSERT_TRUE(reply) << "no reply; service error output:\n" << service.err();
        EXPECT_EQ(*reply, kModelReply);
    }
};

// Without /dev/null on the closed descriptors, the listening socket became
// descriptor 0 (the service exited at once) or 1 (the first log line went
// into it and the service died of SIGPIPE).
TEST_F(Faults, ClosedStandardInputOrOutputStillServes)
{
    struct Case {
        const char *name;
        sandbox::Stdio stdio;
    };
    // clang-format off
    const Case cases[] = {
        {"stdin closed", {sandbox::kStdioClosed, sandbox::kStdioKit}},
        {"stdout closed", {sandbox::kStdioKit, sandbox::kStdioClosed}},
        {"both closed", {sandbox::kStdioClosed, sandbox::kStdioClosed}},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        startAndExpectAnswers(c.stdio);
        EXPECT_TRUE(service.running());
        service.stop();
    }
}

// The log reader quits (the logger restarted): log lines are lost, the
// service goes on answering.
TEST_F(Faults, LogReaderThatWentAwayCostsLinesNotTheService)
{
    int logPipe[2];
    ASSERT_EQ(pipe(logPipe), 0);
    close(logPipe[0]);
    startAndExpectAnswers({sandbox::kStdioKit, logPipe[1]});
    close(logPipe[1]);
    // A second connection, after many failed log writes.
    station::Connection conn;
    std::string error;
    ASSERT_TRUE(connectWhenListening(conn, error)) << error;
    for (int i = 0; i < 3; ++i) {
        const auto reply = sandbox::ask(conn, 0x0005, 5000);
        ASSERT_TRUE(reply) << "request " << i;
        EXPECT_EQ(*reply, kModelReply);
    }
}

// A station that writes many requests before it reads: the replies wait for
// room in the socket instead of being lost. The station's receive buffer is
// kept small and it starts reading only after a second.
TEST_F(Faults, PipelinedRequestsAreAllAnsweredWhenTheClientReadsLate)
{
    smallSocketBuffers();
    startService();
    station::Connection conn;
    std::string error;
    ASSERT_TRUE(conn.open("127.0.0.1", 6666, 5000, error)) << error;

    constexpr int kRequests = 20000;
    int replies = 0;
    {
        BackgroundWrite writer(conn, modelQueries(kRequests));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto deadline = Clock::now() + std::chrono::seconds(120);
        while (replies < kRequests && Clock::now() < deadline) {
            const auto reply = conn.waitReply(0x0005, 5000);
            if (!reply) {
                break;
            }
            EXPECT_EQ(reply->payload, kModelReply);
            ++replies;
        }
    }
    EXPECT_EQ(replies, kRequests);
    EXPECT_THAT(service.out(), ::testing::Not(HasSubstr("Client Reads No Reply")));
}

// A station that reads nothing at all is dropped after a few seconds with a
// log line; the next station is served.
TEST_F(Faults, ClientThatReadsNothingIsDroppedAndTheNextServed)
{
    smallSocketBuffers();
    startService();
    station::Connection silent;
    std::string error;
    ASSERT_TRUE(silent.open("127.0.0.1", 6666, 5000, error)) << error;
    {
        BackgroundWrite writer(silent, modelQueries(20000));
        ASSERT_TRUE(service.waitForOut("Client Reads No Reply: ", 30000));
        ASSERT_TRUE(service.waitForOut("Connection Closing", 5000));
    }

    station::Connection next;
    ASSERT_TRUE(next.open("127.0.0.1", 6666, 5000, error)) << error;
    const auto reply = sandbox::ask(next, 0x0005, 5000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, kModelReply);
}

// The model file is read anew for each connection; whatever became of it
// in between, the query answers and the service stays.
TEST_F(Faults, ModelFileDeletedEmptiedHugeOrADirectoryBetweenConnections)
{
    struct Case {
        const char *name;
        const char *prepare; // shell command run before the connection
        Bytes reply;
    };
    // clang-format off
    const Case cases[] = {
        {"deleted", "rm -f /tmp/sysinfo/model", {0x01}},
        {"emptied", ": > /tmp/sysinfo/model", {0x01}},
        {"1 MB", "{ echo GWM0202; head -c 1048576 /dev/zero | tr '\\0' A; } > /tmp/sysinfo/model", kModelReply},
        {"a directory", "rm -f /tmp/sysinfo/model && mkdir /tmp/sysinfo/model", {0x01}},
        {"back again", "rmdir /tmp/sysinfo/model && echo GWM0202 > /tmp/sysinfo/model", kModelReply},
    };
    // clang-format on
    startService();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(sandbox::sh(c.prepare), 0);
        auto conn = sandbox::connectService();
        const auto reply = sandbox::ask(conn, 0x0005, 5000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, c.reply);
        conn.close();
    }
}

// A station that starts a long test (the button waits 10 s) and leaves at
// once: the next station is served when that test is over.
TEST_F(Faults, ClientLeavingDuringALongTestDoesNotBlockTheNext)
{
    startService();
    {
        auto first = sandbox::connectService();
        ASSERT_TRUE(first.sendRequest(0x0603));
        ASSERT_TRUE(service.waitForOut("cmd request Function", 5000));
    }
    auto next = sandbox::connectService();
    const auto reply = sandbox::ask(next, 0x0005, 30000);
    ASSERT_TRUE(reply) << "the next station was not served";
    EXPECT_EQ(*reply, kModelReply);
}

} // namespace

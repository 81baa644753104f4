// The page's runner on the real station engine, against gateways that are
// not there (a closed port of 127.0.0.1): batches, slot ids, stop.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "eventRecorder.h"
#include "front/web/engineRunner.h"
#include "front/web/hub.h"

namespace {

using station::Event;
using station::EventKind;
using station::Target;
using station::web::Hub;
using station::web::SlotState;
using ::testing::Each;
using ::testing::UnorderedElementsAre;

// A port of 127.0.0.1 where nothing listens.
uint16_t closedPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

using Recorder = sandbox::EventRecorder;

station::RunOptions options()
{
    station::RunOptions o;
    o.station = "web-test";
    o.connectTimeoutMs = 1000;
    o.reconnectMs = 500;
    return o;
}

TEST(WebRunner, StartsOfOneSecondAreBatchesOfTheirOwnAndCarryThePageSlotIds)
{
    const uint16_t port = closedPort();
    Hub hub;
    hub.addSlot(Target{"10.0.0.1", 6666, "unused"});
    hub.addSlot(Target{"127.0.0.1", port, "B"});
    hub.addSlot(Target{"127.0.0.1", port, "C"});
    Recorder records;
    {
        station::web::EngineRunner runner(options(), hub, &records);
        std::string error;
        ASSERT_TRUE(hub.reserve({2}, error));
        ASSERT_TRUE(runner.start({{2, hub.slot(2)->target}}, error)) << error;
        ASSERT_TRUE(hub.reserve({1}, error));
        ASSERT_TRUE(runner.start({{1, hub.slot(1)->target}}, error)) << error;
        ASSERT_TRUE(sandbox::waitUntil([&] { return records.of(EventKind::kRunFinished).size() == 2; }));
        EXPECT_TRUE(sandbox::waitUntil([&] {
            return hub.slot(1)->state == SlotState::kUnreachable && hub.slot(2)->state == SlotState::kUnreachable;
        }));
    }
    const auto finished = records.of(EventKind::kRunFinished);
    std::set<int> slots;
    std::set<std::string> batches;
    std::set<std::string> runs;
    for (const auto &e : finished) {
        slots.insert(e.gateway.slot);
        batches.insert(e.batchId);
        runs.insert(e.runId);
        EXPECT_EQ(e.gateway.label, e.gateway.slot == 1 ? "B" : "C");
    }
    EXPECT_THAT(slots, UnorderedElementsAre(1, 2));
    EXPECT_EQ(batches.size(), 2U) << "two starts, two batches";
    EXPECT_EQ(runs.size(), 2U);
    EXPECT_EQ(hub.slot(0)->state, SlotState::kIdle);
}

// A batch whose thread comes late into its second, as on a loaded station,
// keeps the name of the second it was started in: held back until the next
// start's batch has begun, it is still a batch of its own, with run ids of
// its own (a shared name would merge the two in the records).
TEST(WebRunner, ABatchThatBeginsLateKeepsTheNameOfItsOwnSecond)
{
    const uint16_t port = closedPort();
    Hub hub;
    hub.addSlot(Target{"127.0.0.1", port, "A"});
    hub.addSlot(Target{"127.0.0.1", port, "B"});
    Recorder records;
    {
        station::web::EngineRunner runner(options(), hub, &records);
        std::atomic<int> begun{0};
        runner.beforeRun = [&] {
            if (begun++ == 0) {
                sandbox::waitUntil([&] { return !records.of(EventKind::kBatchStarted).empty(); });
            }
        };
        std::string error;
        ASSERT_TRUE(hub.reserve({0}, error));
        ASSERT_TRUE(runner.start({{0, hub.slot(0)->target}}, error)) << error;
        ASSERT_TRUE(hub.reserve({1}, error));
        ASSERT_TRUE(runner.start({{1, hub.slot(1)->target}}, error)) << error;
        ASSERT_TRUE(sandbox::waitUntil([&] { return records.of(EventKind::kRunFinished).size() == 2; }));
    }
    std::map<int, std::string> batchOf;
    std::set<std::string> runs;
    for (const auto &e : records.of(EventKind::kRunStarted)) {
        batchOf[e.gateway.slot] = e.batchId;
        runs.insert(e.runId);
    }
    ASSERT_EQ(batchOf.size(), 2U);
    EXPECT_LT(batchOf[0], batchOf[1]) << "the held batch is named by the second it was started in";
    EXPECT_EQ(runs.size(), 2U);
    EXPECT_EQ(records.of(EventKind::kBatchStarted).size(), 2U);
}

TEST(WebRunner, StopEndsEveryRunAndTheSlotsAreFreeAgain)
{
    const uint16_t port = closedPort();
    Hub hub;
    hub.addSlot(Target{"127.0.0.1", port, "A"});
    hub.addSlot(Target{"127.0.0.1", port, "B"});
    station::web::EngineRunner runner(options(), hub, nullptr);
    std::string error;
    ASSERT_TRUE(hub.reserve({0, 1}, error));
    ASSERT_TRUE(runner.start({{0, hub.slot(0)->target}, {1, hub.slot(1)->target}}, error));
    runner.stop();
    EXPECT_TRUE(sandbox::waitUntil([&] { return hub.idleSlots().size() == 2; }));
    EXPECT_FALSE(runner.answer(12345, true));      // no question open
    ASSERT_TRUE(hub.reserve({0}, error)) << error; // startable again
}

} // namespace

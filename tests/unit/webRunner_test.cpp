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
#include "fakeGateway.h"
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

// The person signed in on the page when a batch starts is the one its runs
// are traced to; one who signs in later answers for the next batch.
TEST(WebRunner, ABatchIsTracedToThePersonSignedInWhenItStarts)
{
    const uint16_t port = closedPort();
    Hub hub;
    hub.addSlot(Target{"127.0.0.1", port, "A"});
    Recorder records;
    station::RunOptions o = options();
    o.operatorId = "from-the-command-line";
    {
        station::web::EngineRunner runner(o, hub, &records);
        std::string error;
        for (const char *who : {"", "op-7", "op-8"}) {
            if (*who != '\0') {
                hub.signIn(who);
            }
            const size_t before = records.of(EventKind::kRunFinished).size();
            ASSERT_TRUE(hub.reserve({0}, error));
            ASSERT_TRUE(runner.start({{0, hub.slot(0)->target}}, error)) << error;
            ASSERT_TRUE(sandbox::waitUntil([&] { return records.of(EventKind::kRunFinished).size() == before + 1; }));
            ASSERT_TRUE(sandbox::waitUntil([&] { return hub.slot(0)->state != SlotState::kRunning; }));
        }
    }
    std::vector<std::string> tracedTo;
    for (const Event &e : records.of(EventKind::kRunStarted)) {
        tracedTo.push_back(e.operatorId);
    }
    EXPECT_EQ(tracedTo, (std::vector<std::string>{"from-the-command-line", "op-7", "op-8"}));
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

// The desk knows the gateways of a question by their places in their batch,
// the page by its slot ids: an answer naming page slots reaches the right
// gateways, and a slot outside the question's batch is no member of it.
TEST(WebRunner, AnAnswerNamesPageSlotsAndReachesTheGatewaysOfItsQuestion)
{
    sandbox::FakeGateway a("gwm0101\n");
    sandbox::FakeGateway b("gwm0101\n");
    Hub hub;
    hub.addSlot(Target{"10.0.0.1", 6666, "unused"}); // so that page ids are not places in the batch
    hub.addSlot(a.target("A"));
    hub.addSlot(b.target("B"));
    Recorder records;
    station::RunOptions o = options();
    o.only = {0x0701}; // led-power
    o.gangWaitMs = 5000;
    std::atomic<int> strangersRefused{0};
    std::atomic<int> accepted{0};
    {
        station::web::EngineRunner runner(o, hub, &records);
        // The answers come from threads of their own, as from the page's
        // server; joined before the runner goes.
        struct Joiner {
            std::vector<std::thread> threads;
            ~Joiner()
            {
                for (auto &t : threads) {
                    t.join();
                }
            }
        } answers;
        records.answerer = [&](const Event &e) {
            answers.threads.emplace_back([&, e] {
                strangersRefused += runner.answer(e.promptId, std::vector<int>{0}) ? 0 : 1;
                strangersRefused += runner.answer(e.promptId + 1000, std::vector<int>{}) ? 0 : 1;
                std::vector<int> no;
                for (const auto &member :
                     e.members.empty() ? std::vector<station::GatewayInfo>{e.gateway} : e.members) {
                    if (member.slot == 2) {
                        no.push_back(2); // B stayed dark
                    }
                }
                accepted += runner.answer(e.promptId, no) ? 1 : 0;
            });
        };
        std::string error;
        ASSERT_TRUE(hub.reserve({1, 2}, error));
        ASSERT_TRUE(runner.start({{1, hub.slot(1)->target}, {2, hub.slot(2)->target}}, error)) << error;
        ASSERT_TRUE(sandbox::waitUntil([&] { return records.of(EventKind::kRunFinished).size() == 2; }));
    }
    const auto asked = records.of(EventKind::kPromptNeeded);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(accepted, static_cast<int>(asked.size()));
    EXPECT_EQ(strangersRefused, 2 * static_cast<int>(asked.size()));
    for (const auto &e : asked) {
        for (const auto &member : e.members) {
            EXPECT_TRUE(member.slot == 1 || member.slot == 2) << "a member's page slot: " << member.slot;
        }
    }
    auto resultA = records.results(1);
    auto resultB = records.results(2);
    EXPECT_EQ(resultA["led-power"].outcome, station::Outcome::kPass);
    EXPECT_EQ(resultB["led-power"].outcome, station::Outcome::kFail);
    ASSERT_TRUE(resultB["led-power"].answer);
    EXPECT_EQ(resultB["led-power"].answer->answer, "no");
    EXPECT_EQ(hub.slot(2)->state, SlotState::kFail);
    EXPECT_EQ(hub.slot(1)->state, SlotState::kPass);
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

// The station engine against fake gateways in this process: small TCP
// servers that speak the frame format and answer, stall, close or vanish as
// each test needs, one client at a time like the real service.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "catalogue.h"
#include "engine/engine.h"
#include "eventRecorder.h"
#include "fakeGateway.h"
#include "front/terminal.h"
#include "wire/connection.h"

namespace {

using station::Engine;
using station::Event;
using station::EventKind;
using station::OperatorMode;
using station::Outcome;
using station::RunOptions;
using station::RunOutcome;
using station::Target;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

using sandbox::Answer;
using sandbox::FakeGateway;

using Recorder = sandbox::EventRecorder;

RunOptions quickOptions()
{
    RunOptions o;
    o.op = OperatorMode::kYes;
    o.marginMs = 0;
    o.connectTimeoutMs = 1000;
    o.reconnectMs = 500;
    o.busyNoticeMs = 300;
    o.station = "bench-1";
    return o;
}

// The engine as a test wants it: a desk of its own and a recorder of every event.
struct Harness {
    explicit Harness(const RunOptions &options) : engine(options, desk) { engine.subscribe(&rec); }
    station::OperatorDesk desk;
    Recorder rec; // outlives the engine that tells it
    Engine engine;
};

std::vector<uint16_t> codes(std::initializer_list<const char *> names)
{
    std::vector<uint16_t> out;
    for (const char *name : names) {
        out.push_back(catalogue::findName(name, catalogue::kEveryModel)->code);
    }
    return out;
}

int msSince(Clock::time_point t0)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

TEST(Engine, WholePlanOfAnAutoDetectedModelPassesWithEventsInOrder)
{
    FakeGateway gw("gwm0101\n");
    Harness h(quickOptions());
    const auto summary = h.engine.run({gw.target("A3")});
    EXPECT_EQ(summary.exitStatus, 0);

    const std::vector<uint16_t> plan = Engine::planOf(catalogue::kGwm0101);
    ASSERT_FALSE(plan.empty());
    EXPECT_EQ(plan.front(), 0x0005);
    EXPECT_EQ(gw.requests(), plan); // every test once, in plan order

    std::vector<EventKind> kinds;
    for (const Event &e : h.rec.events()) {
        if (kinds.empty() || kinds.back() != e.kind) {
            kinds.push_back(e.kind);
        }
    }
    ASSERT_GE(kinds.size(), 6U);
    EXPECT_EQ(kinds[0], EventKind::kBatchStarted);
    EXPECT_EQ(kinds[1], EventKind::kRunStarted);
    EXPECT_EQ(kinds[2], EventKind::kTestStarted); // the model, before the plan is known
    EXPECT_EQ(kinds[3], EventKind::kTestFinished);
    EXPECT_EQ(kinds[4], EventKind::kPlanKnown);
    EXPECT_EQ(kinds[kinds.size() - 2], EventKind::kRunFinished);
    EXPECT_EQ(kinds.back(), EventKind::kBatchFinished);

    const auto planKnown = h.rec.of(EventKind::kPlanKnown);
    ASSERT_EQ(planKnown.size(), 1U);
    EXPECT_EQ(planKnown[0].plan, plan);
    EXPECT_EQ(planKnown[0].gateway.model, "GWM0101");

    auto results = h.rec.results();
    EXPECT_EQ(results.size(), plan.size());
    EXPECT_EQ(results["model"].decoded, "gwm0101"); // as the gateway stores it
    EXPECT_EQ(results["model"].gateway.model, "GWM0101");
    EXPECT_EQ(
        results["mac"].decoded, "02:47:57:01:01:" + [&] {
            char b[4];
            std::snprintf(b, sizeof b, "%02x", gw.port() & 0xFF);
            return std::string(b);
        }());
    EXPECT_EQ(results["sysversion"].decoded, "2.3");
    EXPECT_EQ(results["led-power"].answer->answer, "auto-yes");
    EXPECT_FALSE(results["wan"].answer.has_value());
    for (const auto &[name, e] : results) {
        EXPECT_EQ(e.outcome, Outcome::kPass) << name;
        // The model's answer chooses the plan: its own total is not known yet.
        EXPECT_EQ(e.total, name == "model" ? 0 : static_cast<int>(plan.size())) << name;
        EXPECT_EQ(e.station, "bench-1");
        EXPECT_EQ(e.runId, e.batchId + "-0");
    }
    // Once the MAC is known, events name the gateway by it.
    EXPECT_EQ(results["leds-restore"].gateway.mac, results["mac"].decoded);
    EXPECT_EQ(results["leds-restore"].gateway.display(),
              "A3 (127.0.0.1:" + std::to_string(gw.port()) + ", " + results["mac"].decoded + ")");

    const auto finished = h.rec.of(EventKind::kRunFinished);
    ASSERT_EQ(finished.size(), 1U);
    EXPECT_EQ(finished[0].runOutcome, RunOutcome::kPass);
    EXPECT_EQ(finished[0].passed, static_cast<int>(plan.size()));
}

TEST(Engine, GatewaysRunConcurrently)
{
    // Four gateways whose every test takes 300 ms: one after another would
    // take 4 x 4 x 0.3 s.
    std::vector<std::unique_ptr<FakeGateway>> gws;
    std::vector<Target> targets;
    for (int i = 0; i < 4; ++i) {
        gws.push_back(std::make_unique<FakeGateway>("gwm0303\n"));
        for (uint16_t code : {0x0005, 0x0001, 0x0002, 0x0101}) {
            const Answer slow{.delayMs = 300,
                              .payload =
                                  code == 0x0005 ? Bytes{0, 'g', 'w', 'm', '0', '3', '0', '3', '\n', 0} : Bytes{0}};
            gws.back()->set(code, {slow});
        }
        targets.push_back(gws.back()->target());
    }
    RunOptions o = quickOptions();
    o.only = codes({"mac", "sysversion", "wan"});
    Harness h(o);
    const auto t0 = Clock::now();
    EXPECT_EQ(h.engine.run(targets).exitStatus, 0);
    EXPECT_LT(msSince(t0), 3000); // 1.2 s each, together
    for (int slot = 0; slot < 4; ++slot) {
        EXPECT_EQ(h.rec.results(slot)["wan"].outcome, Outcome::kPass);
        EXPECT_EQ(h.rec.results(slot)["ping-gw"].outcome, Outcome::kSkipped);
    }
}

// Without gangs (--gang off) the desk goes to one gateway at a time, for its
// whole block of operator tests.
TEST(Engine, OperatorIsAskedAboutOneGatewayAtATime)
{
    std::vector<std::unique_ptr<FakeGateway>> gws;
    std::vector<Target> targets;
    for (int i = 0; i < 3; ++i) {
        gws.push_back(std::make_unique<FakeGateway>("gwm0404\n"));
        targets.push_back(gws.back()->target("S" + std::to_string(i)));
    }
    RunOptions o = quickOptions();
    o.op = OperatorMode::kAsk;
    o.gangs = false;
    o.only = codes({"led-power", "led-error", "leds-blink"});
    station::OperatorDesk desk;
    Engine engine(o, desk);
    Recorder rec;
    // The person answers each question a little later, from elsewhere.
    std::vector<std::thread> answers;
    rec.answerer = [&](const Event &e) {
        answers.emplace_back([&desk, id = e.promptId] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_TRUE(desk.answer(id, true));
            EXPECT_FALSE(desk.answer(id, true)); // answered already
        });
    };
    engine.subscribe(&rec);
    EXPECT_EQ(engine.run(targets).exitStatus, 0);
    for (auto &t : answers) {
        t.join();
    }
    EXPECT_EQ(rec.maxOpen(), 1);
    // The questions of a gateway come together: no other gateway between them.
    std::vector<int> order;
    for (const Event &e : rec.of(EventKind::kPromptNeeded)) {
        if (order.empty() || order.back() != e.gateway.slot) {
            order.push_back(e.gateway.slot);
        }
    }
    EXPECT_EQ(order.size(), 3U);
    // The two that waited were told why.
    int waited = 0;
    for (const Event &e : rec.of(EventKind::kNotice)) {
        waited += e.message.rfind("waiting for the operator, who is busy with S", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(waited, 2);
    const auto prompts = rec.of(EventKind::kPromptNeeded);
    ASSERT_EQ(prompts.size(), 9U);
    EXPECT_THAT(prompts[0].question, ::testing::MatchesRegex("did the power LED of S[0-2] \\(127.0.0.1:[0-9]+, "
                                                             "02:47:57:01:01:[0-9a-f]+\\) light for two seconds\\? "
                                                             "\\[y/n\\]"));
    EXPECT_THAT(prompts[2].question, ::testing::MatchesRegex("are all LEDs of S[0-2] .* blinking\\? \\[y/n\\]"));
    for (int slot = 0; slot < 3; ++slot) {
        const Event led = rec.results(slot)["led-power"];
        ASSERT_TRUE(led.answer.has_value());
        EXPECT_EQ(led.answer->answer, "yes");
        EXPECT_GE(led.answer->ms, 40);
    }
}

// Three gateways reach the power LED together: the requests go out at
// once, one question names all three, and the person's "S1 stayed dark"
// fails S1 alone. Every member records the gang and the gang's answer time.
TEST(Engine, GangIsAskedOnceAndEachGatewayKeepsItsOwnAnswer)
{
    std::vector<std::unique_ptr<FakeGateway>> gws;
    std::vector<Target> targets;
    for (int i = 0; i < 3; ++i) {
        gws.push_back(std::make_unique<FakeGateway>("gwm0404\n"));
        targets.push_back(gws.back()->target("S" + std::to_string(i)));
    }
    RunOptions o = quickOptions();
    o.op = OperatorMode::kAsk;
    o.gangWaitMs = 5000;
    o.only = codes({"led-power", "leds-blink"});
    Harness h(o);
    std::vector<std::thread> answers;
    h.rec.answerer = [&](const Event &e) {
        answers.emplace_back([&h, e] {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            if (e.name == "led-power") {
                EXPECT_FALSE(h.desk.answer(e.promptId, std::vector<int>{7})) << "not a member";
                EXPECT_TRUE(h.desk.answer(e.promptId, std::vector<int>{1}));
            } else {
                EXPECT_TRUE(h.desk.answer(e.promptId, true));
            }
        });
    };
    const auto t0 = Clock::now();
    EXPECT_EQ(h.engine.run(targets).exitStatus, 1);
    for (auto &t : answers) {
        t.join();
    }
    EXPECT_LT(msSince(t0), 4000) << "a gang waited out its time though everyone had come";

    const auto prompts = h.rec.of(EventKind::kPromptNeeded);
    ASSERT_EQ(prompts.size(), 2U);
    EXPECT_EQ(
        prompts[0].question,
        "did the power LED light for two seconds on S0 S1 S2? [y = all lit, or type the labels that stayed dark]");
    EXPECT_EQ(prompts[1].question, "are all LEDs blinking on S0 S1 S2? [y = all blinking, or type the labels that "
                                   "are not]");
    ASSERT_EQ(prompts[0].members.size(), 3U);
    for (int slot = 0; slot < 3; ++slot) {
        EXPECT_EQ(prompts[0].members[static_cast<size_t>(slot)].slot, slot);
    }
    const auto answered = h.rec.of(EventKind::kPromptAnswered);
    ASSERT_EQ(answered.size(), 2U);
    EXPECT_EQ(answered[0].noSlots, std::vector<int>{1});
    EXPECT_NE(prompts[0].gang, prompts[1].gang);

    // The requests went out together: every start of the power LED before
    // any of its replies.
    int64_t lastStart = 0, firstEnd = INT64_MAX;
    for (const Event &e : h.rec.events()) {
        if (e.name == "led-power" && e.kind == EventKind::kTestStarted) {
            lastStart = std::max(lastStart, e.unixMs);
        }
        if (e.name == "led-power" && e.kind == EventKind::kTestFinished) {
            firstEnd = std::min(firstEnd, e.unixMs);
        }
    }
    EXPECT_LT(lastStart, firstEnd);

    for (int slot = 0; slot < 3; ++slot) {
        const Event led = h.rec.results(slot)["led-power"];
        EXPECT_EQ(led.gang, prompts[0].gang) << slot;
        ASSERT_TRUE(led.answer.has_value());
        EXPECT_EQ(led.answer->ms, answered[0].answer->ms) << "the gang's response time";
        EXPECT_GE(led.answer->ms, 40);
        EXPECT_EQ(led.outcome, slot == 1 ? Outcome::kFail : Outcome::kPass) << slot;
        EXPECT_EQ(led.answer->answer, slot == 1 ? "no" : "yes") << slot;
        EXPECT_EQ(h.rec.results(slot)["leds-blink"].outcome, Outcome::kPass) << slot;
        EXPECT_EQ(h.rec.results(slot)["model"].gang, "") << "an automatic test runs alone";
    }
    EXPECT_EQ(h.rec.results(1)["led-power"].message, "the operator answered no");
}

// A gang does not wait for a gateway whose plan lacks the test (the Z-Wave
// LED is the GWM0202's only), and one that comes late goes with the next
// gang once the first has waited gangWaitMs.
TEST(Engine, GangWaitsOnlyForThoseWhoMayStillCome)
{
    FakeGateway gwm0202("gwm0202\n");
    FakeGateway gwm0101("gwm0101\n");
    FakeGateway late("gwm0101\n");
    late.set(0x0002, {{1500, Bytes{0, '2', '.', '3', 0}}}); // a slow build version
    RunOptions o = quickOptions();
    o.marginMs = 3000;
    o.gangWaitMs = 400;
    o.only = codes({"sysversion", "led-power", "led-zwave"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gwm0202.target("A1"), gwm0101.target("A2"), late.target("A3")}).exitStatus, 0);

    const auto power = h.rec.results(0)["led-power"];
    EXPECT_EQ(h.rec.results(1)["led-power"].gang, power.gang);
    EXPECT_NE(h.rec.results(2)["led-power"].gang, power.gang) << "the late one went with the first gang";
    EXPECT_FALSE(h.rec.results(2)["led-power"].gang.empty());
    // The first gang went after its wait, not after the late one's reply.
    EXPECT_LT(power.unixMs, h.rec.results(2)["sysversion"].unixMs);

    // The Z-Wave LED went alone, at once: nobody else has it.
    const auto zwave = h.rec.results(0)["led-zwave"];
    int64_t asked = 0;
    for (const Event &e : h.rec.of(EventKind::kTestStarted, 0)) {
        asked = e.name == "led-zwave" ? e.unixMs : asked;
    }
    EXPECT_LT(asked - power.unixMs, 300) << "waited for gateways without a Z-Wave LED";
    for (const Event &e : h.rec.of(EventKind::kPromptNeeded)) {
        if (e.name == "led-zwave") {
            EXPECT_EQ(e.members.size(), 1U);
            EXPECT_THAT(e.question, ::testing::StartsWith("did the Z-Wave LED of A1 ("));
        }
    }
}

// The button: one countdown for the gang, each press as its reply comes,
// the prompt closed when the last gateway has answered.
TEST(Engine, ButtonGangCountsDownOnceAndShowsEachPress)
{
    FakeGateway a("gwm0101\n");
    FakeGateway b("gwm0101\n");
    b.set(0x0603, {{300, Bytes{0}}}); // pressed a little later
    RunOptions o = quickOptions();
    o.op = OperatorMode::kAsk;
    o.only = codes({"button"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({a.target(), b.target()}).exitStatus, 0);
    std::vector<std::string> seen;
    for (const Event &e : h.rec.events()) {
        if (e.kind == EventKind::kPromptNeeded) {
            seen.push_back("prompt " + std::to_string(e.members.size()) + " " + e.question);
            EXPECT_GT(e.countdownMs, 0);
        } else if (e.kind == EventKind::kPromptAnswered) {
            seen.push_back("answered");
        } else if (e.kind == EventKind::kTestFinished && e.name == "button") {
            seen.push_back("pressed " + std::to_string(e.gateway.slot));
        }
    }
    const std::string question = "press the buttons of 1 (" + a.target().host + ":" + std::to_string(a.port()) +
                                 ") 2 (" + b.target().host + ":" + std::to_string(b.port()) + ")";
    EXPECT_EQ(seen, (std::vector<std::string>{"prompt 2 " + question, "pressed 0", "pressed 1", "answered"}));
}

// A gateway held at the desk for longer than the service's idle time-out
// gets a new connection before its next test, quietly: no lost
// connection, no notice, nothing failed.
TEST(Engine, ConnectionIdleTooLongIsOpenedAnewQuietly)
{
    FakeGateway gw("gwm0101\n");
    RunOptions o = quickOptions();
    o.op = OperatorMode::kAsk;
    o.idleReconnectMs = 200;
    o.only = codes({"led-power", "led-error"});
    Harness h(o);
    std::vector<std::thread> answers;
    h.rec.answerer = [&](const Event &e) {
        answers.emplace_back([&h, id = e.promptId] {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            EXPECT_TRUE(h.desk.answer(id, true));
        });
    };
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 0);
    for (auto &t : answers) {
        t.join();
    }
    EXPECT_EQ(gw.connections(), 2) << "the test after the question went on a new connection";
    EXPECT_TRUE(h.rec.of(EventKind::kConnectionLost).empty());
    EXPECT_TRUE(h.rec.of(EventKind::kNotice).empty());
    EXPECT_EQ(h.rec.results()["led-error"].outcome, Outcome::kPass);
}

// Stopping the station while a gang waits for a gateway ends the wait.
TEST(Engine, StopEndsAGangStillForming)
{
    FakeGateway quick("gwm0101\n");
    FakeGateway slow("gwm0101\n");
    slow.set(0x0002, {{10000, Bytes{0, '2', 0}}});
    RunOptions o = quickOptions();
    o.gangWaitMs = 60000;
    o.marginMs = 20000;
    o.only = codes({"sysversion", "led-power"});
    Harness h(o);
    std::thread stopper([&h] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        h.engine.stop();
    });
    const auto t0 = Clock::now();
    const auto summary = h.engine.run({quick.target(), slow.target()});
    stopper.join();
    EXPECT_LT(msSince(t0), 3000);
    EXPECT_TRUE(summary.stopped || summary.exitStatus != 0);
    EXPECT_EQ(h.rec.results(0)["led-power"].outcome, Outcome::kNotRun);
}

TEST(Engine, NoFromTheOperatorFailsATestTheServicePassed)
{
    FakeGateway gw("gwm0101\n");
    RunOptions o = quickOptions();
    o.op = OperatorMode::kAsk;
    o.only = codes({"led-power", "led-error"});
    station::OperatorDesk desk;
    Engine engine(o, desk);
    Recorder rec;
    std::vector<std::thread> answers;
    rec.answerer = [&](const Event &e) {
        answers.emplace_back([&desk, e] { desk.answer(e.promptId, e.name != "led-power"); });
    };
    engine.subscribe(&rec);
    EXPECT_EQ(engine.run({gw.target()}).exitStatus, 1);
    for (auto &t : answers) {
        t.join();
    }
    auto results = rec.results();
    EXPECT_EQ(results["led-power"].outcome, Outcome::kFail);
    EXPECT_EQ(results["led-power"].answer->answer, "no");
    EXPECT_EQ(results["led-power"].message, "the operator answered no");
    EXPECT_EQ(results["led-power"].hint, catalogue::findName("led-power", catalogue::kGwm0101)->hint);
    EXPECT_EQ(results["led-error"].outcome, Outcome::kPass);
    EXPECT_EQ(results["led-error"].answer->answer, "yes");
}

TEST(Engine, ButtonPromptCountsDownWhileTheRequestRuns)
{
    FakeGateway gw("gwm0101\n");
    const Answer pressed{.delayMs = 200, .payload = Bytes{0}};
    gw.set(0x0603, {pressed});
    RunOptions o = quickOptions();
    o.op = OperatorMode::kAsk;
    o.only = codes({"button"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 0);
    const auto asked = h.rec.of(EventKind::kPromptNeeded);
    ASSERT_EQ(asked.size(), 1U);
    EXPECT_EQ(asked[0].prompt, catalogue::Operator::kPressButton);
    EXPECT_EQ(asked[0].countdownMs, 10000);
    EXPECT_EQ(asked[0].question.rfind("press the button of 127.0.0.1:", 0), 0U);
    const auto closed = h.rec.of(EventKind::kPromptAnswered);
    ASSERT_EQ(closed.size(), 1U);
    EXPECT_EQ(closed[0].promptId, asked[0].promptId);
    EXPECT_GE(closed[0].answer->ms, 150);
}

TEST(Engine, UnattendedAsksNothingAndSaysSo)
{
    FakeGateway gw("gwm0101\n");
    RunOptions o = quickOptions();
    o.op = OperatorMode::kUnattended;
    o.only = codes({"button", "led-power"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 0);
    EXPECT_TRUE(h.rec.of(EventKind::kPromptNeeded).empty());
    EXPECT_EQ(h.rec.results()["led-power"].answer->answer, "unattended");
    EXPECT_EQ(h.rec.results()["button"].answer->answer, "unattended");
}

TEST(Engine, RetriesAFailedTestAndRecordsEachAttempt)
{
    FakeGateway gw("gwm0101\n");
    const Answer fail{.payload = Bytes{1}};
    const Answer pass{.payload = Bytes{0}};
    gw.set(0x0101, {fail, pass});
    RunOptions o = quickOptions();
    o.retries = 2;
    o.only = codes({"wan"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 0);
    std::vector<std::pair<int, Outcome>> attempts;
    for (const Event &e : h.rec.of(EventKind::kTestFinished)) {
        if (e.name == "wan") {
            attempts.emplace_back(e.attempt, e.outcome);
        }
    }
    EXPECT_EQ(attempts, (std::vector<std::pair<int, Outcome>>{{1, Outcome::kFail}, {2, Outcome::kPass}}));
    EXPECT_EQ(h.rec.of(EventKind::kRunFinished)[0].runOutcome, RunOutcome::kPass);
}

TEST(Engine, FailureWithoutRetriesCarriesTheHint)
{
    FakeGateway gw("gwm0101\n");
    const Answer fail{.payload = Bytes{1}};
    gw.set(0x0103, {fail});
    RunOptions o = quickOptions();
    o.only = codes({"ping-host", "smartconfig"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 1);
    auto results = h.rec.results();
    EXPECT_EQ(results["ping-host"].outcome, Outcome::kFail);
    EXPECT_EQ(results["ping-host"].hint, catalogue::findName("ping-host")->hint);
    EXPECT_THAT(results["ping-host"].hint, ::testing::HasSubstr("DNS"));
    EXPECT_EQ(results["smartconfig"].outcome, Outcome::kPass);
    EXPECT_TRUE(results["smartconfig"].hint.empty());
}

TEST(Engine, TheLinesProfileFailsWhatTheGatewayPassedAndMarksTheMarginal)
{
    FakeGateway gw("gwm0101\n");
    gw.set(0x0002, {Answer{.payload = Bytes{0, '2', '.', '3', '.', '6', 0}}});
    gw.set(0x0103, {Answer{.delayMs = 300, .payload = Bytes{0}}});
    std::vector<std::string> errors;
    const std::string text = "[model.GWM0101]\nsysversion = \"2.3.7\"\n[model.GWM0101.limits]\n"
                             "ping-host = { max_s = 20, marginal_s = 0.2 }\n";
    auto profile = station::readProfile(text, "line.toml", errors);
    ASSERT_TRUE(profile) << testing::PrintToString(errors);
    profile->path = "line.toml";
    RunOptions o = quickOptions();
    o.only = codes({"sysversion", "ping-host", "wan"});
    o.profile = std::make_shared<const station::Profile>(*profile);
    o.stationVersion = "v1.2-3-gabc";
    o.operatorId = "op-7";
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 1);
    auto results = h.rec.results();
    EXPECT_EQ(results["sysversion"].result, std::optional<uint8_t>(0)); // the gateway passed it
    EXPECT_EQ(results["sysversion"].outcome, Outcome::kFail);
    EXPECT_EQ(results["sysversion"].message, "sysversion 2.3.6, want 2.3.7");
    EXPECT_EQ(results["sysversion"].limit, "sysversion 2.3.6, want 2.3.7");
    EXPECT_THAT(results["sysversion"].hint, ::testing::HasSubstr("outside the line's profile"));
    EXPECT_EQ(results["ping-host"].outcome, Outcome::kPass);
    EXPECT_TRUE(results["ping-host"].marginal);
    EXPECT_THAT(results["ping-host"].limit, testing::MatchesRegex("ping-host took 0\\.[0-9]+ s, want <= 20 s, marginal "
                                                                  "past 0\\.2 s"));
    EXPECT_EQ(results["wan"].outcome, Outcome::kPass);
    EXPECT_EQ(results["wan"].limit, "");
    EXPECT_FALSE(results["wan"].marginal);
    for (EventKind kind : {EventKind::kBatchStarted, EventKind::kRunStarted}) {
        const Event started = h.rec.of(kind).at(0);
        EXPECT_EQ(started.profilePath, "line.toml");
        EXPECT_EQ(started.profileHash, station::sha256Hex(text));
        EXPECT_EQ(started.stationVersion, "v1.2-3-gabc");
        EXPECT_EQ(started.operatorId, "op-7");
    }
}

// A unit that passed every test is asked about once, with its MAC and its
// serial; the answer decides the run's outcome. Without a serial, or with a
// failed test, nothing is asked.
TEST(Engine, APassedUnitIsCheckedForDuplicatesAndTheVerdictEndsItsRun)
{
    using Verdict = station::UnitCheck::Verdict;
    struct Case {
        Verdict verdict;
        RunOutcome outcome;
        int exitStatus;
    };
    for (const Case &c :
         {Case{Verdict::kUnique, RunOutcome::kPass, 0}, Case{Verdict::kDuplicate, RunOutcome::kDuplicate, 1},
          Case{Verdict::kUncheckedLine, RunOutcome::kUncheckedLine, 0}}) {
        FakeGateway gw("gwm0101\n");
        RunOptions o = quickOptions();
        o.only = codes({"wan"});
        std::vector<std::string> asked;
        o.checkUnit = [&](const std::string &mac, const std::string &serial) {
            asked.push_back(mac + " " + serial);
            return station::UnitCheck{c.verdict, c.verdict == Verdict::kUnique ? "" : "said"};
        };
        Harness h(o);
        Target target = gw.target();
        target.serial = "GW00000001";
        EXPECT_EQ(h.engine.run({target}).exitStatus, c.exitStatus);
        ASSERT_EQ(asked.size(), 1U);
        EXPECT_THAT(asked[0], testing::MatchesRegex("02:47:57:01:01:[0-9a-f]{2} GW00000001"));
        const Event finished = h.rec.of(EventKind::kRunFinished).at(0);
        EXPECT_EQ(finished.runOutcome, c.outcome);
        EXPECT_EQ(finished.message, c.verdict == Verdict::kUnique ? "" : "said");
        EXPECT_EQ(h.rec.of(EventKind::kBatchFinished).at(0).passed, c.exitStatus == 0 ? 1 : 0);
    }
    // No serial: a retest cannot be told from a second board; a failed unit
    // is not one to ship anyway.
    FakeGateway failing("gwm0101\n");
    failing.set(0x0002, {Answer{.payload = Bytes{1}}});
    FakeGateway unnamed("gwm0101\n");
    RunOptions o = quickOptions();
    o.only = codes({"sysversion"});
    int asked = 0;
    o.checkUnit = [&](const std::string &, const std::string &) {
        ++asked;
        return station::UnitCheck{Verdict::kDuplicate, "said"};
    };
    Harness h(o);
    Target named = failing.target();
    named.serial = "GW00000002";
    EXPECT_EQ(h.engine.run({named, unnamed.target()}).exitStatus, 1);
    EXPECT_EQ(asked, 0);
}

TEST(Engine, DroppedConnectionCountsTheTestInFlightAndTheRestGoesOn)
{
    FakeGateway gw("gwm0101\n");
    const Answer drop{.payload = {}, .close = true};
    const Answer pass{.payload = Bytes{0}};
    gw.set(0x0101, {drop, pass});
    RunOptions o = quickOptions();
    o.only = codes({"wan", "ping-gw", "ping-host"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 3);
    auto results = h.rec.results();
    EXPECT_EQ(results["wan"].outcome, Outcome::kConnectionLost);
    EXPECT_EQ(results["ping-gw"].outcome, Outcome::kPass);
    EXPECT_EQ(results["ping-host"].outcome, Outcome::kPass);
    EXPECT_EQ(h.rec.of(EventKind::kConnectionLost).size(), 1U);
    EXPECT_EQ(gw.connections(), 2);
    EXPECT_EQ(h.rec.of(EventKind::kRunFinished)[0].runOutcome, RunOutcome::kConnectionLost);
}

TEST(Engine, DroppedConnectionIsRetriedOnANewConnection)
{
    FakeGateway gw("gwm0101\n");
    const Answer drop{.payload = {}, .close = true};
    const Answer pass{.payload = Bytes{0}};
    gw.set(0x0101, {drop, pass});
    RunOptions o = quickOptions();
    o.retries = 1;
    o.only = codes({"wan"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 0);
    EXPECT_EQ(h.rec.results()["wan"].attempt, 2);
    EXPECT_EQ(h.rec.results()["wan"].outcome, Outcome::kPass);
}

TEST(Engine, GatewayGoneMidPlanEndsItsRunAndTheOthersGoOn)
{
    FakeGateway gone("gwm0101\n");
    const Answer vanish{.payload = {}, .close = false, .vanish = true};
    gone.set(0x0102, {vanish});
    FakeGateway fine("gwm0101\n");
    RunOptions o = quickOptions();
    o.only = codes({"wan", "ping-gw", "ping-host", "led-power"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gone.target(), fine.target()}).exitStatus, 3);

    auto lost = h.rec.results(0);
    EXPECT_EQ(lost["wan"].outcome, Outcome::kPass);
    EXPECT_EQ(lost["ping-gw"].outcome, Outcome::kConnectionLost);
    EXPECT_EQ(lost["ping-host"].outcome, Outcome::kNotRun);
    EXPECT_EQ(lost["led-power"].outcome, Outcome::kNotRun);
    EXPECT_EQ(lost["button"].outcome, Outcome::kSkipped);
    // Every test of the plan has its row.
    EXPECT_EQ(lost.size(), Engine::planOf(catalogue::kGwm0101).size());
    const auto end = h.rec.of(EventKind::kRunFinished, 0);
    ASSERT_EQ(end.size(), 1U);
    EXPECT_EQ(end[0].runOutcome, RunOutcome::kConnectionLost);
    EXPECT_THAT(end[0].message, ::testing::HasSubstr("did not come back"));
    EXPECT_EQ(end[0].notRun, 2);

    EXPECT_EQ(h.rec.of(EventKind::kRunFinished, 1)[0].runOutcome, RunOutcome::kPass);
}

TEST(Engine, WrongModelStopsAfterTheModelQuery)
{
    FakeGateway gw("gwm0202\n");
    RunOptions o = quickOptions();
    o.model = "GWM0404";
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 1);
    EXPECT_EQ(gw.requests(), (std::vector<uint16_t>{0x0005}));
    auto results = h.rec.results();
    EXPECT_EQ(results["model"].outcome, Outcome::kFail);
    EXPECT_EQ(results["model"].decoded, "gwm0202");
    EXPECT_EQ(results["model"].message, "model mismatch: the gateway is a GWM0202, the plan is for GWM0404");
    EXPECT_EQ(results.size(), Engine::planOf(catalogue::kGwm0404).size());
    EXPECT_EQ(results["sim"].outcome, Outcome::kNotRun);
    const auto end = h.rec.of(EventKind::kRunFinished);
    EXPECT_EQ(end[0].runOutcome, RunOutcome::kModelMismatch);
}

TEST(Engine, TestsTheModelDoesNotHaveAreNamedOnce)
{
    FakeGateway gw("gwm0404\n");
    RunOptions o = quickOptions();
    o.only = codes({"wan", "zwave-pair", "led-4g"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 0);
    std::vector<std::string> notices;
    for (const Event &e : h.rec.of(EventKind::kNotice)) {
        notices.push_back(e.message);
    }
    EXPECT_THAT(notices, ::testing::ElementsAre("zwave-pair is not a test of the GWM0404: left out",
                                                "led-4g is not a test of the GWM0404: left out"));
    EXPECT_EQ(gw.requests(), (std::vector<uint16_t>{0x0005, 0x0001, 0x0101}));
}

TEST(Engine, ModelTheServiceItselfWouldNotMatchHasNoPlan)
{
    // The service upper-cases the model and ends it at the newline; a
    // carriage return stays, and such a gateway answers none of its
    // model's tests.
    FakeGateway gw("gwm0202\r\n");
    Harness h(quickOptions());
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 1);
    EXPECT_EQ(gw.requests(), (std::vector<uint16_t>{0x0005}));
    EXPECT_EQ(h.rec.of(EventKind::kRunFinished)[0].runOutcome, RunOutcome::kModelMismatch);
    EXPECT_THAT(h.rec.results()["model"].message, ::testing::HasSubstr("no plan for"));
}

TEST(Engine, UnreachableGatewayIsRecordedWithItsPlanNotRun)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    const uint16_t port = ntohs(addr.sin_port);
    close(fd); // nothing listens there now

    FakeGateway fine("gwm0303\n");
    RunOptions o = quickOptions();
    o.model = "GWM0303";
    o.only = codes({"wan"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({Target{"127.0.0.1", port, ""}, fine.target()}).exitStatus, 3);
    const auto end = h.rec.of(EventKind::kRunFinished, 0);
    ASSERT_EQ(end.size(), 1U);
    EXPECT_EQ(end[0].runOutcome, RunOutcome::kUnreachable);
    EXPECT_THAT(end[0].message, ::testing::HasSubstr("Connection refused"));
    auto results = h.rec.results(0);
    EXPECT_EQ(results.size(), Engine::planOf(catalogue::kGwm0303).size());
    EXPECT_EQ(results["model"].outcome, Outcome::kNotRun);
    EXPECT_EQ(results["ping-gw"].outcome, Outcome::kSkipped);
    EXPECT_EQ(h.rec.of(EventKind::kRunFinished, 1)[0].runOutcome, RunOutcome::kPass);
}

TEST(Engine, SilenceAndAWrongCodeAreNoReplyAndTheRestGoesOn)
{
    FakeGateway gw("gwm0101\n");
    Answer silent; // no payload: no reply
    gw.set(0x0001, {silent});
    const Answer wrong{.payload = Bytes{0, '1', 0}, .code = 0x8003};
    gw.set(0x0002, {wrong});
    RunOptions o = quickOptions();
    o.only = codes({"mac", "sysversion", "wan"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 2);
    auto results = h.rec.results();
    EXPECT_EQ(results["mac"].outcome, Outcome::kNoReply);
    EXPECT_GE(results["mac"].durationMs, 900);
    EXPECT_EQ(results["sysversion"].outcome, Outcome::kNoReply);
    EXPECT_THAT(results["sysversion"].message, ::testing::HasSubstr("code 0x8003 instead of 0x8002"));
    EXPECT_EQ(results["wan"].outcome, Outcome::kPass);
    EXPECT_EQ(h.rec.of(EventKind::kRunFinished)[0].runOutcome, RunOutcome::kNoReply);
}

TEST(Engine, StopEndsTheTestsInFlightAndEveryRunStillFinishes)
{
    FakeGateway slow("gwm0101\n");
    const Answer hang{.delayMs = 20000, .payload = Bytes{0}};
    slow.set(0x0101, {hang});
    FakeGateway asking("gwm0101\n");
    RunOptions o = quickOptions();
    o.op = OperatorMode::kAsk;
    o.only = codes({"wan", "led-power", "led-error"});
    Harness h(o); // never answers: the second gateway waits for the person
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        h.engine.stop();
    });
    const auto t0 = Clock::now();
    const auto summary = h.engine.run({slow.target(), asking.target()});
    stopper.join();
    EXPECT_LT(msSince(t0), 3000);
    EXPECT_TRUE(summary.stopped);
    EXPECT_GE(summary.exitStatus, 1);

    auto first = h.rec.results(0);
    EXPECT_EQ(first["wan"].outcome, Outcome::kNotRun);
    EXPECT_EQ(first["wan"].message, "stopped while the test ran");
    EXPECT_EQ(first["led-power"].outcome, Outcome::kNotRun);
    auto second = h.rec.results(1);
    EXPECT_EQ(second["wan"].outcome, Outcome::kPass);
    EXPECT_EQ(second["led-power"].outcome, Outcome::kNotRun);
    EXPECT_EQ(second["led-error"].outcome, Outcome::kNotRun);
    for (int slot = 0; slot < 2; ++slot) {
        EXPECT_EQ(h.rec.results(slot).size(), Engine::planOf(catalogue::kGwm0101).size());
        const auto end = h.rec.of(EventKind::kRunFinished, slot);
        ASSERT_EQ(end.size(), 1U);
        EXPECT_EQ(end[0].runOutcome, RunOutcome::kStopped);
    }
    EXPECT_EQ(h.rec.of(EventKind::kBatchFinished).size(), 1U);
}

TEST(Engine, StopEndsAConnectThatHangs)
{
    // A listener that accepts nothing and whose backlog is full: a new
    // connect hangs (its SYN is dropped) until its time-out.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    listen(listener, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        connect(fillers.back(), reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    RunOptions o = quickOptions();
    o.model = "GWM0101";
    o.connectTimeoutMs = 20000;
    Harness h(o);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        h.engine.stop();
    });
    const auto t0 = Clock::now();
    const auto summary = h.engine.run({Target{"127.0.0.1", ntohs(addr.sin_port), ""}});
    stopper.join();
    EXPECT_LT(msSince(t0), 3000);
    EXPECT_GE(summary.exitStatus, 1);
    const auto end = h.rec.of(EventKind::kRunFinished);
    ASSERT_EQ(end.size(), 1U);
    EXPECT_EQ(end[0].runOutcome, RunOutcome::kStopped);
    EXPECT_TRUE(h.rec.of(EventKind::kTestStarted).empty()); // it never got past the connect
    EXPECT_EQ(h.rec.results().size(), Engine::planOf(catalogue::kGwm0101).size());
    for (int fd : fillers) {
        close(fd);
    }
    close(listener);
}

TEST(Engine, BusyGatewayGetsANoticeAndIsStillTested)
{
    FakeGateway gw("gwm0101\n", 1200); // another station holds its one connection for a while
    RunOptions o = quickOptions();
    o.marginMs = 3000; // the model query may wait 4 s
    o.only = codes({"wan"});
    Harness h(o);
    EXPECT_EQ(h.engine.run({gw.target()}).exitStatus, 0);
    const auto notices = h.rec.of(EventKind::kNotice);
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_THAT(notices[0].message, ::testing::HasSubstr("may be busy with another station"));
    EXPECT_EQ(h.rec.results()["model"].outcome, Outcome::kPass);
}

TEST(Engine, PlansFollowTheCatalogue)
{
    for (const auto &m : catalogue::kModels) {
        const auto plan = Engine::planOf(m.model);
        ASSERT_FALSE(plan.empty()) << m.name;
        EXPECT_EQ(plan[0], 0x0005) << m.name;
        bool operatorSeen = false;
        for (uint16_t code : plan) {
            const catalogue::Test *row = catalogue::find(code, m.model);
            ASSERT_NE(row, nullptr) << m.name << " " << code;
            if (row->op != catalogue::Operator::kNone) {
                operatorSeen = true;
            } else {
                EXPECT_FALSE(operatorSeen) << m.name << ": " << row->name << " after an operator test";
            }
        }
        size_t rows = 0;
        for (const auto &t : catalogue::kTests) {
            rows += (t.models & m.model) != 0 ? 1 : 0;
        }
        EXPECT_EQ(plan.size(), rows) << m.name;
    }
    EXPECT_TRUE(Engine::planOf(0).empty());
}

TEST(Engine, OutputThatNobodyReadsHoldsUpNoGateway)
{
    // The progress goes to a pipe whose reader is away: once its smallest
    // buffer is full, a write would block. The plans run on regardless.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    FILE *out = fdopen(fds[1], "w");
    FakeGateway a("gwm0202\n");
    FakeGateway b("gwm0202\n");
    station::OperatorDesk desk;
    auto terminal = std::make_unique<station::TerminalSink>(out, station::TerminalStyle{});
    Engine engine(quickOptions(), desk);
    engine.subscribe(terminal.get());
    std::atomic<bool> finished{false};
    std::thread runner([&] {
        EXPECT_EQ(engine.run({a.target(), b.target()}).exitStatus, 0);
        finished = true;
    });
    const auto t0 = Clock::now();
    while (!finished && msSince(t0) < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(finished) << "the engine waited for the reader";
    EXPECT_EQ(a.requests().size(), Engine::planOf(catalogue::kGwm0202).size());
    // The reader comes back: everything is there.
    std::string text;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n = 0;
        while ((n = read(fds[0], buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<size_t>(n));
        }
    });
    runner.join();
    terminal.reset();
    std::fclose(out);
    reader.join();
    close(fds[0]);
    EXPECT_GT(text.size(), 4096U);
    EXPECT_THAT(text, ::testing::HasSubstr("finished: 2 of 2 gateways passed"));
}

TEST(ParseTarget, AddressesPrintBackAsTheyParse)
{
    station::GatewayInfo v6;
    v6.host = "::1";
    v6.port = 6666;
    EXPECT_EQ(v6.address(), "[::1]:6666");
    station::GatewayInfo v4;
    v4.host = "10.0.0.2";
    v4.port = 7000;
    v4.label = "A3";
    EXPECT_EQ(v4.address(), "10.0.0.2:7000");
    EXPECT_EQ(v4.display(), "A3 (10.0.0.2:7000)");
    v4.mac = "02:47:57:04:04:00";
    EXPECT_EQ(v4.display(), "A3 (10.0.0.2:7000, 02:47:57:04:04:00)");
    v4.label.clear();
    EXPECT_EQ(v4.display(), "10.0.0.2:7000 (02:47:57:04:04:00)");
}

TEST(Connection, ReachesAnIpv6Literal)
{
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        GTEST_FAIL() << "no IPv6 loopback here";
    }
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    listen(fd, 1);
    Target t;
    std::string error;
    ASSERT_TRUE(station::parseTarget("[::1]:" + std::to_string(ntohs(addr.sin6_port)), t, error)) << error;
    station::Connection conn;
    EXPECT_TRUE(conn.open(t.host, t.port, 2000, error)) << error;
    close(fd);
}

} // namespace

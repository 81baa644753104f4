// The station page's checks of what requests and the slots file say, and the
// slots as the page shows them, kept from the engine's events.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "front/web/hub.h"
#include "front/web/json.h"
#include "front/web/slots.h"

namespace {

using station::Event;
using station::EventKind;
using station::Outcome;
using station::RunOutcome;
using station::Target;
using station::web::Hub;
using station::web::SlotState;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

TEST(WebSlots, SlotsFileGivesEverySlotOrEveryErrorWithItsLine)
{
    const auto path = std::filesystem::temp_directory_path() / ("slots-" + std::to_string(getpid()));
    std::ofstream(path) << "# the station's gateways\n"
                           "10.213.0.2 A1\n"
                           "\n"
                           "10.213.1.2:6666   B 2  \n"
                           "[::1]:7000\n";
    std::vector<Target> slots;
    std::vector<std::string> errors;
    ASSERT_TRUE(station::web::readSlotsFile(path, slots, errors));
    ASSERT_EQ(slots.size(), 3U);
    EXPECT_EQ(slots[0].host, "10.213.0.2");
    EXPECT_EQ(slots[0].label, "A1");
    EXPECT_EQ(slots[1].port, 6666);
    EXPECT_EQ(slots[1].label, "B 2");
    EXPECT_EQ(slots[2].host, "::1");
    EXPECT_EQ(slots[2].label, "");

    std::ofstream(path) << "10.213.0.2:99999 A1\n10.213.0.3 ok\nbad/host A3\n";
    slots.clear();
    errors.clear();
    EXPECT_FALSE(station::web::readSlotsFile(path, slots, errors));
    ASSERT_EQ(errors.size(), 2U);
    EXPECT_THAT(errors[0], StartsWith(path.string() + ":1: bad port '99999'"));
    EXPECT_THAT(errors[1], StartsWith(path.string() + ":3: bad host 'bad/host'"));
    std::filesystem::remove(path);

    errors.clear();
    EXPECT_FALSE(station::web::readSlotsFile("/nonexistent/slots", slots, errors));
    EXPECT_THAT(errors, ElementsAre(HasSubstr("cannot read the slots file")));
}

TEST(WebSlots, SlotIdsAreDigitsBelowTheCount)
{
    // clang-format off
    const std::pair<const char *, std::optional<int>> cases[] = {
        {"0", 0}, {"2", 2}, {"007", 7}, {"8", std::nullopt}, {"-1", std::nullopt}, {"", std::nullopt},
        {"1x", std::nullopt}, {"+1", std::nullopt}, {"99999999999", std::nullopt}, {"..", std::nullopt},
    };
    // clang-format on
    for (const auto &[text, id] : cases) {
        EXPECT_EQ(station::web::parseSlotId(text, 8), id) << text; // slots 0..7
    }
}

TEST(WebSlots, RecordNamesCannotLeaveTheirDirectory)
{
    // clang-format off
    const std::pair<const char *, bool> cases[] = {
        {"station-20261210T113000Z.xml", true},
        {"a_b-c.1.xml",                  true},
        {"station-20261210T113000Z~2.xml", true}, // a second batch of one name
        {"../records.db.xml",            false},
        {"..xml",                        false},
        {".hidden.xml",                  false},
        {"sub/x.xml",                    false},
        {"x.xml/",                       false},
        {"x.json",                       false},
        {".xml",                         false},
        {"x%2f.xml",                     false},
        {"x\\y.xml",                     false},
    };
    // clang-format on
    for (const auto &[name, ok] : cases) {
        EXPECT_EQ(station::web::safeRecordName(name, ".xml"), ok) << name;
    }
    EXPECT_FALSE(station::web::safeRecordName(std::string(125, 'a') + ".xml", ".xml"));
}

// --- the slots kept from events --------------------------------------------

Event event(EventKind kind, int slot)
{
    Event e;
    e.kind = kind;
    e.gateway.slot = slot;
    e.unixMs = station::unixMsNow();
    e.runId = "st-20261210T113000Z-0";
    e.batchId = "st-20261210T113000Z";
    return e;
}

Event test(EventKind kind, int slot, uint16_t code, const char *name, Outcome outcome = Outcome::kPass, int attempt = 1)
{
    Event e = event(kind, slot);
    e.code = code;
    e.name = name;
    e.title = std::string("the ") + name + " test";
    e.expectedMs = 2000;
    e.outcome = outcome;
    e.attempt = attempt;
    return e;
}

class WebHub : public ::testing::Test {
protected:
    WebHub()
    {
        hub.addSlot(Target{"10.213.0.2", 6666, "A1"});
        hub.addSlot(Target{"10.213.1.2", 6666, "B1"});
    }
    station::web::Slot slot(int id) { return *hub.slot(id); }
    Hub hub;
};

TEST_F(WebHub, ARunGoesFromIdleThroughItsTestsToPass)
{
    EXPECT_EQ(slot(0).state, SlotState::kIdle);
    hub.onEvent(event(EventKind::kRunStarted, 0));
    EXPECT_EQ(slot(0).state, SlotState::kRunning);
    Event plan = event(EventKind::kPlanKnown, 0);
    plan.total = 2;
    plan.plan = {0x0001, 0x0701};
    plan.gateway.model = "GWM0202";
    hub.onEvent(plan);
    Event started = test(EventKind::kTestStarted, 0, 0x0001, "mac");
    hub.onEvent(started);
    EXPECT_TRUE(slot(0).inTest);
    EXPECT_EQ(slot(0).testName, "mac");
    EXPECT_EQ(slot(0).expectedMs, 2000);
    Event finished = test(EventKind::kTestFinished, 0, 0x0001, "mac");
    finished.gateway.mac = "02:47:57:02:00:00";
    hub.onEvent(finished);
    EXPECT_FALSE(slot(0).inTest);
    EXPECT_EQ(slot(0).done(), 1);
    EXPECT_EQ(slot(0).total, 2);
    EXPECT_EQ(slot(0).model, "GWM0202");
    EXPECT_EQ(slot(0).mac, "02:47:57:02:00:00");
    Event end = event(EventKind::kRunFinished, 0);
    end.runOutcome = RunOutcome::kPass;
    hub.onEvent(end);
    EXPECT_EQ(slot(0).state, SlotState::kPass);
    EXPECT_EQ(slot(0).outcome, "pass");
    EXPECT_EQ(slot(1).state, SlotState::kIdle); // the other slot saw nothing
}

TEST_F(WebHub, FailuresNameTheirTestsAndARetryThatPassesIsNoFailure)
{
    hub.onEvent(event(EventKind::kRunStarted, 1));
    hub.onEvent(test(EventKind::kTestFinished, 1, 0x0103, "ping-host", Outcome::kFail, 1));
    EXPECT_THAT(slot(1).failedTests(), ElementsAre("ping-host"));
    hub.onEvent(test(EventKind::kTestFinished, 1, 0x0103, "ping-host", Outcome::kPass, 2));
    EXPECT_THAT(slot(1).failedTests(), IsEmpty());
    hub.onEvent(test(EventKind::kTestFinished, 1, 0x0701, "led-power", Outcome::kFail));
    hub.onEvent(test(EventKind::kTestFinished, 1, 0x0102, "ping-gw", Outcome::kNoReply));
    hub.onEvent(test(EventKind::kTestFinished, 1, 0x0705, "led-error", Outcome::kNotRun));
    EXPECT_THAT(slot(1).failedTests(), ElementsAre("ping-gw", "led-power"));
    EXPECT_EQ(slot(1).done(), 3); // a test that never ran is not done
    Event plan = event(EventKind::kPlanKnown, 1);
    plan.total = 6;
    hub.onEvent(plan);
    hub.onEvent(test(EventKind::kTestFinished, 1, 0x0203, "smartconfig", Outcome::kSkipped));
    EXPECT_EQ(slot(1).planned(), 5); // a test left out is not part of the plan shown
    Event end = event(EventKind::kRunFinished, 1);
    end.runOutcome = RunOutcome::kFail;
    hub.onEvent(end);
    EXPECT_EQ(slot(1).state, SlotState::kFail);
    // The next run starts clean.
    hub.onEvent(event(EventKind::kRunStarted, 1));
    EXPECT_THAT(slot(1).failedTests(), IsEmpty());
    EXPECT_EQ(slot(1).state, SlotState::kRunning);
}

TEST_F(WebHub, AMarginalPassIsNamedOnItsCardUntilARetryLeavesTheBand)
{
    hub.onEvent(event(EventKind::kRunStarted, 0));
    Event slow = test(EventKind::kTestFinished, 0, 0x0103, "ping-host");
    slow.marginal = true;
    slow.limit = "ping-host took 3.312 s, want <= 3.5 s, marginal past 3.2 s";
    hub.onEvent(slow);
    EXPECT_THAT(slot(0).marginalTests(), ElementsAre("ping-host"));
    EXPECT_THAT(slot(0).failedTests(), IsEmpty());
    EXPECT_THAT(station::web::slotJson(slot(0), 0), ::testing::ContainsRegex(R"("marginal": ?\[ ?"ping-host" ?\])"));
    hub.onEvent(test(EventKind::kTestFinished, 0, 0x0103, "ping-host", Outcome::kPass, 2));
    EXPECT_THAT(slot(0).marginalTests(), IsEmpty());
    hub.onEvent(slow);
    hub.onEvent(event(EventKind::kRunStarted, 0)); // the next run starts clean
    EXPECT_THAT(slot(0).marginalTests(), IsEmpty());
}

TEST_F(WebHub, RunOutcomesShowAsTheFiveStates)
{
    // clang-format off
    const std::pair<RunOutcome, SlotState> cases[] = {
        {RunOutcome::kPass,           SlotState::kPass},
        {RunOutcome::kFail,           SlotState::kFail},
        {RunOutcome::kNoReply,        SlotState::kFail},
        {RunOutcome::kModelMismatch,  SlotState::kFail},
        {RunOutcome::kConnectionLost, SlotState::kUnreachable},
        {RunOutcome::kUnreachable,    SlotState::kUnreachable},
        {RunOutcome::kStopped,        SlotState::kIdle},
    };
    // clang-format on
    for (const auto &[outcome, state] : cases) {
        hub.onEvent(event(EventKind::kRunStarted, 0));
        Event end = event(EventKind::kRunFinished, 0);
        end.runOutcome = outcome;
        end.message = "why";
        hub.onEvent(end);
        EXPECT_EQ(slot(0).state, state) << static_cast<int>(outcome);
        EXPECT_EQ(slot(0).message, "why");
    }
}

TEST_F(WebHub, ALostConnectionShowsUnreachableUntilTheNextTestStarts)
{
    hub.onEvent(event(EventKind::kRunStarted, 0));
    hub.onEvent(test(EventKind::kTestStarted, 0, 0x0603, "button"));
    Event lost = event(EventKind::kConnectionLost, 0);
    lost.message = "connection reset by the gateway";
    hub.onEvent(lost);
    EXPECT_EQ(slot(0).state, SlotState::kUnreachable);
    EXPECT_FALSE(slot(0).inTest);
    EXPECT_EQ(slot(0).message, "connection reset by the gateway");
    hub.onEvent(test(EventKind::kTestStarted, 0, 0x0701, "led-power"));
    EXPECT_EQ(slot(0).state, SlotState::kRunning);
    EXPECT_EQ(slot(0).message, "");
}

TEST_F(WebHub, PromptsShowOnTheirCardUntilAnsweredOrTheirTestEnds)
{
    hub.onEvent(event(EventKind::kRunStarted, 0));
    Event ask = event(EventKind::kPromptNeeded, 0);
    ask.promptId = 7;
    ask.prompt = catalogue::Operator::kLedLit;
    ask.question = "did the power LED of A1 light for two seconds?";
    hub.onEvent(ask);
    ASSERT_TRUE(slot(0).prompt);
    EXPECT_EQ(slot(0).prompt->id, 7U);
    EXPECT_FALSE(slot(1).prompt);
    Event other = event(EventKind::kPromptAnswered, 0);
    other.promptId = 6; // another prompt's answer leaves this one open
    hub.onEvent(other);
    EXPECT_TRUE(slot(0).prompt);
    Event answered = event(EventKind::kPromptAnswered, 0);
    answered.promptId = 7;
    hub.onEvent(answered);
    EXPECT_FALSE(slot(0).prompt);

    // The button's prompt has no answer: it goes when its test ends.
    Event press = event(EventKind::kPromptNeeded, 0);
    press.promptId = 8;
    press.prompt = catalogue::Operator::kPressButton;
    press.countdownMs = 10000;
    hub.onEvent(press);
    const std::string json = station::web::slotJson(slot(0), station::unixMsNow());
    EXPECT_THAT(json, HasSubstr("\"kind\":\"press-button\""));
    EXPECT_THAT(json, HasSubstr("\"countdownMs\":10000"));
    EXPECT_THAT(json, HasSubstr("\"id\":\"8\""));
    hub.onEvent(test(EventKind::kTestFinished, 0, 0x0603, "button"));
    EXPECT_FALSE(slot(0).prompt);
}

// One question about the gateways of slots 0 and 1 together.
Event gangEvent(EventKind kind, uint64_t promptId, catalogue::Operator op)
{
    Event e = event(kind, 0);
    e.promptId = promptId;
    e.gang = "st-20261210T113000Z-g" + std::to_string(promptId);
    e.prompt = op;
    e.code = op == catalogue::Operator::kPressButton ? 0x0603 : 0x0701;
    e.name = op == catalogue::Operator::kPressButton ? "button" : "led-power";
    e.question = op == catalogue::Operator::kPressButton
                     ? "press the buttons of A1 B1"
                     : "did the power LED light for two seconds on A1 B1? [y = all lit, or type the labels that "
                       "stayed dark]";
    e.countdownMs = op == catalogue::Operator::kPressButton ? 10000 : 0;
    e.members.resize(2);
    e.members[0].slot = 0;
    e.members[0].host = "10.213.0.2";
    e.members[0].label = "A1";
    e.members[0].mac = "02:47:57:01:01:00";
    e.members[1].slot = 1;
    e.members[1].host = "10.213.1.2";
    e.members[1].label = "B1";
    e.gateway = e.members[0];
    return e;
}

// Who signed in is said to every open page at once, and a page opened
// later finds it in its snapshot.
TEST_F(WebHub, ASignInIsToldToEveryPage)
{
    auto open = hub.openStream();
    std::string out;
    ASSERT_TRUE(open->take(out, 0));
    EXPECT_THAT(out, HasSubstr(",\"operator\":\"\"}"));
    hub.signIn("Zo\xc3\xab K.");
    out.clear();
    ASSERT_TRUE(open->take(out, 1000));
    EXPECT_EQ(out, "event: operator\ndata: {\"operator\":\"Zo\xc3\xab K.\"}\n\n");
    auto later = hub.openStream();
    out.clear();
    ASSERT_TRUE(later->take(out, 0));
    EXPECT_THAT(out, HasSubstr(",\"operator\":\"Zo\xc3\xab K.\"}"));
    hub.closeStream(open);
    hub.closeStream(later);
}

TEST_F(WebHub, AGangsQuestionIsOneObjectUntilAnsweredAndEveryMemberShowsIt)
{
    hub.onEvent(event(EventKind::kRunStarted, 0));
    hub.onEvent(event(EventKind::kRunStarted, 1));
    auto stream = hub.openStream();
    std::string out;
    ASSERT_TRUE(stream->take(out, 0));
    EXPECT_THAT(out, HasSubstr("],\"gangs\":[],")); // the snapshot has none open

    hub.onEvent(gangEvent(EventKind::kPromptNeeded, 42, catalogue::Operator::kLedLit));
    ASSERT_EQ(hub.gangs().size(), 1U);
    const auto gang = hub.gang(42);
    ASSERT_TRUE(gang);
    EXPECT_EQ(gang->gang, "st-20261210T113000Z-g42");
    ASSERT_EQ(gang->members.size(), 2U);
    EXPECT_EQ(gang->members[1].slot, 1);
    EXPECT_EQ(gang->members[1].address, "10.213.1.2:6666");
    EXPECT_FALSE(hub.gang(41));
    // Each member's card shows that it is in the question, and how many are.
    for (int id : {0, 1}) {
        ASSERT_TRUE(slot(id).prompt) << id;
        EXPECT_EQ(slot(id).prompt->id, 42U);
        EXPECT_EQ(slot(id).prompt->gang, "st-20261210T113000Z-g42");
        EXPECT_EQ(slot(id).prompt->members, 2);
    }
    EXPECT_THAT(station::web::slotJson(slot(1), station::unixMsNow()),
                HasSubstr(R"("gang":"st-20261210T113000Z-g42","members":2})"));
    ASSERT_TRUE(stream->take(out, 0));
    EXPECT_THAT(out, HasSubstr("event: slot\ndata: {\"id\":1,")); // the other member's card too
    EXPECT_THAT(out, HasSubstr("event: gangs\ndata: [{\"id\":\"42\",\"gang\":\"st-20261210T113000Z-g42\","
                               "\"kind\":\"led-lit\",\"code\":1793,\"name\":\"led-power\","));
    EXPECT_THAT(out, HasSubstr(R"("members":[{"slot":0,"label":"A1","address":"10.213.0.2:6666",)"
                               R"("mac":"02:47:57:01:01:00","replied":false,"pressed":false,"ended":false},)"
                               R"({"slot":1,"label":"B1")"));
    // A page that opens now gets it in its snapshot.
    auto late = hub.openStream();
    ASSERT_TRUE(late->take(out, 0));
    EXPECT_THAT(out, HasSubstr(",\"gangs\":[{\"id\":\"42\","));

    Event answered = gangEvent(EventKind::kPromptAnswered, 42, catalogue::Operator::kLedLit);
    answered.noSlots = {1};
    hub.onEvent(answered);
    EXPECT_TRUE(hub.gangs().empty());
    EXPECT_FALSE(slot(0).prompt);
    EXPECT_FALSE(slot(1).prompt);
    ASSERT_TRUE(stream->take(out, 0));
    EXPECT_THAT(out, HasSubstr("event: gangs\ndata: []\n\n"));
    hub.closeStream(stream);
    hub.closeStream(late);
}

TEST_F(WebHub, AButtonGangMarksEachPressAsItsReplyComes)
{
    hub.onEvent(event(EventKind::kRunStarted, 0));
    hub.onEvent(event(EventKind::kRunStarted, 1));
    const std::string gangId = "st-20261210T113000Z-g8";
    for (int id : {0, 1}) {
        Event started = test(EventKind::kTestStarted, id, 0x0603, "button");
        started.gang = gangId;
        hub.onEvent(started);
    }
    hub.onEvent(gangEvent(EventKind::kPromptNeeded, 8, catalogue::Operator::kPressButton));
    // A request that goes out after the question leaves it on the card.
    Event again = test(EventKind::kTestStarted, 1, 0x0603, "button");
    again.gang = gangId;
    hub.onEvent(again);
    ASSERT_TRUE(slot(1).prompt);

    Event pressed = test(EventKind::kTestFinished, 1, 0x0603, "button");
    pressed.gang = gangId;
    hub.onEvent(pressed);
    auto gang = hub.gang(8);
    ASSERT_TRUE(gang);
    EXPECT_FALSE(gang->members[0].replied);
    EXPECT_TRUE(gang->members[1].replied);
    EXPECT_TRUE(gang->members[1].pressed);
    EXPECT_FALSE(slot(1).prompt); // done: its card no longer waits
    EXPECT_TRUE(slot(0).prompt);
    EXPECT_THAT(hub.gangsJson(station::unixMsNow()), HasSubstr(R"("countdownMs":10000,)"));

    Event missed = test(EventKind::kTestFinished, 0, 0x0603, "button", Outcome::kFail);
    missed.gang = gangId;
    hub.onEvent(missed);
    gang = hub.gang(8);
    ASSERT_TRUE(gang);
    EXPECT_TRUE(gang->members[0].replied);
    EXPECT_FALSE(gang->members[0].pressed);
    // A reply of another gang's step changes nothing.
    Event other = test(EventKind::kTestFinished, 0, 0x0603, "button");
    other.gang = "st-20261210T113000Z-g9";
    hub.onEvent(other);
    EXPECT_FALSE(hub.gang(8)->members[0].pressed);

    hub.onEvent(gangEvent(EventKind::kPromptAnswered, 8, catalogue::Operator::kPressButton));
    EXPECT_FALSE(hub.gang(8));
}

TEST_F(WebHub, AGangsQuestionLeftOpenByAStopGoesWhenNoneOfItsGatewaysRuns)
{
    std::string error;
    ASSERT_TRUE(hub.reserve({0, 1}, error));
    hub.onEvent(gangEvent(EventKind::kPromptNeeded, 5, catalogue::Operator::kAllBlinking));
    // One member's run ends (its connection gone for good): the question
    // stays for the other.
    Event end = event(EventKind::kRunFinished, 0);
    end.runOutcome = RunOutcome::kConnectionLost;
    hub.onEvent(end);
    auto gang = hub.gang(5);
    ASSERT_TRUE(gang);
    EXPECT_TRUE(gang->members[0].ended);
    EXPECT_FALSE(gang->members[1].ended);
    // Stopped: the runner releases the rest, and the question goes.
    hub.release({1}, "stopped");
    EXPECT_FALSE(hub.gang(5));
    EXPECT_FALSE(slot(1).prompt);
}

TEST_F(WebHub, EventsOfUnknownSlotsAreIgnored)
{
    hub.onEvent(event(EventKind::kRunStarted, 2));
    hub.onEvent(event(EventKind::kRunStarted, -1));
    EXPECT_EQ(slot(0).state, SlotState::kIdle);
    EXPECT_EQ(slot(1).state, SlotState::kIdle);
}

TEST_F(WebHub, ASlotRunsOnceAtATime)
{
    std::string error;
    ASSERT_TRUE(hub.reserve({0}, error));
    EXPECT_EQ(slot(0).state, SlotState::kRunning);
    EXPECT_FALSE(hub.reserve({1, 0}, error));
    EXPECT_THAT(error, HasSubstr("slot 0 is running"));
    EXPECT_EQ(slot(1).state, SlotState::kIdle); // nothing of a refused start is kept
    EXPECT_FALSE(hub.reserve({5}, error));
    EXPECT_FALSE(hub.reserve({}, error));
    EXPECT_THAT(hub.idleSlots(), ElementsAre(1));
    // A run that ended without its final event does not leave the slot stuck.
    hub.release({0}, "the run ended");
    EXPECT_EQ(slot(0).state, SlotState::kIdle);
    EXPECT_EQ(slot(0).message, "the run ended");
    // A slot that finished properly keeps its outcome.
    ASSERT_TRUE(hub.reserve({0}, error));
    Event end = event(EventKind::kRunFinished, 0);
    end.runOutcome = RunOutcome::kFail;
    hub.onEvent(end);
    hub.release({0}, "the run ended");
    EXPECT_EQ(slot(0).state, SlotState::kFail);
}

TEST_F(WebHub, AStreamStartsWithASnapshotThenGetsEachChange)
{
    auto stream = hub.openStream();
    ASSERT_TRUE(stream);
    std::string out;
    ASSERT_TRUE(stream->take(out, 0));
    EXPECT_THAT(out, StartsWith("event: snapshot\ndata: {\"tokenRequired\":false,\"slots\":[{\"id\":0,"));
    EXPECT_THAT(out, HasSubstr("\"label\":\"B1\""));
    ASSERT_TRUE(stream->take(out, 0));
    EXPECT_EQ(out, ""); // nothing new
    hub.onEvent(event(EventKind::kRunStarted, 1));
    ASSERT_TRUE(stream->take(out, 0));
    EXPECT_THAT(out, StartsWith("event: slot\ndata: {\"id\":1,"));
    EXPECT_THAT(out, HasSubstr("\"state\":\"running\""));
    EXPECT_THAT(out, testing::EndsWith("\n\n"));
    hub.closeStream(stream);
    EXPECT_EQ(hub.streamCount(), 0U);
}

TEST_F(WebHub, AWaitingStreamWakesOnAnEvent)
{
    auto stream = hub.openStream();
    std::string out;
    stream->take(out, 0);
    std::thread engine([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        hub.onEvent(event(EventKind::kRunStarted, 0));
    });
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(stream->take(out, 10000));
    engine.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    EXPECT_THAT(out, HasSubstr("\"state\":\"running\""));
    hub.close();
    EXPECT_FALSE(stream->take(out, 10000)); // closing ends the stream at once
}

TEST_F(WebHub, APageThatReadsNothingNeverHoldsTheEngineUp)
{
    auto stream = hub.openStream(); // never read
    const auto t0 = std::chrono::steady_clock::now();
    for (size_t i = 0; i < Hub::kMaxQueued * 3; ++i) {
        hub.onEvent(test(EventKind::kTestStarted, 0, 0x0001, "mac"));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    std::string out;
    EXPECT_FALSE(stream->take(out, 0)); // it lost its stream; its browser reconnects
    hub.closeStream(stream);
    EXPECT_TRUE(hub.openStream()); // and gets a new one
}

TEST_F(WebHub, StreamsAreLimited)
{
    std::vector<std::shared_ptr<Hub::Stream>> open;
    for (size_t i = 0; i < Hub::kMaxStreams; ++i) {
        open.push_back(hub.openStream());
        ASSERT_TRUE(open.back());
    }
    EXPECT_FALSE(hub.openStream());
    hub.closeStream(open.back());
    EXPECT_TRUE(hub.openStream());
}

} // namespace

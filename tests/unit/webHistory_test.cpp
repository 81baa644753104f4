// The page's history view from records written by the station's records
// sink: figures, latest runs with their record files, one unit's runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "front/web/hub.h"
#include "front/web/json.h"
#include "front/web/recordsHistory.h"
#include "records/records.h"

namespace {

using station::Event;
using station::EventKind;
using station::Outcome;
using station::RunOutcome;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

// One gateway's run of two tests, the LED answered as given.
void run(station::EventSink &sink, const std::string &batch, int slot, const std::string &mac, bool ledYes)
{
    const int64_t now = station::unixMsNow();
    auto event = [&](EventKind kind) {
        Event e;
        e.kind = kind;
        e.station = "web";
        e.batchId = batch;
        e.runId = batch + "-" + std::to_string(slot);
        e.gateway.slot = slot;
        e.gateway.host = "10.213." + std::to_string(slot) + ".2";
        e.gateway.label = slot == 0 ? "A1" : "B1";
        e.gateway.model = "GWM0202";
        e.gateway.mac = mac;
        e.unixMs = now;
        return e;
    };
    Event batchStarted = event(EventKind::kBatchStarted);
    batchStarted.total = 1;
    sink.onEvent(batchStarted);
    sink.onEvent(event(EventKind::kRunStarted));
    Event plan = event(EventKind::kPlanKnown);
    plan.total = 2;
    plan.plan = {0x0001, 0x0701};
    sink.onEvent(plan);
    const std::pair<uint16_t, const char *> tests[] = {{0x0001, "mac"}, {0x0701, "led-power"}};
    int index = 0;
    for (const auto &[code, name] : tests) {
        Event started = event(EventKind::kTestStarted);
        started.code = code;
        started.name = name;
        started.index = index++;
        started.total = 2;
        started.expectedMs = 1000;
        sink.onEvent(started);
        Event finished = started;
        finished.kind = EventKind::kTestFinished;
        finished.durationMs = code == 0x0001 ? 10 : 2000;
        finished.outcome = code == 0x0701 && !ledYes ? Outcome::kFail : Outcome::kPass;
        if (code == 0x0701) {
            finished.answer = station::OperatorAnswer{ledYes ? "yes" : "no", 1500};
        }
        sink.onEvent(finished);
    }
    Event end = event(EventKind::kRunFinished);
    end.runOutcome = ledYes ? RunOutcome::kPass : RunOutcome::kFail;
    sink.onEvent(end);
    sink.onEvent(event(EventKind::kBatchFinished));
}

class WebHistory : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("web-history-" + std::to_string(getpid()));
        fs::remove_all(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(WebHistory, NoRecordsYetGiveEmptyFigures)
{
    station::web::RecordsHistory history(dir);
    std::string json;
    std::string error;
    ASSERT_TRUE(history.summary("", json, error)) << error;
    EXPECT_THAT(json, HasSubstr("\"units\":0"));
    EXPECT_THAT(json, HasSubstr("\"firstPassYield\":null"));
    ASSERT_TRUE(history.unit("02:47:57:02:00:00", json, error)) << error;
    EXPECT_THAT(json, HasSubstr("\"runs\":[]"));
}

TEST_F(WebHistory, FiguresAndRunsComeFromTheRecords)
{
    std::string error;
    {
        auto sink = station::openRecords(dir, error);
        ASSERT_TRUE(sink) << error;
        run(*sink, "web-20261210T080000Z", 0, "02:47:57:02:00:00", false);
        run(*sink, "web-20261210T080001Z", 1, "02:47:57:02:00:01", true);
    }
    station::web::RecordsHistory history(dir);
    std::string json;
    ASSERT_TRUE(history.summary("2026-01-01", json, error)) << error;
    const station::web::Json root = station::web::parseObject(json);
    ASSERT_TRUE(root) << json;
    EXPECT_EQ(json_integer_value(json_object_get(root.get(), "units")), 2) << json;
    EXPECT_DOUBLE_EQ(json_real_value(json_object_get(root.get(), "firstPassYield")), 0.5) << json;
    EXPECT_THAT(json,
                HasSubstr("\"name\":\"led-power\",\"title\":\"power LED\",\"runs\":2,\"passed\":1,\"failures\":1"));
    EXPECT_THAT(json, HasSubstr("\"junit\":\"web-20261210T080000Z.xml\""));
    const json_t *failing = json_object_get(root.get(), "failing");
    ASSERT_EQ(json_array_size(failing), 1U) << json;
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(failing, 0), "name")), "led-power");
    EXPECT_EQ(json_array_size(json_object_get(root.get(), "latest")), 2U);

    ASSERT_TRUE(history.unit("02:47:57:02:00:00", json, error)) << error;
    EXPECT_THAT(json, HasSubstr("\"runId\":\"web-20261210T080000Z-0\""));
    EXPECT_THAT(json, HasSubstr("\"name\":\"led-power\",\"attempt\":1,\"outcome\":\"fail\""));
    EXPECT_THAT(json, HasSubstr("\"answer\":\"no\",\"answerMs\":1500"));
    EXPECT_THAT(json, testing::Not(HasSubstr("02:47:57:02:00:01")));
}

} // namespace

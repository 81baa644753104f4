// The page's history view from records written by the station's records
// sink: figures, latest runs with their record files, one unit's runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <thread>
#include <tuple>

#include "front/web/hub.h"
#include "front/web/json.h"
#include "front/web/recordsHistory.h"
#include "front/web/server.h"
#include "records/records.h"

namespace {

using station::Event;
using station::EventKind;
using station::Outcome;
using station::RunOutcome;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

// One gateway's run of two tests, the LED answered as given; its batch
// ends with it unless `endBatch` is false.
void run(station::EventSink &sink, const std::string &batch, int slot, const std::string &mac, bool ledYes,
         bool endBatch = true)
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
    if (endBatch) {
        sink.onEvent(event(EventKind::kBatchFinished));
    }
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
    EXPECT_THAT(json, HasSubstr("\"first_pass_yield\":null"));
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
    EXPECT_DOUBLE_EQ(json_real_value(json_object_get(root.get(), "first_pass_yield")), 0.5) << json;
    EXPECT_THAT(json, HasSubstr("\"name\":\"led-power\",\"attempts\":2,\"passed\":1,\"failed\":1,"));
    EXPECT_THAT(json, HasSubstr("\"title\":\"power LED\""));
    EXPECT_THAT(json, HasSubstr("\"junit\":\"web-20261210T080000Z.xml\""));
    const json_t *failing = json_object_get(root.get(), "most_failing");
    ASSERT_EQ(json_array_size(failing), 1U) << json;
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(failing, 0), "name")), "led-power");
    EXPECT_EQ(json_array_size(json_object_get(root.get(), "latest")), 2U);

    ASSERT_TRUE(history.unit("02:47:57:02:00:00", json, error)) << error;
    EXPECT_THAT(json, HasSubstr("\"id\":\"web-20261210T080000Z-0\""));
    EXPECT_THAT(json, HasSubstr("\"name\":\"led-power\",\"attempt\":1,\"outcome\":\"fail\""));
    EXPECT_THAT(json, HasSubstr("\"operator_answer\":\"no\",\"operator_ms\":1500"));
    EXPECT_THAT(json, testing::Not(HasSubstr("02:47:57:02:00:01")));
}

class NoRunner : public station::web::Runner {
public:
    bool start(const std::vector<std::pair<int, station::Target>> &, std::string &error) override
    {
        error = "not in this test";
        return false;
    }
    void stop() override {}
    bool answer(uint64_t, bool) override { return false; }
    bool answer(uint64_t, const std::vector<int> &) override { return false; }
};

// What the page does with the history: every record link of the latest runs
// fetched from the station's own server, where each must answer and hold
// that run. Three stations of one id share the records and start a batch in
// the same second: the records keep the runs as <id>, <id>~2 and <id>~3,
// and the JUnit files as <batch>.xml and <batch>~2.xml; the third batch has
// not ended, so its file is not there yet. A fourth run found its gateway
// unreachable and has no results: no JSON record to link.
TEST_F(WebHistory, EveryRecordLinkOfTheHistoryAnswersWithItsOwnRun)
{
    const std::string batch = "web-20261210T080000Z";
    const std::string later = "web-20261210T080001Z";
    const char *macs[] = {"02:47:57:02:00:00", "02:47:57:02:00:01", "02:47:57:02:00:02"};
    std::string error;
    auto first = station::openRecords(dir, error);
    ASSERT_TRUE(first) << error;
    auto second = station::openRecords(dir, error);
    ASSERT_TRUE(second) << error;
    auto third = station::openRecords(dir, error);
    ASSERT_TRUE(third) << error;
    // One after another, as three stations whose runs got the same id:
    // each written (and its run id settled) before the next.
    run(*first, batch, 0, macs[0], false);
    first->flush();
    run(*second, batch, 0, macs[1], true);
    second->flush();
    run(*third, batch, 0, macs[2], true, false);
    third->flush();
    for (EventKind kind :
         {EventKind::kBatchStarted, EventKind::kRunStarted, EventKind::kRunFinished, EventKind::kBatchFinished}) {
        Event e;
        e.kind = kind;
        e.station = "web";
        e.batchId = later;
        e.runId = later + "-1";
        e.gateway.slot = 1;
        e.gateway.host = "10.213.1.2";
        e.gateway.port = 6666;
        e.unixMs = station::unixMsNow();
        e.runOutcome = RunOutcome::kUnreachable;
        first->onEvent(e);
    }
    first->flush();

    station::web::RecordsHistory history(dir);
    station::web::Hub hub;
    NoRunner runner;
    station::web::Server server(station::web::ServerConfig{"", dir.string()}, hub, runner, &history);
    ASSERT_TRUE(server.bind("127.0.0.1:0", error)) << error;
    std::thread serving([&] { server.serve(); });
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(10, 0);

    // The links of each latest run: {run id, MAC, JUnit file, JSON record}.
    using Links = std::vector<std::tuple<std::string, std::string, std::string, std::string>>;
    auto links = [&] {
        Links out;
        auto res = client.Get("/api/history?since=2026-01-01");
        EXPECT_TRUE(res && res->status == 200);
        const station::web::Json root = station::web::parseObject(res ? res->body : "");
        const json_t *latest = json_object_get(root.get(), "latest");
        for (size_t i = 0; i < json_array_size(latest); ++i) {
            const json_t *r = json_array_get(latest, i);
            auto text = [r](const char *key) {
                const char *value = json_string_value(json_object_get(r, key));
                return std::string(value != nullptr ? value : "(none)");
            };
            out.emplace_back(text("id"), text("mac"), text("junit"), text("json"));
        }
        std::sort(out.begin(), out.end());
        return out;
    };
    auto check = [&](const std::string &runId, const std::string &mac, const std::string &junit,
                     const std::string &record) {
        SCOPED_TRACE(runId);
        if (!record.empty()) {
            auto res = client.Get("/records/runs/" + record);
            ASSERT_TRUE(res);
            ASSERT_EQ(res->status, 200) << record << ": " << res->body;
            const station::web::Json lines(json_loads(res->body.c_str(), 0, nullptr));
            ASSERT_EQ(json_array_size(lines.get()), 2U) << res->body;
            for (size_t i = 0; i < 2; ++i) {
                const json_t *line = json_array_get(lines.get(), i);
                EXPECT_STREQ(json_string_value(json_object_get(line, "run_id")), runId.c_str());
                EXPECT_STREQ(json_string_value(json_object_get(line, "mac")), mac.c_str());
            }
        }
        if (!junit.empty()) {
            auto res = client.Get("/records/junit/" + junit);
            ASSERT_TRUE(res);
            ASSERT_EQ(res->status, 200) << junit << ": " << res->body;
            EXPECT_THAT(res->body, HasSubstr("<property name=\"run\" value=\"" + runId + "\"/>"));
            EXPECT_THAT(res->body, HasSubstr("<property name=\"mac\" value=\"" + mac + "\"/>"));
        }
    };

    Links got = links();
    EXPECT_EQ(got, (Links{{batch + "-0", macs[0], batch + ".xml", batch + "-0.json"},
                          {batch + "-0~2", macs[1], batch + "~2.xml", batch + "-0~2.json"},
                          {batch + "-0~3", macs[2], "", batch + "-0~3.json"},
                          {later + "-1", "", later + ".xml", ""}}));
    for (const auto &[runId, mac, junit, record] : got) {
        check(runId, mac, junit, record);
    }

    // The third batch ends: its file is linked from then on.
    Event end;
    end.kind = EventKind::kBatchFinished;
    end.station = "web";
    end.batchId = batch;
    third->onEvent(end);
    third->flush();
    got = links();
    ASSERT_EQ(got.size(), 4U);
    EXPECT_EQ(std::get<2>(got[2]), batch + "~3.xml");
    for (const auto &[runId, mac, junit, record] : got) {
        check(runId, mac, junit, record);
    }

    server.stop();
    serving.join();
}

} // namespace

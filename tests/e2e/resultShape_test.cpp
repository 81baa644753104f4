// One run of a gwsim board read back through every output that shows its
// results: `gwtest run --json` as the tests finish, records.jsonl, `gwtest
// report --json --mac`, and the page's per-run record and unit history. Each
// gives a result in the same shape (the records' column names) with the same
// values, so a consumer can take any of them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>
#include <jansson.h>

#include <chrono>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "command.h"
#include "gwsimProcess.h"
#include "sandbox.h"
#include "serviceProcess.h"

namespace {

// The keys and values of a result, by "name/attempt".
using Result = std::map<std::string, std::string>;
using Results = std::map<std::string, Result>;

// The fields of a result in every output.
const std::set<std::string> kResultKeys = {
    "run_id",          "station",     "mac",       "code",  "name",     "attempt",
    "outcome",         "data_hex",    "data_text", "hint",  "started",  "duration_ms",
    "operator_answer", "operator_ms", "gang",      "limit", "marginal",
};

std::string text(const json_t *value)
{
    if (json_is_string(value)) {
        return json_string_value(value);
    }
    char *dumped = json_dumps(value, JSON_ENCODE_ANY);
    std::string out = dumped != nullptr ? dumped : "?";
    std::free(dumped);
    return out;
}

Result resultOf(const json_t *o)
{
    Result r;
    for (const std::string &key : kResultKeys) {
        const json_t *value = json_object_get(o, key.c_str());
        r[key] = value != nullptr ? text(value) : "(missing)";
    }
    return r;
}

// The fields of a run that trace it, wherever a run is shown.
const std::set<std::string> kTraceKeys = {"serial", "operator_id", "profile_hash", "profile_path", "station_version"};

std::map<std::string, std::string> traceOf(const json_t *run)
{
    std::map<std::string, std::string> out;
    for (const std::string &key : kTraceKeys) {
        const json_t *value = json_object_get(run, key.c_str());
        out[key] = value != nullptr ? text(value) : "(missing)";
    }
    return out;
}

std::string keyOf(const Result &r) { return r.at("name") + "/" + r.at("attempt"); }

json_t *parse(const std::string &textIn)
{
    json_error_t error;
    json_t *o = json_loads(textIn.c_str(), 0, &error);
    EXPECT_NE(o, nullptr) << "not JSON: " << textIn;
    return o;
}

template <typename Fn>
void eachLine(const std::string &textIn, Fn fn)
{
    std::istringstream in(textIn);
    for (std::string line; std::getline(in, line);) {
        if (json_t *o = parse(line)) {
            fn(o);
            json_decref(o);
        }
    }
}

Results fromArray(const json_t *array)
{
    Results out;
    for (size_t i = 0; i < json_array_size(array); ++i) {
        Result r = resultOf(json_array_get(array, i));
        out[keyOf(r)] = r;
    }
    return out;
}

class ResultShape : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::privateRunDir();
        dir_ = sandbox::scratchDir() + "/records";
    }
    std::string dir_;
};

TEST_F(ResultShape, OneRunReadsTheSameThroughEveryOutput)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0202", "dns = fail\n")) << sim.failure();
    const sandbox::CommandRun run =
        sandbox::runGwtest("run " + sim.address() + "=A1 --only mac,sysversion,ping-host,led-power --operator yes " +
                               "--records " + dir_ + " --station shape --operator-id op-17 --json",
                           sandbox::Stderr::kApart);
    ASSERT_EQ(run.status, 1) << run.out << run.err; // ping-host fails on purpose

    // gwtest run --json: the test-finished events.
    Results live;
    std::string runId;
    std::string mac;
    eachLine(run.out, [&](json_t *o) {
        if (text(json_object_get(o, "event")) == "test-finished") {
            Result r = resultOf(o);
            live[keyOf(r)] = r;
            runId = r["run_id"];
        }
    });
    ASSERT_GE(live.size(), 5U) << run.out; // the model query, then the four
    ASSERT_EQ(live.count("ping-host/1"), 1U) << run.out;
    EXPECT_EQ(live["ping-host/1"]["outcome"], "fail");
    EXPECT_EQ(live["led-power/1"]["operator_answer"], "auto-yes");
    mac = live["mac/1"]["data_text"];
    ASSERT_THAT(mac, testing::MatchesRegex("([0-9a-f]{2}:){5}[0-9a-f]{2}"));
    EXPECT_THAT(live["mac/1"]["data_hex"], testing::MatchesRegex("[0-9a-f]{12}")) << "hex without blanks";

    // records.jsonl.
    Results jsonl;
    eachLine(sandbox::readFile(dir_ + "/records.jsonl"), [&](json_t *o) {
        Result r = resultOf(o);
        jsonl[keyOf(r)] = r;
    });

    // gwtest report --json --mac.
    const sandbox::CommandRun report =
        sandbox::runGwtest("report --records " + dir_ + " --mac " + mac + " --json", sandbox::Stderr::kApart);
    ASSERT_EQ(report.status, 0) << report.out << report.err;
    json_t *history = parse(report.out);
    ASSERT_NE(history, nullptr);
    const json_t *runs = json_object_get(history, "runs");
    ASSERT_EQ(json_array_size(runs), 1U) << report.out;
    const Results reported = fromArray(json_object_get(json_array_get(runs, 0), "results"));
    const auto reportedTrace = traceOf(json_array_get(runs, 0));
    json_decref(history);
    // The run is traced to the person and the station's software; no
    // profile, no serial were given.
    EXPECT_EQ(reportedTrace.at("operator_id"), "op-17");
    EXPECT_NE(reportedTrace.at("station_version"), "");
    EXPECT_NE(reportedTrace.at("station_version"), "(missing)");
    EXPECT_EQ(reportedTrace.at("serial"), "");
    EXPECT_EQ(reportedTrace.at("profile_hash"), "");
    EXPECT_EQ(reportedTrace.at("profile_path"), "");

    // The page: the run's record and the unit's history.
    sandbox::ServiceProcess serve;
    ASSERT_TRUE(serve.start(GWTEST_BIN, {"serve", "--listen", "127.0.0.1:0", "--records", dir_}));
    std::smatch port;
    std::string said;
    const std::regex pattern(R"(the station page is at http://127\.0\.0\.1:(\d+)/)");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::regex_search(said, port, pattern) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        said = serve.out();
    }
    ASSERT_TRUE(std::regex_search(said, port, pattern)) << said;
    httplib::Client client("127.0.0.1", std::stoi(port[1]));
    auto record = client.Get("/records/runs/" + runId + ".json");
    ASSERT_TRUE(record && record->status == 200) << runId;
    json_t *lines = parse(record->body);
    ASSERT_NE(lines, nullptr);
    const Results page = fromArray(lines);
    json_decref(lines);
    auto unit = client.Get("/api/units/" + mac);
    ASSERT_TRUE(unit && unit->status == 200);
    json_t *unitJson = parse(unit->body);
    ASSERT_NE(unitJson, nullptr);
    const Results pageHistory =
        fromArray(json_object_get(json_array_get(json_object_get(unitJson, "runs"), 0), "results"));
    EXPECT_EQ(traceOf(json_array_get(json_object_get(unitJson, "runs"), 0)), reportedTrace);
    json_decref(unitJson);
    serve.stop();

    // Every output has every result, every field, the same values. Two
    // fields are as each output knew them when it wrote: the MAC of a test
    // that finished before the MAC was asked is filled in later by the
    // records.db (report, page history) only, and run --json dates a test
    // from its end less its duration where the records take its start.
    const std::vector<std::pair<const char *, const Results *>> outputs = {{"records.jsonl", &jsonl},
                                                                           {"report --json", &reported},
                                                                           {"page record", &page},
                                                                           {"page history", &pageHistory}};
    for (const auto &[name, results] : outputs) {
        SCOPED_TRACE(name);
        ASSERT_EQ(results->size(), live.size());
        for (const auto &[key, want] : live) {
            auto it = results->find(key);
            ASSERT_NE(it, results->end()) << key;
            for (const std::string &field : kResultKeys) {
                const std::string &got = it->second.at(field);
                EXPECT_NE(got, "(missing)") << key << " " << field;
                if (field == "started" || field == "mac") {
                    continue;
                }
                EXPECT_EQ(got, want.at(field)) << key << " " << field;
            }
        }
    }
    for (const auto &[key, r] : reported) {
        EXPECT_EQ(r.at("mac"), mac) << key;
        EXPECT_EQ(pageHistory.at(key).at("mac"), mac) << key;
        EXPECT_EQ(r.at("started"), jsonl.at(key).at("started")) << key;
        EXPECT_EQ(page.at(key).at("started"), jsonl.at(key).at("started")) << key;
    }
    EXPECT_TRUE(sim.stop());
}

} // namespace

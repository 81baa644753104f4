// gwtest report: the figures computed from loaded rows (first-pass yield,
// pass rates, medians, rankings, the selection), and the command against
// records written by the records sink from a batch with known figures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <jansson.h>

#include <cstdio>

#include "asUser.h"
#include "catalogue.h"
#include "command.h"
#include "eventScript.h"
#include "records/loader.h"
#include "records/records.h"
#include "report/report.h"
#include "sandbox.h"
#include "wire/input.h"

namespace {

using sandbox::EventScript;
using station::Outcome;
using station::RunOutcome;
using ::testing::HasSubstr;
namespace report = station::report;
namespace records = station::records;

report::RunRow runRow(const std::string &id, const std::string &started, const std::string &outcome,
                      const std::string &mac = "02:47:57:02:02:00", const std::string &model = "GWM0202")
{
    report::RunRow r;
    r.id = id;
    r.batch = "b";
    r.station = "st";
    r.started = started;
    r.finished = outcome.empty() ? "" : started.substr(0, 17) + "59.000Z";
    r.host = "10.0.0.2";
    r.model = model;
    r.mac = mac;
    r.outcome = outcome;
    return r;
}

records::Filter selection(const std::string &since, const std::string &model, const std::string &mac)
{
    records::Filter f;
    f.since = since;
    f.model = model;
    f.mac = mac;
    return f;
}

report::ResultRow resultRow(const std::string &run, int code, const std::string &outcome, int64_t ms = 10,
                            int attempt = 1)
{
    report::ResultRow r;
    r.runId = run;
    r.code = code;
    r.name = "t" + std::to_string(code);
    r.attempt = attempt;
    r.outcome = outcome;
    r.durationMs = ms;
    return r;
}

TEST(ReportFigures, FirstPassIsTheUnitsEarliestRunWithNoRetry)
{
    struct Case {
        const char *what;
        std::vector<report::RunRow> runs;
        std::vector<report::ResultRow> results;
        bool firstPass;
    };
    const std::string t1 = "2026-12-10T08:00:00.000Z", t2 = "2026-12-10T09:00:00.000Z";
    // clang-format off
    const std::vector<Case> cases = {
        {"every first attempt passed", {runRow("r", t1, "pass")},
         {resultRow("r", 1, "pass"), resultRow("r", 2, "pass")}, true},
        {"a retry was needed", {runRow("r", t1, "pass")},
         {resultRow("r", 1, "fail"), resultRow("r", 1, "pass", 10, 2)}, false},
        {"a skipped test does not count", {runRow("r", t1, "pass")},
         {resultRow("r", 1, "pass"), resultRow("r", 2, "skipped")}, true},
        {"the run never finished", {runRow("r", t1, "")}, {resultRow("r", 1, "pass")}, false},
        {"a test got no reply", {runRow("r", t1, "no-reply")}, {resultRow("r", 1, "no-reply")}, false},
        {"the model did not match", {runRow("r", t1, "model-mismatch")}, {resultRow("r", 5, "pass")}, false},
        {"stopped, the rest not run", {runRow("r", t1, "stopped")},
         {resultRow("r", 1, "pass"), resultRow("r", 2, "not-run")}, false},
        // Rows in any order: the earliest run decides.
        {"failed first, passed later", {runRow("later", t2, "pass"), runRow("first", t1, "fail")},
         {resultRow("later", 1, "pass"), resultRow("first", 1, "fail")}, false},
        {"passed first, failed later", {runRow("later", t2, "fail"), runRow("first", t1, "pass")},
         {resultRow("later", 1, "fail"), resultRow("first", 1, "pass")}, true},
    };
    // clang-format on
    for (const Case &c : cases) {
        const report::Summary s = report::summarise({c.runs, c.results}, {});
        EXPECT_EQ(s.units, 1) << c.what;
        EXPECT_EQ(s.firstPassUnits, c.firstPass ? 1 : 0) << c.what;
        EXPECT_DOUBLE_EQ(s.firstPassYield, c.firstPass ? 1.0 : 0.0) << c.what;
    }
}

TEST(ReportFigures, MedianAndPassRateOverTheAttemptsThatRan)
{
    struct Case {
        std::vector<int64_t> ms;
        double median;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {{5}, 5},
        {{1, 3}, 2},
        {{3, 1, 2}, 2},
        {{100, 1, 2, 3}, 2.5},
        {{5000, 90, 5000, 120, 100, 5000, 110}, 120},
    };
    // clang-format on
    for (const Case &c : cases) {
        report::Rows rows{{runRow("r", "2026-12-10T08:00:00.000Z", "fail")}, {}};
        for (size_t i = 0; i < c.ms.size(); ++i) {
            rows.results.push_back(
                resultRow("r", 0x0103, i % 2 == 0 ? "pass" : "fail", c.ms[i], static_cast<int>(i) + 1));
        }
        // Neither skipped nor not-run attempts are runs of the test.
        rows.results.push_back(resultRow("r", 0x0103, "skipped", 0, 100));
        rows.results.push_back(resultRow("r", 0x0103, "not-run", 0, 101));
        const report::Summary s = report::summarise(rows, {});
        ASSERT_EQ(s.tests.size(), 1U);
        const report::TestFigures &t = s.tests[0];
        EXPECT_DOUBLE_EQ(t.medianMs, c.median) << ::testing::PrintToString(c.ms);
        EXPECT_EQ(t.attempts, static_cast<int>(c.ms.size()));
        EXPECT_EQ(t.passed, static_cast<int>((c.ms.size() + 1) / 2));
        EXPECT_DOUBLE_EQ(t.passRate, static_cast<double>(t.passed) / t.attempts);
        EXPECT_EQ(t.longestMs, *std::max_element(c.ms.begin(), c.ms.end()));
    }
}

TEST(ReportFigures, RankingsAndPlanOrder)
{
    report::Rows rows{{runRow("r", "2026-12-10T08:00:00.000Z", "fail")}, {}};
    // Seven tests, durations 10..70 ms; the test of code c fails (c % 4) times.
    const std::vector<int> codes = {0x0703, 0x0001, 0x0103, 0x0005, 0x0102, 0x0603, 0x0101};
    for (size_t i = 0; i < codes.size(); ++i) {
        rows.results.push_back(resultRow("r", codes[i], "pass", static_cast<int64_t>(10 * (i + 1))));
        for (int f = 0; f < codes[i] % 4; ++f) {
            rows.results.push_back(resultRow("r", codes[i], "fail", static_cast<int64_t>(10 * (i + 1)), f + 2));
        }
    }
    const report::Summary s = report::summarise(rows, {});
    std::vector<int> order;
    for (const auto &t : s.tests) {
        order.push_back(t.code);
    }
    // The catalogue's plan order: identity, network, operator tests last.
    auto planIndex = [](int code) {
        for (size_t i = 0; i < catalogue::kTests.size(); ++i) {
            if (catalogue::kTests[i].code == code) {
                return i;
            }
        }
        return catalogue::kTests.size();
    };
    std::vector<int> plan = codes;
    std::sort(plan.begin(), plan.end(), [&](int a, int b) { return planIndex(a) < planIndex(b); });
    EXPECT_EQ(order, plan);
    EXPECT_EQ(std::vector<int>(order.begin() + 2, order.end()),
              (std::vector<int>{0x0101, 0x0102, 0x0103, 0x0603, 0x0703}));
    std::vector<int> slowest;
    for (const auto &t : s.slowest) {
        slowest.push_back(t.code);
    }
    EXPECT_EQ(slowest, (std::vector<int>{0x0101, 0x0603, 0x0102, 0x0005, 0x0103}));
    std::vector<int> failing;
    for (const auto &t : s.mostFailing) {
        failing.push_back(t.code);
    }
    // Three failures each for 0x0103, 0x0603, 0x0703 (a tie: plan order),
    // two for 0x0102, one each for 0x0001, 0x0005, 0x0101 (the first of
    // them in plan order is an identity test): five at most.
    EXPECT_EQ(failing, (std::vector<int>{0x0103, 0x0603, 0x0703, 0x0102, plan[0]}));

    // A test that never failed is not among the failing.
    rows.results = {resultRow("r", 0x0001, "pass"), resultRow("r", 0x0005, "fail")};
    const report::Summary one = report::summarise(rows, {});
    ASSERT_EQ(one.mostFailing.size(), 1U);
    EXPECT_EQ(one.mostFailing[0].code, 0x0005);
}

TEST(ReportFigures, SelectionBySinceModelAndMac)
{
    report::Rows rows;
    rows.runs = {runRow("a", "2026-12-09T23:59:59.999Z", "pass", "02:47:57:02:02:01", "GWM0202"),
                 runRow("b", "2026-12-10T00:00:00.000Z", "pass", "02:47:57:04:04:02", "GWM0404"),
                 runRow("c", "2026-12-11T10:00:00.000Z", "fail", "02:47:57:04:04:02", "GWM0404")};
    rows.results = {resultRow("a", 1, "pass"), resultRow("b", 1, "pass"), resultRow("c", 1, "fail")};
    std::string since;
    std::string error;
    ASSERT_TRUE(station::parseSince("2026-12-10", since, error)) << error;
    report::Summary s = report::summarise(rows, selection(since, "", ""));
    EXPECT_EQ(s.runs, 2); // the boundary is inclusive
    EXPECT_EQ(s.units, 1);
    EXPECT_EQ(s.firstPassUnits, 1);
    ASSERT_EQ(s.tests.size(), 1U);
    EXPECT_EQ(s.tests[0].attempts, 2);

    s = report::summarise(rows, selection("", "GWM0202", ""));
    EXPECT_EQ(s.runs, 1);
    ASSERT_EQ(s.models.size(), 1U);
    EXPECT_EQ(s.models[0].model, "GWM0202");

    const report::UnitHistory h = report::unitHistory(rows, selection("", "", "02:47:57:04:04:02"));
    ASSERT_EQ(h.runs.size(), 2U);
    EXPECT_EQ(h.runs[0].run.id, "b");
    EXPECT_EQ(h.runs[1].results.size(), 1U);
    EXPECT_EQ(h.runs[1].results[0].outcome, "fail");
}

// ---- The command against records made by the records sink ----

sandbox::CommandRun gwtest(const std::string &args) { return sandbox::runGwtest(args, sandbox::Stderr::kApart); }

constexpr int64_t kT0 = 1797062400000; // 2026-12-12T08:00:00Z
constexpr int64_t kDay = 86400000;

class Report : public sandbox::SandboxTest {
protected:
    // Two batches of one station with known figures:
    //   A  GWM0202 passes at once                        first pass
    //   B  GWM0202 ping-host fails, passes on retry      run passes, not first pass
    //   C  GWM0404 ping-host fails twice (run fails); passes the next day
    //   D  GWM0404 passes, smartconfig skipped           first pass
    //   E  unreachable: no MAC, no unit
    //   F  GWM0202 the station died during its run       unfinished
    void SetUpSandbox() override
    {
        dir_ = sandbox::scratchDir() + "/records";
        std::string error;
        auto sink = station::openRecords(dir_, error);
        ASSERT_NE(sink, nullptr) << error;
        EventScript s(*sink, "st", kT0);
        auto identity = [&](int slot, const std::string &model, const std::string &mac) {
            s.test(slot, {.code = 0x0005, .durationMs = 20, .decoded = model});
            s.planKnown(slot, model, {0x0005, 0x0001, 0x0203, 0x0103});
            s.learnMac(slot, mac);
            s.test(slot, {.code = 0x0001, .durationMs = 10, .decoded = mac});
        };
        s.startBatch(6);
        s.startRun(0, "10.213.0.2", "A");
        identity(0, "GWM0202", "02:47:57:02:02:01");
        s.test(0, {.code = 0x0103, .durationMs = 100});
        s.finishRun(0, RunOutcome::kPass);

        s.startRun(1, "10.213.1.2", "B");
        identity(1, "GWM0202", "02:47:57:02:02:02");
        s.test(1, {.code = 0x0103, .outcome = Outcome::kFail, .durationMs = 5000});
        s.test(1, {.code = 0x0103, .durationMs = 120, .attempt = 2});
        s.finishRun(1, RunOutcome::kPass);

        s.startRun(2, "10.213.2.2", "C");
        identity(2, "GWM0404", "02:47:57:04:04:03");
        s.test(2, {.code = 0x0103, .outcome = Outcome::kFail, .durationMs = 5000});
        s.test(2, {.code = 0x0103, .outcome = Outcome::kFail, .durationMs = 5000, .attempt = 2});
        s.finishRun(2, RunOutcome::kFail);

        s.startRun(3, "10.213.3.2", "D");
        identity(3, "GWM0404", "02:47:57:04:04:04");
        s.test(3, {.code = 0x0203, .outcome = Outcome::kSkipped});
        s.test(3, {.code = 0x0103, .durationMs = 90});
        s.finishRun(3, RunOutcome::kPass);

        s.startRun(4, "10.213.4.2", "E");
        s.finishRun(4, RunOutcome::kUnreachable, "connection refused");

        s.startRun(5, "10.213.5.2", "F");
        identity(5, "GWM0202", "02:47:57:02:02:05");
        s.finishBatch();

        s.advance(kDay);
        s.startBatch(1);
        s.startRun(0, "10.213.2.2", "C");
        identity(0, "GWM0404", "02:47:57:04:04:03");
        s.test(0, {.code = 0x0103, .durationMs = 110});
        s.finishRun(0, RunOutcome::kPass);
        s.finishBatch();
    }

    json_t *reportJson(const std::string &args)
    {
        sandbox::CommandRun c = gwtest("report --records " + dir_ + " --json " + args);
        EXPECT_EQ(c.status, 0) << c.err;
        json_error_t e;
        json_t *root = json_loads(c.out.c_str(), 0, &e);
        EXPECT_NE(root, nullptr) << c.out;
        return root;
    }

    std::string dir_;
};

int64_t integer(json_t *o, const char *key) { return json_integer_value(json_object_get(o, key)); }
double real(json_t *o, const char *key) { return json_number_value(json_object_get(o, key)); }

json_t *byKey(json_t *array, const char *key, const std::string &value)
{
    size_t i = 0;
    json_t *v = nullptr;
    json_array_foreach(array, i, v)
    {
        const char *s = json_string_value(json_object_get(v, key));
        if (s != nullptr && value == s) {
            return v;
        }
    }
    return nullptr;
}

TEST_F(Report, FiguresOfAKnownBatch)
{
    json_t *root = reportJson("");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(integer(root, "runs"), 7);
    EXPECT_EQ(integer(root, "unfinished_runs"), 1);
    EXPECT_EQ(integer(root, "runs_without_mac"), 1);
    EXPECT_EQ(integer(root, "units"), 5);
    EXPECT_EQ(integer(root, "first_pass_units"), 2);
    EXPECT_DOUBLE_EQ(real(root, "first_pass_yield"), 0.4);

    json_t *ping = byKey(json_object_get(root, "tests"), "name", "ping-host");
    ASSERT_NE(ping, nullptr);
    // 100, 5000 f, 120, 5000 f, 5000 f, 90, 110
    EXPECT_EQ(integer(ping, "attempts"), 7);
    EXPECT_EQ(integer(ping, "passed"), 4);
    EXPECT_EQ(integer(ping, "failed"), 3);
    EXPECT_DOUBLE_EQ(real(ping, "pass_rate"), 4.0 / 7);
    EXPECT_DOUBLE_EQ(real(ping, "median_ms"), 120);
    EXPECT_EQ(integer(ping, "longest_ms"), 5000);
    json_t *model = byKey(json_object_get(root, "tests"), "name", "model");
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(integer(model, "attempts"), 6);
    EXPECT_DOUBLE_EQ(real(model, "pass_rate"), 1.0);
    EXPECT_EQ(byKey(json_object_get(root, "tests"), "name", "smartconfig"), nullptr) << "never ran";

    json_t *m0202 = byKey(json_object_get(root, "models"), "model", "GWM0202");
    ASSERT_NE(m0202, nullptr);
    EXPECT_EQ(integer(m0202, "units"), 3);
    EXPECT_EQ(integer(m0202, "first_pass_units"), 1);
    EXPECT_EQ(integer(m0202, "runs"), 2);
    EXPECT_DOUBLE_EQ(real(m0202, "pass_rate"), 1.0);
    EXPECT_DOUBLE_EQ(real(m0202, "median_run_ms"), (130.0 + 5150.0) / 2);
    json_t *m0404 = byKey(json_object_get(root, "models"), "model", "GWM0404");
    ASSERT_NE(m0404, nullptr);
    EXPECT_EQ(integer(m0404, "units"), 2);
    EXPECT_DOUBLE_EQ(real(m0404, "first_pass_yield"), 0.5);
    EXPECT_EQ(integer(m0404, "runs"), 3);
    EXPECT_EQ(integer(m0404, "runs_passed"), 2);
    EXPECT_DOUBLE_EQ(real(m0404, "median_run_ms"), 140); // 10030, 120, 140
    json_t *ping0404 = byKey(json_object_get(m0404, "tests"), "name", "ping-host");
    ASSERT_NE(ping0404, nullptr);
    EXPECT_EQ(integer(ping0404, "attempts"), 4);
    EXPECT_DOUBLE_EQ(real(ping0404, "median_ms"), (110.0 + 5000.0) / 2);

    json_t *slowest = json_array_get(json_object_get(root, "slowest"), 0);
    EXPECT_STREQ(json_string_value(json_object_get(slowest, "name")), "ping-host");
    json_t *failing = json_object_get(root, "most_failing");
    ASSERT_EQ(json_array_size(failing), 1U);
    EXPECT_STREQ(json_string_value(json_object_get(json_array_get(failing, 0), "name")), "ping-host");
    json_decref(root);

    // The same figures as text.
    sandbox::CommandRun text = gwtest("report --records " + dir_);
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("units tested: 5, first-pass yield: 40.0 % (2 of 5)"));
    EXPECT_THAT(text.out, HasSubstr("runs: 7 (1 unfinished), 1 without a MAC"));
    EXPECT_THAT(text.out, HasSubstr("most failing tests: ping-host 3 of 7 (42.9 %)"));
    EXPECT_THAT(text.out, ::testing::ContainsRegex("ping-host +0x0103 +7 +4 +3 +57.1 % +0.12 s +5.00 s"));
}

TEST_F(Report, SinceAndModelSelectRuns)
{
    json_t *root = reportJson("--since 2026-12-13");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(integer(root, "runs"), 1);
    EXPECT_EQ(integer(root, "units"), 1);
    EXPECT_EQ(integer(root, "first_pass_units"), 1); // C's first run in the window passed
    json_decref(root);

    root = reportJson("--model gwm0404");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(integer(root, "runs"), 3);
    EXPECT_EQ(integer(root, "units"), 2);
    EXPECT_DOUBLE_EQ(real(root, "first_pass_yield"), 0.5);
    EXPECT_EQ(json_array_size(json_object_get(root, "models")), 1U);
    json_decref(root);

    sandbox::CommandRun none = gwtest("report --records " + dir_ + " --since 2030-01-01");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.out, "no runs in the records since 2030-01-01T00:00:00.000Z\n");
}

TEST_F(Report, OneUnitsHistoryByItsMacInAnySpelling)
{
    for (const char *mac : {"02:47:57:04:04:03", "024757040403", "02-47-57-04-04-03"}) {
        json_t *root = reportJson(std::string("--mac ") + mac);
        ASSERT_NE(root, nullptr);
        EXPECT_STREQ(json_string_value(json_object_get(root, "mac")), "02:47:57:04:04:03");
        json_t *runs = json_object_get(root, "runs");
        ASSERT_EQ(json_array_size(runs), 2U) << mac;
        json_t *first = json_array_get(runs, 0);
        EXPECT_STREQ(json_string_value(json_object_get(first, "outcome")), "fail");
        json_t *results = json_object_get(first, "results");
        ASSERT_EQ(json_array_size(results), 4U);
        // The model query came before the MAC was known; it is the unit's all the same.
        EXPECT_STREQ(json_string_value(json_object_get(json_array_get(results, 0), "name")), "model");
        EXPECT_STREQ(json_string_value(json_object_get(json_array_get(results, 3), "hint")),
                     std::string(catalogue::findAny(0x0103)->hint).c_str());
        EXPECT_STREQ(json_string_value(json_object_get(json_array_get(runs, 1), "outcome")), "pass");
        json_decref(root);
    }
    sandbox::CommandRun text = gwtest("report --records " + dir_ + " --mac 02:47:57:04:04:03");
    EXPECT_EQ(text.status, 0);
    EXPECT_THAT(text.out, HasSubstr("02:47:57:04:04:03: 2 runs"));
    EXPECT_THAT(text.out, ::testing::ContainsRegex("ping-host +0x0103 #2 fail +5.00 s  \\("));
    EXPECT_THAT(text.out, HasSubstr("5.00 s  (" + std::string(catalogue::findAny(0x0103)->hint) + ")"));
    sandbox::CommandRun unknown = gwtest("report --records " + dir_ + " --mac 02:47:57:04:04:99");
    EXPECT_EQ(unknown.status, 0);
    EXPECT_EQ(unknown.out, "no runs of 02:47:57:04:04:99 in the records\n");
}

// An engineer reads a root station's records (or a copy on a read-only
// share): the directory is not theirs to write, the figures come all the
// same. And a directory name SQLite would read as URI syntax is just a name.
TEST_F(Report, ReadsRecordsItCannotWrite)
{
    auto result = sandbox::runAsUser([&] {
        report::Rows rows;
        std::string error;
        if (!records::loadSqlite(dir_, {}, rows, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        return rows.runs.size() == 7 && rows.results.size() == 20 ? 0 : 2; // 3 + 4 + 4 + 4 + 0 + 2 + 3 results
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 0);

    const std::string odd = sandbox::scratchDir() + "/rec ?mode=rw#%41";
    ASSERT_EQ(sandbox::sh("cp -r '" + dir_ + "' '" + odd + "'"), 0);
    report::Rows rows;
    std::string error;
    ASSERT_TRUE(records::loadSqlite(odd, {}, rows, error)) << error;
    EXPECT_EQ(rows.runs.size(), 7U);
}

TEST_F(Report, BadArgumentsAndMissingRecords)
{
    struct Case {
        std::string args;
        int status;
        const char *message;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"--records " + dir_ + " --since 2026-13-01", 64, "--since: '2026-13-01' is not a date"},
        {"--records " + dir_ + " --model GWM9999", 64, "--model: unknown model 'GWM9999' (expected GWM0101, GWM0202, GWM0303 or GWM0404"},
        {"--records " + dir_ + " --mac 02:47:57", 64, "--mac: '02:47:57' is not a MAC address"},
        {"--records " + dir_ + " --mac", 64, "--mac"},
        {"--records /nonexistent", 70, "no records in /nonexistent: /nonexistent/records.db does not exist"},
    };
    // clang-format on
    for (const Case &c : cases) {
        sandbox::CommandRun r = gwtest("report " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr(c.message)) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
}

} // namespace

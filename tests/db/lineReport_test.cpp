// gwtest report --db: the line's figures are the stations' own, for the
// whole line and per station, with the same filters; one unit's history
// covers every station that tested it.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>

#include "command.h"
#include "line/forwarder.h"
#include "line/loader.h"
#include "pgCluster.h"
#include "records/loader.h"
#include "report/report.h"
#include "spoolWriter.h"

using namespace station;

namespace {

// clang-format off
const std::pair<int, const char *> kPlan[] = {
    {0x0001, "mac"}, {0x0002, "sysversion"}, {0x0005, "model"}, {0x0101, "wan"}, {0x0102, "ping-gw"},
    {0x0201, "button"}, {0x0202, "led-power"},
};
// clang-format on

constexpr const char *kRetested = "02:47:57:aa:00:01"; // failed at st0, passed at st2 the next hour

std::string iso(int hour, int minute, int second)
{
    char text[32];
    std::snprintf(text, sizeof text, "2026-12-10T%02d:%02d:%02d.000Z", hour, minute, second);
    return text;
}

using Outcome = sandbox::CommandRun; // standard output and error together in out

Outcome gwtest(const std::string &args) { return sandbox::runGwtest(args); }

class LineReport : public ::testing::Test {
protected:
    static constexpr int kStations = 3;

    void SetUp() override
    {
        ASSERT_TRUE(cluster.ready()) << cluster.error();
        ASSERT_TRUE(cluster.createDatabase("line")) << cluster.error();
        // Three stations, two models, failures, retries and a unit tested twice.
        for (int s = 0; s < kStations; ++s) {
            char templ[] = "/tmp/gwtest-spool-XXXXXX";
            dirs.emplace_back(mkdtemp(templ));
            linetest::SpoolWriter spool(dirs.back() + "/records.db");
            const std::string station = "st" + std::to_string(s);
            for (int u = 0; u < 4; ++u) {
                const std::string run = station + "-20261210T0" + std::to_string(8 + s) + "0000Z-" + std::to_string(u);
                char mac[32];
                std::snprintf(mac, sizeof mac, "02:47:57:%02x:00:%02x", s, u);
                std::string unit = mac;
                if (s == 0 && u == 3) {
                    unit = kRetested;
                }
                if (s == 2 && u == 3) {
                    unit = kRetested;
                }
                const std::string model = u % 2 ? "GWM0404" : "GWM0202";
                const int hour = 8 + s + (s == 2 && u == 3 ? 1 : 0);
                spool.run(run, station, model, unit, iso(hour, u * 10, 0));
                bool failed = false;
                for (const auto &[code, name] : kPlan) {
                    std::string outcome = "pass";
                    if (code == 0x0201 && (s + u) % 3 == 0) {
                        spool.result(run, station, unit, code, name, 1, "fail", 10000);
                        outcome = (s + u) % 2 ? "fail" : "pass"; // the retry
                        spool.result(run, station, unit, code, name, 2, outcome, 9000 + u);
                    } else if (code == 0x0102 && s == 0 && u == 3) {
                        outcome = "no-reply";
                        spool.result(run, station, unit, code, name, 1, outcome, 35000);
                    } else {
                        spool.result(run, station, unit, code, name, 1, outcome, 100 * s + 10 * u + code % 9);
                    }
                    failed = failed || outcome != "pass";
                }
                spool.finishRun(run, failed ? "fail" : "pass", iso(hour, u * 10 + 5, s));
            }
            line::ForwarderOptions o;
            o.url = cluster.url("line");
            o.recordsDb = dirs.back() + "/records.db";
            o.notice = [](const std::string &text) { ADD_FAILURE() << text; };
            line::LineOpenResult opened = line::openLineForwarder(o);
            ASSERT_TRUE(opened.forwarder) << opened.error;
            ASSERT_EQ(opened.forwarder->finish(30000).pending, 0);
        }
    }
    void TearDown() override
    {
        for (const auto &dir : dirs) {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    }

    report::Rows lineRows(const report::Filter &filter)
    {
        report::Rows rows;
        std::string error;
        EXPECT_TRUE(line::loadLine(cluster.url("line"), filter, rows, error)) << error;
        return rows;
    }
    report::Rows stationRows(int s, const report::Filter &filter)
    {
        report::Rows rows;
        std::string error;
        EXPECT_TRUE(station::records::loadSqlite(dirs[s], filter, rows, error)) << error;
        return rows;
    }

    sandbox::PgCluster cluster;
    std::vector<std::string> dirs;
};

TEST_F(LineReport, TheLinesFiguresAreTheStationsOwn)
{
    // clang-format off
    const report::Filter filters[] = {
        {},
        {.since = "2026-12-10T09:00:00.000Z", .model = "", .mac = "", .serial = "", .results = true},
        {.since = "", .model = "GWM0404", .mac = "", .serial = "", .results = true},
        {.since = "2026-12-10T09:00:00.000Z", .model = "GWM0202", .mac = "", .serial = "", .results = true},
    };
    // clang-format on
    for (const auto &filter : filters) {
        SCOPED_TRACE(filter.since + " " + filter.model);
        const report::Rows line = lineRows(filter);
        report::Rows all;
        for (int s = 0; s < kStations; ++s) {
            const report::Rows own = stationRows(s, filter);
            report::Rows fromLine;
            for (const auto &r : line.runs) {
                if (r.station == "st" + std::to_string(s)) {
                    fromLine.runs.push_back(r);
                }
            }
            for (const auto &r : line.results) {
                if (r.station == "st" + std::to_string(s)) {
                    fromLine.results.push_back(r);
                }
            }
            EXPECT_EQ(report::summaryJson(report::summarise(fromLine, filter)),
                      report::summaryJson(report::summarise(own, filter)))
                << "station st" << s;
            all.runs.insert(all.runs.end(), own.runs.begin(), own.runs.end());
            all.results.insert(all.results.end(), own.results.begin(), own.results.end());
        }
        EXPECT_EQ(report::summaryJson(report::summarise(line, filter)),
                  report::summaryJson(report::summarise(all, filter)));
    }
    const report::Summary whole = report::summarise(lineRows({}), {});
    EXPECT_EQ(whole.runs, kStations * 4);
    EXPECT_EQ(whole.units, kStations * 4 - 1); // one unit came back
}

TEST_F(LineReport, OneUnitsHistoryCoversEveryStationThatTestedIt)
{
    const report::Filter filter{.since = "", .model = "", .mac = kRetested, .serial = "", .results = true};
    const report::UnitHistory history = report::unitHistory(lineRows(filter), filter);
    ASSERT_EQ(history.runs.size(), 2u);
    EXPECT_EQ(history.runs[0].run.station, "st0");
    EXPECT_EQ(history.runs[0].run.outcome, "fail");
    EXPECT_EQ(history.runs[1].run.station, "st2");
    EXPECT_EQ(history.runs[1].run.started, "2026-12-10T11:30:00.000Z");
    EXPECT_EQ(history.runs[0].results.size(), std::size(kPlan) + ((0 + 3) % 3 == 0 ? 1 : 0));
    // The line keeps the records' times and answers to the millisecond.
    EXPECT_EQ(history.runs[0].results[0].name, "mac");
    EXPECT_EQ(history.runs[0].results[0].operatorAnswer.value_or(""), "yes");
    EXPECT_EQ(history.runs[0].results[0].operatorMs.value_or(0), 1200);
}

TEST_F(LineReport, TheCommandCoversEveryStation)
{
    const std::string db = " --db '" + cluster.url("line") + "'";
    const Outcome text = gwtest("report" + db);
    EXPECT_EQ(text.status, 0) << text.out;
    EXPECT_NE(text.out.find("The line: 3 stations"), std::string::npos) << text.out;
    for (int s = 0; s < kStations; ++s) {
        EXPECT_NE(text.out.find("== Station st" + std::to_string(s)), std::string::npos) << text.out;
    }
    // Above the line's figures, the stations side by side: a line each with
    // its runs, unfinished runs, units, first-pass units and yield.
    const std::string top = text.out.substr(0, text.out.find("\nruns"));
    EXPECT_NE(top.find("station  runs unfinished units first pass     yield\n"), std::string::npos) << top;
    for (int s = 0; s < kStations; ++s) {
        const report::Summary own = report::summarise(stationRows(s, {}), {});
        const std::string name = "st" + std::to_string(s);
        const size_t at = top.find("\n" + name + " ");
        ASSERT_NE(at, std::string::npos) << top;
        std::istringstream row(top.substr(at + 1, top.find('\n', at + 1) - at - 1));
        std::string station;
        int runs = -1;
        int unfinished = -1;
        int units = -1;
        int firstPass = -1;
        std::string yield;
        row >> station >> runs >> unfinished >> units >> firstPass >> yield;
        EXPECT_EQ(station, name);
        EXPECT_EQ(runs, own.runs) << top;
        EXPECT_EQ(unfinished, own.unfinishedRuns) << top;
        EXPECT_EQ(units, own.units) << top;
        EXPECT_EQ(firstPass, own.firstPassUnits) << top;
        char expected[16];
        std::snprintf(expected, sizeof expected, "%.1f", own.firstPassYield * 100);
        EXPECT_EQ(yield, expected) << top;
    }
    const Outcome json = gwtest("report --json" + db);
    EXPECT_EQ(json.status, 0) << json.out;
    EXPECT_EQ(json.out.rfind("{\"line\": {", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("{\"station\": \"st2\", \"summary\": {"), std::string::npos) << json.out;

    const Outcome unit = gwtest("report --mac 0247579AA0001" + db);
    EXPECT_EQ(unit.status, 64) << unit.out; // 13 digits: not a MAC
    const Outcome history = gwtest(std::string("report --mac 02-47-57-AA-00-01") + db);
    EXPECT_EQ(history.status, 0) << history.out;
    EXPECT_NE(history.out.find("st0"), std::string::npos) << history.out;
    EXPECT_NE(history.out.find("st2"), std::string::npos) << history.out;

    // clang-format off
    const std::pair<std::string, std::string> refusals[] = {
        {cluster.url("no_such_line"), "does not exist"},
        {cluster.url("postgres"), "holds no records yet"},
    };
    // clang-format on
    for (const auto &[url, says] : refusals) {
        const Outcome refused = gwtest("report --db '" + url + "'");
        EXPECT_EQ(refused.status, 70) << refused.out;
        EXPECT_NE(refused.out.find(says), std::string::npos) << refused.out;
    }
}

} // namespace

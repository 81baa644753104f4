// What `gwtest report` tells about the records: units tested, first-pass
// yield, pass rate and median duration per test and per model, the slowest
// and the most failing tests, and one unit's history.
//
// A pure computation over the rows of `runs` and `results` that a loader
// fetched (records/loader.h for the station's records.db, line/loader.h for
// the line's PostgreSQL), with the text and JSON writers beside it. The
// computation applies the filter itself, so a loader may push the filter
// down into its query or not: the figures are the same.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/clash.h"
#include "records/rows.h"

namespace station::report {

// The rows the figures are computed from (records/rows.h).
using records::Filter;
using records::ResultRow;
using records::Rows;
using records::RunRow;

// ---- The computation over loaded rows ----

// One test's figures over the attempts that ran (skipped and not-run
// attempts do not count as runs of the test).
struct TestFigures {
    int code = 0;
    std::string name;
    int attempts = 0; // attempts that ran
    int passed = 0;
    int failed = 0;      // fail, no-reply or connection-lost
    double passRate = 0; // passed / attempts, 0..1
    double medianMs = 0; // of the attempts that ran
    int64_t longestMs = 0;
};

// A model's figures. A unit is a gateway known by its MAC; its first pass is
// its earliest run in the selection: it counts as passed the first time when
// that run ended "pass" and the first attempt of every test in it passed
// (skipped tests aside), i.e. no retry was needed.
struct ModelFigures {
    std::string model; // "(unknown)" for runs that never learnt it
    int units = 0;
    int firstPassUnits = 0;
    double firstPassYield = 0; // firstPassUnits / units, 0..1
    int runs = 0;              // finished runs
    int runsPassed = 0;
    double passRate = 0;            // runsPassed / runs, 0..1
    double medianRunMs = 0;         // from started to finished, finished runs
    std::vector<TestFigures> tests; // this model's tests, in plan order
};

struct Summary {
    Filter filter;
    int runs = 0;            // runs selected
    int unfinishedRuns = 0;  // running, or the station died
    int runsWithoutUnit = 0; // the MAC never came (unreachable, ...)
    int units = 0;
    int firstPassUnits = 0;
    double firstPassYield = 0;
    std::vector<TestFigures> tests;       // every model, in plan order
    std::vector<ModelFigures> models;     // by model name
    std::vector<TestFigures> slowest;     // up to 5, by median duration, longest first
    std::vector<TestFigures> mostFailing; // up to 5 with failures, most failures first
};

Summary summarise(const Rows &rows, const Filter &filter);

// One unit's runs, oldest first, each with its results in the order they
// were recorded.
struct UnitRun {
    RunRow run;
    std::vector<ResultRow> results;
};
struct UnitHistory {
    std::string mac;    // the unit asked for by its MAC,
    std::string serial; // or by its serial number (the other "")
    std::vector<UnitRun> runs;
};

UnitHistory unitHistory(const Rows &rows, const Filter &filter);

// ---- Output ----

std::string formatSummary(const Summary &summary);
// The stations of a line side by side, one line each: runs, units and
// first-pass yield, so that a station that does worse than the others shows.
struct StationSummary {
    std::string station;
    Summary summary;
};
std::string formatStationTable(const std::vector<StationSummary> &stations);
// The figures of a line of stations: the whole line, then each station's
// (model and test figures per station). Text, or one JSON object
// {"line": <summary>, "stations": [{"station": ID, "summary": <summary>}, ...]}.
std::string formatLine(const Rows &rows, const Filter &filter, bool json);
std::string summaryJson(const Summary &summary);
// One test's figures as JSON, as in the summary: {"code", "name",
// "attempts", "passed", "failed", "pass_rate", "median_ms", "longest_ms"}.
json_t *testFiguresJson(const TestFigures &figures);
std::string formatHistory(const UnitHistory &history);
// gwtest report --duplicates: each MAC under several serial numbers, each
// serial number on several MACs, with the first run of every unit involved.
std::string formatDuplicates(const std::vector<records::Duplicate> &duplicates);
std::string duplicatesJson(const std::vector<records::Duplicate> &duplicates);
// Its "duplicates" array: {"shared": "mac"|"serial", "mac"|"serial": the
// key, "units": the first run of each unit} (the page's history too).
json_t *duplicatesArray(const std::vector<records::Duplicate> &duplicates);
std::string historyJson(const UnitHistory &history);

} // namespace station::report

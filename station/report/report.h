// What `gwtest report` tells about the records: units tested, first-pass
// yield, pass rate and median duration per test and per model, the slowest
// and the most failing tests, and one unit's history.
//
// Two halves: a loader fetches the rows of `runs` and `results` (from the
// station's records.db here; the line's PostgreSQL has its own loader), and
// a pure computation turns loaded rows into figures. The computation applies
// the filter itself, so a loader may push the filter down into its query or
// not: the figures are the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station::report {

// One row of `runs` (recordsSchema.h), as loaded.
struct RunRow {
    std::string id;
    std::string batch;
    std::string station;
    std::string started;  // ISO 8601 UTC with milliseconds
    std::string finished; // "" while running, or when the station died
    std::string host;
    int port = 6666;
    std::string label;
    std::string model;
    std::string mac;     // "02:47:57:04:04:00", "" when never learnt
    std::string outcome; // pass|fail|no-reply|connection-lost|unreachable|model-mismatch|stopped, "" unfinished
};

// One row of `results`, as loaded.
struct ResultRow {
    std::string runId;
    std::string station;
    std::string mac;
    int code = 0;
    std::string name;
    int attempt = 1;
    std::string outcome; // pass|fail|no-reply|connection-lost|skipped|not-run
    std::string dataHex;
    std::string dataText;
    std::string hint;
    std::string started;
    int64_t durationMs = 0;
    std::optional<std::string> operatorAnswer;
    std::optional<int64_t> operatorMs;
};

struct Rows {
    std::vector<RunRow> runs;
    std::vector<ResultRow> results;
};

// Which runs count. Empty fields select everything.
struct Filter {
    std::string since; // runs started at or after, ISO 8601 UTC ("2026-12-10T00:00:00.000Z")
    std::string model; // "GWM0202"
    std::string mac;   // one unit: "02:47:57:04:04:00"
};

// "2026-12-10", "2026-12-10T08:30", "2026-12-10T08:30:15" (optionally with a
// trailing Z; always UTC) into the form the records compare with. False with
// a message saying what was expected.
bool parseSince(const std::string &text, std::string &iso, std::string &error);

// A MAC in any case, with or without colons or dashes, into the records'
// spelling "02:47:57:04:04:00"; false when it is not 12 hexadecimal digits.
bool normaliseMac(const std::string &text, std::string &mac);

// ---- The loader of the station's SQLite records ----

// Loads the runs (and their results) of `dir`/records.db that the filter
// selects. False with a message when there are no records there, the file is
// not a records file or was written by a newer gwtest.
bool loadSqlite(const std::string &dir, const Filter &filter, Rows &rows, std::string &error);

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
    std::string mac;
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
std::string summaryJson(const Summary &summary);
std::string formatHistory(const UnitHistory &history);
std::string historyJson(const UnitHistory &history);

} // namespace station::report

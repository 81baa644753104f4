// The history view's figures and one unit's runs, as the page reads them.
#include "front/web/recordsHistory.h"

#include <algorithm>
#include <ctime>
#include <set>

#include "catalogue.h"
#include "front/web/json.h"
#include "front/web/slots.h"
#include "records/clash.h"
#include "records/json.h"
#include "records/loader.h"
#include "records/reader.h"
#include "report/report.h"
#include "wire/input.h"

namespace station::web {

namespace {

constexpr size_t kLatestRuns = 20;

std::string today()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char day[16];
    std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
    return day;
}

// The JUnit file that holds a run, when it is there and safe to serve.
std::string junitOf(const std::string &dir, const records::RunRow &run)
{
    const std::string name = records::junitOfRun(dir, run.batch, run.id);
    return !name.empty() && safeRecordName(name, ".xml") ? name : "";
}

// A run in the records' one shape, with the links to its records: "junit"
// (its JUnit file, once its batch has ended) and "json" (its lines of
// records.jsonl, when it has results); "" where there is none.
json_t *runJson(const std::string &dir, const records::RunRow &run, bool recorded)
{
    json_t *o = records::runJson(run);
    put(o, "junit", junitOf(dir, run));
    put(o, "json", recorded ? run.id + ".json" : std::string());
    return o;
}

// A test's figures as the report gives them, with the catalogue's title.
json_t *testJson(const report::TestFigures &t)
{
    json_t *o = report::testFiguresJson(t);
    const catalogue::Test *row = catalogue::findAny(static_cast<uint16_t>(t.code));
    put(o, "title", row != nullptr ? std::string(row->title) : t.name);
    return o;
}

bool load(const std::string &dir, const records::Filter &filter, records::Rows &rows, std::string &error)
{
    if (!records::haveRecords(dir)) {
        return true; // no run recorded yet: empty figures
    }
    return records::loadSqlite(dir, filter, rows, error);
}

} // namespace

bool RecordsHistory::summary(const std::string &since, std::string &json, std::string &error)
{
    records::Filter filter;
    const std::string day = since.empty() ? today() : since;
    if (!parseSince(day, filter.since, error)) {
        return false;
    }
    records::Rows rows;
    if (!load(dir_, filter, rows, error)) {
        return false;
    }
    const report::Summary s = report::summarise(rows, filter);
    Json root(json_object());
    json_t *o = root.get();
    put(o, "since", day);
    put(o, "units", int64_t{s.units});
    put(o, "first_pass_units", int64_t{s.firstPassUnits});
    put(o, "first_pass_yield", s.units > 0 ? json_real(s.firstPassYield) : json_null());
    put(o, "runs", int64_t{s.runs});
    put(o, "unfinished_runs", int64_t{s.unfinishedRuns});
    json_t *tests = json_array();
    for (const auto &t : s.tests) {
        json_array_append_new(tests, testJson(t));
    }
    put(o, "tests", tests);
    json_t *failing = json_array();
    for (const auto &t : s.mostFailing) {
        json_array_append_new(failing, testJson(t));
    }
    put(o, "most_failing", failing);
    std::vector<const records::RunRow *> latest;
    for (const auto &run : rows.runs) {
        latest.push_back(&run);
    }
    std::sort(latest.begin(), latest.end(), [](const auto *a, const auto *b) { return a->started > b->started; });
    std::set<std::string> recorded;
    for (const auto &result : rows.results) {
        recorded.insert(result.runId);
    }
    json_t *runs = json_array();
    for (size_t i = 0; i < latest.size() && i < kLatestRuns; ++i) {
        json_array_append_new(runs, runJson(dir_, *latest[i], recorded.count(latest[i]->id) != 0));
    }
    put(o, "latest", runs);
    // Duplicates are looked for in every run, not only since the day shown:
    // a unit that shares a MAC with one tested last month is one all the same.
    records::Filter everyRun;
    everyRun.results = false;
    records::Rows all;
    if (!load(dir_, everyRun, all, error)) {
        return false;
    }
    put(o, "duplicates", report::duplicatesArray(records::findDuplicates(all.runs)));
    json = dump(o);
    return true;
}

bool RecordsHistory::unit(const std::string &mac, std::string &json, std::string &error)
{
    records::Filter filter;
    filter.mac = mac;
    records::Rows rows;
    if (!load(dir_, filter, rows, error)) {
        return false;
    }
    const report::UnitHistory history = report::unitHistory(rows, filter);
    Json root(json_object());
    json_t *o = root.get();
    put(o, "mac", mac);
    json_t *runs = json_array();
    // Newest first: the run a person asks about is most often the last.
    for (auto it = history.runs.rbegin(); it != history.runs.rend(); ++it) {
        json_t *run = runJson(dir_, it->run, !it->results.empty());
        json_t *results = json_array();
        for (const auto &r : it->results) {
            json_array_append_new(results, records::resultJson(r));
        }
        put(run, "results", results);
        json_array_append_new(runs, run);
    }
    put(o, "runs", runs);
    json = dump(o);
    return true;
}

} // namespace station::web

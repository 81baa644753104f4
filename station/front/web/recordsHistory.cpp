// The history view's figures and one unit's runs, as the page reads them.
#include "front/web/recordsHistory.h"

#include <algorithm>
#include <ctime>
#include <set>

#include "catalogue.h"
#include "front/web/json.h"
#include "front/web/slots.h"
#include "records/loader.h"
#include "records/reader.h"
#include "report/report.h"

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

// A run's row; `recorded`: results of it are in the records, so its JSON
// record (its lines of records.jsonl) is there to link.
json_t *runJson(const std::string &dir, const records::RunRow &run, bool recorded)
{
    json_t *o = json_object();
    put(o, "runId", run.id);
    put(o, "batch", run.batch);
    put(o, "station", run.station);
    put(o, "started", run.started);
    put(o, "finished", run.finished);
    put(o, "host", run.host);
    put(o, "port", int64_t{run.port});
    put(o, "label", run.label);
    put(o, "model", run.model);
    put(o, "mac", run.mac);
    put(o, "outcome", run.outcome.empty() ? std::string("unfinished") : run.outcome);
    put(o, "junit", junitOf(dir, run));
    put(o, "json", recorded ? run.id + ".json" : std::string());
    return o;
}

json_t *testJson(const report::TestFigures &t)
{
    json_t *o = json_object();
    put(o, "code", int64_t{t.code});
    put(o, "name", t.name);
    const catalogue::Test *row = catalogue::findAny(static_cast<uint16_t>(t.code));
    put(o, "title", row != nullptr ? std::string(row->title) : t.name);
    put(o, "runs", int64_t{t.attempts});
    put(o, "passed", int64_t{t.passed});
    put(o, "failures", int64_t{t.failed});
    put(o, "passRate", json_real(t.passRate));
    put(o, "medianMs", int64_t{static_cast<int64_t>(t.medianMs)});
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
    if (!report::parseSince(day, filter.since, error)) {
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
    put(o, "firstPassUnits", int64_t{s.firstPassUnits});
    put(o, "firstPassYield", s.units > 0 ? json_real(s.firstPassYield) : json_null());
    put(o, "runs", int64_t{s.runs});
    put(o, "unfinishedRuns", int64_t{s.unfinishedRuns});
    json_t *tests = json_array();
    for (const auto &t : s.tests) {
        json_array_append_new(tests, testJson(t));
    }
    put(o, "tests", tests);
    json_t *failing = json_array();
    for (const auto &t : s.mostFailing) {
        json_array_append_new(failing, testJson(t));
    }
    put(o, "failing", failing);
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
            json_t *result = json_object();
            put(result, "code", int64_t{r.code});
            put(result, "name", r.name);
            put(result, "attempt", int64_t{r.attempt});
            put(result, "outcome", r.outcome);
            put(result, "durationMs", r.durationMs);
            put(result, "dataText", r.dataText);
            put(result, "hint", r.hint);
            put(result, "answer", r.operatorAnswer ? jsonText(*r.operatorAnswer) : json_null());
            put(result, "answerMs", r.operatorMs ? json_integer(*r.operatorMs) : json_null());
            json_array_append_new(results, result);
        }
        put(run, "results", results);
        json_array_append_new(runs, run);
    }
    put(o, "runs", runs);
    json = dump(o);
    return true;
}

} // namespace station::web

// The report as JSON: the summary and one unit's history.
#include <jansson.h>

#include <cstdlib>

#include "records/json.h"
#include "report/report.h"

namespace station::report {

namespace {

json_t *jstr(const std::string &s) { return records::jsonText(s); }

} // namespace

json_t *testFiguresJson(const TestFigures &t)
{
    json_t *o = json_object();
    json_object_set_new(o, "code", json_integer(t.code));
    json_object_set_new(o, "name", jstr(t.name));
    json_object_set_new(o, "attempts", json_integer(t.attempts));
    json_object_set_new(o, "passed", json_integer(t.passed));
    json_object_set_new(o, "failed", json_integer(t.failed));
    json_object_set_new(o, "pass_rate", json_real(t.passRate));
    json_object_set_new(o, "median_ms", json_real(t.medianMs));
    json_object_set_new(o, "longest_ms", json_integer(t.longestMs));
    return o;
}

namespace {

json_t *testsJson(const std::vector<TestFigures> &tests)
{
    json_t *a = json_array();
    for (const TestFigures &t : tests) {
        json_array_append_new(a, testFiguresJson(t));
    }
    return a;
}

std::string dump(json_t *root)
{
    char *text = json_dumps(root, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
    std::string out = text != nullptr ? text : "null";
    std::free(text);
    json_decref(root);
    return out + "\n";
}

} // namespace

std::string summaryJson(const Summary &s)
{
    json_t *root = json_object();
    json_t *filter = json_object();
    json_object_set_new(filter, "since", s.filter.since.empty() ? json_null() : jstr(s.filter.since));
    json_object_set_new(filter, "model", s.filter.model.empty() ? json_null() : jstr(s.filter.model));
    json_object_set_new(root, "filter", filter);
    json_object_set_new(root, "runs", json_integer(s.runs));
    json_object_set_new(root, "unfinished_runs", json_integer(s.unfinishedRuns));
    json_object_set_new(root, "runs_without_mac", json_integer(s.runsWithoutUnit));
    json_object_set_new(root, "units", json_integer(s.units));
    json_object_set_new(root, "first_pass_units", json_integer(s.firstPassUnits));
    json_object_set_new(root, "first_pass_yield", json_real(s.firstPassYield));
    json_object_set_new(root, "tests", testsJson(s.tests));
    json_t *models = json_array();
    for (const ModelFigures &m : s.models) {
        json_t *o = json_object();
        json_object_set_new(o, "model", jstr(m.model));
        json_object_set_new(o, "units", json_integer(m.units));
        json_object_set_new(o, "first_pass_units", json_integer(m.firstPassUnits));
        json_object_set_new(o, "first_pass_yield", json_real(m.firstPassYield));
        json_object_set_new(o, "runs", json_integer(m.runs));
        json_object_set_new(o, "runs_passed", json_integer(m.runsPassed));
        json_object_set_new(o, "pass_rate", json_real(m.passRate));
        json_object_set_new(o, "median_run_ms", json_real(m.medianRunMs));
        json_object_set_new(o, "tests", testsJson(m.tests));
        json_array_append_new(models, o);
    }
    json_object_set_new(root, "models", models);
    json_object_set_new(root, "slowest", testsJson(s.slowest));
    json_object_set_new(root, "most_failing", testsJson(s.mostFailing));
    return dump(root);
}

std::string historyJson(const UnitHistory &h)
{
    json_t *root = json_object();
    if (!h.serial.empty() && h.mac.empty()) {
        json_object_set_new(root, "serial", jstr(h.serial));
    } else {
        json_object_set_new(root, "mac", jstr(h.mac));
    }
    json_t *runs = json_array();
    for (const UnitRun &u : h.runs) {
        json_t *o = records::runJson(u.run);
        json_t *results = json_array();
        for (const ResultRow &t : u.results) {
            json_array_append_new(results, records::resultJson(t));
        }
        json_object_set_new(o, "results", results);
        json_array_append_new(runs, o);
    }
    json_object_set_new(root, "runs", runs);
    return dump(root);
}

json_t *duplicatesArray(const std::vector<records::Duplicate> &duplicates)
{
    json_t *list = json_array();
    for (const records::Duplicate &d : duplicates) {
        json_t *o = json_object();
        json_object_set_new(o, "shared", jstr(d.byMac ? "mac" : "serial"));
        json_object_set_new(o, d.byMac ? "mac" : "serial", jstr(d.key));
        json_t *units = json_array();
        for (const RunRow &r : d.units) {
            json_array_append_new(units, records::runJson(r));
        }
        json_object_set_new(o, "units", units);
        json_array_append_new(list, o);
    }
    return list;
}

std::string duplicatesJson(const std::vector<records::Duplicate> &duplicates)
{
    json_t *root = json_object();
    json_object_set_new(root, "duplicates", duplicatesArray(duplicates));
    return dump(root);
}

} // namespace station::report

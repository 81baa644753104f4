// The report as JSON: the summary and one unit's history.
#include <jansson.h>

#include <cstdio>
#include <cstdlib>

#include "report/report.h"

namespace station::report {

namespace {

// ---- JSON helpers (Jansson). Strings from the records may hold bytes that
// are not UTF-8; json_stringn refuses those, so such a string is replaced by
// its bytes in \xNN form. ----

json_t *jstr(const std::string &s)
{
    json_t *v = json_stringn(s.data(), s.size());
    if (v == nullptr) {
        std::string safe;
        for (unsigned char c : s) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            safe += c < 0x80 ? std::string(1, static_cast<char>(c)) : std::string(hex);
        }
        v = json_stringn(safe.data(), safe.size());
    }
    return v;
}

json_t *testJson(const TestFigures &t)
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

json_t *testsJson(const std::vector<TestFigures> &tests)
{
    json_t *a = json_array();
    for (const TestFigures &t : tests) {
        json_array_append_new(a, testJson(t));
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
    json_object_set_new(root, "mac", jstr(h.mac));
    json_t *runs = json_array();
    for (const UnitRun &u : h.runs) {
        const RunRow &r = u.run;
        json_t *o = json_object();
        json_object_set_new(o, "id", jstr(r.id));
        json_object_set_new(o, "batch", jstr(r.batch));
        json_object_set_new(o, "station", jstr(r.station));
        json_object_set_new(o, "started", jstr(r.started));
        json_object_set_new(o, "finished", r.finished.empty() ? json_null() : jstr(r.finished));
        json_object_set_new(o, "host", jstr(r.host));
        json_object_set_new(o, "port", json_integer(r.port));
        json_object_set_new(o, "label", jstr(r.label));
        json_object_set_new(o, "model", jstr(r.model));
        json_object_set_new(o, "mac", jstr(r.mac));
        json_object_set_new(o, "outcome", r.outcome.empty() ? json_null() : jstr(r.outcome));
        json_t *results = json_array();
        for (const ResultRow &t : u.results) {
            json_t *x = json_object();
            json_object_set_new(x, "code", json_integer(t.code));
            json_object_set_new(x, "name", jstr(t.name));
            json_object_set_new(x, "attempt", json_integer(t.attempt));
            json_object_set_new(x, "outcome", jstr(t.outcome));
            json_object_set_new(x, "data_hex", jstr(t.dataHex));
            json_object_set_new(x, "data_text", jstr(t.dataText));
            json_object_set_new(x, "hint", jstr(t.hint));
            json_object_set_new(x, "started", jstr(t.started));
            json_object_set_new(x, "duration_ms", json_integer(t.durationMs));
            json_object_set_new(x, "operator_answer", t.operatorAnswer ? jstr(*t.operatorAnswer) : json_null());
            json_object_set_new(x, "operator_ms", t.operatorMs ? json_integer(*t.operatorMs) : json_null());
            json_array_append_new(results, x);
        }
        json_object_set_new(o, "results", results);
        json_array_append_new(runs, o);
    }
    json_object_set_new(root, "runs", runs);
    return dump(root);
}

} // namespace station::report

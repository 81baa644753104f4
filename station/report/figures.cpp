// The figures of the records: a pure computation over loaded rows (units,
// first-pass yield, pass rates, median durations, one unit's history).
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

#include "catalogue.h"
#include "report/report.h"
#include "wire/input.h"

namespace station::report {

namespace {

// "2026-12-10T11:30:45.123Z" into milliseconds since the epoch; false when it
// is not in that form.
bool isoToMs(const std::string &iso, int64_t &ms)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, milli = 0;
    if (iso.size() != 24 ||
        std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &y, &mo, &d, &h, &mi, &s, &milli) != 7) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    ms = static_cast<int64_t>(timegm(&tm)) * 1000 + milli;
    return true;
}

double median(std::vector<int64_t> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    if (values.size() % 2 == 1) {
        return static_cast<double>(values[mid]);
    }
    return (static_cast<double>(values[mid - 1]) + static_cast<double>(values[mid])) / 2;
}

// A run that passed: "unchecked-line" passed too (the line's database could
// not be asked whether the unit is a duplicate; its own records knew none).
bool passed(const std::string &runOutcome) { return runOutcome == "pass" || runOutcome == "unchecked-line"; }

bool ran(const std::string &outcome)
{
    return outcome == "pass" || outcome == "fail" || outcome == "no-reply" || outcome == "connection-lost";
}

// Plan position of a code: its first row in the catalogue; codes the
// catalogue does not know come after, by code.
size_t planPosition(int code)
{
    for (size_t i = 0; i < catalogue::kTests.size(); ++i) {
        if (catalogue::kTests[i].code == code) {
            return i;
        }
    }
    return catalogue::kTests.size() + static_cast<size_t>(code);
}

bool selected(const RunRow &run, const Filter &filter)
{
    if (!filter.since.empty() && run.started < filter.since) {
        return false;
    }
    if (!filter.model.empty() && run.model != filter.model) {
        return false;
    }
    if (!filter.mac.empty()) {
        const std::optional<std::string> mac = normaliseMac(run.mac);
        if (!mac || *mac != filter.mac) {
            return false;
        }
    }
    return filter.serial.empty() || run.serial == filter.serial;
}

struct TestAcc {
    int code = 0;
    std::string name;
    int passed = 0;
    int failed = 0;
    std::vector<int64_t> durations;
};

std::vector<TestFigures> testFigures(const std::map<int, TestAcc> &acc)
{
    std::vector<TestFigures> out;
    for (const auto &[code, a] : acc) {
        TestFigures t;
        t.code = code;
        t.name = a.name;
        t.attempts = static_cast<int>(a.durations.size());
        t.passed = a.passed;
        t.failed = a.failed;
        t.passRate = t.attempts > 0 ? static_cast<double>(t.passed) / t.attempts : 0;
        t.medianMs = median(a.durations);
        t.longestMs = a.durations.empty() ? 0 : *std::max_element(a.durations.begin(), a.durations.end());
        out.push_back(t);
    }
    std::stable_sort(out.begin(), out.end(), [](const TestFigures &a, const TestFigures &b) {
        return planPosition(a.code) < planPosition(b.code);
    });
    return out;
}

void account(std::map<int, TestAcc> &acc, const ResultRow &r)
{
    if (!ran(r.outcome)) {
        return;
    }
    TestAcc &a = acc[r.code];
    a.code = r.code;
    if (a.name.empty()) {
        a.name = r.name;
    }
    a.durations.push_back(r.durationMs);
    if (r.outcome == "pass") {
        ++a.passed;
    } else {
        ++a.failed;
    }
}

double rate(int part, int whole) { return whole > 0 ? static_cast<double>(part) / whole : 0; }

} // namespace

Summary summarise(const Rows &rows, const Filter &filter)
{
    Summary s;
    s.filter = filter;

    std::map<std::string, const RunRow *> runs; // id -> run
    for (const RunRow &r : rows.runs) {
        if (selected(r, filter)) {
            runs[r.id] = &r;
        }
    }
    std::map<std::string, std::vector<const ResultRow *>> resultsOf;
    for (const ResultRow &r : rows.results) {
        if (runs.count(r.runId) != 0) {
            resultsOf[r.runId].push_back(&r);
        }
    }

    // Units: runs by MAC; the first pass is the earliest run.
    std::map<std::string, const RunRow *> firstRun;
    for (const auto &[id, run] : runs) {
        ++s.runs;
        if (run->finished.empty() || run->outcome.empty()) {
            ++s.unfinishedRuns;
        }
        const std::optional<std::string> normalised = normaliseMac(run->mac);
        if (!normalised) {
            ++s.runsWithoutUnit;
            continue;
        }
        const std::string &mac = *normalised;
        auto it = firstRun.find(mac);
        if (it == firstRun.end() || run->started < it->second->started ||
            (run->started == it->second->started && run->id < it->second->id)) {
            firstRun[mac] = run;
        }
    }

    struct ModelAcc {
        ModelFigures figures;
        std::vector<int64_t> runMs;
        std::map<int, TestAcc> tests;
    };
    std::map<std::string, ModelAcc> models;
    auto modelOf = [](const RunRow *run) { return run->model.empty() ? std::string("(unknown)") : run->model; };

    for (const auto &[mac, run] : firstRun) {
        bool firstPass = passed(run->outcome);
        for (const ResultRow *r : resultsOf[run->id]) {
            if (r->attempt == 1 && r->outcome != "skipped" && r->outcome != "pass") {
                firstPass = false;
            }
        }
        ModelFigures &m = models[modelOf(run)].figures;
        ++m.units;
        ++s.units;
        if (firstPass) {
            ++m.firstPassUnits;
            ++s.firstPassUnits;
        }
    }

    std::map<int, TestAcc> tests;
    for (const auto &[id, run] : runs) {
        ModelAcc &m = models[modelOf(run)];
        if (!run->finished.empty() && !run->outcome.empty()) {
            ++m.figures.runs;
            if (passed(run->outcome)) {
                ++m.figures.runsPassed;
            }
            int64_t a = 0, b = 0;
            if (isoToMs(run->started, a) && isoToMs(run->finished, b) && b >= a) {
                m.runMs.push_back(b - a);
            }
        }
        for (const ResultRow *r : resultsOf[id]) {
            account(tests, *r);
            account(m.tests, *r);
        }
    }

    s.firstPassYield = rate(s.firstPassUnits, s.units);
    s.tests = testFigures(tests);
    for (auto &[name, m] : models) {
        m.figures.model = name;
        m.figures.firstPassYield = rate(m.figures.firstPassUnits, m.figures.units);
        m.figures.passRate = rate(m.figures.runsPassed, m.figures.runs);
        m.figures.medianRunMs = median(m.runMs);
        m.figures.tests = testFigures(m.tests);
        s.models.push_back(std::move(m.figures));
    }

    std::vector<TestFigures> ranked = s.tests;
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const TestFigures &a, const TestFigures &b) { return a.medianMs > b.medianMs; });
    for (size_t i = 0; i < ranked.size() && s.slowest.size() < 5; ++i) {
        s.slowest.push_back(ranked[i]);
    }
    ranked = s.tests;
    std::stable_sort(ranked.begin(), ranked.end(), [](const TestFigures &a, const TestFigures &b) {
        return a.failed != b.failed ? a.failed > b.failed : a.passRate < b.passRate;
    });
    for (size_t i = 0; i < ranked.size() && s.mostFailing.size() < 5 && ranked[i].failed > 0; ++i) {
        s.mostFailing.push_back(ranked[i]);
    }
    return s;
}

UnitHistory unitHistory(const Rows &rows, const Filter &filter)
{
    UnitHistory h;
    h.mac = filter.mac;
    h.serial = filter.serial;
    std::map<std::string, size_t> index;
    std::vector<const RunRow *> runs;
    for (const RunRow &r : rows.runs) {
        if (selected(r, filter)) {
            runs.push_back(&r);
        }
    }
    std::stable_sort(runs.begin(), runs.end(), [](const RunRow *a, const RunRow *b) {
        return a->started != b->started ? a->started < b->started : a->id < b->id;
    });
    for (const RunRow *r : runs) {
        index[r->id] = h.runs.size();
        h.runs.push_back(UnitRun{*r, {}});
    }
    for (const ResultRow &r : rows.results) {
        auto it = index.find(r.runId);
        if (it != index.end()) {
            h.runs[it->second].results.push_back(r);
        }
    }
    return h;
}

} // namespace station::report

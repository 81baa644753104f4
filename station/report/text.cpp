// The report as text for a terminal: the summary, the stations side by
// side and one unit's history.
#include <cstdarg>
#include <cstdio>

#include "report/report.h"

namespace station::report {

namespace {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char small[256];
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    std::string out;
    if (n < 0) {
        va_end(again);
        return out;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        out.assign(small, static_cast<size_t>(n));
    } else {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, again);
        out.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return out;
}

std::string seconds(double ms) { return format("%.2f s", ms / 1000); }
std::string percent(double r) { return format("%.1f %%", r * 100); }

// Text from the records that ends up on a terminal: control characters shown
// as \xNN, so a stored reply cannot move the cursor or change colours.
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            out += format("\\x%02x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string testTable(const std::vector<TestFigures> &tests, const char *indent)
{
    std::string out = format("%s%-16s %-6s %5s %6s %6s %9s %9s %9s\n", indent, "test", "code", "runs", "passed",
                             "failed", "pass rate", "median", "longest");
    for (const TestFigures &t : tests) {
        out += format("%s%-16s 0x%04x %5d %6d %6d %9s %9s %9s\n", indent, printable(t.name).c_str(), t.code, t.attempts,
                      t.passed, t.failed, percent(t.passRate).c_str(), seconds(t.medianMs).c_str(),
                      seconds(static_cast<double>(t.longestMs)).c_str());
    }
    return out;
}

} // namespace

std::string formatStationTable(const std::vector<StationSummary> &stations)
{
    size_t width = 7; // "station"
    for (const StationSummary &st : stations) {
        width = std::max(width, printable(st.station).size());
    }
    const int w = static_cast<int>(std::min<size_t>(width, 40));
    std::string out =
        format("%-*s %5s %10s %5s %10s %9s\n", w, "station", "runs", "unfinished", "units", "first pass", "yield");
    for (const StationSummary &st : stations) {
        const Summary &s = st.summary;
        out += format("%-*s %5d %10d %5d %10d %9s\n", w, printable(st.station).c_str(), s.runs, s.unfinishedRuns,
                      s.units, s.firstPassUnits, percent(s.firstPassYield).c_str());
    }
    return out;
}

std::string formatSummary(const Summary &s)
{
    std::string out;
    std::string selection;
    if (!s.filter.since.empty()) {
        selection += " since " + s.filter.since;
    }
    if (!s.filter.model.empty()) {
        selection += " of model " + s.filter.model;
    }
    if (s.runs == 0) {
        return "no runs in the records" + selection + "\n";
    }
    out += format("runs%s: %d", selection.c_str(), s.runs);
    if (s.unfinishedRuns > 0) {
        out += format(" (%d unfinished)", s.unfinishedRuns);
    }
    if (s.runsWithoutUnit > 0) {
        out += format(", %d without a MAC (the gateway never answered it)", s.runsWithoutUnit);
    }
    out += "\n";
    out += format("units tested: %d, first-pass yield: %s (%d of %d)\n", s.units, percent(s.firstPassYield).c_str(),
                  s.firstPassUnits, s.units);

    out += '\n'; // piece by piece: GCC 12 takes "\n" + a temporary for an overlapping copy (-Wrestrict)
    out += format("%-10s %5s %10s %9s %5s %6s %9s %10s\n", "model", "units", "first pass", "yield", "runs", "passed",
                  "pass rate", "median run");
    for (const ModelFigures &m : s.models) {
        out += format("%-10s %5d %10d %9s %5d %6d %9s %10s\n", printable(m.model).c_str(), m.units, m.firstPassUnits,
                      percent(m.firstPassYield).c_str(), m.runs, m.runsPassed, percent(m.passRate).c_str(),
                      seconds(m.medianRunMs).c_str());
    }

    out += '\n';
    out += testTable(s.tests, "");
    if (s.models.size() > 1) {
        for (const ModelFigures &m : s.models) {
            if (!m.tests.empty()) {
                out += '\n';
                out += printable(m.model) + ":\n" + testTable(m.tests, "  ");
            }
        }
    }

    out += "\nslowest tests (median):";
    for (size_t i = 0; i < s.slowest.size(); ++i) {
        out += format("%s %s %s", i > 0 ? "," : "", printable(s.slowest[i].name).c_str(),
                      seconds(s.slowest[i].medianMs).c_str());
    }
    out += "\nmost failing tests:";
    if (s.mostFailing.empty()) {
        out += " none";
    }
    for (size_t i = 0; i < s.mostFailing.size(); ++i) {
        const TestFigures &t = s.mostFailing[i];
        out += format("%s %s %d of %d (%s)", i > 0 ? "," : "", printable(t.name).c_str(), t.failed, t.attempts,
                      percent(t.attempts > 0 ? static_cast<double>(t.failed) / t.attempts : 0).c_str());
    }
    out += "\n";
    return out;
}

std::string formatHistory(const UnitHistory &h)
{
    const std::string unit = h.mac.empty() ? "serial " + printable(h.serial) : h.mac;
    if (h.runs.empty()) {
        return "no runs of " + unit + " in the records\n";
    }
    std::string out = format("%s: %zu run%s\n", unit.c_str(), h.runs.size(), h.runs.size() == 1 ? "" : "s");
    for (const UnitRun &u : h.runs) {
        const RunRow &r = u.run;
        out += format("\nrun %s, station %s, %s:%d%s, model %s\n  started %s, %s\n", printable(r.id).c_str(),
                      printable(r.station).c_str(), printable(r.host).c_str(), r.port,
                      r.label.empty() ? "" : (" (" + printable(r.label) + ")").c_str(), printable(r.model).c_str(),
                      r.started.c_str(),
                      r.finished.empty() ? "never finished (the station stopped or died)"
                                         : ("finished " + r.finished + ": " + printable(r.outcome)).c_str());
        if (!r.serial.empty() || (h.mac.empty() && !r.mac.empty())) {
            out += "  unit";
            out += r.mac.empty() ? "" : " MAC " + r.mac;
            out += r.serial.empty() ? "" : " serial " + printable(r.serial);
            out += "\n";
        }
        for (const ResultRow &t : u.results) {
            out += format("  %-16s 0x%04x #%d %-15s %8.2f s", printable(t.name).c_str(), t.code, t.attempt,
                          printable(t.outcome).c_str(), static_cast<double>(t.durationMs) / 1000);
            if (!t.dataText.empty()) {
                out += "  " + printable(t.dataText);
            }
            if (t.operatorAnswer) {
                out += format("  operator: %s", printable(*t.operatorAnswer).c_str());
                if (t.operatorMs) {
                    out += format(" after %.1f s", static_cast<double>(*t.operatorMs) / 1000);
                }
            }
            if (t.outcome != "pass" && !t.hint.empty()) {
                out += "  (" + printable(t.hint) + ")";
            }
            out += "\n";
        }
    }
    return out;
}

std::string formatDuplicates(const std::vector<records::Duplicate> &duplicates)
{
    if (duplicates.empty()) {
        return "no duplicates: every MAC has one serial number, every serial number one MAC\n";
    }
    std::string out = format("%zu duplicate%s\n", duplicates.size(), duplicates.size() == 1 ? "" : "s");
    for (const records::Duplicate &d : duplicates) {
        out += d.byMac ? format("\nMAC %s under %zu serial numbers:\n", d.key.c_str(), d.units.size())
                       : format("\nserial %s on %zu MACs:\n", printable(d.key).c_str(), d.units.size());
        for (const RunRow &r : d.units) {
            out += format("  %-20s station %s, %s, run %s: %s\n", (d.byMac ? printable(r.serial) : r.mac).c_str(),
                          printable(r.station).c_str(), r.started.c_str(), printable(r.id).c_str(),
                          r.outcome.empty() ? "unfinished" : printable(r.outcome).c_str());
        }
    }
    return out;
}

} // namespace station::report

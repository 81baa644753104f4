// `gwtest report`: the loader of the station's records.db and the figures
// computed from loaded rows.
#include "report/report.h"

#include <jansson.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <string_view>

#include "catalogue.h"
#include "records/schema.h"

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

bool allDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

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
        std::string mac;
        if (!normaliseMac(run.mac, mac) || mac != filter.mac) {
            return false;
        }
    }
    return true;
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

// ---- JSON helpers (Jansson). Strings from the records may hold bytes that
// are not UTF-8; json_stringn refuses those, so such a string is replaced by
// its bytes in \xNN form. ----

json_t *jstr(const std::string &s)
{
    json_t *v = json_stringn(s.data(), s.size());
    if (v == nullptr) {
        std::string safe;
        for (unsigned char c : s) {
            safe += c < 0x80 ? std::string(1, static_cast<char>(c)) : format("\\x%02x", c);
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

bool parseSince(const std::string &text, std::string &iso, std::string &error)
{
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    }
    // Date, then optional T or space, hours:minutes, optional :seconds.
    std::string date = t.substr(0, 10);
    std::string rest = t.size() > 10 ? t.substr(10) : "";
    bool ok = date.size() == 10 && date[4] == '-' && date[7] == '-' && allDigits(date.substr(0, 4)) &&
              allDigits(date.substr(5, 2)) && allDigits(date.substr(8, 2));
    std::string hh = "00", mm = "00", ss = "00";
    if (ok && !rest.empty()) {
        ok = (rest[0] == 'T' || rest[0] == 't' || rest[0] == ' ') && (rest.size() == 6 || rest.size() == 9) &&
             rest[3] == ':' && (rest.size() == 6 || rest[6] == ':');
        if (ok) {
            hh = rest.substr(1, 2);
            mm = rest.substr(4, 2);
            ss = rest.size() == 9 ? rest.substr(7, 2) : "00";
            ok = allDigits(hh) && allDigits(mm) && allDigits(ss);
        }
    }
    if (ok) {
        int y = std::stoi(date.substr(0, 4)), mo = std::stoi(date.substr(5, 2)), d = std::stoi(date.substr(8, 2));
        static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        ok = mo >= 1 && mo <= 12 && d >= 1 && d <= kDays[mo - 1] && !(mo == 2 && d == 29 && !leap) &&
             std::stoi(hh) < 24 && std::stoi(mm) < 60 && std::stoi(ss) < 60;
    }
    if (!ok) {
        error = "--since: '" + text + "' is not a date; expected YYYY-MM-DD, YYYY-MM-DDTHH:MM or " +
                "YYYY-MM-DDTHH:MM:SS (UTC)";
        return false;
    }
    iso = date + "T" + hh + ":" + mm + ":" + ss + ".000Z";
    return true;
}

bool normaliseMac(const std::string &text, std::string &mac)
{
    std::string hex;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c != ':' && c != '-') {
            return false;
        }
    }
    if (hex.size() != 12) {
        return false;
    }
    mac.clear();
    for (size_t i = 0; i < 12; i += 2) {
        if (i > 0) {
            mac += ':';
        }
        mac += hex.substr(i, 2);
    }
    return true;
}

// ---- Loader ----

namespace {

std::string column(sqlite3_stmt *st, int i)
{
    const unsigned char *text = sqlite3_column_text(st, i);
    return text != nullptr
               ? std::string(reinterpret_cast<const char *>(text), static_cast<size_t>(sqlite3_column_bytes(st, i)))
               : std::string();
}

struct Db {
    sqlite3 *db = nullptr;
    ~Db() { sqlite3_close(db); }
};

struct Stmt {
    sqlite3_stmt *st = nullptr;
    ~Stmt() { sqlite3_finalize(st); }
};

// A file name as an SQLite URI ("file:/a%20b/records.db?mode=ro").
std::string sqliteUri(const std::string &path, bool immutable)
{
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (std::isalnum(c) || c == '/' || c == '.' || c == '-' || c == '_' || c == '~') {
            uri += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            uri += buf;
        }
    }
    return uri + (immutable ? "?mode=ro&immutable=1" : "?mode=ro");
}

// The selection, shared by both queries.
constexpr const char *kRunWhere = " WHERE (?1 = '' OR started >= ?1) AND (?2 = '' OR model = ?2)"
                                  " AND (?3 = '' OR mac = ?3)";

void bindFilter(sqlite3_stmt *st, const Filter &filter)
{
    sqlite3_bind_text(st, 1, filter.since.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, filter.model.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 3, filter.mac.c_str(), -1, SQLITE_TRANSIENT);
}

} // namespace

bool loadSqlite(const std::string &dir, const Filter &filter, Rows &rows, std::string &error)
{
    std::string path = dir + "/records.db";
    struct stat sb {};
    if (stat(path.c_str(), &sb) != 0) {
        error = "no records in " + dir + ": " + path + " does not exist";
        return false;
    }
    Db db;
    int version = -1;
    // Records in a directory this user cannot write (a copy on a read-only
    // share, a root station's records read by an engineer) cannot have the
    // write-ahead log's index file made beside them: then the file is read
    // as it is on disk (immutable), which is what it holds when no station
    // is writing there.
    for (bool immutable : {false, true}) {
        sqlite3_close(db.db);
        db.db = nullptr;
        if (sqlite3_open_v2(sqliteUri(path, immutable).c_str(), &db.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                            nullptr) != SQLITE_OK) {
            error = "cannot open " + path + ": " + (db.db != nullptr ? sqlite3_errmsg(db.db) : "out of memory");
            return false;
        }
        // A station writing at this moment holds the write lock only briefly.
        sqlite3_busy_timeout(db.db, 10000);
        Stmt st;
        int rc = sqlite3_prepare_v2(db.db, "PRAGMA user_version", -1, &st.st, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(st.st);
        }
        if (rc == SQLITE_ROW) {
            version = sqlite3_column_int(st.st, 0);
            break;
        }
        int primary = sqlite3_extended_errcode(db.db) & 0xff;
        if (immutable || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN)) {
            error = std::string("cannot read ") + path + ": " + sqlite3_errmsg(db.db);
            return false;
        }
    }
    auto fail = [&](const char *what) {
        error = std::string("cannot read ") + path + " (" + what + "): " + sqlite3_errmsg(db.db);
        return false;
    };
    if (version > kRecordsSchemaVersion) {
        error = path + " was written by a newer gwtest (records schema version " + std::to_string(version) +
                "; this gwtest reads up to " + std::to_string(kRecordsSchemaVersion) + ")";
        return false;
    }
    if (version < 1) {
        error = path + " is not a gwtest records file (no records schema in it)";
        return false;
    }

    std::string runSql = std::string("SELECT id, batch, station, started, coalesce(finished, ''), host, port, label,"
                                     " model, mac, coalesce(outcome, '') FROM runs") +
                         kRunWhere + " ORDER BY started, id";
    {
        Stmt st;
        if (sqlite3_prepare_v2(db.db, runSql.c_str(), -1, &st.st, nullptr) != SQLITE_OK) {
            return fail("runs");
        }
        bindFilter(st.st, filter);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(st.st)) == SQLITE_ROW) {
            RunRow r;
            r.id = column(st.st, 0);
            r.batch = column(st.st, 1);
            r.station = column(st.st, 2);
            r.started = column(st.st, 3);
            r.finished = column(st.st, 4);
            r.host = column(st.st, 5);
            r.port = sqlite3_column_int(st.st, 6);
            r.label = column(st.st, 7);
            r.model = column(st.st, 8);
            r.mac = column(st.st, 9);
            r.outcome = column(st.st, 10);
            rows.runs.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) {
            return fail("runs");
        }
    }
    std::string resultSql = std::string("SELECT run_id, station, mac, code, name, attempt, outcome, data_hex,"
                                        " data_text, hint, started, duration_ms, operator_answer, operator_ms"
                                        " FROM results WHERE run_id IN (SELECT id FROM runs") +
                            kRunWhere + ") ORDER BY rowid";
    {
        Stmt st;
        if (sqlite3_prepare_v2(db.db, resultSql.c_str(), -1, &st.st, nullptr) != SQLITE_OK) {
            return fail("results");
        }
        bindFilter(st.st, filter);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(st.st)) == SQLITE_ROW) {
            ResultRow r;
            r.runId = column(st.st, 0);
            r.station = column(st.st, 1);
            r.mac = column(st.st, 2);
            r.code = sqlite3_column_int(st.st, 3);
            r.name = column(st.st, 4);
            r.attempt = sqlite3_column_int(st.st, 5);
            r.outcome = column(st.st, 6);
            r.dataHex = column(st.st, 7);
            r.dataText = column(st.st, 8);
            r.hint = column(st.st, 9);
            r.started = column(st.st, 10);
            r.durationMs = sqlite3_column_int64(st.st, 11);
            if (sqlite3_column_type(st.st, 12) != SQLITE_NULL) {
                r.operatorAnswer = column(st.st, 12);
            }
            if (sqlite3_column_type(st.st, 13) != SQLITE_NULL) {
                r.operatorMs = sqlite3_column_int64(st.st, 13);
            }
            rows.results.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) {
            return fail("results");
        }
    }
    return true;
}

// ---- Computation ----

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
        std::string mac;
        if (!normaliseMac(run->mac, mac)) {
            ++s.runsWithoutUnit;
            continue;
        }
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
        bool firstPass = run->outcome == "pass";
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
            if (run->outcome == "pass") {
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

// ---- Output ----

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

    out += "\n" + format("%-10s %5s %10s %9s %5s %6s %9s %10s\n", "model", "units", "first pass", "yield", "runs",
                         "passed", "pass rate", "median run");
    for (const ModelFigures &m : s.models) {
        out += format("%-10s %5d %10d %9s %5d %6d %9s %10s\n", printable(m.model).c_str(), m.units, m.firstPassUnits,
                      percent(m.firstPassYield).c_str(), m.runs, m.runsPassed, percent(m.passRate).c_str(),
                      seconds(m.medianRunMs).c_str());
    }

    out += "\n" + testTable(s.tests, "");
    if (s.models.size() > 1) {
        for (const ModelFigures &m : s.models) {
            if (!m.tests.empty()) {
                out += "\n" + printable(m.model) + ":\n" + testTable(m.tests, "  ");
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
                      percent(rate(t.failed, t.attempts)).c_str());
    }
    out += "\n";
    return out;
}

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

std::string formatHistory(const UnitHistory &h)
{
    if (h.runs.empty()) {
        return "no runs of " + h.mac + " in the records\n";
    }
    std::string out = format("%s: %zu run%s\n", h.mac.c_str(), h.runs.size(), h.runs.size() == 1 ? "" : "s");
    for (const UnitRun &u : h.runs) {
        const RunRow &r = u.run;
        out += format("\nrun %s, station %s, %s:%d%s, model %s\n  started %s, %s\n", printable(r.id).c_str(),
                      printable(r.station).c_str(), printable(r.host).c_str(), r.port,
                      r.label.empty() ? "" : (" (" + printable(r.label) + ")").c_str(), printable(r.model).c_str(),
                      r.started.c_str(),
                      r.finished.empty() ? "never finished (the station stopped or died)"
                                         : ("finished " + r.finished + ": " + printable(r.outcome)).c_str());
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

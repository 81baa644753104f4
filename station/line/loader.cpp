// gwtest report --db: the line's runs and results read from PostgreSQL
// into the report's rows (one snapshot), and the line's figures per station.
#include "line/loader.h"

#include <map>

#include "line/connection.h"
#include "line/layout.h"
#include "records/clash.h"

namespace station::line {

namespace {

// Times back in the records' own spelling: "2026-12-10T11:30:45.123Z".
#define ISO_UTC(col) "to_char(" col " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')"

// The runs the filter selects; an empty filter field is NULL.
#define RUN_FILTER \
    "($1::timestamptz IS NULL OR u.started >= $1::timestamptz) AND ($2::text IS NULL OR u.model = $2) AND " \
    "($3::text IS NULL OR u.mac = $3) AND ($4::text IS NULL OR u.serial = $4)"

#define RUN_COLUMNS \
    "u.id, u.batch, u.station, " ISO_UTC("u.started") ", coalesce(" ISO_UTC( \
        "u.finished") ", ''), u.host, u.port, " \
                      "u.label, u.model, u.mac, coalesce(u.outcome, ''), u.serial, " \
                      "u.operator_id, u.profile_hash, u.profile_path, u.station_version"

constexpr const char *kRuns =
    "SELECT " RUN_COLUMNS " FROM runs u WHERE " RUN_FILTER " ORDER BY u.started, u.station, u.id";

// Every run of the line that shares a unit's MAC or its serial number.
constexpr const char *kUnitRuns = "SELECT " RUN_COLUMNS " FROM runs u WHERE (u.mac = $1 OR u.serial = $2) AND "
                                  "u.mac <> '' AND u.serial <> '' ORDER BY u.started, u.station, u.id";

constexpr const char *kResults =
    "SELECT r.run_id, r.station, r.mac, r.code, r.name, r.attempt, r.outcome, r.data_hex, r.data_text, "
    "r.hint, " ISO_UTC(
        "r.started") ", r.duration_ms, r.operator_answer, r.operator_ms, coalesce(r.gang, ''), r.\"limit\", "
                     "r.marginal FROM results r "
                     "JOIN runs u ON u.station = r.station AND u.id = r.run_id WHERE " RUN_FILTER
                     " ORDER BY u.started, u.station, u.id, r.started, r.received, r.code, r.attempt";

PgParam orNull(const std::string &text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    return text;
}

records::RunRow runAt(const PgResult &runs, int i)
{
    records::RunRow r;
    r.id = runs.text(i, 0);
    r.batch = runs.text(i, 1);
    r.station = runs.text(i, 2);
    r.started = runs.text(i, 3);
    r.finished = runs.text(i, 4);
    r.host = runs.text(i, 5);
    r.port = static_cast<int>(runs.integer(i, 6));
    r.label = runs.text(i, 7);
    r.model = runs.text(i, 8);
    r.mac = runs.text(i, 9);
    r.outcome = runs.text(i, 10);
    r.serial = runs.text(i, 11);
    r.operatorId = runs.text(i, 12);
    r.profileHash = runs.text(i, 13);
    r.profilePath = runs.text(i, 14);
    r.stationVersion = runs.text(i, 15);
    return r;
}

} // namespace

bool loadLine(const std::string &url, const records::Filter &filter, records::Rows &rows, std::string &error)
{
    Reach reach = Reach::kUnreachable;
    PgConn conn = PgConn::connect(url, "gwtest report", reach, error);
    if (reach != Reach::kConnected) {
        error = "line database " + redactedUrl(url) +
                (reach == Reach::kUnreachable ? " unreachable: " : " refused the station: ") + error;
        return false;
    }
    try {
        const PgResult layout = conn.exec("SELECT to_regclass('meta') IS NOT NULL");
        if (layout.text(0, 0) != "t") {
            error = "line database " + redactedUrl(url) + " holds no records yet (no station has written to it)";
            return false;
        }
        // An older layout is brought up to date first, as a station would.
        ensureLineSchema(conn);
        // One snapshot for both queries: a result never without its run.
        conn.exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        const std::vector<PgParam> params = {orNull(filter.since), orNull(filter.model), orNull(filter.mac),
                                             orNull(filter.serial)};
        const PgResult runs = conn.exec(kRuns, params);
        for (int i = 0; i < runs.rows(); ++i) {
            rows.runs.push_back(runAt(runs, i));
        }
        if (!filter.results) {
            conn.commit();
            return true;
        }
        const PgResult results = conn.exec(kResults, params);
        for (int i = 0; i < results.rows(); ++i) {
            records::ResultRow r;
            r.runId = results.text(i, 0);
            r.station = results.text(i, 1);
            r.mac = results.text(i, 2);
            r.code = static_cast<int>(results.integer(i, 3));
            r.name = results.text(i, 4);
            r.attempt = static_cast<int>(results.integer(i, 5));
            r.outcome = results.text(i, 6);
            r.dataHex = results.text(i, 7);
            r.dataText = results.text(i, 8);
            r.hint = results.text(i, 9);
            r.started = results.text(i, 10);
            r.durationMs = results.integer(i, 11);
            r.operatorAnswer = results.optText(i, 12);
            if (!results.isNull(i, 13)) {
                r.operatorMs = results.integer(i, 13);
            }
            r.gang = results.text(i, 14);
            r.limit = results.text(i, 15);
            r.marginal = results.text(i, 16) == "t";
            rows.results.push_back(std::move(r));
        }
        conn.commit();
    } catch (const std::exception &e) {
        error = "line database " + redactedUrl(url) + ": " + e.what();
        return false;
    }
    return true;
}

std::optional<records::RunRow> lineClash(PgConn &conn, const records::UnitKey &unit)
{
    const PgResult layout = conn.exec("SELECT to_regclass('runs') IS NOT NULL");
    if (layout.text(0, 0) != "t") {
        return std::nullopt; // no station has written to it yet: nothing to clash with
    }
    const PgResult runs = conn.exec(kUnitRuns, {PgParam(unit.mac), PgParam(unit.serial)});
    std::vector<records::RunRow> found;
    for (int i = 0; i < runs.rows(); ++i) {
        found.push_back(runAt(runs, i));
    }
    return records::findClash(found, unit);
}

bool findLineClash(const std::string &url, const records::UnitKey &unit, std::optional<records::RunRow> &clash,
                   std::string &error)
{
    clash.reset();
    Reach reach = Reach::kUnreachable;
    PgConn conn = PgConn::connect(url, "gwtest run", reach, error);
    if (reach != Reach::kConnected) {
        error = "line database " + redactedUrl(url) +
                (reach == Reach::kUnreachable ? " unreachable: " : " refused the station: ") + error;
        return false;
    }
    try {
        clash = lineClash(conn, unit);
    } catch (const std::exception &e) {
        error = "line database " + redactedUrl(url) + ": " + e.what();
        return false;
    }
    return true;
}

} // namespace station::line

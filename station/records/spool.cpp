// The spool of the line's database in records.db (see spool.h): the
// tables of marks beside the records, and the reads of what waits.
#include "records/spool.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "records/sqlite.h"

namespace station {

namespace {

// The marks of what reached which line. Kept beside the records in
// records.db, so that a record and its mark are in one file.
constexpr const char *kSpoolTables = R"sql(
CREATE TABLE IF NOT EXISTS line_sent_runs (
  line   TEXT NOT NULL,
  run_id TEXT NOT NULL,
  state  TEXT NOT NULL,
  refused TEXT,             -- why the line refused it; NULL when it is stored there
  PRIMARY KEY (line, run_id)
);
CREATE TABLE IF NOT EXISTS line_sent_results (
  line    TEXT NOT NULL,
  run_id  TEXT NOT NULL,
  code    INTEGER NOT NULL,
  attempt INTEGER NOT NULL,
  refused TEXT,
  PRIMARY KEY (line, run_id, code, attempt)
);
)sql";

// What of a run changes while it runs. The serial number (records version
// 3) may come during the run or with its end; it is part of the state only
// once known, so that the state of every run noted before it was kept
// stays what it was.
#define RUN_STATE_HEAD \
    "coalesce(r.finished, '') || '|' || coalesce(r.outcome, '') || '|' || r.model || '|' || r.mac || '|' || r.label"
#define RUN_STATE_V3 RUN_STATE_HEAD " || CASE WHEN r.serial <> '' THEN '|' || r.serial ELSE '' END"

// The runs among the candidates (new since the cursor, or open when last
// seen) whose state the line does not have yet; with the columns of records
// version 3 or (a records.db no station of that version has opened yet)
// without them.
#define PENDING_RUNS_HEAD(TRACE, STATE) \
    "SELECT r.id, r.batch, r.station, r.started, r.finished, r.host, r.port, r.label, r.model, r.mac, " \
    "r.outcome, " STATE ", " TRACE " FROM runs r LEFT JOIN line_sent_runs f ON f.line = ?1 AND f.run_id = r.id " \
    "WHERE (f.state IS NULL OR f.state <> " STATE ") AND ((r.rowid > ?2 AND r.rowid <= ?3)"
constexpr const char *kPendingRunsHead =
    PENDING_RUNS_HEAD("r.serial, r.operator_id, r.profile_hash, r.profile_path, r.station_version", RUN_STATE_V3);
constexpr const char *kPendingRunsHeadBefore3 = PENDING_RUNS_HEAD("'', '', '', '', ''", RUN_STATE_HEAD);

// The gang's column comes with records version 2, the limits with version
// 3; a records.db no station of that version has opened yet is read as it
// is (no gangs, no limits in it).
constexpr const char *kPendingResultsHead =
    "SELECT r.rowid, r.run_id, r.station, r.mac, r.code, r.name, r.attempt, r.outcome, r.data_hex, r.data_text, "
    "r.hint, r.started, r.duration_ms, r.operator_answer, r.operator_ms, ";
constexpr const char *kPendingResultsTail =
    " FROM results r WHERE r.rowid > ?2 AND NOT EXISTS (SELECT 1 FROM line_sent_results f WHERE f.line = ?1 "
    "AND f.run_id = r.run_id AND f.code = r.code AND f.attempt = r.attempt) ORDER BY r.rowid LIMIT ?3";

constexpr const char *kPendingCount = "SELECT count(*) FROM results r WHERE r.rowid > ?2 AND NOT EXISTS (SELECT 1 FROM "
                                      "line_sent_results f WHERE f.line = ?1 "
                                      "AND f.run_id = r.run_id AND f.code = r.code AND f.attempt = r.attempt)";

// A statement whose failures are thrown, as the forwarder expects.
class Query {
public:
    Query(const sqlite::Db &db, const std::string &sql) : db_(db), st_(db, sql)
    {
        if (!st_.ok()) {
            throw std::runtime_error("records.db: " + db.message());
        }
    }
    void bind(int i, const std::string &text) { st_.bind(i, text); }
    void bind(int i, long long value) { st_.bind(i, int64_t{value}); }
    bool step()
    {
        const int rc = st_.step();
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            throw std::runtime_error("records.db: " + db_.message());
        }
        return false;
    }
    void reset() { st_.reset(); }
    std::string text(int col) const { return st_.text(col); }
    std::optional<std::string> optText(int col) const { return st_.optText(col); }
    long long integer(int col) const { return st_.integer(col); }
    std::optional<long long> optInteger(int col) const
    {
        return st_.isNull(col) ? std::nullopt : std::optional<long long>(st_.integer(col));
    }

private:
    const sqlite::Db &db_;
    sqlite::Stmt st_;
};

void execSqlite(sqlite::Db &db, const char *sql)
{
    std::string message;
    if (db.exec(sql, &message) != SQLITE_OK) {
        throw std::runtime_error("records.db: " + message);
    }
}

} // namespace

std::string recordsDbPath(const std::string &recordsDir) { return recordsDir + "/records.db"; }

Spool::Spool(std::string path) : path_(std::move(path)) {}

Spool::~Spool() = default;

bool Spool::exists() const
{
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0;
}

bool Spool::open(std::string &error)
{
    if (db_) {
        return true;
    }
    auto db = std::make_unique<sqlite::Db>();
    if (db->open(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX) != SQLITE_OK) {
        error = path_ + ": " + (*db ? db->message() : "cannot open");
        return false;
    }
    // The records writer (and maybe another station process) writes the same
    // file: wait for their short transactions rather than fail.
    db->busyWait(30000);
    try {
        execSqlite(*db, kSpoolTables);
    } catch (const std::exception &e) {
        error = path_ + ": " + e.what();
        return false;
    }
    db_ = std::move(db);
    return true;
}

bool Spool::hasRecords()
{
    // The records writer makes its tables when it opens the file.
    Query tables(*db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('runs', 'results')");
    return tables.step() && tables.integer(0) == 2;
}

bool Spool::hasColumn(const char *table, const char *column)
{
    Query found(*db_, "SELECT count(*) FROM pragma_table_info(?1) WHERE name = ?2");
    found.bind(1, std::string(table));
    found.bind(2, std::string(column));
    return found.step() && found.integer(0) == 1;
}

Spool::Batch Spool::pending(const std::string &line, const Cursor &from, int limit)
{
    Batch batch;
    batch.next = from;
    if (!hasRecords()) {
        return batch;
    }
    // One read transaction: every result read has its run in the same view.
    execSqlite(*db_, "BEGIN");
    try {
        // The runs: those added since the cursor, and those that were open
        // (not finished) when last seen; finished runs never change again,
        // so a long history costs nothing per pass.
        Cursor &next = batch.next;
        {
            Query last(*db_, "SELECT coalesce(max(rowid), 0) FROM runs");
            last.step();
            next.runsUpTo = std::max(from.runsUpTo, last.integer(0));
        }
        std::string open;
        for (const long long rowid : from.openRuns) {
            if (!open.empty()) {
                open += ',';
            }
            open += std::to_string(rowid);
        }
        {
            Query stillOpen(*db_, ("SELECT rowid FROM runs WHERE finished IS NULL AND ((rowid > ?1 AND rowid <= ?2)"
                                   " OR rowid IN (" +
                                   open + "))")
                                      .c_str());
            stillOpen.bind(1, from.runsUpTo);
            stillOpen.bind(2, next.runsUpTo);
            next.openRuns.clear();
            while (stillOpen.step()) {
                next.openRuns.insert(stillOpen.integer(0));
            }
        }
        const bool traced = hasColumn("runs", "serial");
        std::string runsSql = traced ? kPendingRunsHead : kPendingRunsHeadBefore3;
        runsSql += " OR r.rowid IN (";
        runsSql += open;
        runsSql += ")) ORDER BY r.rowid";
        Query runs(*db_, runsSql);
        runs.bind(1, line);
        runs.bind(2, from.runsUpTo);
        runs.bind(3, next.runsUpTo);
        while (runs.step()) {
            SpoolRun r;
            r.id = runs.text(0);
            r.batch = runs.text(1);
            r.station = runs.text(2);
            r.started = runs.text(3);
            r.finished = runs.optText(4);
            r.host = runs.text(5);
            r.port = runs.integer(6);
            r.label = runs.text(7);
            r.model = runs.text(8);
            r.mac = runs.text(9);
            r.outcome = runs.optText(10);
            r.state = runs.text(11);
            r.serial = runs.text(12);
            r.operatorId = runs.text(13);
            r.profileHash = runs.text(14);
            r.profilePath = runs.text(15);
            r.stationVersion = runs.text(16);
            batch.runs.push_back(std::move(r));
        }

        std::string resultsSql = kPendingResultsHead;
        resultsSql += hasColumn("results", "gang") ? "r.gang" : "NULL";
        resultsSql += hasColumn("results", "limit") ? ", r.\"limit\", r.marginal" : ", '', 0";
        resultsSql += kPendingResultsTail;
        Query results(*db_, resultsSql);
        results.bind(1, line);
        results.bind(2, from.resultsAfter);
        results.bind(3, static_cast<long long>(limit));
        while (results.step()) {
            SpoolResult r;
            r.rowid = results.integer(0);
            r.runId = results.text(1);
            r.station = results.text(2);
            r.mac = results.text(3);
            r.code = results.integer(4);
            r.name = results.text(5);
            r.attempt = results.integer(6);
            r.outcome = results.text(7);
            r.dataHex = results.text(8);
            r.dataText = results.text(9);
            r.hint = results.text(10);
            r.started = results.text(11);
            r.durationMs = results.integer(12);
            r.operatorAnswer = results.optText(13);
            r.operatorMs = results.optInteger(14);
            r.gang = results.optText(15);
            if (r.gang && r.gang->empty()) {
                r.gang.reset();
            }
            r.limit = results.text(16);
            r.marginal = results.integer(17) != 0;
            next.resultsAfter = r.rowid;
            batch.results.push_back(std::move(r));
        }
        execSqlite(*db_, "COMMIT");
    } catch (...) {
        db_->exec("ROLLBACK");
        throw;
    }
    return batch;
}

void Spool::markSent(const std::string &line, const Batch &batch)
{
    execSqlite(*db_, "BEGIN IMMEDIATE");
    try {
        Query run(*db_, "INSERT OR REPLACE INTO line_sent_runs (line, run_id, state, refused) VALUES (?1, ?2, ?3, ?4)");
        for (const auto &r : batch.runs) {
            run.bind(1, line);
            run.bind(2, r.id);
            run.bind(3, r.state);
            if (!r.refused.empty()) {
                run.bind(4, r.refused);
            }
            run.step();
            run.reset();
        }
        Query result(*db_, "INSERT OR IGNORE INTO line_sent_results (line, run_id, code, attempt, refused) "
                           "VALUES (?1, ?2, ?3, ?4, ?5)");
        for (const auto &r : batch.results) {
            result.bind(1, line);
            result.bind(2, r.runId);
            result.bind(3, r.code);
            result.bind(4, r.attempt);
            if (!r.refused.empty()) {
                result.bind(5, r.refused);
            }
            result.step();
            result.reset();
        }
        execSqlite(*db_, "COMMIT");
    } catch (...) {
        db_->exec("ROLLBACK");
        throw;
    }
}

long long Spool::pendingCount(const std::string &line, long long afterRowid)
{
    if (!hasRecords()) {
        return 0;
    }
    Query count(*db_, kPendingCount);
    count.bind(1, line);
    count.bind(2, afterRowid);
    return count.step() ? count.integer(0) : 0;
}

} // namespace station

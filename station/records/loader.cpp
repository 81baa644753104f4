// The loader of records.db (see loader.h).
#include "records/loader.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>

#include "records/schema.h"
#include "records/sqlite.h"

namespace station::records {

namespace {

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
// A file before version 3 has no serial numbers: no run of it is a unit's
// chosen by serial.
std::string runWhere(bool traced)
{
    return std::string(" WHERE (?1 = '' OR started >= ?1) AND (?2 = '' OR model = ?2) AND (?3 = '' OR mac = ?3)") +
           (traced ? " AND (?4 = '' OR serial = ?4)" : " AND ?4 = ''");
}

void bindFilter(sqlite::Stmt &st, const Filter &filter)
{
    st.bind(1, filter.since);
    st.bind(2, filter.model);
    st.bind(3, filter.mac);
    st.bind(4, filter.serial);
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
    sqlite::Db db;
    int version = -1;
    // Records in a directory this user cannot write (a copy on a read-only
    // share, a root station's records read by an engineer) cannot have the
    // write-ahead log's index file made beside them: then the file is read
    // as it is on disk (immutable), which is what it holds when no station
    // is writing there.
    for (bool immutable : {false, true}) {
        if (db.open(sqliteUri(path, immutable), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI) != SQLITE_OK) {
            error = "cannot open " + path + ": " + db.message();
            return false;
        }
        // A station writing at this moment holds the write lock only briefly.
        db.busyWait(sqlite::kBusyWaitMs);
        version = db.userVersion();
        if (version >= 0) {
            break;
        }
        int primary = db.extendedCode() & 0xff;
        if (immutable || (primary != SQLITE_READONLY && primary != SQLITE_CANTOPEN)) {
            error = std::string("cannot read ") + path + ": " + db.message();
            return false;
        }
    }
    auto fail = [&](const char *what) {
        error = std::string("cannot read ") + path + " (" + what + "): " + db.message();
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

    // A file read as it is (a reader does not migrate) lacks the columns of
    // later versions: before version 3 no run was traced to a serial, an
    // operator, a profile or a station version, and no limit was applied.
    const bool traced = version >= 3;
    std::string runSql = "SELECT id, batch, station, started, coalesce(finished, ''), host, port, label, model, mac,"
                         " coalesce(outcome, ''), ";
    runSql += traced ? "serial, operator_id, profile_hash, profile_path, station_version" : "'', '', '', '', ''";
    runSql += " FROM runs";
    runSql += runWhere(traced);
    runSql += " ORDER BY started, id";
    {
        sqlite::Stmt st(db, runSql);
        if (!st.ok()) {
            return fail("runs");
        }
        bindFilter(st, filter);
        int rc = SQLITE_ROW;
        while ((rc = st.step()) == SQLITE_ROW) {
            RunRow r;
            r.id = st.text(0);
            r.batch = st.text(1);
            r.station = st.text(2);
            r.started = st.text(3);
            r.finished = st.text(4);
            r.host = st.text(5);
            r.port = static_cast<int>(st.integer(6));
            r.label = st.text(7);
            r.model = st.text(8);
            r.mac = st.text(9);
            r.outcome = st.text(10);
            r.serial = st.text(11);
            r.operatorId = st.text(12);
            r.profileHash = st.text(13);
            r.profilePath = st.text(14);
            r.stationVersion = st.text(15);
            rows.runs.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) {
            return fail("runs");
        }
    }
    if (!filter.results) {
        return true;
    }
    // A file of version 1 (read as it is: a reader does not migrate) has no
    // gangs: each of its tests ran alone.
    std::string resultSql = "SELECT run_id, station, mac, code, name, attempt, outcome, data_hex, data_text, hint,"
                            " started, duration_ms, operator_answer, operator_ms, ";
    resultSql += version >= 2 ? "coalesce(gang, '')" : "''";
    resultSql += traced ? ", \"limit\", marginal" : ", '', 0";
    resultSql += " FROM results WHERE run_id IN (SELECT id FROM runs";
    resultSql += runWhere(traced);
    resultSql += ") ORDER BY rowid";
    {
        sqlite::Stmt st(db, resultSql);
        if (!st.ok()) {
            return fail("results");
        }
        bindFilter(st, filter);
        int rc = SQLITE_ROW;
        while ((rc = st.step()) == SQLITE_ROW) {
            ResultRow r;
            r.runId = st.text(0);
            r.station = st.text(1);
            r.mac = st.text(2);
            r.code = static_cast<int>(st.integer(3));
            r.name = st.text(4);
            r.attempt = static_cast<int>(st.integer(5));
            r.outcome = st.text(6);
            r.dataHex = st.text(7);
            r.dataText = st.text(8);
            r.hint = st.text(9);
            r.started = st.text(10);
            r.durationMs = st.integer(11);
            r.operatorAnswer = st.optText(12);
            r.operatorMs = st.optInteger(13);
            r.gang = st.text(14);
            r.limit = st.text(15);
            r.marginal = st.integer(16) != 0;
            rows.results.push_back(std::move(r));
        }
        if (rc != SQLITE_DONE) {
            return fail("results");
        }
    }
    return true;
}

} // namespace station::records

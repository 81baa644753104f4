// The writer of records.db (see sqliteWriter.h). The records of one group
// (the events the sink took in while the last group was being written) go
// into one transaction, committed with one sync at the group's end. A write
// that fails because the database is locked for longer than the busy wait
// (or the disk is full) stays in the backlog and is tried again, in order,
// with the next group.
#include "records/sqliteWriter.h"

#include <cstdint>
#include <variant>
#include <vector>

#include "records/migrations.h"
#include "records/records.h"
#include "records/sqlite.h"
#include "records/text.h"

namespace station::records {

namespace {

// After one wait of the full busy time for another station's write, the
// writer tries the queued writes with every group but waits only briefly
// each time, so that the groups behind them are written to records.jsonl
// without long delays; the records' close waits the full time once more.
using sqlite::kBusyWaitMs;
constexpr int kBusyRetryMs = 200;

using Value = std::variant<std::monostate, int64_t, std::string>;

struct Step {
    std::string sql;
    std::vector<Value> values;
};

// One transaction: all its steps or none.
struct Write {
    std::string what; // for the error message: "the result of mac on run X"
    std::vector<Step> steps;
};

// Errors that cannot go away by trying again: the write is given up (the
// result stays in records.jsonl).
bool permanent(int rc)
{
    int primary = rc & 0xff;
    return primary == SQLITE_CONSTRAINT || primary == SQLITE_MISMATCH || primary == SQLITE_TOOBIG ||
           primary == SQLITE_RANGE;
}

// Runs one statement with its values; SQLITE_OK or the error.
int runStep(const sqlite::Db &db, const Step &step)
{
    sqlite::Stmt st(db, step.sql);
    if (!st.ok()) {
        return st.rc();
    }
    for (size_t i = 0; i < step.values.size(); ++i) {
        int at = static_cast<int>(i) + 1;
        const Value &v = step.values[i];
        if (const auto *n = std::get_if<int64_t>(&v)) {
            st.bind(at, *n);
        } else if (const auto *s = std::get_if<std::string>(&v)) {
            st.bind(at, *s);
        } else {
            st.bindNull(at);
        }
    }
    return st.run();
}

class SqliteWriter final : public RecordsWriter {
public:
    SqliteWriter(sqlite::Db db, Warnings &warnings) : db_(std::move(db)), warnings_(warnings) {}

    void record(const RecordsUpdate &u) override
    {
        if (u.run == nullptr) {
            return;
        }
        RunState &r = *u.run;
        if (u.runIsNew) {
            insertRun(r);
        }
        if (u.gatewayChanged) {
            Write w{"the model and MAC of run " + r.id,
                    {{"UPDATE runs SET model = ?, mac = ? WHERE id = ?", {r.gateway.model, r.gateway.mac, r.id}}}};
            if (u.macLearnt) {
                // The results recorded before the MAC was known.
                w.steps.push_back({"UPDATE results SET mac = ? WHERE run_id = ? AND mac = ''", {r.gateway.mac, r.id}});
            }
            add(std::move(w));
        }
        if (u.serialLearnt) {
            add({"the serial number of run " + r.id,
                 {{"UPDATE runs SET serial = ? WHERE id = ?", {r.trace.serial, r.id}}}});
        }
        if (const ResultRec *rec = u.result) {
            Value answer = rec->answer ? Value{rec->answer->answer} : Value{};
            Value answerMs = rec->answer ? Value{int64_t{rec->answer->ms}} : Value{};
            Value gang = rec->gang.empty() ? Value{} : Value{rec->gang};
            add({"the result of " + rec->name + " (attempt " + std::to_string(rec->attempt) + ") of run " + r.id,
                 {{"INSERT INTO results (run_id, station, mac, code, name, attempt, outcome, data_hex, data_text,"
                   " hint, started, duration_ms, operator_answer, operator_ms, gang, \"limit\", marginal)"
                   " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   {r.id, rec->station, r.gateway.mac, int64_t{rec->code}, rec->name, int64_t{rec->attempt},
                    rec->outcome, rec->dataHex, rec->decoded, rec->hint, rec->started, int64_t{rec->durationMs}, answer,
                    answerMs, gang, rec->limit, int64_t{rec->marginal ? 1 : 0}}}}});
        }
        if (u.runFinished) {
            add({"the end of run " + r.id,
                 {{"UPDATE runs SET finished = ?, outcome = ? WHERE id = ?",
                   {recordTime(r.finishedMs), r.outcome, r.id}}}});
        }
    }

    // The group's transaction is committed: every result of the group is on
    // the disk with one sync. Without a group open (nothing new came, or the
    // database could not be written when it did) the backlog is tried in one.
    void write() override
    {
        if (!open_ && !failed_ && !backlog_.empty()) {
            begin();
        }
        if (open_) {
            commit();
        }
        failed_ = false;
    }

    void closing() override
    {
        db_.busyWait(kBusyWaitMs);
        behind_ = false;
    }

    size_t backlog() const override { return backlog_.size() + applied_.size(); }

private:
    // Two stations started in the same second with the same station id give
    // the same run id; the second run is stored as <id>~2 (and so on) so that
    // neither station's results are lost. Settled in the group's
    // transaction, under the write lock, before the run's other records.
    void insertRun(RunState &r)
    {
        const std::string base = r.id;
        for (int n = 2;; ++n) {
            Write w{"the start of run " + r.id,
                    {{"INSERT INTO runs (id, batch, station, started, host, port, label, model, mac, serial,"
                      " operator_id, profile_hash, profile_path, station_version)"
                      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                      {r.id, r.batch, r.station, r.started, cleanUtf8(r.gateway.host), int64_t{r.gateway.port},
                       cleanUtf8(r.gateway.label), r.gateway.model, r.gateway.mac, r.trace.serial, r.trace.operatorId,
                       r.trace.profileHash, r.trace.profilePath, r.trace.stationVersion}}}};
            if (!ready()) {
                backlog_.push(std::move(w));
                return;
            }
            const int rc = applyOne(w);
            if (rc == SQLITE_OK) {
                applied_.push_back(std::move(w));
                return;
            }
            if ((rc & 0xff) == SQLITE_CONSTRAINT && n < 100) {
                r.id = base;
                r.id += '~';
                r.id += std::to_string(n);
                continue;
            }
            if (permanent(rc)) {
                failed(w, rc);
                return;
            }
            failed(w, rc);
            backlog_.push(std::move(w));
            abort();
            return;
        }
    }

    // One write of the group: into the open transaction at once when the
    // backlog is written, else queued behind the backlog.
    void add(Write w)
    {
        if (!ready()) {
            backlog_.push(std::move(w));
            return;
        }
        const int rc = applyOne(w);
        if (rc == SQLITE_OK) {
            applied_.push_back(std::move(w));
            return;
        }
        failed(w, rc);
        if (!permanent(rc)) {
            backlog_.push(std::move(w));
            abort();
        }
    }

    // Whether the group's transaction is open with the backlog written in it
    // (opened now if need be); false when the database cannot be written
    // now: the group's writes wait in the backlog.
    bool ready() { return open_ || (!failed_ && begin()); }

    bool begin()
    {
        const int rc = db_.exec("BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) {
            failed({"", {}}, rc);
            failed_ = true;
            fallBehind();
            return false;
        }
        open_ = true;
        bool ok = true;
        backlog_.drain([&](const Write &w) {
            const int step = applyOne(w);
            if (step == SQLITE_OK) {
                applied_.push_back(w);
                return Tried::kWritten;
            }
            failed(w, step);
            if (permanent(step)) {
                return Tried::kDropped;
            }
            ok = false;
            return Tried::kLater;
        });
        if (!ok) {
            abort();
        }
        return ok;
    }

    void commit()
    {
        const int rc = db_.exec("COMMIT");
        if (rc != SQLITE_OK) {
            failed({"", {}}, rc);
            abort();
            return;
        }
        open_ = false;
        const int writes = static_cast<int>(applied_.size());
        applied_.clear();
        if (behind_) {
            behind_ = false;
            db_.busyWait(kBusyWaitMs);
        }
        warnings_.recovered("db", "records: records.db written again");
        if (seams::sqliteCommitted) {
            seams::sqliteCommitted(writes);
        }
    }

    // The group cannot be written now: its transaction is rolled back and
    // everything it held goes back to the front of the backlog, in order.
    void abort()
    {
        db_.exec("ROLLBACK");
        open_ = false;
        failed_ = true;
        backlog_.pushFront(std::move(applied_));
        applied_.clear();
        fallBehind();
    }

    // One write, all its steps or none, inside the group's transaction.
    int applyOne(const Write &w)
    {
        int rc = db_.exec("SAVEPOINT one_write");
        if (rc != SQLITE_OK) {
            return rc;
        }
        for (const Step &s : w.steps) {
            rc = runStep(db_, s);
            if (rc != SQLITE_OK) {
                db_.exec("ROLLBACK TO one_write");
                db_.exec("RELEASE one_write");
                return rc;
            }
        }
        return db_.exec("RELEASE one_write");
    }

    void failed(const Write &w, int rc)
    {
        if (permanent(rc)) {
            warnings_.say("db-permanent", "records: records.db refused " + w.what + " (" + sqlite3_errstr(rc) +
                                              "); it stays in records.jsonl");
        } else {
            warnings_.say("db",
                          "records: cannot write records.db (" + db_.message() +
                              "); keeping the records in memory and trying again with each test; testing goes on");
        }
    }

    void fallBehind()
    {
        if (!behind_) {
            behind_ = true;
            db_.busyWait(kBusyRetryMs);
        }
    }

    sqlite::Db db_;
    Warnings &warnings_;
    Backlog<Write> backlog_;     // not yet in a transaction, in order
    std::vector<Write> applied_; // in the open transaction, not yet committed
    bool open_ = false;          // the group's transaction is open
    bool failed_ = false;        // the database could not be written in this group: the rest waits
    bool behind_ = false;        // writes are queued: short busy waits until they are in
};

} // namespace

std::unique_ptr<RecordsWriter> openSqliteWriter(const std::string &dir, Warnings &warnings, std::string &error)
{
    const std::string dbPath = dir + "/records.db";
    sqlite::Db db;
    auto fail = [&](std::string message) -> std::unique_ptr<RecordsWriter> {
        error = std::move(message);
        return nullptr;
    };
    if (db.open(dbPath, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX) != SQLITE_OK) {
        return fail("cannot open " + dbPath + ": " + db.message());
    }
    if (db.readOnly()) {
        return fail("cannot write " + dbPath + ": the file is read-only");
    }
    // Another station's write holds the lock for milliseconds; wait for it
    // rather than fail (a longer lock keeps the write queued, see above).
    db.busyWait(kBusyWaitMs);
    if (const std::string mode = db.enterWal(); mode != "wal") {
        return fail("cannot use " + dbPath + " (write-ahead log: " +
                    (mode.empty() ? db.message() : "the file stays in " + mode + " mode") + ")");
    }
    // synchronous=FULL: a commit is on the disk when it returns, so a result
    // survives a power cut of the station as well as a kill. Foreign keys
    // stay off: a result is kept even if its run's row could not be written.
    if (db.exec("PRAGMA synchronous = FULL; PRAGMA foreign_keys = OFF") != SQLITE_OK) {
        return fail("cannot use " + dbPath + ": " + db.message());
    }
    if (!migrateRecords(db, dbPath, error)) {
        return nullptr;
    }
    return std::make_unique<SqliteWriter>(std::move(db), warnings);
}

} // namespace station::records

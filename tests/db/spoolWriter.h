// A stand-in for the station's records writer in the line database's tests:
// writes runs and results into a records.db of the station's layout, each
// in its own transaction as the real writer commits per test.
#pragma once

#include <sqlite3.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "records/schema.h"

namespace linetest {

class SpoolWriter {
public:
    explicit SpoolWriter(const std::string &path)
    {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
            throw std::runtime_error("open " + path);
        }
        sqlite3_busy_timeout(db_, 30000);
        exec("PRAGMA journal_mode=WAL");
        exec(std::string(station::kRecordsSchemaV1));
        if (count("SELECT count(*) FROM pragma_table_info('results') WHERE name = 'gang'") == 0) {
            exec(std::string(station::kRecordsStepTo2));
        }
        if (count("SELECT count(*) FROM pragma_table_info('runs') WHERE name = 'serial'") == 0) {
            exec(std::string(station::kRecordsStepTo3));
        }
        exec("PRAGMA user_version = " + std::to_string(station::kRecordsSchemaVersion));
    }
    ~SpoolWriter() { sqlite3_close(db_); }
    SpoolWriter(const SpoolWriter &) = delete;
    SpoolWriter &operator=(const SpoolWriter &) = delete;

    void exec(const std::string &sql)
    {
        char *message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            std::string text = message ? message : "?";
            sqlite3_free(message);
            throw std::runtime_error("records.db: " + text + " in " + sql);
        }
    }

    void run(const std::string &id, const std::string &station, const std::string &model, const std::string &mac,
             const std::string &started = "2026-12-10T11:30:45.123Z")
    {
        exec("INSERT INTO runs (id, batch, station, started, host, port, label, model, mac) VALUES ('" + id + "', '" +
             id.substr(0, id.rfind('-')) + "', '" + station + "', '" + started + "', '10.0.0.2', 6666, '', '" + model +
             "', '" + mac + "')");
    }

    void result(const std::string &runId, const std::string &station, const std::string &mac, int code,
                const std::string &name, int attempt, const std::string &outcome, int durationMs,
                const std::string &gang = "")
    {
        char started[40];
        std::snprintf(started, sizeof started, "2026-12-10T11:%02d:%02d.%03dZ", (code / 60) % 60, code % 60,
                      attempt % 1000);
        exec("INSERT INTO results (run_id, station, mac, code, name, attempt, outcome, data_hex, data_text, hint, "
             "started, duration_ms, operator_answer, operator_ms, gang) VALUES ('" +
             runId + "', '" + station + "', '" + mac + "', " + std::to_string(code) + ", '" + name + "', " +
             std::to_string(attempt) + ", '" + outcome + "', '00', 'it''s text', '" +
             (outcome == "pass" ? "" : "check the cable") + "', '" + started + "', " + std::to_string(durationMs) +
             ", " + (code % 2 ? "'yes', 1200" : "NULL, NULL") + ", " + (gang.empty() ? "NULL" : "'" + gang + "'") +
             ")");
    }

    // What the writer does when the identity tests give the MAC: the run
    // and its results so far get it.
    void learnMac(const std::string &id, const std::string &mac)
    {
        exec("BEGIN; UPDATE runs SET mac = '" + mac + "' WHERE id = '" + id + "'; UPDATE results SET mac = '" + mac +
             "' WHERE run_id = '" + id + "' AND mac = ''; COMMIT");
    }

    void finishRun(const std::string &id, const std::string &outcome,
                   const std::string &finished = "2026-12-10T11:40:00.000Z")
    {
        exec("UPDATE runs SET finished = '" + finished + "', outcome = '" + outcome + "' WHERE id = '" + id + "'");
    }

    long long count(const std::string &sql)
    {
        sqlite3_stmt *stmt = nullptr;
        long long n = -1;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
            n = sqlite3_column_int64(stmt, 0);
        }
        sqlite3_finalize(stmt);
        return n;
    }

private:
    sqlite3 *db_ = nullptr;
};

} // namespace linetest

// The one owner of an SQLite connection in the station: a handle that closes
// itself, statements that finalise themselves, the busy wait and the switch
// to the write-ahead log. Only records/ includes this (and sqlite3.h).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace station::sqlite {

// How long a write waits for another station's write to end. Such a write
// takes milliseconds; a lock held longer is someone's open transaction (a
// sqlite3 shell left open).
inline constexpr int kBusyWaitMs = 10000;

class Db {
public:
    Db() = default;
    ~Db() { close(); }
    Db(Db &&other) noexcept : db_(other.db_) { other.db_ = nullptr; }
    Db &operator=(Db &&other) noexcept
    {
        if (this != &other) {
            close();
            db_ = other.db_;
            other.db_ = nullptr;
        }
        return *this;
    }
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;

    // Opens `name` (a path, or a "file:" URI with SQLITE_OPEN_URI); the
    // result code. On failure the handle may stay, to tell why (message()).
    int open(const std::string &name, int flags);
    void close();

    sqlite3 *get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }

    // Why the last call failed; "out of memory" when there is no handle.
    std::string message() const { return db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"; }
    int extendedCode() const { return db_ != nullptr ? sqlite3_extended_errcode(db_) : SQLITE_NOMEM; }

    // Runs SQL without results; the result code, and SQLite's message of a
    // failure in `error` when given.
    int exec(const char *sql, std::string *error = nullptr);
    int exec(const std::string &sql, std::string *error = nullptr) { return exec(sql.c_str(), error); }

    void busyWait(int ms) { sqlite3_busy_timeout(db_, ms); }
    bool readOnly() const { return sqlite3_db_readonly(db_, "main") == 1; }

    // PRAGMA user_version, -1 when it cannot be read.
    int userVersion();
    // The number of tables in the file, -1 when it cannot be read.
    int tableCount();

    // Switches the file to the write-ahead log. Two stations opening a new
    // file at the same moment: the switch can answer "locked" at once,
    // without waiting through the busy handler, so it is tried again for as
    // long as a write is waited for. The journal mode the file is in after
    // that ("wal" when it worked), "" when it could not be read.
    std::string enterWal(int waitMs = kBusyWaitMs);

private:
    sqlite3 *db_ = nullptr;
};

// One prepared statement; rc() tells whether it was prepared.
class Stmt {
public:
    Stmt(const Db &db, std::string_view sql);
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    int rc() const { return rc_; }
    bool ok() const { return rc_ == SQLITE_OK; }

    void bind(int at, std::string_view text)
    {
        sqlite3_bind_text(st_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int at, int64_t value) { sqlite3_bind_int64(st_, at, value); }
    void bindNull(int at) { sqlite3_bind_null(st_, at); }

    // SQLITE_ROW, SQLITE_DONE or the error.
    int step() { return sqlite3_step(st_); }
    // Steps through all rows; SQLITE_OK when it ran to its end.
    int run();
    void reset()
    {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }

    bool isNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }
    std::string text(int col) const;
    std::optional<std::string> optText(int col) const
    {
        return isNull(col) ? std::nullopt : std::optional<std::string>(text(col));
    }
    int64_t integer(int col) const { return sqlite3_column_int64(st_, col); }
    std::optional<int64_t> optInteger(int col) const
    {
        return isNull(col) ? std::nullopt : std::optional<int64_t>(integer(col));
    }

private:
    sqlite3_stmt *st_ = nullptr;
    int rc_ = SQLITE_OK;
};

} // namespace station::sqlite

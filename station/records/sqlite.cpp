// The SQLite handle and statement of the records (see sqlite.h).
#include "records/sqlite.h"

#include <unistd.h>

namespace station::sqlite {

namespace {

// Pause between tries of a switch to WAL that found the file locked.
constexpr int kWalRetryMs = 20;

} // namespace

int Db::open(const std::string &name, int flags)
{
    close();
    return sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
}

void Db::close()
{
    sqlite3_close(db_);
    db_ = nullptr;
}

int Db::exec(const char *sql, std::string *error)
{
    char *message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, error != nullptr ? &message : nullptr);
    if (rc != SQLITE_OK && error != nullptr) {
        *error = message != nullptr ? message : sqlite3_errmsg(db_);
    }
    sqlite3_free(message);
    return rc;
}

int Db::userVersion()
{
    Stmt st(*this, "PRAGMA user_version");
    return st.ok() && st.step() == SQLITE_ROW ? static_cast<int>(st.integer(0)) : -1;
}

int Db::tableCount()
{
    Stmt st(*this, "SELECT count(*) FROM sqlite_master WHERE type = 'table'");
    return st.ok() && st.step() == SQLITE_ROW ? static_cast<int>(st.integer(0)) : -1;
}

std::string Db::enterWal(int waitMs)
{
    std::string mode;
    for (int waited = 0;; waited += kWalRetryMs) {
        Stmt st(*this, "PRAGMA journal_mode = WAL");
        int rc = st.rc();
        if (rc == SQLITE_OK) {
            rc = st.step();
        }
        if (rc == SQLITE_ROW) {
            mode = st.text(0);
        }
        const bool busy = (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
        if (!busy || waited >= waitMs) {
            return mode;
        }
        ::usleep(kWalRetryMs * 1000);
    }
}

Stmt::Stmt(const Db &db, std::string_view sql)
{
    rc_ = sqlite3_prepare_v2(db.get(), sql.data(), static_cast<int>(sql.size()), &st_, nullptr);
}

int Stmt::run()
{
    int rc = SQLITE_ROW;
    while ((rc = step()) == SQLITE_ROW) {
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::string Stmt::text(int col) const
{
    const unsigned char *p = sqlite3_column_text(st_, col);
    return p != nullptr
               ? std::string(reinterpret_cast<const char *>(p), static_cast<size_t>(sqlite3_column_bytes(st_, col)))
               : std::string();
}

} // namespace station::sqlite

// The chain of schema steps of records.db (see migrations.h).
#include "records/migrations.h"

#include <iterator>
#include <string_view>

#include "records/schema.h"

namespace station {

namespace {

// The schema steps: from version to-1 to `to`. A later release appends its
// step here; the file is brought forward one version at a time.
struct Migration {
    int to;
    std::string_view sql;
};
constexpr Migration kMigrations[] = {
    {1, kRecordsSchemaV1},
    {2, kRecordsStepTo2},
    {3, kRecordsStepTo3},
};
static_assert(std::size(kMigrations) == kRecordsSchemaVersion, "one migration step per schema version");

} // namespace

bool migrateRecords(sqlite::Db &db, const std::string &path, std::string &error)
{
    if (db.exec("BEGIN IMMEDIATE") != SQLITE_OK) {
        error = "cannot write " + path + ": " + db.message();
        return false;
    }
    auto rollback = [&](std::string message) {
        db.exec("ROLLBACK");
        error = std::move(message);
        return false;
    };
    int version = db.userVersion();
    if (version < 0) {
        return rollback("cannot read " + path + ": " + db.message());
    }
    if (version > kRecordsSchemaVersion) {
        return rollback(path + " was written by a newer gwtest (records schema version " + std::to_string(version) +
                        "; this gwtest knows up to " + std::to_string(kRecordsSchemaVersion) +
                        "): use that gwtest or another records directory");
    }
    if (version == 0 && db.tableCount() != 0) {
        return rollback(path + " is not a gwtest records file (it has tables but no records schema version)");
    }
    for (const Migration &m : kMigrations) {
        if (m.to <= version) {
            continue;
        }
        std::string sql = std::string(m.sql) + "\nPRAGMA user_version = " + std::to_string(m.to) +
                          ";\nINSERT OR REPLACE INTO meta (key, value) VALUES ('schema_version', '" +
                          std::to_string(m.to) + "');";
        if (db.exec(sql) != SQLITE_OK) {
            return rollback("cannot bring " + path + " to records schema version " + std::to_string(m.to) + ": " +
                            db.message());
        }
    }
    if (db.exec("COMMIT") != SQLITE_OK) {
        return rollback("cannot write " + path + ": " + db.message());
    }
    return true;
}

} // namespace station

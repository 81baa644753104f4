// The line's records in PostgreSQL: the station's tables (meta, runs,
// results) with the station in every key, so that many stations share one
// database. Times are timestamptz here (text in the station's SQLite), so
// the line can be queried by date.
//
// Releases of the layout, kept in meta.schema_version:
//   0  the first public layout: results without the failure hint
//   1  results.hint (what a failure usually means), runs by start time
//   2  results.gang (the operator test's gang; NULL when it ran alone)
//   3  what a run is traced to (runs.serial, operator_id, profile_hash,
//      profile_path, station_version) and what the line's profile judged
//      (results."limit", marginal); runs by serial number
// A station opening the database takes it from the release it finds (none,
// for an empty database) to the current one through the same chain of steps,
// under a lock, so that stations starting at once do not race; a newer
// layout than this station knows is refused.
#pragma once

#include <string>
#include <string_view>

#include "line/connection.h"

namespace station::line {

inline constexpr int kLineSchemaVersion = 3;

// The first step of the layout: release 0, the first public layout, with
// its meta row, made from an empty database. The later steps build on it;
// tests build a database of that release with it and see it migrated.
extern const std::string_view kLineSchemaV0;

struct LineInfo {
    int schemaVersion = 0; // after migration: kLineSchemaVersion
    int migratedFrom = -1; // the version found, -1 when the database was empty
    std::string lineId;    // generated once per database; the spool's marks are per line
};

// Creates or migrates the layout in one transaction. Throws PgError (the
// server's message) or std::runtime_error (newer layout, foreign tables).
LineInfo ensureLineSchema(PgConn &conn);

} // namespace station::line

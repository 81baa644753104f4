// The records of the station, version 3. The same tables live in the
// station's SQLite file (records.db) and, for a whole line, in PostgreSQL.
// Times are ISO 8601 UTC with milliseconds ("2026-12-10T11:30:45.123Z").
// A later release raises kRecordsSchemaVersion and migrates older files
// (PRAGMA user_version in SQLite, the meta table in both).
#pragma once

#include <string_view>

namespace station {

inline constexpr int kRecordsSchemaVersion = 3;

inline constexpr std::string_view kRecordsSchemaV1 = R"sql(
CREATE TABLE IF NOT EXISTS meta (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS runs (
  id       TEXT PRIMARY KEY,      -- one gateway's run: <batch>-<slot>
  batch    TEXT NOT NULL,         -- one `gwtest run` or one start on the page
  station  TEXT NOT NULL,
  started  TEXT NOT NULL,
  finished TEXT,                  -- NULL while running, or when the station died
  host     TEXT NOT NULL,
  port     INTEGER NOT NULL,
  label    TEXT NOT NULL DEFAULT '',
  model    TEXT NOT NULL DEFAULT '',
  mac      TEXT NOT NULL DEFAULT '',
  outcome  TEXT                   -- pass|fail|no-reply|connection-lost|unreachable|model-mismatch|stopped
                                  -- (and from version 3: duplicate|unchecked-line)
);
CREATE TABLE IF NOT EXISTS results (
  run_id          TEXT NOT NULL REFERENCES runs(id),
  station         TEXT NOT NULL,
  mac             TEXT NOT NULL DEFAULT '',
  code            INTEGER NOT NULL,
  name            TEXT NOT NULL,
  attempt         INTEGER NOT NULL,
  outcome         TEXT NOT NULL,  -- pass|fail|no-reply|connection-lost|skipped|not-run
  data_hex        TEXT NOT NULL DEFAULT '',
  data_text       TEXT NOT NULL DEFAULT '',
  hint            TEXT NOT NULL DEFAULT '',
  started         TEXT NOT NULL,
  duration_ms     INTEGER NOT NULL,
  operator_answer TEXT,           -- yes|no|auto-yes|unattended, NULL when no operator was needed
  operator_ms     INTEGER,
  PRIMARY KEY (run_id, code, attempt)
);
CREATE INDEX IF NOT EXISTS results_by_mac ON results(mac);
CREATE INDEX IF NOT EXISTS runs_by_mac ON runs(mac);
)sql";

// Version 2: the gang an operator test ran in (the gateways of a batch that
// were sent the test together and asked about in one question), the same id
// for all of them; NULL when the test ran alone, as every result of an
// older file did.
inline constexpr std::string_view kRecordsStepTo2 = R"sql(
ALTER TABLE results ADD COLUMN gang TEXT;
)sql";

// Version 3: what a run is traced to and what the line's profile judged.
// A run keeps the serial number on the unit's label, the id of the person
// at the station, the profile it was judged by (the SHA-256 of its bytes and
// its path as given) and the station software's version (git describe); a
// result keeps every limit the profile applied with the value it judged
// ("sysversion 2.3.6, want 2.3.7"; several parted by "; ") and whether it
// passed inside the marginal band. All empty (0) where nothing was known, as
// for every row of an older file. A run may now also end `duplicate` (its
// MAC or serial belongs to another unit) or `unchecked-line` (passed, the
// line's database was out of reach for the duplicate check).
// ("limit" is a keyword of SQL: always quoted.)
inline constexpr std::string_view kRecordsStepTo3 = R"sql(
ALTER TABLE runs ADD COLUMN serial TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN operator_id TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN profile_hash TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN profile_path TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN station_version TEXT NOT NULL DEFAULT '';
ALTER TABLE results ADD COLUMN "limit" TEXT NOT NULL DEFAULT '';
ALTER TABLE results ADD COLUMN marginal INTEGER NOT NULL DEFAULT 0;
CREATE INDEX IF NOT EXISTS runs_by_serial ON runs(serial);
)sql";

} // namespace station

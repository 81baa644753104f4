// The line database's layout as one chain of steps, release 0 onwards, run
// from the release a database has up to the current one under a lock.
#include "line/layout.h"

#include <iterator>
#include <stdexcept>

namespace station::line {

namespace {

// Taken by every station that creates or migrates the layout, for the
// length of that transaction ("gwte" in ASCII).
constexpr const char *kSchemaLock = "SELECT pg_advisory_xact_lock(1735882853)";

std::string metaValue(PgConn &conn, const char *key)
{
    const PgResult r = conn.exec("SELECT value FROM meta WHERE key = $1", {std::string(key)});
    return r.rows() == 1 ? r.text(0, 0) : "";
}

} // namespace

const std::string_view kLineSchemaV0 = R"sql(
CREATE TABLE meta (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE runs (
  station  TEXT NOT NULL,
  id       TEXT NOT NULL,
  batch    TEXT NOT NULL,
  started  TIMESTAMPTZ NOT NULL,
  finished TIMESTAMPTZ,
  host     TEXT NOT NULL,
  port     INTEGER NOT NULL,
  label    TEXT NOT NULL DEFAULT '',
  model    TEXT NOT NULL DEFAULT '',
  mac      TEXT NOT NULL DEFAULT '',
  outcome  TEXT,
  received TIMESTAMPTZ NOT NULL DEFAULT now(),
  PRIMARY KEY (station, id)
);
CREATE TABLE results (
  station         TEXT NOT NULL,
  run_id          TEXT NOT NULL,
  mac             TEXT NOT NULL DEFAULT '',
  code            INTEGER NOT NULL,
  name            TEXT NOT NULL,
  attempt         INTEGER NOT NULL,
  outcome         TEXT NOT NULL,
  data_hex        TEXT NOT NULL DEFAULT '',
  data_text       TEXT NOT NULL DEFAULT '',
  started         TIMESTAMPTZ NOT NULL,
  duration_ms     INTEGER NOT NULL,
  operator_answer TEXT,
  operator_ms     INTEGER,
  received        TIMESTAMPTZ NOT NULL DEFAULT now(),
  PRIMARY KEY (station, run_id, code, attempt),
  FOREIGN KEY (station, run_id) REFERENCES runs (station, id)
);
CREATE INDEX results_by_mac ON results (mac);
CREATE INDEX runs_by_mac ON runs (mac);
INSERT INTO meta (key, value) VALUES ('schema_version', '0');
)sql";

namespace {

// The layout's steps, in order: step 0 makes release 0 (the first public
// layout, with its meta row) from an empty database, and step n takes
// release n-1 to release n. A fresh database and an old one reach the
// current layout by the same steps, so there is one layout, not a fresh one
// and a migrated one that could drift apart.
constexpr std::string_view kStepTo1 = R"sql(
ALTER TABLE results ADD COLUMN hint TEXT NOT NULL DEFAULT '';
CREATE INDEX runs_by_started ON runs (started);
)sql";

// The gateways of a batch that ran an operator test together, the person
// asked once about them all: the same id on each member's result.
constexpr std::string_view kStepTo2 = R"sql(
ALTER TABLE results ADD COLUMN gang TEXT;
)sql";

// What a run is traced to: the serial number on the unit's label, the
// person at the station, the line's profile (SHA-256 and path) and the
// station software's version; and per result every limit of the profile
// applied with the value judged, and a pass inside the marginal band. ''
// (false) where nothing was known, as for every row of an older release.
// ("limit" is a keyword of SQL: always quoted.)
constexpr std::string_view kStepTo3 = R"sql(
ALTER TABLE runs ADD COLUMN serial TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN operator_id TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN profile_hash TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN profile_path TEXT NOT NULL DEFAULT '';
ALTER TABLE runs ADD COLUMN station_version TEXT NOT NULL DEFAULT '';
ALTER TABLE results ADD COLUMN "limit" TEXT NOT NULL DEFAULT '';
ALTER TABLE results ADD COLUMN marginal BOOLEAN NOT NULL DEFAULT false;
CREATE INDEX runs_by_serial ON runs (serial);
)sql";

// Indexed by the release each step reaches.
const std::string_view kSteps[] = {kLineSchemaV0, kStepTo1, kStepTo2, kStepTo3};
static_assert(std::size(kSteps) == kLineSchemaVersion + 1, "one step per release of the layout, from release 0");

} // namespace

LineInfo ensureLineSchema(PgConn &conn)
{
    LineInfo info;
    conn.begin();
    try {
        conn.exec(kSchemaLock);
        const PgResult found = conn.exec("SELECT to_regclass('meta') IS NOT NULL");
        if (found.text(0, 0) == "t") {
            const std::string version = metaValue(conn, "schema_version");
            if (version.empty() || version.find_first_not_of("0123456789") != std::string::npos) {
                throw std::runtime_error("the database has a table 'meta' without a schema_version: "
                                         "not a line records database (give gwtest a database of its own)");
            }
            info.migratedFrom = std::stoi(version);
            if (info.migratedFrom > kLineSchemaVersion) {
                throw std::runtime_error("the line database has records layout " + version +
                                         ", newer than this gwtest knows (" + std::to_string(kLineSchemaVersion) +
                                         "): update gwtest on this station");
            }
        }
        // From the release found (none: -1) up to the current one.
        for (int release = info.migratedFrom + 1; release <= kLineSchemaVersion; ++release) {
            conn.exec(std::string(kSteps[release]));
        }
        conn.exec("INSERT INTO meta (key, value) VALUES ('schema_version', $1) "
                  "ON CONFLICT (key) DO UPDATE SET value = EXCLUDED.value",
                  {std::to_string(kLineSchemaVersion)});
        conn.exec("INSERT INTO meta (key, value) VALUES ('line_id', gen_random_uuid()::text) "
                  "ON CONFLICT (key) DO NOTHING");
        info.lineId = metaValue(conn, "line_id");
        info.schemaVersion = kLineSchemaVersion;
        conn.commit();
    } catch (...) {
        conn.rollbackQuietly();
        throw;
    }
    return info;
}

} // namespace station::line

// The records as loaded: one row of `runs` or `results` (records/schema.h)
// as plain values, and the selection of runs a loader is asked for. Shared
// by the loaders (records.db here, the line's PostgreSQL in line/) and the
// figures of report/.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station::records {

// One row of `runs` (records/schema.h), as loaded.
struct RunRow {
    std::string id;
    std::string batch;
    std::string station;
    std::string started;  // ISO 8601 UTC with milliseconds
    std::string finished; // "" while running, or when the station died
    std::string host;
    int port = 6666;
    std::string label;
    std::string model;
    std::string mac; // "02:47:57:04:04:00", "" when never learnt
    // pass|fail|no-reply|connection-lost|unreachable|model-mismatch|stopped|
    // duplicate|unchecked-line, "" unfinished
    std::string outcome;
    // What the run is traced to, "" when not known (and in the rows of an
    // older file): the serial number on the unit's label, the id of the
    // person at the station, the line's profile (SHA-256 hex of its bytes,
    // its path as given) and the station software's version.
    std::string serial;
    std::string operatorId;
    std::string profileHash;
    std::string profilePath;
    std::string stationVersion;
};

// One row of `results`, as loaded.
struct ResultRow {
    std::string runId;
    std::string station;
    std::string mac;
    int code = 0;
    std::string name;
    int attempt = 1;
    std::string outcome; // pass|fail|no-reply|connection-lost|skipped|not-run
    std::string dataHex;
    std::string dataText;
    std::string hint;
    std::string started;
    int64_t durationMs = 0;
    std::optional<std::string> operatorAnswer;
    std::optional<int64_t> operatorMs;
    // The gang the test ran in: the gateways of a batch sent this test
    // together, the person asked once about them all. "" when it ran alone.
    std::string gang;
    // Every limit of the line's profile applied to the reply, with the value
    // judged ("sysversion 2.3.6, want 2.3.7"; several parted by "; "), ""
    // when none applied; and whether it passed inside the marginal band.
    std::string limit;
    bool marginal = false;
};

struct Rows {
    std::vector<RunRow> runs;
    std::vector<ResultRow> results;
};

// Which runs count. Empty fields select everything.
struct Filter {
    std::string since;   // runs started at or after, ISO 8601 UTC ("2026-12-10T00:00:00.000Z")
    std::string model;   // "GWM0202"
    std::string mac;     // one unit: "02:47:57:04:04:00"
    std::string serial;  // one unit by the serial number on its label
    bool results = true; // false: the runs alone
};

} // namespace station::records

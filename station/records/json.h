// The one JSON shape of a run and of a result, for every output that shows
// them: records.jsonl, `gwtest report --json`, `gwtest run --json`, the page's
// history and its per-run records. The keys are the records' column names
// (snake_case), the reply data as hex without blanks ("data_hex") and as a
// person reads it ("data_text").
#pragma once

#include <jansson.h>

#include <string>

#include "engine/events.h"
#include "records/rows.h"

namespace station::records {

// A string for JSON: text that is not UTF-8 is cleaned first (Jansson refuses
// it), so nothing from a gateway can make an output fail.
json_t *jsonText(const std::string &text);

// {"id", "batch", "station", "started", "finished" (null while running),
//  "host", "port", "label", "model", "mac", "outcome" (null while running),
//  "serial", "operator_id", "profile_hash", "profile_path",
//  "station_version" ("" when not known, as label, model and mac)}
json_t *runJson(const RunRow &run);

// {"run_id", "station", "mac", "code", "name", "attempt", "outcome",
//  "data_hex", "data_text", "hint", "started", "duration_ms",
//  "operator_answer", "operator_ms" (both null when no operator was asked),
//  "gang" (null when the test ran alone), "limit" (the profile's limits
//  applied with the values judged, null when none applied), "marginal"
//  (true: passed inside the profile's marginal band)}
json_t *resultJson(const ResultRow &result);

// The result of a kTestFinished event as the records keep it (its start is
// the event's time less its duration).
ResultRow resultOf(const Event &event);

} // namespace station::records

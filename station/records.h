// The station's records under one directory: records.db (SQLite, WAL, each
// result committed as its test finishes), records.jsonl (one JSON object a
// result, flushed per test) and junit/<batch>.xml (a file per batch, a
// testsuite per gateway, a testcase per test).
#pragma once

#include <memory>
#include <string>

#include "events.h"

namespace station {

// Opens or creates the records in `dir` and checks that all three can be
// written, before any test runs. Null with a message saying what is wrong.
std::unique_ptr<EventSink> openRecords(const std::string &dir, std::string &error);

} // namespace station

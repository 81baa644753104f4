// The station's records under one directory: records.db (SQLite, WAL, each
// result committed as its test finishes), records.jsonl (one JSON object a
// result, flushed per test) and junit/<batch>.xml (a file per batch, a
// testsuite per gateway, a testcase per test).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/events.h"

namespace station {

// Where the sink says that a record could not be written (once per kind of
// record until it is written again); by default standard error.
using RecordsWarning = std::function<void(const std::string &message)>;

// Opens or creates the records in `dir` (made if need be) and checks that
// all three can be written, before any test runs. Null with a message saying
// what is wrong: a directory that cannot be written, a records.db of a newer
// gwtest or one that is not a records file.
//
// A write that fails later (disk full, the database locked by another
// station for longer than the busy wait) is said once through `warn`; the
// record is kept in memory and written again with every following event and
// when the sink closes. Testing goes on; the sink never throws.
std::unique_ptr<EventSink> openRecords(const std::string &dir, std::string &error, RecordsWarning warn = {});

// The name (without ".xml") of a batch's file under junit/. The station id in
// a batch id is the user's: a character a file name cannot hold becomes '_',
// and a leading '.' gets a '_' before it, so no name leaves junit/ or hides.
// A second batch of the same name is written as "<name>~2.xml", and so on.
std::string junitFileName(const std::string &batchId);

// Test seams of the writers, empty in the product.
namespace seams {
// Called by the JUnit writer once its scratch file (junit/.<name>.xml.<pid>)
// is written and before it is linked into place: tests stop or kill the
// writer right there.
extern std::function<void(const std::string &scratch)> junitScratchWritten;
} // namespace seams

} // namespace station

// The station's records under one directory: records.db (SQLite, WAL, each
// result committed within kRecordsCommitMs of its test's end), records.jsonl
// (one JSON object a result, synced with it) and junit/<batch>.xml (a file
// per batch, a testsuite per gateway, a testcase per test).
//
// The engine never waits for the disk: the sink takes each event into a
// queue and returns; a writer thread of its own writes what was queued,
// whatever finished together in one transaction (with 16 gateways, results
// finish together all the time, and one synced commit each would make them
// wait for each other).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "engine/events.h"

namespace station {

// A test's result is committed to records.db (and its line to records.jsonl)
// within this long of its kTestFinished, on a disk that is not stalled: a
// station killed that long after a test's end has it in its records.
inline constexpr int kRecordsCommitMs = 50;

class RecordsSink : public EventSink {
public:
    // Returns once every event taken in before the call has been written,
    // or tried and kept for a later try (a full disk, a held lock). Closing
    // the sink (its destructor) writes everything still queued first.
    virtual void flush() = 0;
};

// Where the sink says that a record could not be written (once per kind of
// record until it is written again); by default standard error.
using RecordsWarning = std::function<void(const std::string &message)>;

// Opens or creates the records in `dir` (made if need be) and checks that
// all three can be written, before any test runs. Null with a message saying
// what is wrong: a directory that cannot be written, a records.db of a newer
// gwtest or one that is not a records file.
//
// A write that fails later (disk full, the database locked by another
// station for longer than the busy wait) is said once through `warn` (from
// the writer's thread); the record is kept in memory and written again with
// the following events, every second meanwhile and when the sink closes.
// Testing goes on; the sink never throws.
std::unique_ptr<RecordsSink> openRecords(const std::string &dir, std::string &error, RecordsWarning warn = {});

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
// Called by the records.db writer after each commit, with the number of
// writes (a run's start, a result, a run's end...) it held: tests see the
// grouping, and stall the writer there as a slow disk would.
extern std::function<void(int writes)> sqliteCommitted;
} // namespace seams

} // namespace station

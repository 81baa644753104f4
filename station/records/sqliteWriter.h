// The writer of records.db: a `runs` row at the run's start, brought up to
// date as the model and the MAC become known and closed at its end; the
// results that finished together committed in one transaction as soon as the
// writer's thread has them (WAL, synchronous=FULL), so a station killed a
// moment after a test's end has that test in records.db.
#pragma once

#include <memory>
#include <string>

#include "records/backlog.h"
#include "records/writer.h"

namespace station::records {

// Opens or creates `dir`/records.db, switches it to the write-ahead log and
// brings it to this build's schema. Null with a message saying what is
// wrong (a file of a newer gwtest, not a records file, read-only).
std::unique_ptr<RecordsWriter> openSqliteWriter(const std::string &dir, Warnings &warnings, std::string &error);

} // namespace station::records

// The writer of junit/<batch>.xml: a file per batch (a testsuite per
// gateway, a testcase per test), written to a scratch file and linked into
// place, so a reader never sees half a file and no earlier file is
// overwritten.
#pragma once

#include <memory>
#include <string>

#include "records/backlog.h"
#include "records/book.h"
#include "records/records.h"
#include "records/writer.h"

namespace station::records {

// The writer of `dir`/junit, reading the runs of a batch from `book`.
std::unique_ptr<RecordsWriter> openJunitWriter(const std::string &dir, const RunBook &book, Warnings &warnings);

} // namespace station::records

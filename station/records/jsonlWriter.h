// The writer of records.jsonl: one JSON object a result, one line each,
// written with a single write() on a descriptor opened with O_APPEND and
// synced, so lines of two stations never mix and a finished test survives
// the station.
#pragma once

#include <memory>
#include <string>

#include "records/backlog.h"
#include "records/writer.h"

namespace station::records {

// Opens `dir`/records.jsonl for appending (made if need be). Null with a
// message when it cannot be written.
std::unique_ptr<RecordsWriter> openJsonlWriter(const std::string &dir, Warnings &warnings, std::string &error);

} // namespace station::records

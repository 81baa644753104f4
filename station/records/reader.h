// Single records read back for the page: one run's lines of records.jsonl,
// a batch's JUnit file, and whether a directory holds records at all. Paths
// under the records directory are made here only.
#pragma once

#include <string>
#include <vector>

namespace station::records {

// Whether `dir` holds a records.db (no run recorded yet otherwise).
bool haveRecords(const std::string &dir);

// The lines of records.jsonl whose run_id is `runId`, in the order written.
// False when there is no records.jsonl in `dir` (or it leads out of `dir`).
bool runLines(const std::string &dir, const std::string &runId, std::vector<std::string> &lines);

// The whole of junit/`name` (a plain file name, checked by the caller). False
// when it is not a regular file inside `dir`, or too large to serve.
bool readJunit(const std::string &dir, const std::string &name, std::string &text);

// The name of the JUnit file under junit/ that holds run `runId` of batch
// `batchId`, when it is there; "" otherwise (none before the batch has ended:
// its file is written then). A batch's file is named after the batch
// (junitFileName), and a second batch of the same name (another station with
// the same id, in the same second) takes "<name>~2.xml", and so on: the file
// is the one of these that names the run.
std::string junitOfRun(const std::string &dir, const std::string &batchId, const std::string &runId);

} // namespace station::records

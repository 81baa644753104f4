// Reading the station's records back: the rows of records.db that a filter
// selects, for `gwtest report` and the page's history.
#pragma once

#include <string>

#include "records/rows.h"

namespace station::records {

// Loads the runs (and their results) of `dir`/records.db that the filter
// selects. False with a message when there are no records there, the file is
// not a records file or was written by a newer gwtest.
bool loadSqlite(const std::string &dir, const Filter &filter, Rows &rows, std::string &error);

} // namespace station::records

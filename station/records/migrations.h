// The steps that bring records.db to this build's schema, one version at a
// time (schema.h holds the layout).
#pragma once

#include <string>

#include "records/sqlite.h"

namespace station {

// Brings the file to this build's schema, under the write lock so that two
// stations opening a new directory at once create it once: every step from
// the file's version up, each setting PRAGMA user_version and the meta
// table's schema_version. False with a message when the file is newer than
// this build or not a records file.
bool migrateRecords(sqlite::Db &db, const std::string &path, std::string &error);

} // namespace station

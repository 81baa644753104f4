// The check that a unit which passed every test is the one unit of its MAC
// and its serial number: first in the station's own records, then, with a
// line database, in every station's runs there.
#pragma once

#include <functional>
#include <string>

#include "engine/engine.h"
#include "records/records.h"

namespace station {

// The engine's RunOptions::checkUnit for a station whose records are written
// by `records` into `recordsDir`, and whose line database is `dbUrl` (""
// when it has none).
//
// A clash in either is a `duplicate`, named. A line database that cannot be
// asked leaves the station's own records as the check: `unchecked-line`,
// a pass. So do records that cannot be read back (said in the message):
// the unit's tests passed, and the line's report of duplicates finds the
// clash later all the same.
std::function<UnitCheck(const std::string &, const std::string &)>
unitChecker(RecordsSink *records, std::string recordsDir, std::string dbUrl);

} // namespace station

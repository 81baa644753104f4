// gwtest report --db: the line's records loaded from PostgreSQL as the rows
// that report/ computes its figures over, as for a station's own records.
#pragma once

#include <optional>
#include <string>

#include "line/connection.h"
#include "records/clash.h"
#include "records/rows.h"

namespace station::line {

// Loads the runs the filter selects (every station) and their results.
// False with a message: the server unreachable or refusing (status 70), a
// database without the line's layout or of a newer one (70).
bool loadLine(const std::string &url, const records::Filter &filter, records::Rows &rows, std::string &error);

// Looks in the line's database for a run of another unit with the unit's
// MAC or serial number (every station's runs), as records::findLocalClash
// does in one station's records. False with a message when the database
// cannot be asked (unreachable, refusing, failing).
bool findLineClash(const std::string &url, const records::UnitKey &unit, std::optional<records::RunRow> &clash,
                   std::string &error);
// The same on a connection made already; throws PgError as it does.
std::optional<records::RunRow> lineClash(PgConn &conn, const records::UnitKey &unit);

} // namespace station::line

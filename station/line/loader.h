// gwtest report --db: the line's records from PostgreSQL, with the same
// figures as a station's own report, for the whole line and per station.
#pragma once

#include <string>

#include "records/rows.h"

namespace station::line {

// Loads the runs the filter selects (every station) and their results.
// False with a message: the server unreachable or refusing (status 70), a
// database without the line's layout or of a newer one (70).
bool loadLine(const std::string &url, const records::Filter &filter, records::Rows &rows, std::string &error);

// The line's figures: the whole line, then each station's (model and test
// figures per station). Text, or one JSON object
// {"line": <summary>, "stations": [{"station": ID, "summary": <summary>}, ...]}.
std::string formatLine(const records::Rows &rows, const records::Filter &filter, bool json);

} // namespace station::line

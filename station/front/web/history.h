// What the page's history view shows, read from the station's records.
#pragma once

#include <string>

namespace station::web {

class History {
public:
    virtual ~History() = default;
    // The figures since a day ("YYYY-MM-DD", UTC; empty: today): units
    // tested, first-pass yield, pass rate and median duration per test, the
    // most failing tests, the latest runs. As JSON text; false with the
    // reason.
    virtual bool summary(const std::string &since, std::string &json, std::string &error) = 0;
    // One unit's runs and results, by MAC in the records' spelling.
    virtual bool unit(const std::string &mac, std::string &json, std::string &error) = 0;
};

} // namespace station::web

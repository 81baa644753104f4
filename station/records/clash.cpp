// Units that share a MAC or a serial number (see clash.h).
#include "records/clash.h"

#include <algorithm>
#include <map>
#include <set>

#include "records/loader.h"
#include "records/reader.h"

namespace station::records {

namespace {

// A run that tells which MAC a serial number's unit has. A run refused as a
// duplicate does not: its unit was turned away (to be flashed anew, say), and
// neither it nor a later run of its serial or MAC is held against the other.
bool traced(const RunRow &run) { return !run.mac.empty() && !run.serial.empty() && run.outcome != "duplicate"; }

// "2026-12-11T07:15:31.123Z" as "2026-12-11 07:15:31 UTC".
std::string when(const std::string &iso)
{
    if (iso.size() < 19) {
        return iso;
    }
    return iso.substr(0, 10) + " " + iso.substr(11, 8) + " UTC";
}

} // namespace

std::optional<RunRow> findClash(const std::vector<RunRow> &runs, const UnitKey &unit)
{
    if (unit.mac.empty() || unit.serial.empty()) {
        return std::nullopt;
    }
    for (const RunRow &run : runs) {
        if (!traced(run)) {
            continue;
        }
        if ((run.mac == unit.mac) != (run.serial == unit.serial)) {
            return run;
        }
    }
    return std::nullopt;
}

std::string clashMessage(const RunRow &other, const UnitKey &unit)
{
    std::string text = other.mac == unit.mac ? "MAC " + unit.mac + " was recorded for serial " + other.serial
                                             : "serial " + unit.serial + " was recorded with MAC " + other.mac;
    text += " at station " + other.station + " on " + when(other.started);
    return text;
}

bool findLocalClash(const std::string &dir, const UnitKey &unit, std::optional<RunRow> &clash, std::string &error)
{
    clash.reset();
    if (unit.mac.empty() || unit.serial.empty() || !haveRecords(dir)) {
        return true;
    }
    Rows rows;
    Filter byMac;
    byMac.mac = unit.mac;
    byMac.results = false;
    Filter bySerial;
    bySerial.serial = unit.serial;
    bySerial.results = false;
    if (!loadSqlite(dir, byMac, rows, error) || !loadSqlite(dir, bySerial, rows, error)) {
        return false;
    }
    // Each list is oldest first; together, the oldest clash of either is named.
    std::stable_sort(rows.runs.begin(), rows.runs.end(),
                     [](const RunRow &a, const RunRow &b) { return a.started < b.started; });
    clash = findClash(rows.runs, unit);
    return true;
}

std::vector<Duplicate> findDuplicates(const std::vector<RunRow> &runs)
{
    // The first run of each (MAC, serial) unit, oldest first.
    std::vector<const RunRow *> units;
    std::set<std::pair<std::string, std::string>> seen;
    for (const RunRow &run : runs) {
        if (traced(run) && seen.emplace(run.mac, run.serial).second) {
            units.push_back(&run);
        }
    }
    std::map<std::string, std::vector<const RunRow *>> byMac;
    std::map<std::string, std::vector<const RunRow *>> bySerial;
    for (const RunRow *run : units) {
        byMac[run->mac].push_back(run);
        bySerial[run->serial].push_back(run);
    }
    std::vector<Duplicate> found;
    auto collect = [&found](const std::map<std::string, std::vector<const RunRow *>> &groups, bool mac) {
        for (const auto &[key, group] : groups) {
            if (group.size() < 2) {
                continue;
            }
            Duplicate d;
            d.byMac = mac;
            d.key = key;
            for (const RunRow *run : group) {
                d.units.push_back(*run);
            }
            found.push_back(std::move(d));
        }
    };
    collect(byMac, true);
    collect(bySerial, false);
    // Oldest first, by the second unit's run: when the duplicate arose.
    std::stable_sort(found.begin(), found.end(),
                     [](const Duplicate &a, const Duplicate &b) { return a.units[1].started < b.units[1].started; });
    return found;
}

} // namespace station::records

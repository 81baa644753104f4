// One unit, one MAC, one serial number. Two boards that report one MAC are
// a known fault of production (a flasher that always writes the same MAC, a
// fused MAC read wrongly), and so is one label stuck on two boards. A run
// clashes with another when they share the MAC under different serial
// numbers, or the serial number under different MACs; the same unit tested
// again (same MAC, same serial) is a retest. Runs without a serial number
// (or a MAC) cannot tell a retest from a second board and never clash; nor
// do runs that ended `duplicate`: that unit was refused already.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records/rows.h"

namespace station::records {

// The unit a run is checked as. Its own run needs no leaving out: it has
// the unit's MAC and serial both, so it is a retest of itself.
struct UnitKey {
    std::string mac;
    std::string serial;
};

// The first run (in the order given: oldest first) of another unit of the
// same MAC or serial number, if any.
std::optional<RunRow> findClash(const std::vector<RunRow> &runs, const UnitKey &unit);

// Says what the clash is, naming the other unit, its station and its day:
// "MAC 02:47:57:00:00:01 was recorded for serial GW00000001 at station
// st-a on 2026-12-11 07:15:31 UTC".
std::string clashMessage(const RunRow &other, const UnitKey &unit);

// Looks for a clash in the records of `dir` (records.db). False with a
// message when they cannot be read; a directory without records yet holds
// no clash.
bool findLocalClash(const std::string &dir, const UnitKey &unit, std::optional<RunRow> &clash, std::string &error);

// Every MAC found under more than one serial number, and every serial number
// found with more than one MAC, in the runs given: `gwtest report
// --duplicates`. Each lists the runs of every unit involved, oldest first.
struct Duplicate {
    bool byMac = true;         // the MAC is shared; false: the serial number is
    std::string key;           // the shared MAC or serial number
    std::vector<RunRow> units; // the first run of each unit (the other of MAC or serial), oldest first
};
std::vector<Duplicate> findDuplicates(const std::vector<RunRow> &runs);

} // namespace station::records

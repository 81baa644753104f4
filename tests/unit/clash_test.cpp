// One unit, one MAC, one serial number: the search for another unit of a
// unit's MAC or serial (in rows, and in a station's records written by the
// records sink), and `gwtest report --duplicates` and `--serial` over them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <jansson.h>

#include "command.h"
#include "eventScript.h"
#include "records/clash.h"
#include "records/records.h"
#include "sandbox.h"

namespace {

using station::RunOutcome;
using ::testing::HasSubstr;
namespace records = station::records;

records::RunRow unit(const std::string &id, const std::string &mac, const std::string &serial,
                     const std::string &station = "st-a", const std::string &started = "2026-12-11T07:15:31.123Z")
{
    records::RunRow r;
    r.id = id;
    r.station = station;
    r.started = started;
    r.mac = mac;
    r.serial = serial;
    r.outcome = "pass";
    return r;
}

constexpr const char *kMac1 = "02:47:57:00:00:01";
constexpr const char *kMac2 = "02:47:57:00:00:02";

TEST(Clash, AnotherUnitOfTheMacOrSerialClashesAndARetestDoesNot)
{
    struct Case {
        const char *name;
        records::RunRow earlier;
        bool clashes;
    };
    const records::UnitKey now{kMac1, "GW00000001"};
    records::RunRow refused = unit("run-1", kMac1, "GW00000002");
    refused.outcome = "duplicate";
    for (const Case &c : {
             Case{"retest: same MAC, same serial", unit("run-1", kMac1, "GW00000001"), false},
             Case{"the MAC under another serial", unit("run-1", kMac1, "GW00000002"), true},
             Case{"the serial on another MAC", unit("run-1", kMac2, "GW00000001"), true},
             Case{"another unit altogether", unit("run-1", kMac2, "GW00000002"), false},
             Case{"an earlier run without a serial", unit("run-1", kMac1, ""), false},
             Case{"an earlier run without a MAC", unit("run-1", "", "GW00000001"), false},
             Case{"a unit refused as a duplicate before", refused, false},
         }) {
        EXPECT_EQ(records::findClash({c.earlier}, now).has_value(), c.clashes) << c.name;
    }
    // Without a serial (or a MAC) the unit itself is never a clash.
    EXPECT_FALSE(records::findClash({unit("run-1", kMac1, "GW00000002")}, {kMac1, ""}));
    EXPECT_FALSE(records::findClash({unit("run-1", kMac1, "GW00000002")}, {"", "GW00000002"}));
}

TEST(Clash, TheMessageNamesTheOtherUnitItsStationAndDay)
{
    const records::UnitKey now{kMac1, "GW00000001"};
    EXPECT_EQ(records::clashMessage(unit("run-1", kMac1, "GW00000002", "st-b"), now),
              "MAC 02:47:57:00:00:01 was recorded for serial GW00000002 at station st-b on 2026-12-11 07:15:31 UTC");
    EXPECT_EQ(records::clashMessage(unit("run-1", kMac2, "GW00000001"), now),
              "serial GW00000001 was recorded with MAC 02:47:57:00:00:02 at station st-a on 2026-12-11 07:15:31 UTC");
}

TEST(Clash, DuplicatesListEachSharedMacAndSerialOnceWithEveryUnit)
{
    const std::vector<records::RunRow> runs = {
        unit("r1", kMac1, "GW00000001", "st-a", "2026-12-11T07:00:00.000Z"),
        unit("r2", kMac1, "GW00000001", "st-a", "2026-12-11T07:01:00.000Z"), // a retest
        unit("r3", kMac1, "GW00000002", "st-b", "2026-12-11T07:02:00.000Z"), // one MAC, a second serial
        unit("r4", kMac2, "GW00000003", "st-a", "2026-12-11T07:03:00.000Z"),
        unit("r5", "02:47:57:00:00:05", "GW00000003", "st-a", "2026-12-11T07:04:00.000Z"), // one serial, two MACs
        unit("r6", "02:47:57:00:00:06", "", "st-a", "2026-12-11T07:05:00.000Z"),
    };
    const auto found = records::findDuplicates(runs);
    ASSERT_EQ(found.size(), 2U);
    EXPECT_TRUE(found[0].byMac);
    EXPECT_EQ(found[0].key, kMac1);
    ASSERT_EQ(found[0].units.size(), 2U);
    EXPECT_EQ(found[0].units[0].id, "r1"); // each unit by its first run
    EXPECT_EQ(found[0].units[1].id, "r3");
    EXPECT_FALSE(found[1].byMac);
    EXPECT_EQ(found[1].key, "GW00000003");
    EXPECT_EQ(found[1].units[1].id, "r5");
    EXPECT_TRUE(records::findDuplicates({runs[0], runs[1], runs[3]}).empty());
}

constexpr int64_t kT0 = 1797062400000; // 2026-12-12T08:00:00Z

// Records as a station writes them: a unit and its retest; a second board
// that reports the first one's MAC, refused as a duplicate; and a third that
// reports it too but passed, the line's database out of reach.
class LocalRecords : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        dir_ = sandbox::scratchDir() + "/records";
        std::string error;
        auto sink = station::openRecords(dir_, error);
        ASSERT_NE(sink, nullptr) << error;
        sandbox::EventScript s(*sink, "st", kT0);
        auto unitRun = [&](int slot, const std::string &mac, const std::string &serial, RunOutcome outcome) {
            s.serial(slot, serial);
            s.startRun(slot, "10.213.0.2", "A");
            s.planKnown(slot, "GWM0101", {0x0005, 0x0001});
            s.test(slot, {.code = 0x0005, .durationMs = 20, .decoded = "GWM0101"});
            s.learnMac(slot, mac);
            s.test(slot, {.code = 0x0001, .durationMs = 10, .decoded = mac});
            s.finishRun(slot, outcome);
            s.advance(60000);
        };
        s.startBatch(1);
        unitRun(0, kMac1, "GW00000001", RunOutcome::kPass);
        s.finishBatch();
        s.startBatch(3);
        unitRun(0, kMac1, "GW00000001", RunOutcome::kPass);
        unitRun(1, kMac1, "GW00000002", RunOutcome::kDuplicate);
        unitRun(2, kMac1, "GW00000003", RunOutcome::kUncheckedLine);
        s.finishBatch();
    }
    std::string dir_;
};

TEST_F(LocalRecords, AClashIsFoundInTheStationsOwnRecords)
{
    std::optional<records::RunRow> clash;
    std::string error;
    // The retest clashes with the third board, not with its own first run,
    // nor with the board refused already.
    ASSERT_TRUE(records::findLocalClash(dir_, {kMac1, "GW00000001"}, clash, error)) << error;
    ASSERT_TRUE(clash);
    EXPECT_EQ(clash->serial, "GW00000003");
    ASSERT_TRUE(records::findLocalClash(dir_, {kMac2, "GW00000003"}, clash, error)) << error;
    ASSERT_TRUE(clash);
    EXPECT_EQ(clash->mac, kMac1);
    // The refused board, flashed with a MAC of its own, is a unit like any.
    ASSERT_TRUE(records::findLocalClash(dir_, {kMac2, "GW00000002"}, clash, error)) << error;
    EXPECT_FALSE(clash);
    ASSERT_TRUE(records::findLocalClash(dir_, {kMac2, "GW00000009"}, clash, error)) << error;
    EXPECT_FALSE(clash);
    // No records yet: nothing to clash with.
    ASSERT_TRUE(records::findLocalClash(sandbox::scratchDir() + "/none", {kMac1, "GW1"}, clash, error));
    EXPECT_FALSE(clash);
}

TEST_F(LocalRecords, ReportShowsTheDuplicatesAndAUnitBySerial)
{
    const auto text = sandbox::runGwtest("report --records " + dir_ + " --duplicates", sandbox::Stderr::kApart);
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_THAT(text.out, HasSubstr("1 duplicate\n\nMAC 02:47:57:00:00:01 under 2 serial numbers:\n"));
    EXPECT_THAT(text.out, ::testing::ContainsRegex("GW00000001 +station st, 2026-12-12T08:00:00.000Z, run .*: pass\n"
                                                   " +GW00000003 +station st, .*: unchecked-line\n"));
    EXPECT_THAT(text.out, ::testing::Not(HasSubstr("GW00000002")));

    const auto json = sandbox::runGwtest("report --records " + dir_ + " --duplicates --json", sandbox::Stderr::kApart);
    json_error_t e;
    json_t *root = json_loads(json.out.c_str(), 0, &e);
    ASSERT_NE(root, nullptr) << json.out;
    json_t *first = json_array_get(json_object_get(root, "duplicates"), 0);
    EXPECT_STREQ(json_string_value(json_object_get(first, "shared")), "mac");
    EXPECT_STREQ(json_string_value(json_object_get(first, "mac")), kMac1);
    EXPECT_EQ(json_array_size(json_object_get(first, "units")), 2U);
    json_decref(root);

    const auto bySerial =
        sandbox::runGwtest("report --records " + dir_ + " --serial GW00000001", sandbox::Stderr::kApart);
    EXPECT_EQ(bySerial.status, 0) << bySerial.err;
    EXPECT_THAT(bySerial.out, HasSubstr("serial GW00000001: 2 runs\n"));
    EXPECT_THAT(bySerial.out, HasSubstr("  unit MAC 02:47:57:00:00:01 serial GW00000001\n"));
    for (const char *bad : {"--serial 'GW 1'", "--serial GW1 --mac 02:47:57:00:00:01", "--duplicates --serial GW1"}) {
        const auto r = sandbox::runGwtest("report --records " + dir_ + " " + bad, sandbox::Stderr::kApart);
        EXPECT_EQ(r.status, 64) << bad << r.err;
    }
}

} // namespace

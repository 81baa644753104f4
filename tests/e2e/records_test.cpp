// End to end: the records `gwtest run --records` leaves behind, with the
// real service on gwsim boards. A broken part shows up as exactly its failing
// tests in records.db, records.jsonl and the JUnit file alike; a station
// killed outright keeps every test it had finished; two stations writing one
// directory at once lose nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <jansson.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "command.h"
#include "gwsimProcess.h"
#include "profile/profile.h"
#include "records/records.h"
#include "sandbox.h"
#include "serviceProcess.h"

namespace {

using ::testing::HasSubstr;
using Outcomes = std::map<std::string, std::string>; // test name -> outcome of its last attempt

std::vector<std::vector<std::string>> query(const std::string &dir, const std::string &sql)
{
    sqlite3 *db = nullptr;
    std::vector<std::vector<std::string>> rows;
    EXPECT_EQ(sqlite3_open_v2((dir + "/records.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int i = 0; i < sqlite3_column_count(st); ++i) {
            const unsigned char *t = sqlite3_column_text(st, i);
            row.push_back(t != nullptr ? reinterpret_cast<const char *>(t) : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

std::string str(json_t *o, const char *key)
{
    const char *s = json_string_value(json_object_get(o, key));
    return s != nullptr ? s : "";
}

// Each line parsed; a line that is not JSON fails the test.
template <typename Fn>
void eachJsonLine(const std::string &text, Fn fn)
{
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        json_error_t error;
        json_t *o = json_loads(line.c_str(), 0, &error);
        EXPECT_NE(o, nullptr) << "not JSON: " << line;
        if (o != nullptr) {
            fn(o);
            json_decref(o);
        }
    }
}

// The results in records.db and records.jsonl, keyed "run/name/attempt".
std::map<std::string, std::string> dbResults(const std::string &dir)
{
    std::map<std::string, std::string> out;
    for (const auto &r : query(dir, "SELECT run_id, name, attempt, outcome FROM results")) {
        out[r[0] + "/" + r[1] + "/" + r[2]] = r[3];
    }
    return out;
}

std::map<std::string, std::string> jsonlResults(const std::string &dir)
{
    std::map<std::string, std::string> out;
    eachJsonLine(sandbox::readFile(dir + "/records.jsonl"), [&](json_t *o) {
        out[str(o, "run_id") + "/" + str(o, "name") + "/" +
            std::to_string(json_integer_value(json_object_get(o, "attempt")))] = str(o, "outcome");
    });
    return out;
}

// What the station said had finished (its --json events), same keys.
std::map<std::string, std::string> reportedResults(const std::string &events)
{
    std::map<std::string, std::string> out;
    eachJsonLine(events, [&](json_t *o) {
        if (str(o, "event") == "test-finished") {
            out[str(o, "run") + "/" + str(o, "name") + "/" +
                std::to_string(json_integer_value(json_object_get(o, "attempt")))] = str(o, "outcome");
        }
    });
    return out;
}

using sandbox::filesIn;

std::string xpath(const std::string &file, const std::string &expr)
{
    std::string out = sandbox::runCommand("xmllint --xpath '" + expr + "' '" + file + "'").out;
    if (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

const std::string kSchema = std::string(GW_SOURCE_DIR) + "/tests/unit/junit.xsd";

class RecordsEnd2End : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::privateRunDir();
        dir_ = sandbox::scratchDir() + "/records";
    }
    std::string dir_;
};

struct Broken {
    const char *name;
    const char *model;
    const char *scenario;
    const char *only;
    std::set<std::string> failing;
};

// clang-format off
const Broken kBroken[] = {
    {"DnsAndLeds", "GWM0202", "dns = fail\nleds = missing\n", "wan,ping-gw,ping-host,led-power,led-error",
     {"ping-host", "led-power", "led-error"}},
    {"NoWanAddress", "GWM0404", "wan.address = absent\n", "sysversion,wan,led-power", {"wan"}},
};
// clang-format on

class BrokenBoardRecords : public RecordsEnd2End, public ::testing::WithParamInterface<Broken> {};

void PrintTo(const Broken &b, std::ostream *os) { *os << b.name; }

TEST_P(BrokenBoardRecords, ExactlyItsFailingTestsInAllThreeRecords)
{
    const Broken &b = GetParam();
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start(b.model, b.scenario)) << sim.failure();
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN, {"run", sim.address() + "=S1", "--only", b.only, "--operator", "yes",
                                           "--records", dir_, "--station", "e2e"}));
    ASSERT_EQ(station.waitExit(120000), std::optional<int>(1)) << station.out() << station.err();

    // records.db: the run with its unit, every test of the plan with its outcome.
    const auto runs = query(dir_, "SELECT id, model, mac, outcome, finished IS NOT NULL FROM runs");
    ASSERT_EQ(runs.size(), 1U);
    const std::string run = runs[0][0];
    EXPECT_EQ(runs[0][1], b.model);
    const auto macData = query(dir_, "SELECT data_text FROM results WHERE name = 'mac'");
    ASSERT_EQ(macData.size(), 1U);
    EXPECT_EQ(runs[0][2], macData[0][0]);
    EXPECT_THAT(runs[0][2], ::testing::MatchesRegex("02:47:57:0[24]:0[24]:[0-9a-f]{2}"));
    EXPECT_EQ(runs[0][3], "fail");
    EXPECT_EQ(runs[0][4], "1");
    Outcomes db;
    for (const auto &r : query(dir_, "SELECT name, outcome FROM results WHERE attempt = 1")) {
        db[r[0]] = r[1];
    }
    std::set<std::string> failing, passing;
    for (const auto &[name, outcome] : db) {
        if (outcome == "fail") {
            failing.insert(name);
        } else if (outcome == "pass") {
            passing.insert(name);
        } else {
            EXPECT_EQ(outcome, "skipped") << name;
        }
    }
    EXPECT_EQ(failing, b.failing);
    // The identity is always asked; every test asked for that did not fail passed.
    std::set<std::string> asked{"model", "mac"};
    std::istringstream only(b.only);
    for (std::string name; std::getline(only, name, ',');) {
        asked.insert(name);
    }
    for (const std::string &name : asked) {
        EXPECT_TRUE(failing.count(name) != 0 || passing.count(name) != 0) << name;
    }
    EXPECT_EQ(failing.size() + passing.size(), asked.size());

    // records.jsonl: the same results.
    Outcomes jsonl;
    eachJsonLine(sandbox::readFile(dir_ + "/records.jsonl"), [&](json_t *o) {
        EXPECT_EQ(str(o, "run_id"), run);
        jsonl[str(o, "name")] = str(o, "outcome");
    });
    EXPECT_EQ(jsonl, db);

    // The JUnit file: valid, the same failures with their hints.
    const auto files = filesIn(dir_ + "/junit");
    ASSERT_EQ(files.size(), 1U);
    const std::string file = dir_ + "/junit/" + files[0];
    const sandbox::CommandRun valid = sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + file);
    EXPECT_EQ(valid.status, 0) << valid.out;
    EXPECT_EQ(xpath(file, "string(/testsuites/@failures)"), std::to_string(b.failing.size()));
    EXPECT_EQ(xpath(file, "string(/testsuites/@errors)"), "0");
    EXPECT_EQ(xpath(file, "string(/testsuites/@tests)"), std::to_string(db.size()));
    for (const std::string &name : b.failing) {
        EXPECT_THAT(xpath(file, "string(//testcase[@name=\"" + name + "\"]/failure/@message)"), HasSubstr("(check: "))
            << name;
    }

    // And the report sees one unit that failed its first pass.
    const sandbox::CommandRun report = sandbox::runGwtest("report --records " + dir_);
    EXPECT_EQ(report.status, 0) << report.out;
    EXPECT_THAT(report.out, HasSubstr("units tested: 1, first-pass yield: 0.0 % (0 of 1)"));
    EXPECT_TRUE(sim.stop());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, BrokenBoardRecords, ::testing::ValuesIn(kBroken),
                         [](const auto &info) { return std::string(info.param.name); });

// A board with the wrong firmware and a MAC from another block, judged by
// the line's profile: both fail with the limit named, a slow test passes
// marked marginal, and every record says so.
TEST_F(RecordsEnd2End, ProfileFailsWhatTheGatewayPassedAndMarksTheMarginal)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0101", "sysversion = 2.3.6\neth0.mac = 02:47:58:00:00:07\n")) << sim.failure();
    const std::string profile = sandbox::scratchDir() + "/line.toml";
    const std::string profileText = "[line]\nmac_ranges = [\"02:47:57:00:00:00-02:47:57:ff:ff:ff\"]\n"
                                    "serial = \"^GW[0-9]{8}$\"\n\n"
                                    "[model.GWM0101]\nsysversion = \"2.3.7\"\n\n[model.GWM0101.limits]\n"
                                    "smartconfig = { max_s = 60, marginal_s = 0.5 }\n";
    sandbox::writeFile(profile, profileText);
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN, {"run", sim.address() + "=P1", "--only", "sysversion,smartconfig",
                                           "--operator", "yes", "--records", dir_, "--station", "e2e", "--profile",
                                           profile, "--operator-id", "op-7", "--serial", "P1=GW00000042"}));
    ASSERT_EQ(station.waitExit(120000), std::optional<int>(1)) << station.out() << station.err();
    EXPECT_THAT(station.out(), HasSubstr("sysversion fail"));
    EXPECT_THAT(station.out(), HasSubstr("(sysversion 2.3.6, want 2.3.7)"));
    EXPECT_THAT(station.out(), ::testing::ContainsRegex("smartconfig pass [0-9.]+ s  marginal: smartconfig took"));

    const std::string macLimit = "mac 02:47:58:00:00:07, want 02:47:57:00:00:00-02:47:57:ff:ff:ff";
    const std::string versionLimit = "sysversion 2.3.6, want 2.3.7";
    // records.db
    const auto runs =
        query(dir_, "SELECT mac, outcome, profile_hash, profile_path, station_version, operator_id, serial FROM runs");
    ASSERT_EQ(runs.size(), 1U);
    EXPECT_EQ(runs[0][0], "02:47:58:00:00:07");
    EXPECT_EQ(runs[0][1], "fail");
    EXPECT_EQ(runs[0][2], station::sha256Hex(profileText));
    EXPECT_EQ(runs[0][3], profile);
    EXPECT_NE(runs[0][4], "");
    EXPECT_EQ(runs[0][5], "op-7");
    EXPECT_EQ(runs[0][6], "GW00000042");
    std::map<std::string, std::vector<std::string>> db;
    for (const auto &r : query(dir_, "SELECT name, outcome, \"limit\", marginal FROM results")) {
        db[r[0]] = {r[1], r[2], r[3]};
    }
    EXPECT_EQ(db["mac"], (std::vector<std::string>{"fail", macLimit, "0"}));
    EXPECT_EQ(db["sysversion"], (std::vector<std::string>{"fail", versionLimit, "0"}));
    EXPECT_EQ(db["smartconfig"][0], "pass");
    EXPECT_THAT(db["smartconfig"][1], ::testing::MatchesRegex("smartconfig took [0-9.]+ s, want <= 60 s, marginal "
                                                              "past 0.5 s"));
    EXPECT_EQ(db["smartconfig"][2], "1");
    EXPECT_EQ(db["model"], (std::vector<std::string>{"pass", "", "0"}));

    // records.jsonl: the same, in the one shape of a result.
    std::map<std::string, std::pair<std::string, bool>> jsonl;
    eachJsonLine(sandbox::readFile(dir_ + "/records.jsonl"), [&](json_t *o) {
        jsonl[str(o, "name")] = {str(o, "limit"), json_is_true(json_object_get(o, "marginal"))};
    });
    EXPECT_EQ(jsonl["mac"], std::make_pair(macLimit, false));
    EXPECT_EQ(jsonl["sysversion"], std::make_pair(versionLimit, false));
    EXPECT_EQ(jsonl["smartconfig"], std::make_pair(db["smartconfig"][1], true));

    // JUnit: the broken limits are the failures' messages; the file stays valid.
    const auto files = filesIn(dir_ + "/junit");
    ASSERT_EQ(files.size(), 1U);
    const std::string file = dir_ + "/junit/" + files[0];
    EXPECT_EQ(sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + file).status, 0);
    EXPECT_THAT(xpath(file, "string(//testcase[@name=\"sysversion\"]/failure/@message)"), HasSubstr(versionLimit));
    EXPECT_THAT(xpath(file, "string(//testcase[@name=\"mac\"]/failure/@message)"), HasSubstr(macLimit));
    EXPECT_THAT(xpath(file, "string(//testcase[@name=\"smartconfig\"]/system-out)"), HasSubstr("marginal"));
    EXPECT_TRUE(sim.stop());
}

// Two boards that report one MAC, each with its own label: the first passes,
// the second is refused as a duplicate, naming the first; the first tested
// again is a retest and passes. Read back from records.db and JUnit.
TEST_F(RecordsEnd2End, ASecondBoardWithTheSameMacIsADuplicateAndARetestPasses)
{
    sandbox::GwsimInstance first;
    sandbox::GwsimInstance second;
    ASSERT_TRUE(first.launch("GWM0101", "eth0.mac = 02:47:57:00:00:21\n")) << first.failure();
    ASSERT_TRUE(second.launch("GWM0101", "eth0.mac = 02:47:57:00:00:21\n")) << second.failure();
    ASSERT_TRUE(first.waitReady()) << first.failure();
    ASSERT_TRUE(second.waitReady()) << second.failure();
    auto runOne = [&](const std::string &address, const std::string &serial) {
        sandbox::ServiceProcess station;
        EXPECT_TRUE(station.start(GWTEST_BIN, {"run", address + "=U", "--only", "sysversion", "--operator", "yes",
                                               "--records", dir_, "--station", "e2e", "--serial", "U=" + serial}));
        const std::optional<int> status = station.waitExit(120000);
        return std::make_tuple(status.value_or(-1), station.out() + station.err());
    };
    const auto [passed, passedOut] = runOne(first.address(), "GW00000001");
    EXPECT_EQ(passed, 0) << passedOut;
    const auto [refused, refusedOut] = runOne(second.address(), "GW00000002");
    EXPECT_EQ(refused, 1) << refusedOut;
    EXPECT_THAT(refusedOut,
                ::testing::ContainsRegex("U [0-9.]+:6666: duplicate, [0-9]+ passed, 0 failed \\(MAC 02:47:57:00:00:21 "
                                         "was recorded for serial GW00000001 at station e2e on "
                                         "[0-9-]+ [0-9:]+ UTC\\)"));
    const auto [retest, retestOut] = runOne(first.address(), "GW00000001");
    EXPECT_EQ(retest, 0) << retestOut;

    const auto runs = query(dir_, "SELECT serial, mac, outcome FROM runs ORDER BY started");
    ASSERT_EQ(runs.size(), 3U);
    EXPECT_EQ(runs[0], (std::vector<std::string>{"GW00000001", "02:47:57:00:00:21", "pass"}));
    EXPECT_EQ(runs[1], (std::vector<std::string>{"GW00000002", "02:47:57:00:00:21", "duplicate"}));
    EXPECT_EQ(runs[2], (std::vector<std::string>{"GW00000001", "02:47:57:00:00:21", "pass"}));
    // JUnit: the refused unit's suite fails, though each of its tests passed.
    int failedSuites = 0;
    for (const std::string &name : filesIn(dir_ + "/junit")) {
        const std::string file = dir_ + "/junit/" + name;
        EXPECT_EQ(sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + file).status, 0);
        if (xpath(file, "string(//property[@name=\"outcome\"]/@value)") == "duplicate") {
            ++failedSuites;
            EXPECT_EQ(xpath(file, "string(//testsuite/@failures)"), "1");
            EXPECT_THAT(xpath(file, "string(//testcase[@name=\"duplicate\"]/failure/@message)"),
                        HasSubstr("was recorded for serial GW00000001"));
        }
    }
    EXPECT_EQ(failedSuites, 1);
    EXPECT_TRUE(first.stop());
    EXPECT_TRUE(second.stop());
}

// `kill -9` of the station in the middle of a plan: every test it had
// reported finished is in records.db and records.jsonl; the run reads as
// unfinished; the directory takes the next run.
TEST_F(RecordsEnd2End, StationKilledMidPlanKeepsEveryFinishedTest)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0202")) << sim.failure();
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN, {"run", sim.address(), "--operator", "yes", "--records", dir_, "--json"}));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (reportedResults(station.out()).size() < 8 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GE(reportedResults(station.out()).size(), 8U) << station.out() << station.err();
    // The records commit a result within kRecordsCommitMs of its test's end
    // (on a machine with a processor to spare; these tests run eight at once
    // on two cores, hence a generous window): a test on standard output is a
    // test on disk that long after.
    const auto reported = reportedResults(station.out());
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * station::kRecordsCommitMs));
    ASSERT_EQ(kill(station.pid(), SIGKILL), 0);
    station.waitExit(10000);

    const auto db = dbResults(dir_);
    const auto jsonl = jsonlResults(dir_);
    for (const auto &[key, outcome] : reported) {
        auto it = db.find(key);
        ASSERT_NE(it, db.end()) << key << " is missing in records.db";
        EXPECT_EQ(it->second, outcome) << key;
        it = jsonl.find(key);
        ASSERT_NE(it, jsonl.end()) << key << " is missing in records.jsonl";
        EXPECT_EQ(it->second, outcome) << key;
    }
    // Beyond what was reported, only tests that finished after it: the
    // events are printed from a thread of their own, so the kill may take
    // a few finished tests with it before they reach standard output, but
    // never one before a reported test. The database holds the reported
    // tests first, in order.
    const auto ordered = query(dir_, "SELECT run_id, name, attempt FROM results ORDER BY rowid");
    ASSERT_GE(ordered.size(), reported.size());
    for (size_t i = 0; i < reported.size(); ++i) {
        const std::string key = ordered[i][0] + "/" + ordered[i][1] + "/" + ordered[i][2];
        EXPECT_EQ(reported.count(key), 1U) << "result " << i << " of records.db, " << key << ", was not reported";
    }
    EXPECT_LE(jsonl.size(), db.size());
    EXPECT_EQ(query(dir_, "SELECT count(*) FROM runs WHERE finished IS NULL AND mac != ''")[0][0], "1");
    for (const std::string &f : filesIn(dir_ + "/junit")) {
        EXPECT_NE(f[0], '.') << "a scratch file was left: " << f;
    }

    const sandbox::CommandRun report = sandbox::runGwtest("report --records " + dir_);
    EXPECT_THAT(report.out, HasSubstr("runs: 1 (1 unfinished)"));

    // The next station opens the same directory and records on.
    sandbox::ServiceProcess next;
    ASSERT_TRUE(
        next.start(GWTEST_BIN, {"run", sim.address(), "--only", "wan", "--operator", "yes", "--records", dir_}));
    EXPECT_EQ(next.waitExit(60000), std::optional<int>(0)) << next.out() << next.err();
    EXPECT_EQ(query(dir_, "SELECT count(*) FROM runs WHERE outcome = 'pass'")[0][0], "1");
    EXPECT_TRUE(sim.stop());
}

// Two stations on one PC (the same default station id, started together, so
// most likely the same batch id) write one records directory: every result
// of both is there once, in both files, and each batch has its JUnit file.
TEST_F(RecordsEnd2End, TwoStationsWritingOneDirectoryLoseNothing)
{
    sandbox::GwsimInstance a, b;
    ASSERT_TRUE(a.launch("GWM0202"));
    ASSERT_TRUE(b.launch("GWM0404"));
    ASSERT_TRUE(a.waitReady()) << a.failure();
    ASSERT_TRUE(b.waitReady()) << b.failure();
    const char *only = "sysversion,wan,ping-gw,ping-host,smartconfig,led-power,led-error";
    sandbox::ServiceProcess first, second;
    ASSERT_TRUE(first.start(GWTEST_BIN,
                            {"run", a.address(), "--only", only, "--operator", "yes", "--records", dir_, "--json"}));
    ASSERT_TRUE(second.start(GWTEST_BIN,
                             {"run", b.address(), "--only", only, "--operator", "yes", "--records", dir_, "--json"}));
    EXPECT_EQ(first.waitExit(120000), std::optional<int>(0)) << first.out() << first.err();
    EXPECT_EQ(second.waitExit(120000), std::optional<int>(0)) << second.out() << second.err();

    auto reported = reportedResults(first.out());
    const auto more = reportedResults(second.out());
    ASSERT_GE(reported.size(), 9U);
    ASSERT_GE(more.size(), 9U);
    const size_t total = reported.size() + more.size();
    const auto db = dbResults(dir_);
    const auto jsonl = jsonlResults(dir_);
    EXPECT_EQ(db.size(), total);
    EXPECT_EQ(jsonl.size(), total);
    EXPECT_EQ(query(dir_, "SELECT count(*) FROM results")[0][0], std::to_string(total));
    // Both runs, each closed and with its own unit.
    EXPECT_EQ(query(dir_, "SELECT count(*), count(DISTINCT mac) FROM runs WHERE outcome = 'pass'"),
              (std::vector<std::vector<std::string>>{{"2", "2"}}));
    const auto files = filesIn(dir_ + "/junit");
    ASSERT_EQ(files.size(), 2U);
    for (const std::string &f : files) {
        const sandbox::CommandRun valid =
            sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + dir_ + "/junit/" + f);
        EXPECT_EQ(valid.status, 0) << valid.out;
    }
    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(b.stop());
}

} // namespace

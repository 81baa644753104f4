// The station's records written from synthetic event sequences: each result
// on disk within moments of its test's end (a station killed outright loses
// nothing finished), results that finish together in one commit, the engine
// never waiting for the disk, two stations on one directory, directories that cannot
// be written, schema versions, the JUnit file, write errors mid-run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <jansson.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "asUser.h"
#include "catalogue.h"
#include "command.h"
#include "eventScript.h"
#include "records/json.h"
#include "records/loader.h"
#include "records/reader.h"
#include "records/records.h"
#include "records/schema.h"
#include "sandbox.h"

namespace {

using sandbox::EventScript;
using sandbox::TestStep;
using station::Outcome;
using station::RunOutcome;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr int64_t kT0 = 1797062400000; // 2026-12-12T08:00:00Z

using Row = std::vector<std::string>;

// Rows of a query on records.db, each column as text ("NULL" for null).
std::vector<Row> query(const std::string &dir, const std::string &sql)
{
    sqlite3 *db = nullptr;
    std::vector<Row> rows;
    EXPECT_EQ(sqlite3_open_v2((dir + "/records.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
        Row row;
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

std::string scalar(const std::string &dir, const std::string &sql)
{
    auto rows = query(dir, sql);
    return rows.empty() || rows[0].empty() ? "" : rows[0][0];
}

// records.jsonl, one parsed object a line; a line that is not JSON fails the
// test.
std::vector<json_t *> jsonLines(const std::string &dir)
{
    std::ifstream in(dir + "/records.jsonl");
    std::vector<json_t *> out;
    std::string line;
    while (std::getline(in, line)) {
        json_error_t err;
        json_t *v = json_loads(line.c_str(), 0, &err);
        EXPECT_NE(v, nullptr) << "not a JSON line: " << line;
        if (v != nullptr) {
            out.push_back(v);
        }
    }
    return out;
}

void release(std::vector<json_t *> &lines)
{
    for (json_t *v : lines) {
        json_decref(v);
    }
    lines.clear();
}

std::string text(json_t *o, const char *key)
{
    const char *s = json_string_value(json_object_get(o, key));
    return s != nullptr ? s : "";
}

using sandbox::filesIn;

std::string xpath(const std::string &file, const std::string &expr)
{
    std::string out = sandbox::runCommand("xmllint --xpath '" + expr + "' '" + file + "'").out;
    if (!out.empty() && out.back() == '\n') {
        out.pop_back(); // xmllint ends its answer with a newline
    }
    return out;
}

std::string hintOf(uint16_t code) { return std::string(catalogue::findAny(code)->hint); }

const std::string kSchema = std::string(GW_SOURCE_DIR) + "/tests/unit/junit.xsd";

// What the records said, from their writer thread.
class Warnings {
public:
    void add(const std::string &m)
    {
        std::lock_guard lock(mutex_);
        said_.push_back(m);
    }
    std::vector<std::string> said() const
    {
        std::lock_guard lock(mutex_);
        return said_;
    }
    int count(const std::string &part) const
    {
        const std::vector<std::string> all = said();
        return static_cast<int>(std::count_if(all.begin(), all.end(),
                                              [&](const std::string &w) { return w.find(part) != std::string::npos; }));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> said_;
};

std::unique_ptr<station::RecordsSink> open(const std::string &dir, Warnings *warnings = nullptr)
{
    std::string error;
    auto sink = station::openRecords(dir, error, [warnings](const std::string &m) {
        if (warnings != nullptr) {
            warnings->add(m);
        }
    });
    EXPECT_NE(sink, nullptr) << error;
    return sink;
}

// The plan of a GWM0202 in short: identity, network, the power LED.
const std::vector<uint16_t> kPlan = {0x0005, 0x0001, 0x0002, 0x0101, 0x0102, 0x0103, 0x0701};

class Records : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { dir_ = sandbox::scratchDir() + "/records"; }
    std::string dir_;
};

// A station that writes results one after another is killed outright
// some time after a moment: every result it had reported finished
// by then is in records.db and in records.jsonl, the lines are whole, and
// the directory opens again.
TEST_F(Records, EveryFinishedTestSurvivesAKill)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        std::string error;
        auto sink = station::openRecords(dir_, error);
        if (!sink) {
            _exit(1);
        }
        EventScript s(*sink, "st-kill", kT0);
        for (int batch = 0;; ++batch) {
            s.advance(1000);
            s.startBatch(1);
            s.startRun(0, "10.213.0.2");
            s.planKnown(0, "GWM0202", kPlan);
            s.learnMac(0, "02:47:57:02:02:00");
            for (uint16_t code : kPlan) {
                s.test(0, {.code = code, .durationMs = 7});
                // Told once the sink has taken the result in.
                if (write(fds[1], "x", 1) != 1) {
                    _exit(2);
                }
                usleep(2000); // the gateway's next test
            }
            s.finishRun(0, RunOutcome::kPass);
            s.finishBatch();
        }
    }
    close(fds[1]);
    int reported = 0;
    char c = 0;
    while (reported < 40 && read(fds[0], &c, 1) == 1) {
        ++reported;
    }
    // And every other result reported by now.
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    while (read(fds[0], &c, 1) == 1) {
        ++reported;
    }
    // The writer commits within kRecordsCommitMs on a machine with a
    // processor to spare (the records benchmark measures it); the tests run
    // eight at once on two cores, so the kill comes after a generous window
    // of that: what it proves is that nothing the station called finished
    // is lost to a kill.
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * station::kRecordsCommitMs));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    close(fds[0]);

    const int inDb = std::stoi(scalar(dir_, "SELECT count(*) FROM results"));
    std::vector<json_t *> lines = jsonLines(dir_);
    const int inJsonl = static_cast<int>(lines.size());
    EXPECT_GE(inDb, reported);
    EXPECT_GE(inJsonl, reported);
    // The database is written first: the lines are its first results, in
    // the same order (the group in flight may be in the database only).
    EXPECT_LE(inJsonl, inDb);
    auto rows = query(dir_, "SELECT run_id, code, attempt FROM results ORDER BY rowid");
    for (size_t i = 0; i < lines.size() && i < rows.size(); ++i) {
        EXPECT_EQ(text(lines[i], "run_id"), rows[i][0]);
        EXPECT_EQ(std::to_string(json_integer_value(json_object_get(lines[i], "code"))), rows[i][1]);
    }
    release(lines);
    // The kill lands anywhere, also between one run's end and the next one's
    // start: at most the run in flight has no end, and every run that ended
    // holds its whole plan.
    EXPECT_LE(std::stoi(scalar(dir_, "SELECT count(*) FROM runs WHERE finished IS NULL")), 1);
    EXPECT_EQ(scalar(dir_, "SELECT count(*) FROM runs WHERE finished IS NOT NULL AND "
                           "(SELECT count(*) FROM results WHERE results.run_id = runs.id) != " +
                               std::to_string(kPlan.size())),
              "0");

    // The directory opens again and takes more.
    {
        auto sink = open(dir_);
        ASSERT_NE(sink, nullptr);
        EventScript s(*sink, "st-after", kT0 + 3600000);
        s.startBatch(1);
        s.startRun(0, "10.213.0.2");
        s.test(0, {.code = 0x0005});
        s.finishRun(0, RunOutcome::kPass);
        s.finishBatch();
    }
    EXPECT_EQ(std::stoi(scalar(dir_, "SELECT count(*) FROM results")), inDb + 1);
    for (const std::string &f : filesIn(dir_ + "/junit")) {
        EXPECT_NE(f[0], '.') << "a scratch file was left: " << f;
    }
}

// Two stations (processes) write one directory at once, with the same
// station id and batch id even: all results of both are there, every line
// whole, two JUnit files.
// Two stations started at the same moment on a records directory neither
// has made yet: both open it. The switch of the new file to the write-ahead
// log may find the other's lock, and must wait for it rather than refuse.
TEST_F(Records, TwoStationsCreatingOneDirectoryAtOnceBothOpenIt)
{
    for (int round = 0; round < 30; ++round) {
        const std::string dir = dir_ + "-" + std::to_string(round);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        std::fflush(nullptr);
        pid_t children[2];
        for (pid_t &child : children) {
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                close(go[1]);
                char c = 0;
                (void)!read(go[0], &c, 1); // both start when the pipe closes
                std::string error;
                auto sink = station::openRecords(dir, error);
                if (!sink) {
                    std::fprintf(stderr, "%s\n", error.c_str());
                }
                _exit(sink ? 0 : 1);
            }
        }
        close(go[0]);
        close(go[1]);
        for (pid_t child : children) {
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
    }
}

TEST_F(Records, TwoStationsOnOneDirectoryLoseNothing)
{
    constexpr int kGateways = 3;
    constexpr int kRounds = 15; // times the plan per gateway
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    std::fflush(nullptr);
    for (int station = 0; station < 2; ++station) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(go[1]);
            std::string error;
            auto sink = station::openRecords(dir_, error);
            if (!sink) {
                std::fprintf(stderr, "%s\n", error.c_str());
                _exit(1);
            }
            char c = 0;
            if (read(go[0], &c, 1) != 0) { // both go when the pipe closes
                _exit(2);
            }
            EventScript s(*sink, "line", kT0);
            s.startBatch(kGateways, "line-20261212T000000Z");
            for (int g = 0; g < kGateways; ++g) {
                s.startRun(g, "10.213." + std::to_string(g) + ".2");
                s.planKnown(g, "GWM0202", kPlan);
                s.learnMac(g, "02:47:57:02:0" + std::to_string(station) + ":0" + std::to_string(g));
            }
            for (int round = 0; round < kRounds; ++round) {
                for (uint16_t code : kPlan) {
                    for (int g = 0; g < kGateways; ++g) {
                        s.test(g, {.code = code, .durationMs = 3, .attempt = round + 1});
                    }
                }
            }
            for (int g = 0; g < kGateways; ++g) {
                s.finishRun(g, RunOutcome::kPass);
            }
            s.finishBatch();
            sink.reset();
            _exit(0);
        }
        children.push_back(child);
    }
    close(go[0]);
    close(go[1]);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    const int expected = 2 * kGateways * kRounds * static_cast<int>(kPlan.size());
    EXPECT_EQ(scalar(dir_, "SELECT count(*) FROM results"), std::to_string(expected));
    EXPECT_EQ(scalar(dir_, "SELECT count(DISTINCT mac) FROM results"), std::to_string(2 * kGateways));
    // Every run of both stations, each closed; the second station's runs
    // under their own ids.
    EXPECT_EQ(scalar(dir_, "SELECT count(*) FROM runs WHERE outcome = 'pass'"), std::to_string(2 * kGateways));
    EXPECT_EQ(scalar(dir_, "SELECT count(*) FROM (SELECT run_id FROM results GROUP BY run_id HAVING count(*) = " +
                               std::to_string(kRounds * kPlan.size()) + ")"),
              std::to_string(2 * kGateways));
    std::vector<json_t *> lines = jsonLines(dir_);
    EXPECT_EQ(static_cast<int>(lines.size()), expected);
    std::set<std::string> keys;
    for (json_t *l : lines) {
        keys.insert(text(l, "run_id") + "/" + std::to_string(json_integer_value(json_object_get(l, "code"))) + "/" +
                    std::to_string(json_integer_value(json_object_get(l, "attempt"))));
    }
    EXPECT_EQ(static_cast<int>(keys.size()), expected);
    release(lines);
    EXPECT_THAT(filesIn(dir_ + "/junit"), ElementsAre("line-20261212T000000Z.xml", "line-20261212T000000Z~2.xml"));
    for (const std::string &f : filesIn(dir_ + "/junit")) {
        sandbox::CommandRun check =
            sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + dir_ + "/junit/" + f);
        EXPECT_EQ(check.status, 0) << check.out;
    }
}

// A records directory that cannot be written is refused when the records
// open, before any test, with a message that names what is wrong.
TEST_F(Records, UnwritableDirectoryIsRefusedBeforeAnyTest)
{
    const std::string base = sandbox::scratchDir();
    struct Case {
        const char *what;
        std::string dir;
        std::function<void()> prepare;
        const char *message;
    };
    // clang-format off
    std::vector<Case> cases = {
        {"a file in its place", base + "/file",
         [&] { sandbox::writeFile(base + "/file", "x"); }, "is not a directory"},
        {"a read-only file system", base + "/ro",
         [&] { sandbox::mkdirs(base + "/ro");
               ASSERT_EQ(mount("tmpfs", (base + "/ro").c_str(), "tmpfs", MS_RDONLY, nullptr), 0); },
         "Read-only file system"},
        {"under a file", base + "/file2/records",
         [&] { sandbox::writeFile(base + "/file2", "x"); }, "cannot create the records directory"},
        {"junit/ is a file", base + "/j",
         [&] { sandbox::writeFile(base + "/j/junit", "x"); }, "junit is not a directory"},
        {"records.db is a directory", base + "/d",
         [&] { sandbox::mkdirs(base + "/d/records.db"); }, "records.db"},
        {"records.db is not a database", base + "/t",
         [&] { sandbox::writeFile(base + "/t/records.db", std::string(8192, 'x')); }, "records.db"},
    };
    // clang-format on
    for (Case &c : cases) {
        c.prepare();
        std::string error;
        auto sink = station::openRecords(c.dir, error);
        EXPECT_EQ(sink, nullptr) << c.what;
        EXPECT_THAT(error, HasSubstr(c.message)) << c.what;
    }

    // A directory of another user, for a station that is not root.
    sandbox::mkdirs(base + "/root-only", 0755);
    auto result = sandbox::runAsUser([&] {
        std::string error;
        auto sink = station::openRecords(base + "/root-only", error);
        return sink == nullptr && error.find("Permission denied") != std::string::npos &&
                       error.find(base + "/root-only") != std::string::npos
                   ? 0
                   : 1;
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, 0);
}

sqlite3 *rawDb(const std::string &dir)
{
    sandbox::mkdirs(dir);
    sqlite3 *db = nullptr;
    EXPECT_EQ(sqlite3_open((dir + "/records.db").c_str(), &db), SQLITE_OK);
    return db;
}

// A file of a newer gwtest is refused (and left as it was), a foreign
// database is refused, an empty one gets the schema.
TEST_F(Records, SchemaVersionIsCheckedAndMigrated)
{
    const std::string newer = sandbox::scratchDir() + "/newer";
    sqlite3 *db = rawDb(newer);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE runs (id TEXT); PRAGMA user_version = 4", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    std::string error;
    EXPECT_EQ(station::openRecords(newer, error), nullptr);
    EXPECT_THAT(error, HasSubstr("newer gwtest (records schema version 4; this gwtest knows up to 3)"));
    EXPECT_EQ(scalar(newer, "PRAGMA user_version"), "4");
    station::records::Rows rows;
    EXPECT_FALSE(station::records::loadSqlite(newer, {}, rows, error));
    EXPECT_THAT(error, HasSubstr("newer gwtest"));

    const std::string foreign = sandbox::scratchDir() + "/foreign";
    db = rawDb(foreign);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE photos (id INTEGER)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(station::openRecords(foreign, error), nullptr);
    EXPECT_THAT(error, HasSubstr("not a gwtest records file"));

    // Version 0 (a new, empty file) is brought to the current version.
    const std::string empty = sandbox::scratchDir() + "/empty";
    sqlite3_close(rawDb(empty));
    ASSERT_NE(open(empty), nullptr);
    EXPECT_EQ(scalar(empty, "PRAGMA user_version"), "3");
    EXPECT_EQ(scalar(empty, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(scalar(empty, "SELECT value FROM meta WHERE key = 'schema_version'"), "3");
    EXPECT_EQ(scalar(empty, "SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_master WHERE type IN "
                            "('table', 'index') AND name NOT LIKE 'sqlite_%' ORDER BY name)"),
              "meta results results_by_mac runs runs_by_mac runs_by_serial");
    // And opened again as it is.
    ASSERT_NE(open(empty), nullptr);
    EXPECT_EQ(scalar(empty, "PRAGMA user_version"), "3");
}

// A records.db of version 1 (before gangs), with a run and a result in it:
// read as it is by a reader (no gang), brought to the current version when a
// station opens it, its old results without a gang and the new ones with theirs.
TEST_F(Records, AFileOfVersionOneIsMigratedAndItsResultsHaveNoGang)
{
    namespace records = station::records;
    sqlite3 *db = rawDb(dir_);
    const std::string v1 = std::string(station::kRecordsSchemaV1) +
                           "PRAGMA user_version = 1;"
                           "INSERT INTO meta (key, value) VALUES ('schema_version', '1');"
                           "INSERT INTO runs (id, batch, station, started, host, port, model, mac, finished, outcome)"
                           " VALUES ('old-b-0', 'old-b', 'old', '2026-12-11T08:00:00.000Z', '10.213.0.2', 6666,"
                           " 'GWM0202', '02:47:57:02:02:00', '2026-12-11T08:01:00.000Z', 'pass');"
                           "INSERT INTO results (run_id, station, mac, code, name, attempt, outcome, started,"
                           " duration_ms, operator_answer, operator_ms) VALUES ('old-b-0', 'old',"
                           " '02:47:57:02:02:00', 1793, 'led-power', 1, 'pass', '2026-12-11T08:00:30.000Z', 900,"
                           " 'yes', 700);";
    ASSERT_EQ(sqlite3_exec(db, v1.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);

    // Read as version 1: the reader never writes.
    records::Rows before;
    std::string error;
    ASSERT_TRUE(records::loadSqlite(dir_, {}, before, error)) << error;
    ASSERT_EQ(before.results.size(), 1U);
    EXPECT_EQ(before.results[0].gang, "");
    EXPECT_EQ(scalar(dir_, "PRAGMA user_version"), "1");

    {
        auto sink = open(dir_);
        ASSERT_NE(sink, nullptr);
        EventScript s(*sink, "st", kT0);
        s.startBatch(1);
        s.startRun(0, "10.213.0.3");
        s.test(0, {.code = 0x0701, .answer = station::OperatorAnswer{"yes", 1500}, .gang = "st-b-g1"});
        s.finishRun(0, RunOutcome::kPass);
        s.finishBatch();
    }
    EXPECT_EQ(scalar(dir_, "PRAGMA user_version"), "3");
    EXPECT_EQ(scalar(dir_, "SELECT value FROM meta WHERE key = 'schema_version'"), "3");
    EXPECT_EQ(query(dir_, "SELECT run_id, name, operator_answer, gang FROM results ORDER BY rowid"),
              std::vector<Row>(
                  {{"old-b-0", "led-power", "yes", "NULL"}, {"st-20261212T080000Z-0", "led-power", "yes", "st-b-g1"}}));
    records::Rows after;
    ASSERT_TRUE(records::loadSqlite(dir_, {}, after, error)) << error;
    ASSERT_EQ(after.results.size(), 2U);
    EXPECT_EQ(after.results[0].gang, "");
    EXPECT_EQ(after.results[1].gang, "st-b-g1");
    // The one shape of a result: null when the test ran alone.
    for (const auto &[row, want] :
         {std::pair{&after.results[0], "null"}, std::pair{&after.results[1], "\"st-b-g1\""}}) {
        json_t *o = records::resultJson(*row);
        char *dumped = json_dumps(json_object_get(o, "gang"), JSON_ENCODE_ANY);
        EXPECT_STREQ(dumped, want);
        std::free(dumped);
        json_decref(o);
    }
}

// A records.db of each older version, its runs and results filled as that
// version wrote them, is read as it is (nothing traced, no limits) and,
// opened by a station, brought to the current version with every value of
// every row kept, the new columns empty; the station's new run is traced.
TEST_F(Records, OlderFilesKeepEveryValueAndGainTheTraceColumns)
{
    namespace records = station::records;
    struct Case {
        int version;
        std::string schema;
        std::string resultExtra; // the result's columns of that version beyond version 1
    };
    const Case cases[] = {
        {1, std::string(station::kRecordsSchemaV1), ""},
        {2, std::string(station::kRecordsSchemaV1) + std::string(station::kRecordsStepTo2), "gang"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version));
        const std::string dir = sandbox::scratchDir() + "/v" + std::to_string(c.version);
        sqlite3 *db = rawDb(dir);
        const std::string v = std::to_string(c.version);
        const std::string sql =
            c.schema + "PRAGMA user_version = " + v + "; INSERT INTO meta (key, value) VALUES ('schema_version', '" +
            v +
            "');"
            "INSERT INTO runs (id, batch, station, started, finished, host, port, label, model, mac, outcome)"
            " VALUES ('old-b-0', 'old-b', 'old', '2026-12-11T08:00:00.000Z', '2026-12-11T08:01:00.000Z',"
            " '10.213.0.2', 6667, 'A1', 'GWM0202', '02:47:57:02:02:00', 'fail');"
            "INSERT INTO results (run_id, station, mac, code, name, attempt, outcome, data_hex, data_text, hint,"
            " started, duration_ms, operator_answer, operator_ms" +
            (c.resultExtra.empty() ? "" : ", " + c.resultExtra) +
            ") VALUES ('old-b-0', 'old', '02:47:57:02:02:00', 1793, 'led-power', 2, 'fail', '00', 'off',"
            " 'check the LED', '2026-12-11T08:00:30.000Z', 900, 'no', 700" +
            (c.resultExtra.empty() ? "" : ", 'old-b-g1'") + ");";
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
        const std::vector<Row> runsBefore = query(dir, "SELECT * FROM runs");
        const std::vector<Row> resultsBefore = query(dir, "SELECT * FROM results");
        ASSERT_EQ(runsBefore.size(), 1U);
        ASSERT_EQ(resultsBefore.size(), 1U);

        // Read as it is: the reader never writes.
        records::Rows read;
        std::string error;
        ASSERT_TRUE(records::loadSqlite(dir, {}, read, error)) << error;
        ASSERT_EQ(read.runs.size(), 1U);
        ASSERT_EQ(read.results.size(), 1U);
        EXPECT_EQ(read.runs[0].outcome, "fail");
        EXPECT_EQ(read.runs[0].serial + read.runs[0].operatorId + read.runs[0].profileHash + read.runs[0].profilePath +
                      read.runs[0].stationVersion,
                  "");
        EXPECT_EQ(read.results[0].limit, "");
        EXPECT_FALSE(read.results[0].marginal);
        EXPECT_EQ(scalar(dir, "PRAGMA user_version"), v);

        {
            auto sink = open(dir);
            ASSERT_NE(sink, nullptr);
            EventScript s(*sink, "st", kT0);
            s.traceWith({.stationVersion = "v1.4-2-gabc1234", .operatorId = "op-7"});
            s.startBatch(1);
            s.serial(0, "GW00000042");
            s.startRun(0, "10.213.0.3");
            s.test(0, {.code = 0x0002, .decoded = "2.3.7", .limit = "sysversion 2.3.7, want 2.3.7"});
            s.finishRun(0, RunOutcome::kPass);
            s.finishBatch();
        }
        EXPECT_EQ(scalar(dir, "PRAGMA user_version"), "3");
        EXPECT_EQ(scalar(dir, "SELECT value FROM meta WHERE key = 'schema_version'"), "3");
        // The old rows: every value as it was, then the new columns empty.
        Row run = runsBefore[0];
        run.insert(run.end(), {"", "", "", "", ""});
        EXPECT_EQ(query(dir, "SELECT * FROM runs WHERE id = 'old-b-0'"), std::vector<Row>({run}));
        Row result = resultsBefore[0];
        if (c.version < 2) {
            result.push_back("NULL"); // no gang
        }
        result.insert(result.end(), {"", "0"});
        EXPECT_EQ(query(dir, "SELECT * FROM results WHERE run_id = 'old-b-0'"), std::vector<Row>({result}));
        EXPECT_EQ(query(dir, "SELECT serial, operator_id, station_version FROM runs WHERE id <> 'old-b-0'"),
                  std::vector<Row>({{"GW00000042", "op-7", "v1.4-2-gabc1234"}}));
        EXPECT_EQ(query(dir, "SELECT name, \"limit\", marginal FROM results WHERE run_id <> 'old-b-0'"),
                  std::vector<Row>({{"sysversion", "sysversion 2.3.7, want 2.3.7", "0"}}));
    }
}

// The run's row follows the gateway: model and MAC filled in as they come
// (the MAC also into the results recorded before it was known), closed at
// the end; each result with its times, data, hint and operator answer.
TEST_F(Records, RunAndResultRowsHoldWhatTheEventsSaid)
{
    auto sink = open(dir_);
    ASSERT_NE(sink, nullptr);
    EventScript s(*sink, "st1", kT0);
    s.startBatch(1);
    const std::string run = s.startRun(0, "10.213.0.2", "A3");
    sink->flush();
    EXPECT_EQ(query(dir_, "SELECT station, host, port, label, model, mac, finished, outcome FROM runs"),
              std::vector<Row>({{"st1", "10.213.0.2", "6666", "A3", "", "", "NULL", "NULL"}}));
    s.test(
        0,
        {.code = 0x0005, .durationMs = 15, .data = {'g', 'w', 'm', '0', '2', '0', '2', '\n', 0}, .decoded = "GWM0202"});
    s.planKnown(0, "GWM0202", kPlan);
    s.learnMac(0, "02:47:57:02:02:0A");
    s.test(0, {.code = 0x0001, .durationMs = 4, .data = {2, 0x47, 0x57, 2, 2, 0x0a}, .decoded = "02:47:57:02:02:0a"});
    s.test(0, {.code = 0x0103, .outcome = Outcome::kFail, .durationMs = 5003});
    s.test(0, {.code = 0x0701,
               .outcome = Outcome::kFail,
               .durationMs = 2100,
               .answer = station::OperatorAnswer{"no", 1800},
               .gang = "st1-20261212T080000Z-g2"});
    s.finishRun(0, RunOutcome::kFail, "2 tests failed");
    sink->flush();

    EXPECT_EQ(query(dir_, "SELECT model, mac, started, finished, outcome FROM runs WHERE id = '" + run + "'"),
              std::vector<Row>(
                  {{"GWM0202", "02:47:57:02:02:0a", "2026-12-12T08:00:00.000Z", "2026-12-12T08:00:07.122Z", "fail"}}));
    // clang-format off
    EXPECT_EQ(query(dir_, "SELECT mac, code, name, attempt, outcome, data_hex, data_text, started, duration_ms,"
                          " operator_answer, operator_ms, station, gang FROM results ORDER BY rowid"),
              std::vector<Row>({
                  {"02:47:57:02:02:0a", "5", "model", "1", "pass", "67776d303230320a00", "GWM0202",
                   "2026-12-12T08:00:00.000Z", "15", "NULL", "NULL", "st1", "NULL"},
                  {"02:47:57:02:02:0a", "1", "mac", "1", "pass", "02475702020a",
                   "02:47:57:02:02:0a", "2026-12-12T08:00:00.015Z", "4", "NULL", "NULL", "st1", "NULL"},
                  {"02:47:57:02:02:0a", "259", "ping-host", "1", "fail", "", "",
                   "2026-12-12T08:00:00.019Z", "5003", "NULL", "NULL", "st1", "NULL"},
                  {"02:47:57:02:02:0a", "1793", "led-power", "1", "fail", "", "",
                   "2026-12-12T08:00:05.022Z", "2100", "no", "1800", "st1", "st1-20261212T080000Z-g2"},
              }));
    // clang-format on
    EXPECT_EQ(scalar(dir_, "SELECT hint FROM results WHERE code = 259"), hintOf(0x0103));

    std::vector<json_t *> lines = jsonLines(dir_);
    ASSERT_EQ(lines.size(), 4U);
    char *first = json_dumps(lines[0], JSON_COMPACT | JSON_PRESERVE_ORDER);
    // The first line was written before the MAC was known; the database has
    // caught up since, the line stays as written.
    EXPECT_STREQ(first,
                 ("{\"run_id\":\"" + run +
                  "\",\"batch\":\"st1-20261212T080000Z\",\"station\":\"st1\",\"host\":\"10.213.0.2\","
                  "\"port\":6666,\"label\":\"A3\",\"model\":\"\",\"mac\":\"\",\"serial\":\"\","
                  "\"operator_id\":\"\",\"profile_hash\":\"\",\"profile_path\":\"\",\"station_version\":\"\","
                  "\"code\":5,\"name\":\"model\","
                  "\"attempt\":1,\"outcome\":\"pass\",\"data_hex\":\"67776d303230320a00\",\"data_text\":"
                  "\"GWM0202\",\"hint\":\"\",\"started\":\"2026-12-12T08:00:00.000Z\",\"duration_ms\":15,"
                  "\"operator_answer\":null,\"operator_ms\":null,\"gang\":null,\"limit\":null,\"marginal\":false}")
                     .c_str());
    std::free(first);
    EXPECT_EQ(text(lines[3], "operator_answer"), "no");
    EXPECT_EQ(text(lines[3], "gang"), "st1-20261212T080000Z-g2");
    EXPECT_EQ(text(lines[3], "mac"), "02:47:57:02:02:0a");
    EXPECT_EQ(text(lines[3], "model"), "GWM0202");
    release(lines);
}

// A run traced to its unit and the line's profile, and results the profile
// judged: the trace in the run's row, the limits and marginal passes in the
// results', and all of it again in records.jsonl, the JUnit file and the
// rows read back, in the one JSON shape. A serial scanned during the run
// comes with its end; an end without one keeps the serial given before.
TEST_F(Records, RunsAreTracedAndResultsCarryWhatTheProfileJudged)
{
    namespace records = station::records;
    const std::string hash(64, 'a');
    auto sink = open(dir_);
    ASSERT_NE(sink, nullptr);
    EventScript s(*sink, "st1", kT0);
    s.traceWith({.profilePath = "/etc/gwtest/line 3.toml",
                 .profileHash = hash,
                 .stationVersion = "v2.1-4-g0123abc",
                 .operatorId = "Anna <QA>"});
    const std::string batch = s.startBatch(2);
    // A1: its serial given on the command line, before the run.
    s.serial(0, "GW00001234");
    const std::string given = s.startRun(0, "10.213.0.2", "A1");
    s.planKnown(0, "GWM0202", {0x0005, 0x0002, 0x0004, 0x0103});
    s.learnMac(0, "02:47:57:02:02:00");
    s.test(0, {.code = 0x0005, .decoded = "GWM0202"});
    s.test(0, {.code = 0x0002,
               .outcome = Outcome::kFail,
               .decoded = "2.3.6",
               .limit = "sysversion 2.3.6, want 2.3.7",
               .message = "sysversion 2.3.6, want 2.3.7"});
    s.test(0, {.code = 0x0004, .decoded = "7.18", .limit = "zwversion 7.18, want >= 7.16"});
    s.test(0, {.code = 0x0103,
               .durationMs = 3312,
               .limit = "ping-host 3.312 s, want <= 3.5 s, marginal past 3.2 s",
               .marginal = true});
    s.serial(0, ""); // the end does not say it again
    s.finishRun(0, RunOutcome::kFail, "1 test failed");
    // A2: scanned while it ran, known from its end.
    const std::string scanned = s.startRun(1, "10.213.0.3", "A2");
    s.planKnown(1, "GWM0202", {0x0005});
    s.test(1, {.code = 0x0005, .decoded = "GWM0202"});
    sink->flush();
    EXPECT_EQ(scalar(dir_, "SELECT serial FROM runs WHERE id = '" + scanned + "'"), "");
    s.serial(1, "GW00005678");
    s.finishRun(1, RunOutcome::kPass);
    s.finishBatch();
    sink->flush();

    // records.db
    EXPECT_EQ(
        query(dir_, "SELECT id, serial, operator_id, profile_hash, profile_path, station_version FROM runs"
                    " ORDER BY rowid"),
        std::vector<Row>({{given, "GW00001234", "Anna <QA>", hash, "/etc/gwtest/line 3.toml", "v2.1-4-g0123abc"},
                          {scanned, "GW00005678", "Anna <QA>", hash, "/etc/gwtest/line 3.toml", "v2.1-4-g0123abc"}}));
    EXPECT_EQ(query(dir_, "SELECT name, outcome, \"limit\", marginal FROM results WHERE run_id = '" + given +
                              "' ORDER BY rowid"),
              std::vector<Row>({{"model", "pass", "", "0"},
                                {"sysversion", "fail", "sysversion 2.3.6, want 2.3.7", "0"},
                                {"zwversion", "pass", "zwversion 7.18, want >= 7.16", "0"},
                                {"ping-host", "pass", "ping-host 3.312 s, want <= 3.5 s, marginal past 3.2 s", "1"}}));

    // Read back, and in the one JSON shape of a run and of a result.
    records::Rows rows;
    std::string error;
    ASSERT_TRUE(records::loadSqlite(dir_, {}, rows, error)) << error;
    ASSERT_EQ(rows.runs.size(), 2U);
    ASSERT_EQ(rows.results.size(), 5U);
    EXPECT_EQ(rows.runs[0].serial, "GW00001234");
    EXPECT_EQ(rows.runs[0].operatorId, "Anna <QA>");
    EXPECT_EQ(rows.runs[0].profileHash, hash);
    EXPECT_EQ(rows.runs[0].profilePath, "/etc/gwtest/line 3.toml");
    EXPECT_EQ(rows.runs[0].stationVersion, "v2.1-4-g0123abc");
    EXPECT_EQ(rows.runs[1].serial, "GW00005678");
    EXPECT_EQ(rows.results[1].limit, "sysversion 2.3.6, want 2.3.7");
    EXPECT_FALSE(rows.results[1].marginal);
    EXPECT_TRUE(rows.results[3].marginal);
    auto dumped = [](json_t *o, const char *key) {
        char *d = json_dumps(json_object_get(o, key), JSON_ENCODE_ANY);
        std::string out = d != nullptr ? d : "(none)";
        std::free(d);
        return out;
    };
    json_t *run = records::runJson(rows.runs[0]);
    EXPECT_EQ(dumped(run, "serial"), "\"GW00001234\"");
    EXPECT_EQ(dumped(run, "operator_id"), "\"Anna <QA>\"");
    EXPECT_EQ(dumped(run, "profile_hash"), "\"" + hash + "\"");
    EXPECT_EQ(dumped(run, "profile_path"), "\"/etc/gwtest/line 3.toml\"");
    EXPECT_EQ(dumped(run, "station_version"), "\"v2.1-4-g0123abc\"");
    json_decref(run);
    const std::pair<size_t, std::pair<std::string, std::string>> shapes[] = {
        {0, {"null", "false"}},
        {1, {"\"sysversion 2.3.6, want 2.3.7\"", "false"}},
        {3, {"\"ping-host 3.312 s, want <= 3.5 s, marginal past 3.2 s\"", "true"}},
    };
    for (const auto &[i, want] : shapes) {
        json_t *o = records::resultJson(rows.results[i]);
        EXPECT_EQ(dumped(o, "limit"), want.first) << i;
        EXPECT_EQ(dumped(o, "marginal"), want.second) << i;
        json_decref(o);
    }

    // records.jsonl: each result with its run's trace as known when written.
    std::vector<json_t *> lines = jsonLines(dir_);
    ASSERT_EQ(lines.size(), 5U);
    EXPECT_EQ(text(lines[1], "serial"), "GW00001234");
    EXPECT_EQ(text(lines[1], "operator_id"), "Anna <QA>");
    EXPECT_EQ(text(lines[1], "profile_hash"), hash);
    EXPECT_EQ(text(lines[1], "profile_path"), "/etc/gwtest/line 3.toml");
    EXPECT_EQ(text(lines[1], "station_version"), "v2.1-4-g0123abc");
    EXPECT_EQ(text(lines[1], "limit"), "sysversion 2.3.6, want 2.3.7");
    EXPECT_EQ(dumped(lines[0], "limit"), "null");
    EXPECT_EQ(dumped(lines[3], "marginal"), "true");
    EXPECT_EQ(dumped(lines[2], "marginal"), "false");
    EXPECT_EQ(text(lines[4], "serial"), ""); // A2's serial was not known yet
    release(lines);

    // The JUnit file: valid, the trace in each run's properties, the limit
    // broken in the failure's message, limits and marginal passes told in
    // the testcase's output.
    const std::string file = dir_ + "/junit/" + batch + ".xml";
    sandbox::CommandRun check = sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + file);
    ASSERT_EQ(check.status, 0) << check.out << sandbox::readFile(file);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"string(//testsuite[1]//property[@name=\"serial\"]/@value)", "GW00001234"},
        {"string(//testsuite[1]//property[@name=\"operator_id\"]/@value)", "Anna <QA>"},
        {"string(//testsuite[1]//property[@name=\"profile_hash\"]/@value)", hash},
        {"string(//testsuite[1]//property[@name=\"profile_path\"]/@value)", "/etc/gwtest/line 3.toml"},
        {"string(//testsuite[1]//property[@name=\"station_version\"]/@value)", "v2.1-4-g0123abc"},
        {"string(//testsuite[2]//property[@name=\"serial\"]/@value)", "GW00005678"},
        {"string(//testcase[@name=\"sysversion\"]/failure/@message)",
         "fail: sysversion 2.3.6, want 2.3.7: data 2.3.6 (check: " + hintOf(0x0002) + ")"},
        {"string(//testcase[@name=\"zwversion\"]/system-out)",
         "attempt 1: pass, data 7.18\nlimit: zwversion 7.18, want >= 7.16\n"},
        {"string(//testcase[@name=\"ping-host\"]/system-out)",
         "attempt 1: pass\nlimit: ping-host 3.312 s, want <= 3.5 s, marginal past 3.2 s\nmarginal\n"},
        {"count(//testsuite[2]/testcase/system-out)", "1"},
    };
    for (const auto &[expr, value] : expected) {
        EXPECT_EQ(xpath(file, expr), value) << expr;
    }
    EXPECT_THAT(xpath(file, "string(//testcase[@name=\"sysversion\"]/failure)"),
                HasSubstr("limit: sysversion 2.3.6, want 2.3.7\n"));
}

// The run outcomes of the unit checks are text to the records like any
// other: a run ended `duplicate` or `unchecked-line` is read back and shown
// as it was stored.
TEST_F(Records, DuplicateAndUncheckedLineAreRunOutcomes)
{
    namespace records = station::records;
    {
        auto sink = open(dir_);
        ASSERT_NE(sink, nullptr);
        EventScript s(*sink, "st1", kT0);
        s.startBatch(2);
        s.startRun(0, "10.213.0.2");
        s.finishRun(0, RunOutcome::kFail);
        s.startRun(1, "10.213.0.3");
        s.finishRun(1, RunOutcome::kPass);
        s.finishBatch();
    }
    // (Written as the unit checks end a run.)
    sqlite3 *db = rawDb(dir_);
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE runs SET outcome = 'duplicate' WHERE host = '10.213.0.2';"
                           "UPDATE runs SET outcome = 'unchecked-line' WHERE host = '10.213.0.3'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    records::Rows rows;
    std::string error;
    ASSERT_TRUE(records::loadSqlite(dir_, {}, rows, error)) << error;
    ASSERT_EQ(rows.runs.size(), 2U);
    for (size_t i = 0; i < 2; ++i) {
        json_t *o = records::runJson(rows.runs[i]);
        EXPECT_EQ(text(o, "outcome"), i == 0 ? "duplicate" : "unchecked-line");
        json_decref(o);
    }
}

// The JUnit file of a batch: valid against the usual schema whatever the
// gateways sent, a testsuite per gateway, a testcase per test with the last
// attempt deciding, the failure message with the decoded data and the hint.
TEST_F(Records, JunitFileIsValidAndSaysWhatFailed)
{
    auto sink = open(dir_);
    ASSERT_NE(sink, nullptr);
    // A station id with a slash: the file still lands in junit/.
    EventScript s(*sink, "line/2", kT0);
    const std::string batch = s.startBatch(2);
    s.startRun(0, "10.213.0.2", "A1");
    s.planKnown(0, "GWM0202", kPlan);
    s.learnMac(0, "02:47:57:02:02:00");
    s.test(0, {.code = 0x0005, .decoded = "GWM0202"});
    s.test(0, {.code = 0x0001, .decoded = "02:47:57:02:02:00"});
    // Odd bytes from a gateway: markup, a control character, not UTF-8.
    s.test(0, {.code = 0x0002,
               .outcome = Outcome::kFail,
               .data = {'<', '&', 1, 0xff},
               .decoded = std::string("v<1.0&\"x\" \x01\xff\xc3\xa9")});
    s.test(0, {.code = 0x0101, .outcome = Outcome::kFail, .durationMs = 5000, .attempt = 1});
    s.test(0, {.code = 0x0101, .outcome = Outcome::kPass, .durationMs = 800, .attempt = 2, .decoded = "192.0.2.2"});
    s.test(0, {.code = 0x0102, .outcome = Outcome::kSkipped});
    s.test(0, {.code = 0x0103, .outcome = Outcome::kNoReply, .durationMs = 10000});
    s.test(
        0,
        {.code = 0x0701, .outcome = Outcome::kFail, .durationMs = 2000, .answer = station::OperatorAnswer{"no", 900}});
    s.finishRun(0, RunOutcome::kFail);

    s.startRun(1, "::1", "");
    s.planKnown(1, "GWM0404", {0x0005, 0x0001, 0x0101, 0x0102});
    s.test(1, {.code = 0x0005, .decoded = "GWM0404"});
    s.test(1, {.code = 0x0001, .outcome = Outcome::kConnectionLost, .durationMs = 300});
    s.test(1, {.code = 0x0101, .outcome = Outcome::kNotRun});
    // 0x0102 never reported: the run ended before it.
    s.finishRun(1, RunOutcome::kConnectionLost, "the gateway dropped the connection");
    sink->flush();
    EXPECT_TRUE(filesIn(dir_ + "/junit").empty()) << "written at the batch's end";
    s.finishBatch();
    sink->flush();

    ASSERT_EQ(batch, "line/2-20261212T080000Z");
    ASSERT_THAT(filesIn(dir_ + "/junit"), ElementsAre("line_2-20261212T080000Z.xml"));
    const std::string file = dir_ + "/junit/line_2-20261212T080000Z.xml";
    sandbox::CommandRun check = sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + file);
    ASSERT_EQ(check.status, 0) << check.out << sandbox::readFile(file);

    // clang-format off
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"count(/testsuites/testsuite)", "2"},
        {"string(/testsuites/@tests)", "11"},
        {"string(/testsuites/@failures)", "2"},
        {"string(/testsuites/@errors)", "2"},
        {"string(//testsuite[1]/@name)", "A1 10.213.0.2:6666 02:47:57:02:02:00"},
        {"string(//testsuite[1]/@tests)", "7"},
        {"string(//testsuite[1]/@failures)", "2"},
        {"string(//testsuite[1]/@errors)", "1"},
        {"string(//testsuite[1]/@skipped)", "1"},
        {"string(//testsuite[1]/@timestamp)", "2026-12-12T08:00:00"},
        {"string(//testsuite[1]//property[@name=\"model\"]/@value)", "GWM0202"},
        {"string(//testsuite[1]//property[@name=\"outcome\"]/@value)", "fail"},
        {"count(//testsuite[1]/testcase[@name=\"wan\"])", "1"},
        {"count(//testsuite[1]/testcase[@name=\"wan\"]/failure)", "0"},
        {"string(//testsuite[1]/testcase[@name=\"wan\"]/@time)", "5.800"},
        {"string(//testsuite[1]/testcase[@name=\"sysversion\"]/failure/@message)",
         "fail: data v<1.0&\"x\" \\x01\xef\xbf\xbd\xc3\xa9 (check: " + hintOf(0x0002) + ")"},
        {"string(//testsuite[1]/testcase[@name=\"ping-host\"]/error/@type)", "no-reply"},
        {"string(//testsuite[1]/testcase[@name=\"ping-host\"]/error/@message)",
         "no reply in time (check: " + hintOf(0x0103) + ")"},
        {"string(//testsuite[1]/testcase[@name=\"led-power\"]/failure/@message)",
         "fail: the operator answered no (check: " + hintOf(0x0701) + ")"},
        {"count(//testsuite[1]/testcase[@name=\"ping-gw\"]/skipped)", "1"},
        {"string(//testsuite[2]/@name)", "[::1]:6666"},
        {"string(//testsuite[2]/@tests)", "4"},
        {"string(//testsuite[2]/@errors)", "1"},
        {"string(//testsuite[2]/@skipped)", "2"},
        {"string(//testsuite[2]/testcase[@name=\"mac\"]/error/@type)", "connection-lost"},
        {"count(//testsuite[2]/testcase[@name=\"wan\"]/skipped)", "1"},
        {"string(//testsuite[2]/testcase[@name=\"ping-gw\"]/skipped/@message)", "not run: the run ended before it"},
        {"string(//testsuite[2]/system-out)", "run connection-lost: the gateway dropped the connection\n"},
    };
    // clang-format on
    for (const auto &[expr, value] : expected) {
        EXPECT_EQ(xpath(file, expr), value) << expr;
    }
    EXPECT_THAT(xpath(file, "string(//testsuite[1]/testcase[@name=\"wan\"]/system-out)"),
                HasSubstr("attempt 1: fail\nattempt 2: pass, data 192.0.2.2"));

    // A second batch of the same id (another station, same second) gets its
    // own file; the first stays as it was.
    const std::string before = sandbox::readFile(file);
    s.startBatch(1, batch);
    s.startRun(0, "10.213.0.2");
    s.finishRun(0, RunOutcome::kUnreachable);
    s.finishBatch();
    sink->flush();
    EXPECT_THAT(filesIn(dir_ + "/junit"), ElementsAre("line_2-20261212T080000Z.xml", "line_2-20261212T080000Z~2.xml"));
    EXPECT_EQ(sandbox::readFile(file), before);
}

// The station stops without the batch's end (Ctrl-C at a bad moment): the
// JUnit file is written when the records close, the runs as unfinished.
TEST_F(Records, JunitFileOfAnUnfinishedBatchIsWrittenAtClose)
{
    auto sink = open(dir_);
    ASSERT_NE(sink, nullptr);
    EventScript s(*sink, "st", kT0);
    s.startBatch(1);
    s.startRun(0, "10.213.0.2");
    s.planKnown(0, "GWM0202", kPlan);
    s.test(0, {.code = 0x0005});
    sink.reset();
    ASSERT_THAT(filesIn(dir_ + "/junit"), ElementsAre("st-20261212T080000Z.xml"));
    const std::string file = dir_ + "/junit/st-20261212T080000Z.xml";
    EXPECT_EQ(sandbox::runCommand("xmllint --noout --schema " + kSchema + " " + file).status, 0);
    EXPECT_EQ(xpath(file, "string(//testsuite/@tests)"), std::to_string(kPlan.size()));
    EXPECT_EQ(xpath(file, "string(//testsuite/@skipped)"), std::to_string(kPlan.size() - 1));
    EXPECT_EQ(xpath(file, "string(//property[@name=\"outcome\"]/@value)"), "unfinished");
}

// A station stopped or killed between writing the JUnit file's scratch copy
// and linking it into place, held right there by the writer's seam. A
// station opening the directory then removes the scratch file of a writer
// that is gone, and keeps that of one still alive, which then links it.
TEST_F(Records, ScratchJunitFileOfAGoneWriterIsRemovedWhenTheRecordsOpen)
{
    struct Case {
        const char *name;
        int signal;       // what the writer does to itself at the seam
        bool writerAlive; // when the directory is opened again
    };
    for (const Case &c : {Case{"killed", SIGKILL, false}, Case{"stopped", SIGSTOP, true}}) {
        SCOPED_TRACE(c.name);
        const std::string dir = dir_ + "-" + c.name;
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            station::seams::junitScratchWritten = [&c](const std::string &) { raise(c.signal); };
            std::string error;
            auto sink = station::openRecords(dir, error);
            if (!sink) {
                _exit(1);
            }
            EventScript s(*sink, "st-scratch", kT0);
            s.startBatch(1);
            s.startRun(0, "10.213.0.2");
            s.test(0, {.code = 0x0005});
            s.finishRun(0, RunOutcome::kPass);
            s.finishBatch();
            sink.reset();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
        const std::string scratch = ".st-scratch-20261212T080000Z.xml." + std::to_string(child);
        ASSERT_THAT(filesIn(dir + "/junit"), ElementsAre(scratch)) << "the writer stopped at the seam";

        {
            auto sink = open(dir);
            ASSERT_NE(sink, nullptr);
        }
        if (!c.writerAlive) {
            ASSERT_TRUE(WIFSIGNALED(status));
            EXPECT_TRUE(filesIn(dir + "/junit").empty()) << "the scratch file of a killed station is removed";
            continue;
        }
        ASSERT_TRUE(WIFSTOPPED(status));
        EXPECT_THAT(filesIn(dir + "/junit"), ElementsAre(scratch)) << "a live station's scratch file is kept";
        ASSERT_EQ(kill(child, SIGCONT), 0);
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_THAT(filesIn(dir + "/junit"), ElementsAre("st-scratch-20261212T080000Z.xml"));
    }
}

// Only the writers' own dot files, and only those of a process that is gone,
// are removed: the directory's probe too, and nothing else of a user's.
TEST_F(Records, OnlyScratchFilesOfGoneWritersAreRemoved)
{
    std::fflush(nullptr);
    const pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    // The parent of this test: alive, and not the opening process (whose own probe
    // file is its own to remove).
    const std::string dead = std::to_string(gone), alive = std::to_string(getppid());
    {
        auto sink = open(dir_);
    }
    const std::vector<std::string> removed = {".b.xml." + dead, ".gwtest-probe-" + dead};
    const std::vector<std::string> kept = {".b.xml." + alive, ".gwtest-probe-" + alive, ".b.xml." + dead + "x",
                                           ".b.xml.",         ".notes-" + dead,         "b.xml." + dead};
    for (const std::string &sub : {std::string(), std::string("/junit")}) {
        for (const std::string &name : removed) {
            sandbox::writeFile(dir_ + sub + "/" + name, "x");
        }
        for (const std::string &name : kept) {
            sandbox::writeFile(dir_ + sub + "/" + name, "x");
        }
    }
    {
        auto sink = open(dir_);
    }
    for (const std::string &sub : {std::string(), std::string("/junit")}) {
        const std::vector<std::string> files = filesIn(dir_ + sub);
        const std::set<std::string> there(files.begin(), files.end());
        for (const std::string &name : removed) {
            EXPECT_EQ(there.count(name), 0U) << sub << "/" << name;
        }
        for (const std::string &name : kept) {
            EXPECT_EQ(there.count(name), 1U) << sub << "/" << name;
        }
    }
}

// What the page reads back: one run's lines of records.jsonl (not another
// run's, not a broken line), a batch's JUnit file by the name the writer
// gave it, and nothing from a directory without records.
TEST_F(Records, ReaderGivesOneRunsLinesAndABatchsJunitFile)
{
    namespace records = station::records;
    std::vector<std::string> lines;
    EXPECT_FALSE(records::haveRecords(dir_));
    EXPECT_FALSE(records::runLines(dir_, "st-20261212T080000Z-0", lines));
    EXPECT_EQ(records::junitOfRun(dir_, "st-20261212T080000Z", "st-20261212T080000Z-0"), "");
    {
        auto sink = open(dir_);
        ASSERT_NE(sink, nullptr);
        EventScript s(*sink, "st", kT0);
        s.startBatch(2);
        s.startRun(0, "10.213.0.2");
        s.startRun(1, "10.213.1.2");
        s.test(0, {.code = 0x0005});
        s.test(1, {.code = 0x0005});
        s.test(0, {.code = 0x0001});
        s.finishRun(0, RunOutcome::kPass);
        s.finishRun(1, RunOutcome::kPass);
        s.finishBatch();
    }
    // A piece of a line (a station killed mid-write elsewhere) is passed over.
    sandbox::writeFile(dir_ + "/records.jsonl", sandbox::readFile(dir_ + "/records.jsonl") + "{\"run_id\": \"st-2");
    EXPECT_TRUE(records::haveRecords(dir_));
    ASSERT_TRUE(records::runLines(dir_, "st-20261212T080000Z-0", lines));
    ASSERT_EQ(lines.size(), 2U);
    for (const std::string &line : lines) {
        EXPECT_THAT(line, HasSubstr("\"run_id\":\"st-20261212T080000Z-0\""));
    }
    EXPECT_THAT(lines[1], HasSubstr("\"code\":1,"));
    lines.clear();
    ASSERT_TRUE(records::runLines(dir_, "st-20261212T080000Z-9", lines));
    EXPECT_TRUE(lines.empty());

    const std::string name = records::junitOfRun(dir_, "st-20261212T080000Z", "st-20261212T080000Z-1");
    EXPECT_EQ(name, "st-20261212T080000Z.xml");
    EXPECT_EQ(records::junitOfRun(dir_, "st-20261212T080000Z", "st-20261212T080000Z-9"), "");
    std::string xml;
    ASSERT_TRUE(records::readJunit(dir_, name, xml));
    EXPECT_EQ(xml, sandbox::readFile(dir_ + "/junit/" + name));
    EXPECT_FALSE(records::readJunit(dir_, "other.xml", xml));
}

// Another station's write holds the database: the engine does not wait for
// it; the write waits for it and goes in; nothing is said, nothing lost.
TEST_F(Records, WaitsForAnotherStationsWrite)
{
    Warnings warnings;
    auto sink = open(dir_, &warnings);
    ASSERT_NE(sink, nullptr);
    EventScript s(*sink, "st", kT0);
    s.startBatch(1);
    s.startRun(0, "10.213.0.2");
    sink->flush();

    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ + "/records.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    // Timed from before the holder starts: its commit comes 1.5 s later at
    // the earliest, however late the write below begins.
    const auto t0 = std::chrono::steady_clock::now();
    std::thread holder([other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    });
    s.test(0, {.code = 0x0005});
    const auto told = std::chrono::steady_clock::now() - t0;
    sink->flush();
    const auto written = std::chrono::steady_clock::now() - t0;
    holder.join();
    sqlite3_close(other);
    EXPECT_LT(told, std::chrono::milliseconds(500)) << "the engine waited for the database";
    EXPECT_GE(written, std::chrono::milliseconds(1500));
    EXPECT_EQ(scalar(dir_, "SELECT count(*) FROM results"), "1");
    EXPECT_TRUE(warnings.said().empty()) << warnings.said()[0];
}

// A lock held far longer than any station's write (a sqlite3 shell left in
// a transaction): the write waits the busy time once, is then kept in
// memory while the following groups go on without long waits, and goes in
// when the lock is gone. The JSON lines do not wait for the database, and
// the engine waits for neither.
TEST_F(Records, ALockHeldLongerThanTheBusyWaitKeepsTheWritesQueued)
{
    Warnings warnings;
    auto sink = open(dir_, &warnings);
    ASSERT_NE(sink, nullptr);
    EventScript s(*sink, "st", kT0);
    s.startBatch(1);
    s.startRun(0, "10.213.0.2");
    sink->flush();

    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ + "/records.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto t0 = std::chrono::steady_clock::now();
    s.test(0, {.code = 0x0005});
    const auto told = std::chrono::steady_clock::now() - t0;
    sink->flush();
    const auto firstWait = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(warnings.said().size(), 1U);
    EXPECT_THAT(warnings.said()[0], HasSubstr("cannot write records.db (database is locked)"));
    t0 = std::chrono::steady_clock::now();
    for (uint16_t code : {0x0001, 0x0002, 0x0101, 0x0102, 0x0103}) {
        s.test(0, {.code = code});
        sink->flush();
    }
    const auto nextFive = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(told, std::chrono::milliseconds(500)) << "the engine waited for the database";
    EXPECT_GE(firstWait, std::chrono::seconds(5));
    EXPECT_LT(nextFive, std::chrono::seconds(5));
    EXPECT_EQ(warnings.count("cannot write records.db"), 1) << "said once";
    std::vector<json_t *> lines = jsonLines(dir_);
    EXPECT_EQ(lines.size(), 6U);
    release(lines);
    EXPECT_EQ(scalar(dir_, "SELECT count(*) FROM results"), "0");

    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    s.test(0, {.code = 0x0701});
    sink->flush();
    EXPECT_EQ(warnings.count("records.db written again"), 1);
    EXPECT_EQ(scalar(dir_, "SELECT group_concat(code) FROM (SELECT code FROM results ORDER BY rowid)"),
              "5,1,2,257,258,259,1793");
}

// The records' writer stalls in a commit (a slow disk, held right there by
// its seam) while sixteen gateways start and their gang's results come in:
// the engine's calls return at once all the same, and everything that came
// meanwhile is committed in one transaction, in order, when the disk is back.
TEST_F(Records, ResultsThatFinishTogetherAreCommittedTogetherWhileTheEngineGoesOn)
{
    constexpr int kGateways = 16;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> commits;
    bool diskBack = false;
    station::seams::sqliteCommitted = [&](int writes) {
        std::unique_lock lock(mutex);
        commits.push_back(writes);
        changed.notify_all();
        // Bounded, so that an engine call that does wait shows as a long
        // call rather than a test that never ends.
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return diskBack; });
    };
    {
        auto sink = open(dir_);
        ASSERT_NE(sink, nullptr);
        EventScript s(*sink, "st", kT0);
        s.startBatch(kGateways);
        s.startRun(0, "10.213.0.2", "A1");
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return commits.size() == 1; }));
        }
        const auto t0 = std::chrono::steady_clock::now();
        for (int g = 1; g < kGateways; ++g) {
            // Built piece by piece: GCC 12's release build takes a literal
            // plus a temporary for an overlapping copy (-Wrestrict).
            std::string host = "10.213.0.";
            host += std::to_string(g + 2);
            std::string label = "A";
            label += std::to_string(g + 1);
            s.startRun(g, host, label);
        }
        for (int g = 0; g < kGateways; ++g) {
            s.test(g, {.code = 0x0701, .answer = station::OperatorAnswer{"yes", 1500}, .gang = "st-g1"});
        }
        const auto told = std::chrono::steady_clock::now() - t0;
        EXPECT_LT(told, std::chrono::seconds(2)) << "the engine waited for the stalled disk";
        {
            std::lock_guard lock(mutex);
            EXPECT_EQ(commits.size(), 1U) << "nothing committed while the disk stalls";
            diskBack = true;
        }
        changed.notify_all();
        sink->flush();
        std::lock_guard lock(mutex);
        // One commit for the first run's start, one for everything after it:
        // fifteen runs' starts and sixteen results.
        EXPECT_EQ(commits, std::vector<int>({1, (kGateways - 1) + kGateways}));
    }
    station::seams::sqliteCommitted = {};
    EXPECT_EQ(scalar(dir_, "SELECT count(*) || ' ' || count(DISTINCT run_id) || ' ' || min(gang) || ' ' || "
                           "max(gang) FROM results"),
              "16 16 st-g1 st-g1");
    EXPECT_EQ(scalar(dir_, "SELECT group_concat(run_id, ' ') FROM (SELECT run_id FROM results ORDER BY rowid)"),
              scalar(dir_, "SELECT group_concat(id, ' ') FROM (SELECT id FROM runs ORDER BY rowid)"));
    std::vector<json_t *> lines = jsonLines(dir_);
    EXPECT_EQ(lines.size(), static_cast<size_t>(kGateways));
    release(lines);
}

// The disk fills up in the middle of a batch: said once per record kind,
// testing goes on, and once there is room again every record is written,
// in order.
TEST_F(Records, DiskFullMidRunIsSaidOnceAndNothingIsLost)
{
    sandbox::mkdirs(dir_);
    ASSERT_EQ(mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=1m"), 0);
    Warnings warnings;
    auto sink = open(dir_, &warnings);
    ASSERT_NE(sink, nullptr);
    EventScript s(*sink, "st", kT0);
    s.startBatch(1);
    s.startRun(0, "10.213.0.2");
    s.planKnown(0, "GWM0202", kPlan);
    s.learnMac(0, "02:47:57:02:02:00");
    s.test(0, {.code = 0x0005});
    sink->flush();

    sandbox::sh("dd if=/dev/zero of=" + dir_ + "/filler bs=4k 2>/dev/null");
    constexpr int kWhileFull = 30;
    const std::string longText(300, 'v');
    for (int i = 0; i < kWhileFull; ++i) {
        s.test(0, {.code = 0x0002, .attempt = i + 1, .decoded = longText});
        if (i % 10 == 0) {
            sink->flush(); // several groups while the disk is full
        }
    }
    sink->flush();
    EXPECT_EQ(warnings.count("cannot write records.db"), 1) << ::testing::PrintToString(warnings.said());
    EXPECT_EQ(warnings.count("cannot write records.jsonl"), 1) << ::testing::PrintToString(warnings.said());

    ASSERT_EQ(unlink((dir_ + "/filler").c_str()), 0);
    s.test(0, {.code = 0x0001});
    s.finishRun(0, RunOutcome::kPass);
    s.finishBatch();
    sink.reset();
    EXPECT_THAT(warnings.said(), ::testing::Contains(HasSubstr("records.db written again")));
    EXPECT_EQ(scalar(dir_, "SELECT count(*) FROM results"), std::to_string(kWhileFull + 2));
    EXPECT_EQ(scalar(dir_, "SELECT group_concat(attempt) FROM (SELECT attempt FROM results WHERE code = 2 ORDER BY "
                           "rowid)"),
              scalar(dir_, "SELECT group_concat(attempt) FROM (SELECT attempt FROM results WHERE code = 2 ORDER BY "
                           "attempt)"));
    std::vector<json_t *> lines = jsonLines(dir_);
    EXPECT_EQ(static_cast<int>(lines.size()), kWhileFull + 2);
    release(lines);
    EXPECT_EQ(scalar(dir_, "SELECT outcome FROM runs"), "pass");
    EXPECT_EQ(filesIn(dir_ + "/junit").size(), 1U);
}

} // namespace

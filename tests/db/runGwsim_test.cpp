// gwtest run --db against gwsim boards: every result the station commits to
// its records reaches the line's database once, with its run, MAC and
// model, from two gateways tested at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <sqlite3.h>

#include "command.h"
#include "gwsimProcess.h"
#include "pgCluster.h"
#include "sandbox.h"
#include "serviceProcess.h"

namespace {

class RunGwsimWithLine : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::privateRunDir();
        cluster = std::make_unique<sandbox::PgCluster>();
        ASSERT_TRUE(cluster->ready()) << cluster->error();
        ASSERT_TRUE(cluster->createDatabase("line")) << cluster->error();
    }
    std::string records() const { return sandbox::scratchDir() + "/records"; }
    long long spoolCount(const std::string &sql)
    {
        sqlite3 *db = nullptr;
        long long n = -1;
        if (sqlite3_open((records() + "/records.db").c_str(), &db) == SQLITE_OK) {
            sqlite3_stmt *stmt = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW) {
                n = sqlite3_column_int64(stmt, 0);
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return n;
    }
    std::string spoolText(const std::string &sql)
    {
        sqlite3 *db = nullptr;
        std::string text;
        if (sqlite3_open((records() + "/records.db").c_str(), &db) == SQLITE_OK) {
            sqlite3_stmt *stmt = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0) != nullptr) {
                text = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return text;
    }
    std::unique_ptr<sandbox::PgCluster> cluster;
};

TEST_F(RunGwsimWithLine, EveryCommittedResultReachesTheLineOnce)
{
    sandbox::GwsimInstance a;
    sandbox::GwsimInstance b;
    ASSERT_TRUE(a.launch("GWM0202")) << a.failure();
    ASSERT_TRUE(b.launch("GWM0404")) << b.failure();
    ASSERT_TRUE(a.waitReady()) << a.failure();
    ASSERT_TRUE(b.waitReady()) << b.failure();

    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN, {"run", "--operator", "yes", "--only", "mac,sysversion,model,wan",
                                           "--station", "st1", "--records", records(), "--db", cluster->url("line"),
                                           a.address() + "=A1", b.address() + "=B1"}));
    const auto status = station.waitExit(200000);
    ASSERT_TRUE(status.has_value()) << station.out();
    EXPECT_EQ(*status, 0) << station.out() << station.err();
    EXPECT_EQ(station.err().find("line database"), std::string::npos) << station.err();

    const long long results = spoolCount("SELECT count(*) FROM results");
    EXPECT_GE(results, 8);
    EXPECT_EQ(std::stoll(cluster->query("line", "SELECT count(*) FROM results")), results);
    // The same rows, field for field that a report reads.
    const std::string rowsSql = "SELECT group_concat(x, '|') FROM (SELECT run_id || ' ' || code || ' ' || attempt || "
                                "' ' || outcome || ' ' || mac || ' ' || name || ' ' || data_text AS x FROM results "
                                "ORDER BY run_id, code, attempt)";
    std::string lineSql = rowsSql;
    lineSql.replace(lineSql.find("group_concat(x, '|')"), 20, "string_agg(x, '|')");
    lineSql += " AS t";
    EXPECT_EQ(cluster->query("line", lineSql), spoolText(rowsSql));
    EXPECT_NE(spoolText(rowsSql).find(" 1 pass 02:47:57:"), std::string::npos) << spoolText(rowsSql);
    EXPECT_EQ(cluster->query("line", "SELECT string_agg(label || ' ' || model || ' ' || outcome, ',' ORDER BY "
                                     "label) FROM runs WHERE finished IS NOT NULL"),
              "A1 GWM0202 pass,B1 GWM0404 pass");
    EXPECT_EQ(spoolCount("SELECT count(*) FROM line_sent_results"), results);
}

// Two stations that share the line's database: a board at the second that
// reports the MAC of a unit tested at the first is refused as a duplicate,
// naming the first station. A third station that cannot reach the line
// passes the same board as unchecked-line; once its records reach the line,
// the forwarder says so, and the report of duplicates finds it.
TEST_F(RunGwsimWithLine, ADuplicateIsFoundAcrossStationsAndALateOneByTheReport)
{
    sandbox::GwsimInstance a;
    sandbox::GwsimInstance b;
    ASSERT_TRUE(a.launch("GWM0101", "eth0.mac = 02:47:57:00:00:31\n")) << a.failure();
    ASSERT_TRUE(b.launch("GWM0101", "eth0.mac = 02:47:57:00:00:31\n")) << b.failure();
    ASSERT_TRUE(a.waitReady()) << a.failure();
    ASSERT_TRUE(b.waitReady()) << b.failure();
    const std::string line = cluster->url("line");
    // Nothing listens on port 9 of this private network: the line is out of reach.
    const std::string away = "postgresql://127.0.0.1:9/line?connect_timeout=2";
    auto runAt = [&](const std::string &station, const std::string &db, const std::string &address,
                     const std::string &serial) {
        sandbox::ServiceProcess p;
        EXPECT_TRUE(p.start(GWTEST_BIN, {"run", "--operator", "yes", "--only", "sysversion", "--station", station,
                                         "--records", sandbox::scratchDir() + "/" + station, "--db", db, address + "=U",
                                         "--serial", "U=" + serial}));
        const std::optional<int> status = p.waitExit(200000);
        return std::make_tuple(status.value_or(-1), p.out() + p.err());
    };
    const auto [first, firstOut] = runAt("st1", line, a.address(), "GW00000001");
    EXPECT_EQ(first, 0) << firstOut;
    const auto [second, secondOut] = runAt("st2", line, b.address(), "GW00000002");
    EXPECT_EQ(second, 1) << secondOut;
    EXPECT_THAT(secondOut, ::testing::HasSubstr("duplicate, 3 passed, 0 failed (MAC 02:47:57:00:00:31 was recorded "
                                                "for serial GW00000001 at station st1 on "));
    const auto [third, thirdOut] = runAt("st3", away, b.address(), "GW00000003");
    EXPECT_EQ(third, 0) << thirdOut;
    EXPECT_THAT(thirdOut, ::testing::HasSubstr("unchecked-line, 3 passed, 0 failed (not checked against the line: "));
    EXPECT_EQ(cluster->query("line", "SELECT string_agg(station || ' ' || serial || ' ' || outcome, ',' ORDER BY "
                                     "started) FROM runs"),
              "st1 GW00000001 pass,st2 GW00000002 duplicate");

    // The third station's records reach the line later: the clash shows.
    const auto forward = sandbox::runGwtest("forward --records " + sandbox::scratchDir() + "/st3 --db " + line);
    EXPECT_EQ(forward.status, 0) << forward.out;
    EXPECT_THAT(forward.out, ::testing::HasSubstr("late duplicate: run "));
    EXPECT_THAT(forward.out, ::testing::HasSubstr("(serial GW00000003) passed while the line's database was out of "
                                                  "reach, and MAC 02:47:57:00:00:31 was recorded for serial "
                                                  "GW00000001 at station st1 on "));
    const auto report = sandbox::runGwtest("report --duplicates --db " + line, sandbox::Stderr::kApart);
    EXPECT_EQ(report.status, 0) << report.err;
    EXPECT_THAT(report.out, ::testing::ContainsRegex("MAC 02:47:57:00:00:31 under 2 serial numbers:\n +GW00000001 +"
                                                     "station st1, .*: pass\n +GW00000003 +station st3, .*: "
                                                     "unchecked-line\n"));
    EXPECT_TRUE(a.stop());
    EXPECT_TRUE(b.stop());
}

} // namespace

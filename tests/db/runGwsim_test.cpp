// gwtest run --db against gwsim boards: every result the station commits to
// its records reaches the line's database once, with its run, MAC and
// model, from two gateways tested at once.
#include <gtest/gtest.h>

#include <memory>
#include <sqlite3.h>

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

} // namespace

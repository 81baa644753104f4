// The line database's layout: created on first use, an older release
// migrated with its rows kept, a newer one or a foreign database refused,
// and stations that start at once creating it once.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "line/layout.h"
#include "pgCluster.h"

using namespace station::line;

namespace {

// The layout of a database, column for column (in order) and index for
// index, as one text.
const char *const kLayoutSql =
    "SELECT string_agg(x, '|' ORDER BY x) FROM ("
    "SELECT table_name || '.' || lpad(ordinal_position::text, 2, '0') || ' ' || column_name || ' ' || "
    "data_type || ' ' || is_nullable || ' ' || coalesce(column_default, '') AS x FROM information_schema.columns "
    "WHERE table_schema = 'public' UNION ALL SELECT indexdef FROM pg_indexes WHERE schemaname = 'public') AS t";

class LineSchema : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cluster.ready()) << cluster.error();
        ASSERT_TRUE(cluster.createDatabase("line")) << cluster.error();
    }
    PgConn connect()
    {
        Reach reach = Reach::kUnreachable;
        std::string error;
        PgConn conn = PgConn::connect(cluster.url("line"), "test", reach, error);
        EXPECT_EQ(reach, Reach::kConnected) << error;
        return conn;
    }
    sandbox::PgCluster cluster;
};

TEST_F(LineSchema, FreshDatabaseGetsTheCurrentLayout)
{
    PgConn conn = connect();
    const LineInfo info = ensureLineSchema(conn);
    EXPECT_EQ(info.schemaVersion, kLineSchemaVersion);
    EXPECT_EQ(info.migratedFrom, -1);
    EXPECT_EQ(info.lineId.size(), 36u) << info.lineId;
    EXPECT_EQ(cluster.query("line", "SELECT value FROM meta WHERE key = 'schema_version'"), "3");
    // The key that makes forwarding idempotent, and the lookups by MAC and
    // serial number.
    EXPECT_EQ(cluster.query("line", "SELECT string_agg(a.attname, ',' ORDER BY k.n) FROM pg_index i "
                                    "CROSS JOIN LATERAL unnest(i.indkey) WITH ORDINALITY AS k(attnum, n) "
                                    "JOIN pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum "
                                    "WHERE i.indrelid = 'results'::regclass AND i.indisprimary"),
              "station,run_id,code,attempt");
    EXPECT_EQ(cluster.query("line", "SELECT count(*) FROM pg_indexes WHERE indexname IN "
                                    "('results_by_mac', 'runs_by_mac', 'runs_by_started', 'runs_by_serial')"),
              "4");

    // A second station opening it finds it as it is.
    PgConn other = connect();
    const LineInfo again = ensureLineSchema(other);
    EXPECT_EQ(again.migratedFrom, kLineSchemaVersion);
    EXPECT_EQ(again.lineId, info.lineId);
}

TEST_F(LineSchema, FirstPublicLayoutIsMigratedWithItsRows)
{
    ASSERT_TRUE(cluster.exec("line", std::string(kLineSchemaV0))) << cluster.error();
    ASSERT_TRUE(cluster.exec("line", "INSERT INTO runs (station, id, batch, started, host, port, model, mac) VALUES "
                                     "('st1', 'st1-b-0', 'st1-b', '2026-12-10T11:30:45.123Z', '10.0.0.2', 6666, "
                                     "'GWM0202', '02:47:57:04:04:00');"
                                     "INSERT INTO results (station, run_id, mac, code, name, attempt, outcome, "
                                     "started, duration_ms) VALUES ('st1', 'st1-b-0', '02:47:57:04:04:00', 1, "
                                     "'mac', 1, 'pass', '2026-12-10T11:30:46Z', 12)"))
        << cluster.error();
    // The first layout has no failure hint, no gang, no trace of the run and
    // no limits.
    EXPECT_EQ(cluster.query("line", "SELECT count(*) FROM information_schema.columns WHERE column_name IN "
                                    "('hint', 'gang', 'serial', 'operator_id', 'profile_hash', 'profile_path', "
                                    "'station_version', 'limit', 'marginal')"),
              "0");

    PgConn conn = connect();
    const LineInfo info = ensureLineSchema(conn);
    EXPECT_EQ(info.migratedFrom, 0);
    EXPECT_EQ(info.schemaVersion, 3);
    EXPECT_EQ(cluster.query("line", "SELECT value FROM meta WHERE key = 'schema_version'"), "3");
    // The old rows: no hint, it ran alone, no limits; the run untraced.
    EXPECT_EQ(cluster.query("line", "SELECT count(*) || ':' || min(hint) || ':' || min(name) || ':' || "
                                    "count(gang) || ':' || min(\"limit\") || ':' || bool_or(marginal) FROM results"),
              "1::mac:0::false");
    EXPECT_EQ(cluster.query("line", "SELECT model || ':' || serial || ':' || operator_id || ':' || profile_hash || "
                                    "':' || profile_path || ':' || station_version FROM runs"),
              "GWM0202:::::");
    EXPECT_EQ(cluster.query("line", "SELECT count(*) FROM pg_indexes WHERE indexname = 'runs_by_started'"), "1");
    // The same layout as a fresh database's, column for column and index for
    // index: both are built by the same steps.
    const std::string layoutSql = kLayoutSql;
    ASSERT_TRUE(cluster.createDatabase("fresh")) << cluster.error();
    {
        Reach reach = Reach::kUnreachable;
        std::string error;
        PgConn fresh = PgConn::connect(cluster.url("fresh"), "test", reach, error);
        ASSERT_EQ(reach, Reach::kConnected) << error;
        EXPECT_EQ(ensureLineSchema(fresh).migratedFrom, -1);
    }
    std::string freshLayout = cluster.query("fresh", layoutSql);
    EXPECT_NE(freshLayout.find("results.15 hint text NO"), std::string::npos) << freshLayout;
    EXPECT_NE(freshLayout.find("results.16 gang text YES"), std::string::npos) << freshLayout;
    EXPECT_NE(freshLayout.find("results.17 limit text NO ''::text"), std::string::npos) << freshLayout;
    EXPECT_NE(freshLayout.find("results.18 marginal boolean NO false"), std::string::npos) << freshLayout;
    EXPECT_NE(freshLayout.find("runs.13 serial text NO ''::text"), std::string::npos) << freshLayout;
    EXPECT_NE(freshLayout.find("runs.17 station_version text NO ''::text"), std::string::npos) << freshLayout;
    EXPECT_EQ(cluster.query("line", layoutSql), freshLayout);

    // And the migrated database takes the current rows.
    EXPECT_TRUE(cluster.exec("line", "INSERT INTO results (station, run_id, code, name, attempt, outcome, hint, "
                                     "started, duration_ms, gang, \"limit\", marginal) VALUES ('st1', 'st1-b-0', "
                                     "2, 'sysversion', 1, 'fail', 'check the image', now(), 3, 'st1-b-g1', "
                                     "'sysversion 2.3.6, want 2.3.7', false)"))
        << cluster.error();
}

// A database as release 2 left it, rows and all: taken to the current
// layout with every value of every row kept and the new columns empty (a
// run untraced, a result no profile judged), then the layout of a fresh
// database, and it takes the current rows.
TEST_F(LineSchema, ReleaseTwoIsMigratedWithEveryValueKept)
{
    // Release 2: the first public layout and the two steps after it.
    ASSERT_TRUE(cluster.exec(
        "line", std::string(kLineSchemaV0) +
                    "ALTER TABLE results ADD COLUMN hint TEXT NOT NULL DEFAULT '';"
                    "CREATE INDEX runs_by_started ON runs (started);"
                    "ALTER TABLE results ADD COLUMN gang TEXT;"
                    "UPDATE meta SET value = '2' WHERE key = 'schema_version';"
                    "INSERT INTO runs (station, id, batch, started, finished, host, port, label, model, mac, outcome) "
                    "VALUES ('st1', 'st1-b-0', 'st1-b', '2026-12-10T11:30:45.123Z', '2026-12-10T11:31:45.123Z', "
                    "'10.0.0.2', 6667, 'A1', 'GWM0202', '02:47:57:04:04:00', 'fail');"
                    "INSERT INTO results (station, run_id, mac, code, name, attempt, outcome, data_hex, data_text, "
                    "hint, started, duration_ms, operator_answer, operator_ms, gang) VALUES ('st1', 'st1-b-0', "
                    "'02:47:57:04:04:00', 1793, 'led-power', 2, 'fail', '00', 'off', 'check the LED', "
                    "'2026-12-10T11:30:46Z', 900, 'no', 700, 'st1-b-g1')"))
        << cluster.error();
    const std::string runsSql = "SELECT string_agg((to_jsonb(u) - 'serial' - 'operator_id' - 'profile_hash' - "
                                "'profile_path' - 'station_version')::text, ',') FROM runs u";
    const std::string resultsSql = "SELECT string_agg((to_jsonb(r) - 'limit' - 'marginal')::text, ',') FROM results r";
    const std::string runsBefore = cluster.query("line", runsSql);
    const std::string resultsBefore = cluster.query("line", resultsSql);
    ASSERT_NE(runsBefore.find("\"outcome\": \"fail\""), std::string::npos) << runsBefore;
    ASSERT_NE(resultsBefore.find("\"gang\": \"st1-b-g1\""), std::string::npos) << resultsBefore;

    PgConn conn = connect();
    const LineInfo info = ensureLineSchema(conn);
    EXPECT_EQ(info.migratedFrom, 2);
    EXPECT_EQ(info.schemaVersion, 3);
    EXPECT_EQ(cluster.query("line", runsSql), runsBefore);
    EXPECT_EQ(cluster.query("line", resultsSql), resultsBefore);
    EXPECT_EQ(cluster.query("line", "SELECT serial || ':' || operator_id || ':' || profile_hash || ':' || "
                                    "profile_path || ':' || station_version FROM runs"),
              "::::");
    EXPECT_EQ(cluster.query("line", "SELECT \"limit\" || ':' || marginal FROM results"), ":false");

    ASSERT_TRUE(cluster.createDatabase("fresh")) << cluster.error();
    {
        Reach reach = Reach::kUnreachable;
        std::string error;
        PgConn fresh = PgConn::connect(cluster.url("fresh"), "test", reach, error);
        ASSERT_EQ(reach, Reach::kConnected) << error;
        EXPECT_EQ(ensureLineSchema(fresh).migratedFrom, -1);
    }
    EXPECT_EQ(cluster.query("line", kLayoutSql), cluster.query("fresh", kLayoutSql));

    EXPECT_TRUE(cluster.exec("line", "UPDATE runs SET serial = 'GW00001234', operator_id = 'op-7', outcome = "
                                     "'duplicate' WHERE id = 'st1-b-0';"
                                     "INSERT INTO results (station, run_id, code, name, attempt, outcome, started, "
                                     "duration_ms, \"limit\", marginal) VALUES ('st1', 'st1-b-0', 259, 'ping-host', "
                                     "1, 'pass', now(), 3312, 'ping-host 3.312 s, want <= 3.5 s', true)"))
        << cluster.error();
}

TEST_F(LineSchema, NewerOrForeignLayoutIsRefusedUntouched)
{
    struct Case {
        const char *setup;
        const char *message;
    };
    // clang-format off
    const Case cases[] = {
        {"UPDATE meta SET value = '4' WHERE key = 'schema_version'", "newer than this gwtest knows"},
        {"DELETE FROM meta WHERE key = 'schema_version'", "not a line records database"},
        {"UPDATE meta SET value = 'one' WHERE key = 'schema_version'", "not a line records database"},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setup);
        ASSERT_TRUE(cluster.exec("postgres", "DROP DATABASE IF EXISTS line WITH (FORCE)")) << cluster.error();
        ASSERT_TRUE(cluster.createDatabase("line")) << cluster.error();
        {
            PgConn conn = connect();
            ensureLineSchema(conn);
        }
        ASSERT_TRUE(cluster.exec("line", c.setup)) << cluster.error();
        const std::string before = cluster.query("line", "SELECT string_agg(key || '=' || value, ',' ORDER BY key) "
                                                         "FROM meta");
        PgConn conn = connect();
        try {
            ensureLineSchema(conn);
            ADD_FAILURE() << "accepted";
        } catch (const std::exception &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_EQ(cluster.query("line", "SELECT string_agg(key || '=' || value, ',' ORDER BY key) FROM meta"), before);
    }
}

TEST_F(LineSchema, StationsStartingAtOnceCreateItOnce)
{
    constexpr int kStations = 8;
    std::vector<std::string> ids(kStations);
    std::vector<std::string> errors(kStations);
    std::vector<std::thread> threads;
    for (int i = 0; i < kStations; ++i) {
        threads.emplace_back([&, i] {
            Reach reach = Reach::kUnreachable;
            PgConn conn = PgConn::connect(cluster.url("line"), "test", reach, errors[i]);
            try {
                ids[i] = ensureLineSchema(conn).lineId;
            } catch (const std::exception &e) {
                errors[i] = e.what();
            }
        });
    }
    for (auto &t : threads) {
        t.join();
    }
    for (int i = 0; i < kStations; ++i) {
        EXPECT_EQ(errors[i], "") << "station " << i;
        EXPECT_EQ(ids[i], ids[0]) << "station " << i;
    }
    EXPECT_EQ(cluster.query("line", "SELECT count(*) FROM meta"), "2");
}

} // namespace

// gwtest run --db: the line's database is checked before any gateway is
// reached. The gateway here is an address where nothing listens, so a run
// that went ahead would end "unreachable" (exit 3) instead.
#include <gtest/gtest.h>

#include <filesystem>

#include "command.h"
#include "pgCluster.h"

namespace {

using Outcome = sandbox::CommandRun; // standard output and error together in out

Outcome gwtest(const std::string &args) { return sandbox::runGwtest(args); }

size_t occurrences(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

class RunWithLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cluster.ready()) << cluster.error();
        ASSERT_TRUE(cluster.createDatabase("line")) << cluster.error();
        char templ[] = "/tmp/gwtest-records-XXXXXX";
        records = mkdtemp(templ);
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(records, ec);
    }
    std::string run(const std::string &db)
    {
        return "run 127.0.0.1:1 --operator yes --station st1 --records " + records + " --db '" + db + "'";
    }
    sandbox::PgCluster cluster{sandbox::PgCluster::Options{.password = true}};
    std::string records;
};

TEST_F(RunWithLine, RefusedBeforeAnyTestRuns)
{
    struct Case {
        std::string db;
        int status;
        std::string says;
    };
    // clang-format off
    const Case cases[] = {
        {cluster.url("line", "wrong-secret"), 70, "password authentication failed"},
        {cluster.url("no_such_line"),         70, "database \"no_such_line\" does not exist"},
        {"postgresql://postgres:wrong-secret@/line?host=" + cluster.socketDir() + "&sslmode=bogus", 64,
         "not a PostgreSQL connection string"},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.db);
        const Outcome out = gwtest(run(c.db));
        EXPECT_EQ(out.status, c.status) << out.out;
        EXPECT_NE(out.out.find(c.says), std::string::npos) << out.out;
        EXPECT_EQ(out.out.find("wrong-secret"), std::string::npos) << out.out;
        // Not a word about the gateway: it was never tried.
        EXPECT_EQ(out.out.find("127.0.0.1:1"), std::string::npos) << out.out;
    }
}

TEST_F(RunWithLine, UnreachableServerTheStationTestsAndSaysSoOnce)
{
    ASSERT_TRUE(cluster.stop());
    const Outcome out = gwtest(run(cluster.url("line")));
    // The run went ahead: the gateway's own outcome decides the status.
    EXPECT_EQ(out.status, 3) << out.out;
    EXPECT_NE(out.out.find("127.0.0.1:1"), std::string::npos) << out.out;
    EXPECT_EQ(occurrences(out.out, "unreachable (connection to server"), 1u) << out.out;
    EXPECT_EQ(out.out.find(sandbox::PgCluster::kPassword), std::string::npos) << out.out;
}

TEST_F(RunWithLine, TheFirstRunMakesTheLayout)
{
    const Outcome out = gwtest(run(cluster.url("line")));
    EXPECT_EQ(out.status, 3) << out.out;
    EXPECT_EQ(out.out.find("line database"), std::string::npos) << out.out;
    EXPECT_EQ(cluster.query("line", "SELECT value FROM meta WHERE key = 'schema_version'"), "3");
}

} // namespace

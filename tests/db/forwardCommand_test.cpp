// gwtest forward, the command a person (or a timer) runs to send what a
// station left waiting: its exit status and what it says, against a real
// server that wants a password.
#include <gtest/gtest.h>

#include <filesystem>

#include "command.h"
#include "pgCluster.h"
#include "spoolWriter.h"

namespace {

using Outcome = sandbox::CommandRun; // standard output and error together in out

Outcome gwtest(const std::string &args) { return sandbox::runGwtest(args); }

std::string quoted(const std::string &text) { return "'" + text + "'"; }

class ForwardCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cluster.ready()) << cluster.error();
        ASSERT_TRUE(cluster.createDatabase("line")) << cluster.error();
        char templ[] = "/tmp/gwtest-spool-XXXXXX";
        dir = mkdtemp(templ);
        linetest::SpoolWriter spool(dir + "/records.db");
        spool.run("st1-20261210T113045Z-0", "st1", "GWM0202", "02:47:57:04:04:00");
        spool.result("st1-20261210T113045Z-0", "st1", "02:47:57:04:04:00", 1, "mac", 1, "pass", 5);
        spool.result("st1-20261210T113045Z-0", "st1", "02:47:57:04:04:00", 2, "sysversion", 1, "pass", 5);
        spool.result("st1-20261210T113045Z-0", "st1", "02:47:57:04:04:00", 5, "model", 1, "pass", 5);
        spool.finishRun("st1-20261210T113045Z-0", "pass");
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    sandbox::PgCluster cluster{sandbox::PgCluster::Options{.password = true}};
    std::string dir;
};

TEST_F(ForwardCommand, SendsTheBacklogOnce)
{
    const std::string args = "forward --records " + dir + " --db " + quoted(cluster.url("line"));
    const Outcome first = gwtest(args);
    EXPECT_EQ(first.status, 0) << first.out;
    EXPECT_EQ(first.out, "3 results sent to the line database, none waiting\n");
    const Outcome again = gwtest(args);
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(again.out, "0 results sent to the line database, none waiting\n");
    EXPECT_EQ(cluster.query("line", "SELECT count(*) || ' ' || min(station) FROM results"), "3 st1");
}

TEST_F(ForwardCommand, RefusalsAndOutagesHaveTheirStatus)
{
    struct Case {
        std::string db;
        std::string records;
        int status;
        std::string says;
    };
    // clang-format off
    const Case cases[] = {
        {cluster.url("line", "wrong-secret"), dir, 70, "password authentication failed"},
        {cluster.url("no_such_line"),         dir, 70, "database \"no_such_line\" does not exist"},
        {"postgresql://postgres:wrong-secret@/line?host=" + cluster.socketDir() + "&sslmode=bogus", dir, 64,
         "not a PostgreSQL connection string"},
        {cluster.url("line"),                 dir + "/none", 70, "no records in"},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.db);
        const Outcome run = gwtest("forward --records " + c.records + " --db " + quoted(c.db));
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("wrong-secret"), std::string::npos) << run.out;
    }
    EXPECT_EQ(cluster.query("line", "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), "0");

    // The server down: said once, the results stay, status 3.
    ASSERT_TRUE(cluster.stop());
    const Outcome down = gwtest("forward --wait 2 --records " + dir + " --db " + quoted(cluster.url("line")));
    EXPECT_EQ(down.status, 3) << down.out;
    size_t said = 0;
    for (size_t at = down.out.find("unreachable"); at != std::string::npos; at = down.out.find("unreachable", at + 1)) {
        ++said;
    }
    EXPECT_EQ(said, 1u) << down.out;
    EXPECT_NE(down.out.find("the line database was not reached"), std::string::npos) << down.out;
    EXPECT_EQ(down.out.find(sandbox::PgCluster::kPassword), std::string::npos) << down.out;

    ASSERT_TRUE(cluster.start()) << cluster.error();
    const Outcome back = gwtest("forward --records " + dir + " --db " + quoted(cluster.url("line")));
    EXPECT_EQ(back.status, 0) << back.out;
    EXPECT_EQ(cluster.query("line", "SELECT count(*) FROM results"), "3");
}

} // namespace

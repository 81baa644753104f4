// Forwarding the station's records to the line's database: many stations
// and gateways at once, a server that goes away and comes back, a station
// that dies between the line's commit and its own mark, and a server that
// is down when the station starts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "eventRecorder.h"
#include "eventScript.h"
#include "line/forwarder.h"
#include "line/loader.h"
#include "pgCluster.h"
#include "records/records.h"
#include "records/schema.h"
#include "spoolWriter.h"

using namespace station::line;
using linetest::SpoolWriter;
using station::Spool;
using station::SpoolRun;

namespace {

// The plan of a simulated gateway: code and short name.
// clang-format off
const std::pair<int, const char *> kPlan[] = {
    {0x0001, "mac"}, {0x0002, "sysversion"}, {0x0005, "model"}, {0x0101, "wan"}, {0x0102, "ping-gw"},
    {0x0103, "ping-host"}, {0x0201, "button"}, {0x0202, "led-power"}, {0x0301, "smartconfig"},
};
// clang-format on

struct TempDir {
    TempDir()
    {
        char templ[] = "/tmp/gwtest-spool-XXXXXX";
        path = mkdtemp(templ);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

// What the station shows the person, gathered from any thread.
struct Notices {
    std::mutex mu;
    std::vector<std::string> lines;
    std::function<void(const std::string &)> sink()
    {
        return [this](const std::string &line) {
            std::lock_guard lock(mu);
            lines.push_back(line);
        };
    }
    int count(const std::string &part)
    {
        std::lock_guard lock(mu);
        int n = 0;
        for (const auto &l : lines) {
            n += l.find(part) != std::string::npos;
        }
        return n;
    }
    std::string all()
    {
        std::lock_guard lock(mu);
        std::string text;
        for (const auto &l : lines) {
            text += l + "\n";
        }
        return text;
    }
};

// "t7": a test name for a made-up code. (Built up in two steps: GCC 12
// warns wrongly about "t" + std::to_string() in optimised builds.)
std::string testName(int code)
{
    std::string name = "t";
    name += std::to_string(code);
    return name;
}

class LineForward : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cluster.ready()) << cluster.error();
        ASSERT_TRUE(cluster.createDatabase("line")) << cluster.error();
    }
    ForwarderOptions options(const std::string &dir)
    {
        ForwarderOptions o;
        o.url = cluster.url("line");
        o.recordsDb = dir + "/records.db";
        o.notice = notices.sink();
        o.pollMs = 50;
        o.retryFirstMs = 50;
        o.retryMaxMs = 200;
        return o;
    }
    std::unique_ptr<LineForwarder> open(const ForwarderOptions &o)
    {
        LineOpenResult opened = openLineForwarder(o);
        EXPECT_TRUE(opened.forwarder) << opened.error;
        return std::move(opened.forwarder);
    }
    long long lineCount(const std::string &sql) { return std::atoll(cluster.query("line", sql).c_str()); }

    sandbox::PgCluster cluster;
    Notices notices;
};

// Per station, model and test: results and passes, as a text to compare.
constexpr const char *kTotalsSql =
    "SELECT r.station || ' ' || u.model || ' ' || r.name || ' ' || count(*) || ' ' || "
    "sum(CASE WHEN r.outcome = 'pass' THEN 1 ELSE 0 END) FROM results r JOIN runs u ON u.id = r.run_id "
    "GROUP BY r.station, u.model, r.name ORDER BY 1";

TEST_F(LineForward, FourStationsWithTwoGatewaysEachWritingAtOnce)
{
    constexpr int kStations = 4;
    constexpr int kRunsPerGateway = 3;
    std::vector<std::unique_ptr<TempDir>> dirs;
    std::vector<std::unique_ptr<SpoolWriter>> spools;
    std::vector<std::unique_ptr<LineForwarder>> forwarders;
    for (int s = 0; s < kStations; ++s) {
        dirs.push_back(std::make_unique<TempDir>());
        spools.push_back(std::make_unique<SpoolWriter>(dirs.back()->path + "/records.db"));
    }
    // The stations start at once: their forwarders create the layout together.
    {
        std::vector<std::thread> starts;
        forwarders.resize(kStations);
        for (int s = 0; s < kStations; ++s) {
            starts.emplace_back([&, s] {
                auto o = options(dirs[s]->path);
                o.applicationName = "gwtest st" + std::to_string(s);
                forwarders[s] = open(o);
            });
        }
        for (auto &t : starts) {
            t.join();
        }
    }
    for (const auto &f : forwarders) {
        ASSERT_TRUE(f);
    }

    std::vector<std::thread> gateways;
    for (int s = 0; s < kStations; ++s) {
        for (int g = 0; g < 2; ++g) {
            gateways.emplace_back([&, s, g] {
                // Each gateway writes through its own connection to the file.
                SpoolWriter spool(dirs[s]->path + "/records.db");
                const std::string station = "st" + std::to_string(s);
                const std::string model = g == 0 ? "GWM0202" : "GWM0404";
                for (int r = 0; r < kRunsPerGateway; ++r) {
                    char mac[32];
                    std::snprintf(mac, sizeof mac, "02:47:57:%02x:%02x:%02x", s, g, r);
                    const std::string run = station + "-20261210T113045Z-" + std::to_string(g * 10 + r);
                    spool.run(run, station, model, mac);
                    forwarders[s]->wake();
                    for (const auto &[code, name] : kPlan) {
                        // The button fails once on every other unit and passes on its retry.
                        const bool failsOnce = code == 0x0201 && (r + g) % 2 == 0;
                        spool.result(run, station, mac, code, name, 1, failsOnce ? "fail" : "pass", 10 + code % 7);
                        if (failsOnce) {
                            spool.result(run, station, mac, code, name, 2, "pass", 9000);
                        }
                        forwarders[s]->wake();
                    }
                    spool.finishRun(run, "pass");
                    forwarders[s]->wake();
                }
            });
        }
    }
    for (auto &t : gateways) {
        t.join();
    }
    // The forwarders keep up on their own, finished runs included.
    EXPECT_TRUE(sandbox::waitUntil([&] {
        return lineCount("SELECT count(*) FROM runs WHERE outcome = 'pass'") == 4 * 2 * 3 &&
               lineCount("SELECT count(*) FROM results") == 4 * 2 * 3 * 9 + 4 * 3;
    })) << lineCount("SELECT count(*) FROM results");
    long long expected = 0;
    std::string spoolTotals;
    for (int s = 0; s < kStations; ++s) {
        const ForwardCount count = forwarders[s]->finish(30000);
        EXPECT_EQ(count.pending, 0) << "station " << s;
        expected += spools[s]->count("SELECT count(*) FROM results");
    }
    // 4 stations x 2 gateways x 3 units x (9 tests + a retry on half of them).
    EXPECT_EQ(expected, 4 * 2 * 3 * 9 + 4 * 3);
    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), expected);
    EXPECT_EQ(lineCount("SELECT count(DISTINCT (station, run_id, code, attempt)) FROM results"), expected);
    EXPECT_EQ(lineCount("SELECT count(*) FROM runs WHERE outcome = 'pass' AND finished IS NOT NULL"), 4 * 2 * 3);
    EXPECT_EQ(lineCount("SELECT count(DISTINCT mac) FROM runs"), 4 * 2 * 3);

    // The line's totals per station, model and test are the stations' own.
    std::string lineTotals;
    {
        // One query over the line; the same one over each station's file.
        std::string sql = std::string("SELECT string_agg(t, '|') FROM (") + kTotalsSql + ") AS x(t)";
        lineTotals = cluster.query("line", sql);
    }
    for (int s = 0; s < kStations; ++s) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open((dirs[s]->path + "/records.db").c_str(), &db), SQLITE_OK);
        sqlite3_stmt *stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, kTotalsSql, -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            if (!spoolTotals.empty()) {
                spoolTotals += '|';
            }
            spoolTotals += reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    EXPECT_EQ(lineTotals, spoolTotals);
    EXPECT_NE(lineTotals.find("st3 GWM0202 button 5 3|st3 GWM0202 led-power 3 3"), std::string::npos) << lineTotals;
    EXPECT_NE(lineTotals.find("st3 GWM0404 button 4 3|"), std::string::npos) << lineTotals;
    EXPECT_EQ(notices.all(), "");
}

TEST_F(LineForward, ServerStoppedMidRunAndStartedAgainEveryResultArrivesOnce)
{
    TempDir dir;
    SpoolWriter spool(dir.path + "/records.db");
    auto forwarder = open(options(dir.path));
    ASSERT_TRUE(forwarder);
    const std::string run = "st1-20261210T113045Z-0";
    spool.run(run, "st1", "GWM0202", "02:47:57:04:04:00");
    int code = 1;
    station::Event finished;
    finished.kind = station::EventKind::kTestFinished;
    auto write = [&](int n) {
        for (int i = 0; i < n; ++i, ++code) {
            spool.result(run, "st1", "02:47:57:04:04:00", code, testName(code), 1, "pass", 5);
            forwarder->onEvent(finished);
        }
    };
    write(20);
    ASSERT_TRUE(sandbox::waitUntil([&] { return forwarder->sent() == 20; })) << forwarder->sent();

    ASSERT_TRUE(cluster.stop());
    write(20); // the station goes on testing
    ASSERT_TRUE(sandbox::waitUntil([&] { return notices.count("unreachable") == 1; })) << notices.all();
    // Several retries while it is down, still one notice.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(forwarder->sent(), 20);

    ASSERT_TRUE(cluster.start()) << cluster.error();
    write(20);
    ASSERT_TRUE(sandbox::waitUntil([&] { return forwarder->sent() == 60; })) << forwarder->sent();
    spool.finishRun(run, "pass");
    const ForwardCount count = forwarder->finish(30000);
    EXPECT_EQ(count.pending, 0);

    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), 60);
    EXPECT_EQ(lineCount("SELECT count(DISTINCT code) FROM results WHERE code BETWEEN 1 AND 60"), 60);
    EXPECT_EQ(cluster.query("line", "SELECT outcome FROM runs"), "pass");
    EXPECT_EQ(notices.count("unreachable"), 1) << notices.all();
    EXPECT_EQ(notices.count("reachable again"), 1) << notices.all();
    EXPECT_EQ(notices.count("wait in"), 1) << notices.all(); // only the outage's own line
    // Stopped, then maybe seen starting up, then up: one outage, never a refusal.
    EXPECT_EQ(notices.count("refused"), 0) << notices.all();
}

// A server that is starting up (SQLSTATE 57P03) is on its way, as one that
// is down is: never a refusal, whatever the station meets first and however
// soon after the server is ready. The door in front of the cluster answers
// as the test says, so each case lands where it must, every time.
using Door = sandbox::PgFrontDoor;

TEST_F(LineForward, AServerStartingUpWhenTheStationOpensIsUnreachableNotARefusal)
{
    struct Case {
        const char *what;
        std::vector<Door::Answer> first; // then the server is ready
        int unreachable;                 // notices
    };
    // clang-format off
    const Case cases[] = {
        {"starting up, ready at once after",        {Door::Answer::kStartingUp}, 1},
        {"starting up thrice, ready at once after", {Door::Answer::kStartingUp, Door::Answer::kStartingUp,
                                                     Door::Answer::kStartingUp}, 1},
        {"gone, ready at once after",               {Door::Answer::kGone}, 0},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        SpoolWriter spool(dir.path + "/records.db");
        const std::string run = "st1-20261210T113045Z-0";
        spool.run(run, "st1", "GWM0202", "02:47:57:04:04:00");
        spool.result(run, "st1", "02:47:57:04:04:00", 1, "mac", 1, "pass", 5);
        Door door(cluster);
        ASSERT_TRUE(door.ready()) << door.error();
        door.answer(Door::Answer::kPassThrough, c.first);
        notices.lines.clear();

        auto o = options(dir.path);
        o.url = door.url("line");
        LineOpenResult opened = openLineForwarder(o);
        ASSERT_TRUE(opened.forwarder) << opened.exitStatus << " " << opened.error;
        EXPECT_EQ(opened.exitStatus, 0);
        EXPECT_TRUE(sandbox::waitUntil([&] { return opened.forwarder->sent() == 1; })) << notices.all();
        EXPECT_EQ(door.answered(Door::Answer::kStartingUp) + door.answered(Door::Answer::kGone), int(c.first.size()));
        EXPECT_EQ(opened.forwarder->finish(30000).pending, 0);
        EXPECT_EQ(notices.count("unreachable"), c.unreachable) << notices.all();
        if (c.unreachable) {
            EXPECT_EQ(notices.count("(connection to server on socket \"" +
                                    door.url("").substr(door.url("").find("host=") + 5) +
                                    "/.s.PGSQL.5432\" failed: FATAL:  the database system is starting up)"),
                      1)
                << notices.all(); // in libpq's own words, as it says them by default
        }
        EXPECT_EQ(notices.count("reachable again"), c.unreachable) << notices.all();
        EXPECT_EQ(notices.count("refused"), 0) << notices.all();
        EXPECT_EQ(notices.count("line database:"), 0) << notices.all();
    }
    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), 1);
}

TEST_F(LineForward, AnOutageThroughAStartingUpServerIsOneNotice)
{
    TempDir dir;
    SpoolWriter spool(dir.path + "/records.db");
    Door door(cluster);
    ASSERT_TRUE(door.ready()) << door.error();
    auto o = options(dir.path);
    o.url = door.url("line");
    auto forwarder = open(o);
    ASSERT_TRUE(forwarder);
    const std::string run = "st1-20261210T113045Z-0";
    spool.run(run, "st1", "GWM0202", "02:47:57:04:04:00");
    int code = 1;
    auto write = [&](int n) {
        for (int i = 0; i < n; ++i, ++code) {
            spool.result(run, "st1", "02:47:57:04:04:00", code, testName(code), 1, "pass", 5);
            forwarder->wake();
        }
    };
    write(5);
    ASSERT_TRUE(sandbox::waitUntil([&] { return forwarder->sent() == 5; })) << forwarder->sent();

    // The server stops: its connections end, nothing answers for a while...
    door.answer(Door::Answer::kGone);
    door.cut();
    write(5);
    ASSERT_TRUE(sandbox::waitUntil([&] { return notices.count("unreachable") == 1; })) << notices.all();
    ASSERT_TRUE(sandbox::waitUntil([&] { return door.answered(Door::Answer::kGone) >= 3; }));
    // ...then it starts: "starting up" to the next attempts, and ready right
    // after the last of them.
    door.answer(Door::Answer::kPassThrough,
                {Door::Answer::kStartingUp, Door::Answer::kStartingUp, Door::Answer::kStartingUp});
    write(5);
    ASSERT_TRUE(sandbox::waitUntil([&] { return forwarder->sent() == 15; })) << forwarder->sent() << "\n"
                                                                             << notices.all();
    EXPECT_EQ(door.answered(Door::Answer::kStartingUp), 3);
    spool.finishRun(run, "pass");
    EXPECT_EQ(forwarder->finish(30000).pending, 0);

    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), 15);
    EXPECT_EQ(notices.count("unreachable"), 1) << notices.all();
    EXPECT_EQ(notices.count("reachable again"), 1) << notices.all();
    EXPECT_EQ(notices.count("refused"), 0) << notices.all();
    EXPECT_EQ(notices.count("wait in"), 1) << notices.all(); // only the outage's own line
}

TEST_F(LineForward, StationKilledBetweenTheLinesCommitAndItsMarkSendsNoDuplicate)
{
    TempDir dir;
    SpoolWriter spool(dir.path + "/records.db");
    const std::string run = "st1-20261210T113045Z-0";
    spool.run(run, "st1", "GWM0202", "02:47:57:04:04:00");
    for (const auto &[code, name] : kPlan) {
        spool.result(run, "st1", "02:47:57:04:04:00", code, name, 1, "pass", 5);
    }

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto o = options(dir.path);
        o.afterLineCommit = [] { raise(SIGKILL); };
        LineOpenResult opened = openLineForwarder(o);
        if (opened.forwarder) {
            opened.forwarder->finish(30000);
        }
        _exit(0); // not reached when the hook ran
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    // The line has them; the spool never heard.
    const long long planSize = std::size(kPlan);
    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), planSize);
    EXPECT_EQ(spool.count("SELECT count(*) FROM line_sent_results"), 0);

    // The station starts again, tests one more unit, and sends everything.
    const std::string next = "st1-20261210T120000Z-0";
    spool.run(next, "st1", "GWM0202", "02:47:57:04:04:01");
    spool.result(next, "st1", "02:47:57:04:04:01", 1, "mac", 1, "pass", 5);
    auto forwarder = open(options(dir.path));
    ASSERT_TRUE(forwarder);
    const ForwardCount count = forwarder->finish(30000);
    EXPECT_EQ(count.pending, 0);
    EXPECT_EQ(count.sent, planSize + 1);
    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), planSize + 1);
    EXPECT_EQ(lineCount("SELECT count(*) FROM runs"), 2);
    EXPECT_EQ(notices.all(), "");
}

TEST_F(LineForward, ServerDownAtTheStartTheStationTestsAndSendsTheBacklogLater)
{
    TempDir dir;
    SpoolWriter spool(dir.path + "/records.db");
    // Results of an earlier day, never sent, wait in the spool too.
    spool.run("st1-20261209T080000Z-0", "st1", "GWM0101", "02:47:57:01:01:00");
    spool.result("st1-20261209T080000Z-0", "st1", "02:47:57:01:01:00", 1, "mac", 1, "pass", 5);
    spool.finishRun("st1-20261209T080000Z-0", "pass");
    ASSERT_TRUE(cluster.stop());

    LineOpenResult opened = openLineForwarder(options(dir.path));
    ASSERT_TRUE(opened.forwarder) << opened.error;
    EXPECT_EQ(opened.exitStatus, 0);
    EXPECT_EQ(notices.count("unreachable"), 1) << notices.all();

    const std::string run = "st1-20261210T113045Z-0";
    spool.run(run, "st1", "GWM0202", "02:47:57:04:04:00");
    spool.result(run, "st1", "02:47:57:04:04:00", 1, "mac", 1, "pass", 5);
    opened.forwarder->wake();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(notices.count("unreachable"), 1) << notices.all();

    ASSERT_TRUE(cluster.start()) << cluster.error();
    ASSERT_TRUE(sandbox::waitUntil([&] { return opened.forwarder->sent() == 2; })) << opened.forwarder->sent();
    // The run, sent while it ran, is brought up to date when it ends.
    EXPECT_EQ(cluster.query("line", "SELECT coalesce(outcome, 'running') FROM runs WHERE id = '" + run + "'"),
              "running");
    spool.result(run, "st1", "02:47:57:04:04:00", 2, "sysversion", 1, "fail", 5);
    spool.finishRun(run, "fail");
    opened.forwarder->wake();
    // The running forwarder looks again at the runs that were open.
    EXPECT_TRUE(sandbox::waitUntil([&] {
        return cluster.query("line", "SELECT outcome FROM runs WHERE id = '" + run + "'") == "fail";
    })) << cluster.query("line", "SELECT outcome FROM runs WHERE id = '" + run + "'");
    const ForwardCount count = opened.forwarder->finish(30000);
    EXPECT_EQ(count.pending, 0);
    EXPECT_EQ(cluster.query("line", "SELECT outcome FROM runs WHERE id = '" + run + "'"), "fail");
    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), 3);
    EXPECT_EQ(notices.count("reachable again"), 1) << notices.all();
    EXPECT_EQ(notices.count("refused"), 0) << notices.all();
}

TEST_F(LineForward, RowsTheLineRefusesAreSetAsideAndHoldNothingUp)
{
    TempDir dir;
    SpoolWriter spool(dir.path + "/records.db");
    const std::string run = "st1-20261210T113045Z-0";
    spool.run(run, "st1", "GWM0202", "02:47:57:04:04:00");
    spool.result(run, "st1", "02:47:57:04:04:00", 1, "mac", 1, "pass", 5);
    // A time the line cannot read, and a result whose run is not in the file.
    spool.exec("INSERT INTO results (run_id, station, code, name, attempt, outcome, started, duration_ms) VALUES "
               "('" +
               run +
               "', 'st1', 2, 'sysversion', 1, 'pass', 'at noon', 5), "
               "('st1-20261210T113045Z-9', 'st1', 1, 'mac', 1, 'pass', '2026-12-10T11:30:45.123Z', 5)");
    spool.result(run, "st1", "02:47:57:04:04:00", 5, "model", 1, "pass", 5);

    auto forwarder = open(options(dir.path));
    ASSERT_TRUE(forwarder);
    ForwardCount count = forwarder->finish(30000);
    EXPECT_EQ(count.pending, 0);
    EXPECT_EQ(count.sent, 2);
    EXPECT_EQ(cluster.query("line", "SELECT string_agg(name, ',' ORDER BY code) FROM results"), "mac,model");
    EXPECT_EQ(spool.count("SELECT count(*) FROM line_sent_results WHERE refused IS NOT NULL"), 2);
    EXPECT_EQ(notices.count("refused 2 of 4 results"), 1) << notices.all();

    // What comes next still flows, and the refused rows are not sent again.
    spool.result(run, "st1", "02:47:57:04:04:00", 0x101, "wan", 1, "fail", 5);
    forwarder = open(options(dir.path));
    ASSERT_TRUE(forwarder);
    count = forwarder->finish(30000);
    EXPECT_EQ(count.pending, 0);
    EXPECT_EQ(count.sent, 1);
    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), 3);
    EXPECT_EQ(notices.count("refused"), 1) << notices.all();
}

TEST_F(LineForward, ALineDatabaseMadeAnewGetsTheWholeHistory)
{
    TempDir dir;
    SpoolWriter spool(dir.path + "/records.db");
    const std::string run = "st1-20261210T113045Z-0";
    spool.run(run, "st1", "GWM0202", "02:47:57:04:04:00");
    for (int code = 1; code <= 5; ++code) {
        spool.result(run, "st1", "02:47:57:04:04:00", code, testName(code), 1, "pass", 5);
    }
    auto forwarder = open(options(dir.path));
    ASSERT_TRUE(forwarder);
    ASSERT_TRUE(sandbox::waitUntil([&] { return forwarder->sent() == 5; })) << forwarder->sent();

    // The line's database is dropped and made again (a new server, a restore
    // gone wrong) while the station runs: its notes of what was sent are for
    // the old one.
    ASSERT_TRUE(cluster.exec("postgres", "DROP DATABASE line WITH (FORCE)")) << cluster.error();
    ASSERT_TRUE(cluster.createDatabase("line")) << cluster.error();
    spool.result(run, "st1", "02:47:57:04:04:00", 6, "t6", 1, "pass", 5);
    forwarder->wake();
    EXPECT_TRUE(sandbox::waitUntil([&] { return lineCount("SELECT count(*) FROM results") == 6; }))
        << lineCount("SELECT count(*) FROM results");
    EXPECT_EQ(forwarder->finish(30000).pending, 0);
    EXPECT_EQ(lineCount("SELECT count(*) FROM results"), 6);
}

TEST_F(LineForward, AMacLearntAfterItsFirstResultsWereSentReachesThemToo)
{
    TempDir dir;
    SpoolWriter spool(dir.path + "/records.db");
    const std::string run = "st1-20261210T113045Z-0";
    spool.run(run, "st1", "", "");
    spool.result(run, "st1", "", 5, "model", 1, "pass", 5); // asked first, before the MAC is known
    auto forwarder = open(options(dir.path));
    ASSERT_TRUE(forwarder);
    ASSERT_TRUE(sandbox::waitUntil([&] { return forwarder->sent() == 1; }));

    spool.learnMac(run, "02:47:57:04:04:00");
    spool.result(run, "st1", "02:47:57:04:04:00", 1, "mac", 1, "pass", 5);
    forwarder->wake();
    EXPECT_TRUE(sandbox::waitUntil([&] {
        return lineCount("SELECT count(*) FROM results WHERE mac = '02:47:57:04:04:00'") == 2;
    })) << cluster.query("line", "SELECT string_agg(name || '=' || mac, ',') FROM results");
    EXPECT_EQ(forwarder->finish(30000).pending, 0);
    EXPECT_EQ(cluster.query("line", "SELECT mac FROM runs"), "02:47:57:04:04:00");
}

TEST_F(LineForward, AnOlderStateOfARunNeverUndoesANewerOne)
{
    // Two station processes sharing a records directory may send one run's
    // states out of order.
    Reach reach = Reach::kUnreachable;
    std::string error;
    PgConn conn = PgConn::connect(cluster.url("line"), "test", reach, error);
    ASSERT_EQ(reach, Reach::kConnected) << error;
    ensureLineSchema(conn);
    SpoolRun finished{.id = "st1-b-0",
                      .batch = "st1-b",
                      .station = "st1",
                      .started = "2026-12-10T11:30:45.123Z",
                      .finished = "2026-12-10T11:40:00.000Z",
                      .host = "10.0.0.2",
                      .port = 6666,
                      .label = "A3",
                      .model = "GWM0202",
                      .mac = "02:47:57:04:04:00",
                      .outcome = "fail",
                      .serial = "GW00001234",
                      .operatorId = "op-7",
                      .profileHash = "",
                      .profilePath = "",
                      .stationVersion = "v2.1",
                      .state = "",
                      .refused = ""};
    SpoolRun early = finished;
    early.finished.reset();
    early.outcome.reset();
    early.model = early.mac = early.label = early.serial = "";
    sendBatch(conn, Spool::Batch{{finished}, {}, {}});
    sendBatch(conn, Spool::Batch{{early}, {}, {}});
    EXPECT_EQ(cluster.query("line", "SELECT outcome || ' ' || model || ' ' || mac || ' ' || label || ' ' || "
                                    "to_char(finished AT TIME ZONE 'UTC', 'HH24:MI') || ' ' || serial || ' ' || "
                                    "operator_id || ' ' || station_version FROM runs"),
              "fail GWM0202 02:47:57:04:04:00 A3 11:40 GW00001234 op-7 v2.1");
}

// The gang of an operator test, from the station's records to the line and
// back into a report's rows: the id of a gang step on its member's result,
// none on a test that ran alone, and none on the results of a records.db of
// version 1 (before gangs) that no station of this version has opened.
TEST_F(LineForward, AGangIdGoesFromTheRecordsToTheLine)
{
    TempDir dir;
    {
        std::string error;
        auto records = station::openRecords(dir.path, error);
        ASSERT_TRUE(records) << error;
        auto event = [](station::EventKind kind) {
            station::Event e;
            e.kind = kind;
            e.station = "st1";
            e.batchId = "st1-20261210T113045Z";
            e.runId = "st1-20261210T113045Z-0";
            e.gateway.host = "10.0.0.2";
            e.gateway.mac = "02:47:57:04:04:00";
            e.unixMs = 1796902245123;
            return e;
        };
        records->onEvent(event(station::EventKind::kBatchStarted));
        records->onEvent(event(station::EventKind::kRunStarted));
        station::Event alone = event(station::EventKind::kTestFinished);
        alone.code = 0x0001;
        alone.name = "mac";
        records->onEvent(alone);
        station::Event ganged = event(station::EventKind::kTestFinished);
        ganged.code = 0x0701;
        ganged.name = "led-power";
        ganged.answer = station::OperatorAnswer{"no", 2300};
        ganged.outcome = station::Outcome::kFail;
        ganged.gang = "st1-20261210T113045Z-g3";
        records->onEvent(ganged);
        records->onEvent(event(station::EventKind::kRunFinished));
        records->onEvent(event(station::EventKind::kBatchFinished));
    }
    // A records directory of version 1: results as they were written then.
    TempDir old;
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open((old.path + "/records.db").c_str(), &db), SQLITE_OK);
        const std::string v1 = std::string(station::kRecordsSchemaV1) +
                               "PRAGMA user_version = 1;"
                               "INSERT INTO runs (id, batch, station, started, host, port) VALUES ('st2-b-0', "
                               "'st2-b', 'st2', '2026-12-10T11:30:45.123Z', '10.0.0.3', 6666);"
                               "INSERT INTO results (run_id, station, code, name, attempt, outcome, started, "
                               "duration_ms, operator_answer, operator_ms) VALUES ('st2-b-0', 'st2', 1793, "
                               "'led-power', 1, 'pass', '2026-12-10T11:30:50.000Z', 900, 'yes', 700);";
        EXPECT_EQ(sqlite3_exec(db, v1.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    for (const std::string &records : {dir.path, old.path}) {
        auto forwarder = open(options(records));
        ASSERT_TRUE(forwarder);
        EXPECT_EQ(forwarder->finish(30000).pending, 0) << records << "\n" << notices.all();
    }
    EXPECT_EQ(cluster.query("line", "SELECT string_agg(station || ' ' || name || ' ' || coalesce(gang, 'alone'), ',' "
                                    "ORDER BY station, code) FROM results"),
              "st1 mac alone,st1 led-power st1-20261210T113045Z-g3,st2 led-power alone");
    station::records::Rows rows;
    std::string error;
    ASSERT_TRUE(loadLine(cluster.url("line"), {}, rows, error)) << error;
    std::map<std::string, std::string> gangs;
    for (const auto &r : rows.results) {
        gangs[r.station + " " + r.name] = r.gang;
    }
    EXPECT_EQ(gangs, (std::map<std::string, std::string>{
                         {"st1 mac", ""}, {"st1 led-power", "st1-20261210T113045Z-g3"}, {"st2 led-power", ""}}));
}

// What a run is traced to and what the line's profile judged, from the
// station's records to the line and back into a report's rows: the trace
// given at the run's start, a serial number scanned during the run (known
// at its end, after the run was first sent), the limits applied and a
// marginal pass. A records.db of version 2 (before these were kept) sends
// its rows without them, and the run outcomes of the unit checks are stored
// as they came.
TEST_F(LineForward, TheTraceAndTheLimitsGoFromTheRecordsToTheLine)
{
    const std::string hash(64, 'c');
    TempDir dir;
    std::string error;
    auto records = station::openRecords(dir.path, error);
    ASSERT_TRUE(records) << error;
    sandbox::EventScript s(*records, "st1", 1796902245123);
    s.traceWith({.profilePath = "/etc/gwtest/line.toml",
                 .profileHash = hash,
                 .stationVersion = "v2.1-4-g0123abc",
                 .operatorId = "op-7"});
    s.startBatch(1);
    const std::string run = s.startRun(0, "10.0.0.2", "A1");
    s.learnMac(0, "02:47:57:04:04:00");
    s.test(0, {.code = 0x0002,
               .outcome = station::Outcome::kFail,
               .decoded = "2.3.6",
               .limit = "sysversion 2.3.6, want 2.3.7",
               .message = "sysversion 2.3.6, want 2.3.7"});
    s.test(0, {.code = 0x0103,
               .durationMs = 3312,
               .limit = "ping-host 3.312 s, want <= 3.5 s, marginal past 3.2 s",
               .marginal = true});
    records->flush();
    auto forwarder = open(options(dir.path));
    ASSERT_TRUE(forwarder);
    ASSERT_TRUE(sandbox::waitUntil([&] { return forwarder->sent() == 2; })) << forwarder->sent();
    EXPECT_EQ(cluster.query("line", "SELECT serial || '|' || operator_id FROM runs"), "|op-7");

    // The label scanned: known with the run's end.
    s.serial(0, "GW00001234");
    s.finishRun(0, station::RunOutcome::kFail, "1 test failed");
    s.finishBatch();
    records->flush();
    forwarder->wake();
    EXPECT_TRUE(sandbox::waitUntil([&] { return cluster.query("line", "SELECT serial FROM runs") == "GW00001234"; }))
        << cluster.query("line", "SELECT serial FROM runs");
    EXPECT_EQ(forwarder->finish(30000).pending, 0) << notices.all();
    records.reset();

    // A records directory of version 2: rows as they were written then.
    TempDir old;
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open((old.path + "/records.db").c_str(), &db), SQLITE_OK);
        const std::string v2 =
            std::string(station::kRecordsSchemaV1) + std::string(station::kRecordsStepTo2) +
            "PRAGMA user_version = 2;"
            "INSERT INTO runs (id, batch, station, started, host, port, outcome) VALUES "
            "('st2-b-0', 'st2-b', 'st2', '2026-12-10T11:30:45.123Z', '10.0.0.3', 6666, 'duplicate'), "
            "('st2-b-1', 'st2-b', 'st2', '2026-12-10T11:30:45.123Z', '10.0.0.4', 6666, 'unchecked-line');"
            "INSERT INTO results (run_id, station, code, name, attempt, outcome, started, duration_ms, gang) VALUES "
            "('st2-b-0', 'st2', 1793, 'led-power', 1, 'pass', '2026-12-10T11:30:50.000Z', 900, 'st2-b-g1');";
        EXPECT_EQ(sqlite3_exec(db, v2.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    }
    {
        auto older = open(options(old.path));
        ASSERT_TRUE(older);
        EXPECT_EQ(older->finish(30000).pending, 0) << notices.all();
    }

    EXPECT_EQ(cluster.query("line", "SELECT string_agg(concat_ws(' ', id, outcome, serial, operator_id, profile_path, "
                                    "station_version, profile_hash = repeat('c', 64)), ',' ORDER BY station, id) "
                                    "FROM runs"),
              run + " fail GW00001234 op-7 /etc/gwtest/line.toml v2.1-4-g0123abc t,"
                    "st2-b-0 duplicate     f,st2-b-1 unchecked-line     f");
    EXPECT_EQ(cluster.query("line", "SELECT string_agg(concat_ws(' ', station, name, marginal, \"limit\"), ',' "
                                    "ORDER BY station, code) FROM results"),
              "st1 sysversion f sysversion 2.3.6, want 2.3.7,"
              "st1 ping-host t ping-host 3.312 s, want <= 3.5 s, marginal past 3.2 s,"
              "st2 led-power f ");

    station::records::Rows rows;
    ASSERT_TRUE(loadLine(cluster.url("line"), {}, rows, error)) << error;
    std::map<std::string, std::string> runs;
    for (const auto &r : rows.runs) {
        runs[r.id] = r.outcome + "|" + r.serial + "|" + r.operatorId + "|" + r.profileHash.substr(0, 4) + "|" +
                     r.profilePath + "|" + r.stationVersion;
    }
    EXPECT_EQ(runs, (std::map<std::string, std::string>{
                        {run, "fail|GW00001234|op-7|cccc|/etc/gwtest/line.toml|v2.1-4-g0123abc"},
                        {"st2-b-0", "duplicate|||||"},
                        {"st2-b-1", "unchecked-line|||||"}}));
    std::map<std::string, std::pair<std::string, bool>> judged;
    for (const auto &r : rows.results) {
        judged[r.station + " " + r.name] = {r.limit, r.marginal};
    }
    EXPECT_EQ(judged, (std::map<std::string, std::pair<std::string, bool>>{
                          {"st1 sysversion", {"sysversion 2.3.6, want 2.3.7", false}},
                          {"st1 ping-host", {"ping-host 3.312 s, want <= 3.5 s, marginal past 3.2 s", true}},
                          {"st2 led-power", {"", false}}}));
}

} // namespace

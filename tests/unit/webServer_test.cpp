// The station page's HTTP routes, in process: a server on a free port of
// 127.0.0.1, a runner of the test's own in place of the engine, and
// cpp-httplib's client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "front/web/page.h"
#include "front/web/server.h"

namespace {

using station::Event;
using station::EventKind;
using station::Target;
using station::web::Hub;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

namespace fs = std::filesystem;

class FakeRunner : public station::web::Runner {
public:
    bool start(const std::vector<std::pair<int, Target>> &slots, std::string &error) override
    {
        std::lock_guard lock(mutex);
        if (refuse) {
            error = "the engine is broken";
            return false;
        }
        starts.push_back(slots);
        return true;
    }
    void stop() override { ++stops; }
    bool answer(uint64_t promptId, bool yes) override
    {
        std::lock_guard lock(mutex);
        if (promptId != openPrompt) {
            return false;
        }
        answers.emplace_back(promptId, yes);
        openPrompt = 0;
        return true;
    }
    bool answer(uint64_t promptId, const std::vector<int> &noSlots) override
    {
        std::lock_guard lock(mutex);
        if (promptId != openPrompt) {
            return false;
        }
        gangAnswers.emplace_back(promptId, noSlots);
        openPrompt = 0;
        return true;
    }

    std::mutex mutex;
    bool refuse = false;
    uint64_t openPrompt = 0;
    std::vector<std::vector<std::pair<int, Target>>> starts;
    std::vector<std::pair<uint64_t, bool>> answers;
    std::vector<std::pair<uint64_t, std::vector<int>>> gangAnswers;
    std::atomic<int> stops{0};
};

class FakeHistory : public station::web::History {
public:
    bool summary(const std::string &since, std::string &json, std::string &) override
    {
        lastSince = since;
        json = "{\"units\":2}";
        return true;
    }
    bool unit(const std::string &mac, std::string &json, std::string &) override
    {
        lastMac = mac;
        json = "{\"mac\":\"" + mac + "\",\"runs\":[]}";
        return true;
    }
    std::string lastSince;
    std::string lastMac;
};

class WebServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        records = fs::temp_directory_path() / ("web-records-" + std::to_string(getpid()));
        fs::remove_all(records);
        fs::create_directories(records / "junit");
    }
    void TearDown() override
    {
        if (server) {
            server->stop();
            thread.join();
        }
        fs::remove_all(records);
    }

    void serve(const std::string &token = "")
    {
        hub = std::make_unique<Hub>(!token.empty());
        hub->addSlot(Target{"10.213.0.2", 6666, "A1"});
        hub->addSlot(Target{"10.213.1.2", 6666, "B1"});
        server = std::make_unique<station::web::Server>(station::web::ServerConfig{token, records.string()}, *hub,
                                                        runner, &history);
        std::string error;
        ASSERT_TRUE(server->bind("127.0.0.1:0", error)) << error;
        thread = std::thread([this] { server->serve(); });
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(10, 0);
    }

    httplib::Result post(const std::string &path, const std::string &body = "{}", const httplib::Headers &headers = {})
    {
        return client->Post(path.c_str(), headers, body, "application/json");
    }

    fs::path records;
    FakeRunner runner;
    FakeHistory history;
    std::unique_ptr<Hub> hub;
    std::unique_ptr<station::web::Server> server;
    std::thread thread;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(WebServer, ThePageIsServedFromTheProgramWithNothingFromElsewhere)
{
    serve();
    auto res = client->Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_THAT(res->get_header_value("Content-Type"), StartsWith("text/html"));
    EXPECT_THAT(res->get_header_value("Content-Security-Policy"), HasSubstr("default-src 'self'"));
    EXPECT_THAT(res->body, HasSubstr("<script src=\"/app.js\">"));
    for (const char *path : {"/app.js", "/style.css"}) {
        res = client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 200) << path;
    }
    EXPECT_THAT(client->Get("/app.js")->body, HasSubstr("new EventSource('/api/events')"));
    // No address of another host in any file (the SVG namespace is a name,
    // not a fetch).
    for (const auto &file : station::web::pageFiles()) {
        std::string body(file.body);
        const std::string ns = "http://www.w3.org/2000/svg";
        for (auto at = body.find(ns); at != std::string::npos; at = body.find(ns)) {
            body.erase(at, ns.size());
        }
        EXPECT_THAT(body, Not(HasSubstr("://"))) << file.name;
    }
    EXPECT_EQ(client->Get("/nothing-here")->status, 404);
}

TEST_F(WebServer, ASecondStationOnTheSamePortIsRefused)
{
    serve();
    Hub otherHub;
    FakeRunner otherRunner;
    station::web::Server other(station::web::ServerConfig{}, otherHub, otherRunner, nullptr);
    std::string error;
    EXPECT_FALSE(other.bind("127.0.0.1:" + std::to_string(server->port()), error));
    EXPECT_THAT(error, HasSubstr("cannot listen on 127.0.0.1:"));
}

TEST_F(WebServer, SlotsAreListed)
{
    serve();
    auto res = client->Get("/api/slots");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_THAT(res->body, StartsWith("{\"tokenRequired\":false,\"slots\":[{\"id\":0,\"host\":\"10.213.0.2\""));
    EXPECT_THAT(res->body, HasSubstr("\"address\":\"10.213.1.2:6666\",\"label\":\"B1\""));
    EXPECT_THAT(res->body, HasSubstr("\"state\":\"idle\""));
}

TEST_F(WebServer, StartingASlotHandsItsGatewayToTheRunnerOnce)
{
    serve();
    auto res = post("/api/slots/1/start");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 202);
    ASSERT_EQ(runner.starts.size(), 1U);
    ASSERT_EQ(runner.starts[0].size(), 1U);
    EXPECT_EQ(runner.starts[0][0].first, 1);
    EXPECT_EQ(runner.starts[0][0].second.host, "10.213.1.2");
    EXPECT_EQ(hub->slot(1)->state, station::web::SlotState::kRunning);

    res = post("/api/slots/1/start");
    EXPECT_EQ(res->status, 409);
    EXPECT_THAT(res->body, HasSubstr("running already"));
    EXPECT_EQ(runner.starts.size(), 1U);

    // Start all: the slots that are not running, in one batch.
    res = post("/api/start-all");
    EXPECT_EQ(res->status, 202);
    ASSERT_EQ(runner.starts.size(), 2U);
    ASSERT_EQ(runner.starts[1].size(), 1U);
    EXPECT_EQ(runner.starts[1][0].first, 0);
    EXPECT_EQ(post("/api/start-all")->status, 409); // none left

    EXPECT_EQ(post("/api/stop")->status, 202);
    EXPECT_EQ(runner.stops, 1);
}

TEST_F(WebServer, AStartTheRunnerRefusesLeavesTheSlotIdle)
{
    serve();
    runner.refuse = true;
    auto res = post("/api/slots/0/start");
    EXPECT_EQ(res->status, 500);
    EXPECT_THAT(res->body, HasSubstr("the engine is broken"));
    EXPECT_EQ(hub->slot(0)->state, station::web::SlotState::kIdle);
}

TEST_F(WebServer, SlotIdsOutsideTheStationAreRefused)
{
    serve();
    for (const char *id : {"2", "99", "-1", "1x", "%2e%2e", "00000000000001", "0%00"}) {
        auto res = post(std::string("/api/slots/") + id + "/start");
        ASSERT_TRUE(res) << id;
        EXPECT_EQ(res->status, 404) << id;
    }
    EXPECT_TRUE(runner.starts.empty());
}

TEST_F(WebServer, ActionsAreReadOnlyForGetAndNeedAJsonPost)
{
    serve();
    EXPECT_EQ(client->Get("/api/slots/0/start")->status, 404);
    EXPECT_EQ(client->Get("/api/stop")->status, 404);
    // A form of another site posts text or form data: refused.
    auto res = client->Post("/api/stop", "x=1", "application/x-www-form-urlencoded");
    EXPECT_EQ(res->status, 415);
    res = client->Post("/api/stop", "", "text/plain");
    EXPECT_EQ(res->status, 415);
    res = post("/api/stop", "{}", {{"Origin", "http://evil.example"}});
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(runner.stops, 0);
}

struct TokenCase {
    const char *what;
    httplib::Headers headers;
    int status;
};

TEST_F(WebServer, WithATokenEveryActionNeedsIt)
{
    serve("s3cret-line-4");
    // clang-format off
    const TokenCase cases[] = {
        {"none",         {},                                           401},
        {"wrong",        {{"X-Gwtest-Token", "s3cret-line-5"}},        403},
        {"a prefix",     {{"X-Gwtest-Token", "s3cret"}},               403},
        {"longer",       {{"X-Gwtest-Token", "s3cret-line-44"}},       403},
        {"bearer wrong", {{"Authorization", "Bearer nope"}},           403},
        {"basic",        {{"Authorization", "Basic czNjcmV0"}},        401},
        {"header",       {{"X-Gwtest-Token", "s3cret-line-4"}},        202},
        {"bearer",       {{"Authorization", "Bearer s3cret-line-4"}},  202},
    };
    // clang-format on
    int accepted = 0;
    for (const auto &c : cases) {
        auto res = post("/api/stop", "{}", c.headers);
        ASSERT_TRUE(res) << c.what;
        EXPECT_EQ(res->status, c.status) << c.what;
        accepted += c.status == 202 ? 1 : 0;
    }
    EXPECT_EQ(runner.stops, accepted);
    for (const char *path : {"/api/slots/0/start", "/api/start-all", "/api/answer", "/api/slots", "/api/operator"}) {
        EXPECT_EQ(post(path, "{}")->status, 401) << path;
    }
    EXPECT_TRUE(runner.starts.empty());
    EXPECT_EQ(hub->slotCount(), 2U);
    // Reading stays open.
    auto res = client->Get("/api/slots");
    EXPECT_EQ(res->status, 200);
    EXPECT_THAT(res->body, StartsWith("{\"tokenRequired\":true,"));
    EXPECT_EQ(client->Get("/")->status, 200);
}

// The person at the station signs in on the page: the id is checked, shown
// to every page (the list of slots, the event stream's snapshot) and given
// up with an empty one.
TEST_F(WebServer, TheOperatorSignsInWithACheckedId)
{
    serve();
    struct Case {
        const char *body;
        int status;
        const char *signedIn; // hub's operator after it
    };
    // clang-format off
    const Case cases[] = {
        {R"({"operator":"op-7"})",          200, "op-7"},
        {R"({"operator":"Zo\u00eb K."})",  200, "Zo\xc3\xab K."},
        {R"({"operator":" op-8"})",         400, "Zo\xc3\xab K."},
        {R"({"operator":"op\n8"})",        400, "Zo\xc3\xab K."},
        {R"({"operator":7})",               400, "Zo\xc3\xab K."},
        {R"({})",                           400, "Zo\xc3\xab K."},
        {R"({"operator":"op-9"})",          200, "op-9"},
    };
    // clang-format on
    for (const Case &c : cases) {
        auto res = post("/api/operator", c.body);
        ASSERT_TRUE(res) << c.body;
        EXPECT_EQ(res->status, c.status) << c.body << " " << res->body;
        EXPECT_EQ(hub->operatorId(), c.signedIn) << c.body;
    }
    EXPECT_EQ(post("/api/operator", std::string(R"({"operator":")") + std::string(65, 'x') + "\"}")->status, 400);
    EXPECT_THAT(client->Get("/api/slots")->body, HasSubstr(",\"operator\":\"op-9\"}"));
    EXPECT_EQ(post("/api/operator", R"({"operator":""})")->status, 200);
    EXPECT_EQ(hub->operatorId(), "");
    EXPECT_THAT(client->Get("/api/slots")->body, HasSubstr(",\"operator\":\"\"}"));
}

TEST_F(WebServer, AnAnswerReachesTheOpenPromptOnly)
{
    serve();
    runner.openPrompt = 42;
    // clang-format off
    const std::pair<const char *, int> bad[] = {
        {"not json",                         400},
        {"[]",                               400},
        {"{\"prompt\":\"42\"}",              400},
        {"{\"prompt\":\"42\",\"yes\":\"no\"}",   400},
        {"{\"prompt\":\"4x2\",\"yes\":true}",  400},
        {"{\"prompt\":-42,\"yes\":true}",      400},
        {"{\"prompt\":\"99999999999999999999\",\"yes\":true}", 400},
        {"{\"prompt\":\"41\",\"yes\":true}",   409},
    };
    // clang-format on
    for (const auto &[body, status] : bad) {
        EXPECT_EQ(post("/api/answer", body)->status, status) << body;
    }
    EXPECT_TRUE(runner.answers.empty());
    auto res = post("/api/answer", "{\"prompt\":\"42\",\"yes\":false}");
    EXPECT_EQ(res->status, 200);
    EXPECT_THAT(runner.answers, ElementsAre(std::pair<uint64_t, bool>{42, false}));
    // Twice: the question is no longer open.
    EXPECT_EQ(post("/api/answer", "{\"prompt\":\"42\",\"yes\":true}")->status, 409);
    runner.openPrompt = 43;
    EXPECT_EQ(post("/api/answer", "{\"prompt\":43,\"yes\":true}")->status, 200);
}

// The engine asks one question about the gateways of slots 0 and 1 together.
Event gangQuestion(uint64_t promptId)
{
    Event e;
    e.kind = EventKind::kPromptNeeded;
    e.promptId = promptId;
    e.gang = "st-20261210T113000Z-g" + std::to_string(promptId);
    e.prompt = catalogue::Operator::kLedLit;
    e.question = "did the power LED light for two seconds on A1 B1? [y = all lit, or type the labels that stayed dark]";
    e.members.resize(2);
    e.members[0].slot = 0;
    e.members[0].host = "10.213.0.2";
    e.members[0].label = "A1";
    e.members[1].slot = 1;
    e.members[1].host = "10.213.1.2";
    e.members[1].label = "B1";
    e.gateway = e.members[0];
    return e;
}

TEST_F(WebServer, AGangAnswerNamesTheSlotsAnsweredNoAndOnlyThoseOfTheQuestion)
{
    serve();
    hub->onEvent(gangQuestion(42));
    runner.openPrompt = 42;
    auto res = client->Get("/api/slots");
    EXPECT_THAT(res->body, HasSubstr(R"("gangs":[{"id":"42","gang":"st-20261210T113000Z-g42","kind":"led-lit")"));
    EXPECT_THAT(res->body, HasSubstr(R"("members":[{"slot":0,"label":"A1","address":"10.213.0.2:6666")"));

    // clang-format off
    const std::pair<const char *, int> refused[] = {
        {R"({"prompt":"42","no":1})",              400},
        {R"({"prompt":"42","no":[-1]})",           400},
        {R"({"prompt":"42","no":[1.5]})",          400},
        {R"({"prompt":"42","no":["1"]})",          400},
        {R"({"prompt":"42","no":[1],"yes":true})", 400},
        {R"({"no":[1]})",                          400},
        {R"({"prompt":"42","no":[5]})",            422},
        {R"({"prompt":"42","no":[1,2]})",          422},
        {R"({"prompt":"41","no":[1]})",            409},
    };
    // clang-format on
    for (const auto &[body, status] : refused) {
        res = post("/api/answer", body);
        ASSERT_TRUE(res) << body;
        EXPECT_EQ(res->status, status) << body << ": " << res->body;
        EXPECT_THAT(res->body, StartsWith("{\"error\":")) << body;
    }
    EXPECT_THAT(post("/api/answer", R"({"prompt":"42","no":[5]})")->body,
                HasSubstr("slot 5 is not asked about in that question (its slots: 0, 1)"));
    EXPECT_TRUE(runner.gangAnswers.empty());
    EXPECT_TRUE(runner.answers.empty());

    res = post("/api/answer", R"({"prompt":"42","no":[1,1]})");
    EXPECT_EQ(res->status, 200) << res->body;
    ASSERT_EQ(runner.gangAnswers.size(), 1U);
    EXPECT_EQ(runner.gangAnswers[0].first, 42U);
    EXPECT_THAT(runner.gangAnswers[0].second, ElementsAre(1)); // once, however often named
    // Twice: the question is no longer open.
    EXPECT_EQ(post("/api/answer", R"({"prompt":"42","no":[]})")->status, 409);

    // None answered no: yes for all; and "yes" still answers a gang alike.
    hub->onEvent(gangQuestion(43));
    runner.openPrompt = 43;
    EXPECT_EQ(post("/api/answer", R"({"prompt":"43","no":[]})")->status, 200);
    ASSERT_EQ(runner.gangAnswers.size(), 2U);
    EXPECT_TRUE(runner.gangAnswers[1].second.empty());
    hub->onEvent(gangQuestion(44));
    runner.openPrompt = 44;
    EXPECT_EQ(post("/api/answer", R"({"prompt":"44","yes":true})")->status, 200);
    EXPECT_THAT(runner.answers, ElementsAre(std::pair<uint64_t, bool>{44, true}));
}

TEST_F(WebServer, AGatewayAskedAloneIsTheOnlySlotItsAnswerCanName)
{
    serve();
    Event ask;
    ask.kind = EventKind::kPromptNeeded;
    ask.promptId = 9;
    ask.gateway.slot = 1;
    ask.question = "did the power LED of B1 (10.213.1.2:6666) light for two seconds? [y/n]";
    hub->onEvent(ask);
    runner.openPrompt = 9;
    EXPECT_EQ(post("/api/answer", R"({"prompt":"9","no":[0]})")->status, 422);
    EXPECT_EQ(post("/api/answer", R"({"prompt":"9","no":[1]})")->status, 200);
    ASSERT_EQ(runner.gangAnswers.size(), 1U);
    EXPECT_THAT(runner.gangAnswers[0].second, ElementsAre(1));
}

TEST_F(WebServer, AGatewayAddedOnThePageBecomesASlot)
{
    serve();
    auto res = post("/api/slots", R"({"address":"[::1]:7000","label":"C3"})");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 201);
    EXPECT_THAT(res->body, HasSubstr("\"id\":2,\"host\":\"::1\",\"port\":7000,\"address\":\"[::1]:7000\""));
    ASSERT_EQ(hub->slotCount(), 3U);
    EXPECT_EQ(post("/api/slots/2/start")->status, 202);

    // clang-format off
    const char *bad[] = {
        R"({})",
        R"({"address":7})",
        R"({"address":"10.0.0.2:99999"})",
        R"({"address":"a b"})",
        R"({"address":"10.0.0.2","label":"A\nB"})",
        R"({"address":"10.0.0.2","label":7})",
        R"({"address":"10.0.0.2","label":"0123456789012345678901234567890123456789X"})",
    };
    // clang-format on
    for (const char *body : bad) {
        auto refused = post("/api/slots", body);
        ASSERT_TRUE(refused) << body;
        EXPECT_EQ(refused->status, 400) << body;
        EXPECT_THAT(refused->body, StartsWith("{\"error\":")) << body;
    }
    EXPECT_EQ(hub->slotCount(), 3U);
}

TEST_F(WebServer, ABodyLargerThanAnyActionNeedsIsRefused)
{
    serve();
    auto res = post("/api/slots", "{\"address\":\"" + std::string(100000, 'a') + "\"}");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 413);
    EXPECT_EQ(hub->slotCount(), 2U);
}

TEST_F(WebServer, TheStreamBringsASnapshotThenEachChange)
{
    serve();
    std::string received;
    std::mutex mutex;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        httplib::Client streamClient("127.0.0.1", server->port());
        streamClient.set_read_timeout(20, 0);
        auto res = streamClient.Get("/api/events", [&](const char *data, size_t n) {
            std::lock_guard lock(mutex);
            received.append(data, n);
            return received.find("\"state\":\"pass\"") == std::string::npos;
        });
        done = true;
    });
    auto waitFor = [&](const std::string &text) {
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard lock(mutex);
                if (received.find(text) != std::string::npos) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    };
    ASSERT_TRUE(waitFor("event: snapshot\n"));
    Event started;
    started.kind = EventKind::kRunStarted;
    started.gateway.slot = 1;
    hub->onEvent(started);
    EXPECT_TRUE(waitFor("event: slot\ndata: {\"id\":1,"));
    Event finished = started;
    finished.kind = EventKind::kRunFinished;
    finished.runId = "st-1";
    hub->onEvent(finished);
    EXPECT_TRUE(waitFor("\"state\":\"pass\""));
    reader.join();
    EXPECT_TRUE(done);
    EXPECT_THAT(received, StartsWith("retry: 1000\n\nevent: snapshot\ndata: "));
}

TEST_F(WebServer, StoppingTheServerEndsOpenStreams)
{
    serve();
    std::atomic<bool> ended{false};
    std::thread reader([&] {
        httplib::Client streamClient("127.0.0.1", server->port());
        streamClient.set_read_timeout(60, 0);
        streamClient.Get("/api/events", [](const char *, size_t) { return true; });
        ended = true;
    });
    for (int i = 0; i < 200 && hub->streamCount() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_EQ(hub->streamCount(), 1U);
    const auto t0 = std::chrono::steady_clock::now();
    server->stop();
    thread.join();
    server.reset();
    reader.join();
    EXPECT_TRUE(ended);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST_F(WebServer, HistoryAndUnitsTakeCheckedInput)
{
    serve();
    auto res = client->Get("/api/history");
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "{\"units\":2}");
    EXPECT_EQ(client->Get("/api/history?since=2026-12-01")->status, 200);
    EXPECT_EQ(history.lastSince, "2026-12-01");
    for (const char *since : {"yesterday", "2026-13-01", "2026-12-1", "2026-12-01'--"}) {
        EXPECT_EQ(client->Get((std::string("/api/history?since=") + since).c_str())->status, 400) << since;
    }
    res = client->Get("/api/units/02-47-57-04-04-0A");
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(history.lastMac, "02:47:57:04:04:0a");
    for (const char *mac : {"nope", "02:47:57:04:04", "02:47:57:04:04:00'", "%2e%2e%2fx"}) {
        const int status = client->Get((std::string("/api/units/") + mac).c_str())->status;
        EXPECT_TRUE(status == 400 || status == 404) << mac << ": " << status; // 404: the path holds a '/'
    }
    EXPECT_EQ(history.lastMac, "02:47:57:04:04:0a");
}

TEST_F(WebServer, RecordFilesAreServedFromTheRecordsDirectoryOnly)
{
    std::ofstream(records / "junit" / "st-20261210T113000Z.xml") << "<testsuites/>\n";
    std::ofstream(records / "records.jsonl")
        << R"({"run_id":"st-20261210T113000Z-0","name":"mac","outcome":"pass"})"
        << "\n"
        << R"({"run_id":"st-20261210T113000Z-1","name":"mac","outcome":"fail"})"
        << "\n"
        << "not json\n"
        << R"({"run_id":"st-20261210T113000Z-0","name":"led-power","outcome":"fail"})"
        << "\n";
    const fs::path outside = records.string() + "-outside.xml";
    std::ofstream(outside) << "<secret/>\n";
    fs::create_symlink(outside, records / "junit" / "link.xml");
    fs::create_symlink("/etc", records / "junit" / "etc");
    serve();

    auto res = client->Get("/records/junit/st-20261210T113000Z.xml");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "<testsuites/>\n");
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/xml");

    res = client->Get("/records/runs/st-20261210T113000Z-0.json");
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, R"([{"run_id":"st-20261210T113000Z-0","name":"mac","outcome":"pass"},)"
                         R"({"run_id":"st-20261210T113000Z-0","name":"led-power","outcome":"fail"}])");
    EXPECT_EQ(client->Get("/records/runs/st-unknown.json")->status, 404);

    // clang-format off
    const char *refused[] = {
        "/records/junit/link.xml",               // a link out of the records
        "/records/junit/../records.jsonl",
        "/records/junit/..%2Frecords.jsonl",
        "/records/junit/%2e%2e%2f%2e%2e%2fetc%2fpasswd",
        "/records/junit/etc/passwd",
        "/records/junit/.xml",
        "/records/junit/missing.xml",
        "/records/junit/st-20261210T113000Z.xml%00.txt",
        "/records/runs/..%2Fjunit%2Fst-20261210T113000Z.json",
        "/records/runs/%2e%2e.json",
        "/records/records.db",
        "/records/records.jsonl",
    };
    // clang-format on
    for (const char *path : refused) {
        res = client->Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
        EXPECT_THAT(res->body, Not(HasSubstr("secret"))) << path;
        EXPECT_THAT(res->body, Not(HasSubstr("root:"))) << path;
    }
    fs::remove(outside);
}

} // namespace

// End to end: `gwtest run` against gwsim boards. Every model's whole plan
// passes at once from one station; a broken part fails exactly its tests;
// a gateway that dies mid-plan is recorded and the others go on; the
// operator answers through a terminal; Ctrl-C still gives the summary; bad
// command lines are refused before anything runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <jansson.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "command.h"
#include "gwsimProcess.h"
#include "sandbox.h"
#include "serviceProcess.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
    std::string outcome;
    std::string decoded;
    std::string answer;
    std::string hint;
};
struct JsonRun {
    std::map<std::string, std::map<std::string, Result>> tests; // address -> test name -> last attempt
    std::map<std::string, std::string> outcome;                 // address -> run outcome
    int batchFinished = 0;
};

JsonRun parseJsonLines(const std::string &text)
{
    JsonRun run;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        json_error_t error;
        json_t *o = json_loads(line.c_str(), 0, &error);
        EXPECT_NE(o, nullptr) << "not JSON: " << line;
        if (o == nullptr) {
            continue;
        }
        auto str = [](json_t *obj, const char *key) {
            const char *s = json_string_value(json_object_get(obj, key));
            return std::string(s != nullptr ? s : "");
        };
        const std::string event = str(o, "event");
        const std::string address = str(json_object_get(o, "gateway"), "address");
        if (event == "test-finished") {
            run.tests[address][str(o, "name")] =
                Result{str(o, "outcome"), str(o, "data_text"), str(o, "operator_answer"), str(o, "hint")};
        } else if (event == "run-finished") {
            run.outcome[address] = str(o, "outcome");
        } else if (event == "batch-finished") {
            ++run.batchFinished;
        }
        json_decref(o);
    }
    return run;
}

class RunCommand : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override { sandbox::privateRunDir(); }

    std::string records() const { return sandbox::scratchDir() + "/records"; }

    // Runs gwtest to its end; its exit status (empty on time-out).
    std::optional<int> gwtest(sandbox::ServiceProcess &proc, const std::vector<std::string> &args,
                              int timeoutMs = 200000)
    {
        if (!proc.start(GWTEST_BIN, args)) {
            return std::nullopt;
        }
        return proc.waitExit(timeoutMs);
    }
};

// Four boards, one of each model, tested at once from one station: each
// whole plan passes, the model found by asking, the identity decoded.
TEST_F(RunCommand, EveryModelsWholePlanPassesAtOnce)
{
    const std::vector<std::string> models = {"GWM0101", "GWM0202", "GWM0303", "GWM0404"};
    std::vector<std::unique_ptr<sandbox::GwsimInstance>> sims;
    for (const std::string &model : models) {
        sims.push_back(std::make_unique<sandbox::GwsimInstance>());
        ASSERT_TRUE(sims.back()->launch(model)) << sims.back()->failure();
    }
    std::vector<std::string> args = {"run", "--operator", "yes", "--json", "--records", records()};
    for (auto &sim : sims) {
        ASSERT_TRUE(sim->waitReady()) << sim->failure();
        args.push_back(sim->address());
    }
    sandbox::ServiceProcess station;
    const auto status = gwtest(station, args);
    ASSERT_TRUE(status.has_value()) << station.out();
    EXPECT_EQ(*status, 0) << station.out() << station.err();

    const JsonRun run = parseJsonLines(station.out());
    EXPECT_EQ(run.batchFinished, 1);
    for (size_t i = 0; i < sims.size(); ++i) {
        const std::string address = sims[i]->address() + ":6666";
        ASSERT_EQ(run.tests.count(address), 1U) << address;
        const auto &tests = run.tests.at(address);
        EXPECT_EQ(run.outcome.at(address), "pass") << models[i];
        for (const auto &[name, r] : tests) {
            EXPECT_EQ(r.outcome, "pass") << models[i] << " " << name;
        }
        std::string lower = models[i];
        for (char &c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(tests.at("model").decoded, lower); // gwsim's model file is lower case
        EXPECT_THAT(tests.at("mac").decoded, ::testing::MatchesRegex("02:47:57:0[1-4]:0[1-4]:[0-9a-f]{2}"));
        EXPECT_EQ(tests.at("led-power").answer, "auto-yes");
        EXPECT_EQ(tests.count("button"), 1U);
    }
    EXPECT_EQ(run.tests.at(sims[1]->address() + ":6666").size(), 28U); // GWM0202's plan
}

// A board with a broken part fails exactly that part's tests, with the
// catalogue's hint beside them in the summary.
struct Broken {
    const char *name;
    const char *model;
    const char *scenario;
    const char *only;
    std::vector<std::string> failing;
};

// clang-format off
const Broken kBroken[] = {
    {"NameDoesNotResolve", "GWM0101", "dns = fail\n", "wan,ping-gw,ping-host,smartconfig", {"ping-host"}},
    {"LedsMissing", "GWM0303", "leds = missing\n", "wan,led-power,led-zigbee,led-error,leds-blink", {"led-power", "led-zigbee", "led-error"}},
};
// clang-format on

class BrokenBoard : public RunCommand, public ::testing::WithParamInterface<Broken> {};

TEST_P(BrokenBoard, FailsExactlyItsTests)
{
    const Broken &b = GetParam();
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start(b.model, b.scenario)) << sim.failure();
    sandbox::ServiceProcess station;
    const auto status = gwtest(station, {"run", sim.address() + "=A1", "--only", b.only, "--operator", "yes",
                                         "--records", records(), "--json"});
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1) << station.out();
    const JsonRun run = parseJsonLines(station.out());
    const auto &tests = run.tests.at(sim.address() + ":6666");
    std::vector<std::string> failing;
    for (const auto &[name, r] : tests) {
        if (r.outcome == "fail") {
            failing.push_back(name);
            EXPECT_FALSE(r.hint.empty()) << name;
        } else {
            EXPECT_THAT(r.outcome, ::testing::AnyOf("pass", "skipped")) << name;
        }
    }
    std::vector<std::string> expected = b.failing;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(failing, expected);
    EXPECT_EQ(run.outcome.at(sim.address() + ":6666"), "fail");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, BrokenBoard, ::testing::ValuesIn(kBroken),
                         [](const auto &info) { return std::string(info.param.name); });

void PrintTo(const Broken &b, std::ostream *os) { *os << b.name; }

TEST_F(RunCommand, WrongModelStopsAtTheModelQuery)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0202")) << sim.failure();
    sandbox::ServiceProcess station;
    const auto t0 = std::chrono::steady_clock::now();
    const auto status =
        gwtest(station, {"run", sim.address(), "--model", "GWM0404", "--operator", "yes", "--records", records()});
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 1);
    // Well before the first test of the plan could end (the whole plan of a
    // GWM0404 takes over a minute), with room for a loaded machine.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));
    EXPECT_THAT(station.out(), HasSubstr("model mismatch: the gateway is a GWM0202, the plan is for GWM0404"));
    EXPECT_THAT(station.out(), HasSubstr("model-mismatch"));
    EXPECT_THAT(station.out(), HasSubstr("not run"));
}

// One of two boards dies while its plan runs: its test in flight is
// connection-lost, the rest of its plan not run, and the other board's
// plan goes on to pass.
TEST_F(RunCommand, GatewayDroppedMidPlanIsRecordedAndTheOtherGoesOn)
{
    sandbox::GwsimInstance doomed;
    sandbox::GwsimInstance fine;
    // Its Wi-Fi comes up only after 25 s: the kill lands while smartconfig
    // runs, however late this side sees it start.
    ASSERT_TRUE(doomed.launch("GWM0101", "smartconfig.after = 25\n")) << doomed.failure();
    ASSERT_TRUE(fine.launch("GWM0101")) << fine.failure();
    ASSERT_TRUE(doomed.waitReady()) << doomed.failure();
    ASSERT_TRUE(fine.waitReady()) << fine.failure();
    sandbox::ServiceProcess station;
    ASSERT_TRUE(
        station.start(GWTEST_BIN, {"run", doomed.address() + "=doomed", fine.address() + "=fine", "--only",
                                   "wan,smartconfig,ping-gw,led-power", "--operator", "yes", "--records", records()}));
    ASSERT_TRUE(station.waitForOut("doomed " + doomed.address() + ":6666: smartconfig (", 30000)) << station.out();
    ASSERT_TRUE(doomed.killOutright());
    const auto status = station.waitExit(60000);
    ASSERT_TRUE(status.has_value()) << station.out();
    EXPECT_EQ(*status, 3) << station.out();
    const std::string out = station.out();
    EXPECT_THAT(out, HasSubstr("doomed " + doomed.address() + ":6666: [7/16] smartconfig connection-lost"));
    EXPECT_THAT(out, HasSubstr("doomed " + doomed.address() + ":6666: [8/16] zigbee-pair skipped"));
    EXPECT_THAT(out, HasSubstr("doomed " + doomed.address() + ":6666: connection-lost"));
    EXPECT_THAT(out, HasSubstr("fine " + fine.address() + ":6666: pass"));
    // The summary has the not-run rows of the dead board.
    const auto summary = out.substr(out.find("summary of batch"));
    // (A board going down may still take one more connection into its
    // backlog as it dies, so its next test may see the drop too.)
    EXPECT_THAT(summary, ::testing::ContainsRegex("led-power +(not run|connection-lost)"));
}

// Another station holds the gateway's one connection: ours waits in the
// service's backlog, the person is told why, and the plan runs as soon as
// the other station lets go.
TEST_F(RunCommand, BusyGatewayIsNamedAsSuchAndTestedOnceFree)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0404")) << sim.failure();
    auto other = sim.connect();
    ASSERT_FALSE(sandbox::call(other, 0x0005).empty()); // the other station is being served
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(
        GWTEST_BIN, {"run", sim.address() + "=B2", "--only", "wan", "--operator", "yes", "--records", records()}));
    ASSERT_TRUE(station.waitForOut("B2 " + sim.address() +
                                       ":6666: no reply to the first query within 3 s: the gateway may be busy "
                                       "with another station",
                                   30000))
        << station.out();
    other.close();
    const auto status = station.waitExit(30000);
    ASSERT_TRUE(status.has_value()) << station.out();
    EXPECT_EQ(*status, 0) << station.out();
    EXPECT_THAT(station.out(), ::testing::ContainsRegex("wan +pass"));
}

// --- the operator at a terminal ---------------------------------------------------

// A pseudo-terminal that gwtest takes for the operator's: its output read
// on a thread of ours, answers written as the person would type them.
class Pty {
public:
    Pty()
    {
        winsize ws{};
        ws.ws_col = 200;
        ws.ws_row = 50;
        if (openpty(&master_, &slave_, nullptr, nullptr, &ws) == 0) {
            reader_ = std::thread([this] { read(); });
        }
    }
    ~Pty()
    {
        done_ = true;
        if (reader_.joinable()) {
            reader_.join();
        }
        close(master_);
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    int slave() const { return slave_; }
    void closeSlave()
    {
        close(slave_);
        slave_ = -1;
    }
    std::string text()
    {
        std::lock_guard lock(mutex_);
        return text_;
    }
    // Waits until the output from `from` on holds the text; the offset
    // after it, or npos.
    size_t waitFor(const std::string &what, size_t from, int timeoutMs)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard lock(mutex_);
                const size_t at = text_.find(what, from);
                if (at != std::string::npos) {
                    return at + what.size();
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return std::string::npos;
    }
    void type(const std::string &keys) { [[maybe_unused]] auto n = write(master_, keys.data(), keys.size()); }

private:
    void read()
    {
        while (!done_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            std::lock_guard lock(mutex_);
            text_.append(buf, static_cast<size_t>(n));
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::string text_;
    std::thread reader_;
};

TEST_F(RunCommand, OperatorAnswersAtTheTerminal)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0101", "button.press_after = 6\n")) << sim.failure();
    Pty pty;
    ASSERT_GE(pty.slave(), 0);
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(
        GWTEST_BIN, {"run", sim.address() + "=A1", "--only", "button,led-power,led-error", "--records", records()},
        sandbox::Stdio{pty.slave(), pty.slave()}));
    pty.closeSlave();

    // The button: a live countdown from its 10 s while the service waits.
    // The button is pressed 6 s in; the countdown is seen to have moved on
    // by at least two seconds before then, whichever of its redraws the
    // machine's load lets through.
    size_t at = pty.waitFor("press the button of A1 (" + sim.address() + ":6666, 02:47:57:01:", 0, 30000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    EXPECT_NE(pty.waitFor("10 s left", at, 5000), std::string::npos) << pty.text();
    const std::regex movedOn("[5-8] s left");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!std::regex_search(pty.text().substr(at), movedOn) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_THAT(pty.text().substr(at), ::testing::ContainsRegex("[5-8] s left")) << pty.text();

    at = pty.waitFor("did the power LED of A1", at, 20000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    at = pty.waitFor("light for two seconds? [y/n]", at, 1000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    pty.type("maybe\n");
    at = pty.waitFor("please answer y or n", at, 5000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    pty.type("n\n");
    at = pty.waitFor("did the error LED of A1", at, 20000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    pty.type("Y\n");

    const auto status = station.waitExit(30000);
    ASSERT_TRUE(status.has_value()) << pty.text();
    EXPECT_EQ(*status, 1);
    // Let the reader take the last of the output.
    ASSERT_NE(pty.waitFor("records: ", at, 5000), std::string::npos) << pty.text();
    const std::string out = pty.text();
    const std::string summary = out.substr(out.find("summary"));
    EXPECT_THAT(summary, ::testing::ContainsRegex(
                             "led-power +\033\\[1;31mfail\033\\[0m.*operator: no  the operator "
                             "answered no  hint: a fail from the gateway: /sys/class/leds/pwrled is missing"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("led-error +\033\\[32mpass\033\\[0m.*operator: yes"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("button +\033\\[32mpass"));
}

// Two gateways at the power LED together: one question at the terminal for
// both, answered with the label of the one that stayed dark. That one fails
// the test, the other passes, and both records name the same gang.
TEST_F(RunCommand, GangIsAskedOnceAtTheTerminalAndTheDarkOneFails)
{
    sandbox::GwsimInstance a;
    sandbox::GwsimInstance b;
    ASSERT_TRUE(a.start("GWM0101")) << a.failure();
    ASSERT_TRUE(b.start("GWM0101")) << b.failure();
    Pty pty;
    ASSERT_GE(pty.slave(), 0);
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN,
                              {"run", a.address() + "=A1", b.address() + "=A2", "--only", "led-power", "--records",
                               records(), "--station", "gang"},
                              sandbox::Stdio{pty.slave(), pty.slave()}));
    pty.closeSlave();

    size_t at = pty.waitFor("did the power LED light for two seconds on A1 A2?", 0, 60000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    at = pty.waitFor("[y = all lit, or type the labels that stayed dark]", at, 2000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    pty.type("a2\n");

    const auto status = station.waitExit(30000);
    ASSERT_TRUE(status.has_value()) << pty.text();
    EXPECT_EQ(*status, 1) << pty.text();
    ASSERT_NE(pty.waitFor("records: ", at, 5000), std::string::npos) << pty.text();
    EXPECT_EQ(pty.text().find("did the power LED light", at), std::string::npos) << "asked twice: " << pty.text();

    // Each gateway's own answer, one gang.
    std::map<std::string, std::vector<std::string>> byLabel;
    std::ifstream in(records() + "/records.jsonl");
    for (std::string line; std::getline(in, line);) {
        json_t *o = json_loads(line.c_str(), 0, nullptr);
        ASSERT_NE(o, nullptr) << line;
        auto text = [o](const char *key) {
            const char *v = json_string_value(json_object_get(o, key));
            return std::string(v != nullptr ? v : "");
        };
        if (text("name") == "led-power") {
            byLabel[text("label")] = {text("outcome"), text("operator_answer"), text("gang")};
        }
        json_decref(o);
    }
    ASSERT_EQ(byLabel.size(), 2U);
    EXPECT_EQ(byLabel["A1"][0], "pass");
    EXPECT_EQ(byLabel["A1"][1], "yes");
    EXPECT_EQ(byLabel["A2"][0], "fail");
    EXPECT_EQ(byLabel["A2"][1], "no");
    EXPECT_FALSE(byLabel["A1"][2].empty());
    EXPECT_EQ(byLabel["A1"][2], byLabel["A2"][2]);
}

// The person takes longer than the service's 60 s idle time-out to answer
// the power LED's question. The service closes the silent connection; the
// station opens a new one before the next test, says nothing of it, and
// the unit passes.
TEST_F(RunCommand, GatewayHeldAtTheDeskPastTheIdleTimeoutStillPasses)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0101")) << sim.failure();
    Pty pty;
    ASSERT_GE(pty.slave(), 0);
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN,
                              {"run", sim.address() + "=A1", "--only", "led-power,led-error", "--records", records()},
                              sandbox::Stdio{pty.slave(), pty.slave()}));
    pty.closeSlave();

    size_t at = pty.waitFor("light for two seconds? [y/n]", 0, 30000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    // Past the service's idle time-out, with a margin for a loaded machine.
    const std::string closed = "Timeout.";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (sim.serviceLog().find(closed) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_NE(sim.serviceLog().find(closed), std::string::npos) << sim.serviceLog();
    pty.type("y\n");
    at = pty.waitFor("did the error LED of A1", at, 20000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    pty.type("y\n");

    const auto status = station.waitExit(30000);
    ASSERT_TRUE(status.has_value()) << pty.text();
    EXPECT_EQ(*status, 0) << pty.text();
    ASSERT_NE(pty.waitFor("records: ", at, 5000), std::string::npos) << pty.text();
    const std::string out = pty.text();
    EXPECT_THAT(out, Not(HasSubstr("connection"))) << "the new connection is not the operator's business";
    // The service's side: the idle close, then a second connection.
    const std::string log = sim.serviceLog();
    const size_t timeout = log.find(closed);
    EXPECT_NE(log.find("Connected Client IP:", timeout), std::string::npos) << log;
}

TEST_F(RunCommand, NoColourWithNoColorSet)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0404")) << sim.failure();
    Pty pty;
    setenv("NO_COLOR", "1", 1);
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN,
                              {"run", sim.address(), "--only", "wan", "--operator", "yes", "--records", records()},
                              sandbox::Stdio{pty.slave(), pty.slave()}));
    unsetenv("NO_COLOR");
    pty.closeSlave();
    const auto status = station.waitExit(30000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    ASSERT_NE(pty.waitFor("records: ", 0, 5000), std::string::npos) << pty.text();
    EXPECT_THAT(pty.text(), Not(HasSubstr("\033[32m")));
    EXPECT_THAT(pty.text(), ::testing::ContainsRegex("wan +pass"));
}

// Ctrl-C while a test runs: the test in flight ends, the summary comes with
// the tests that never ran, and the status is not a pass.
TEST_F(RunCommand, InterruptedRunStillPrintsTheSummary)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0202", "button.press_after = never\n")) << sim.failure();
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN, {"run", sim.address(), "--only", "wan,button,led-power,led-zwave",
                                           "--operator", "unattended", "--records", records()}));
    ASSERT_TRUE(station.waitForOut(":6666: button (", 30000)) << station.out();
    const auto t0 = std::chrono::steady_clock::now();
    kill(station.pid(), SIGINT);
    const auto status = station.waitExit(10000);
    ASSERT_TRUE(status.has_value()) << station.out();
    // Not the button's 10 s: the station ends with the test in flight.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(7));
    EXPECT_EQ(*status, 1);
    const std::string out = station.out();
    ASSERT_NE(out.find("summary of batch"), std::string::npos) << out;
    const std::string summary = out.substr(out.find("summary of batch"));
    EXPECT_THAT(summary, HasSubstr("stopped"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("wan +pass"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("button +not run .*stopped while the test ran"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("led-power +not run"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("led-zwave +not run"));
    EXPECT_THAT(station.err(), HasSubstr("gwtest: stopping"));
}

// Ctrl-C while the person is asked: the question goes, the test is not
// run, the summary still comes on the terminal.
TEST_F(RunCommand, InterruptedWhileTheOperatorIsAsked)
{
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0303")) << sim.failure();
    Pty pty;
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN,
                              {"run", sim.address(), "--only", "led-power,led-error", "--records", records()},
                              sandbox::Stdio{pty.slave(), pty.slave()}));
    pty.closeSlave();
    const size_t at = pty.waitFor("light for two seconds? [y/n]", 0, 30000);
    ASSERT_NE(at, std::string::npos) << pty.text();
    kill(station.pid(), SIGINT);
    const auto status = station.waitExit(10000);
    ASSERT_TRUE(status.has_value()) << pty.text();
    EXPECT_EQ(*status, 1);
    ASSERT_NE(pty.waitFor("records: ", at, 5000), std::string::npos) << pty.text();
    const std::string out = pty.text();
    const std::string summary = out.substr(out.find("summary"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("led-power +\033\\[33mnot run\033\\[0m .*stopped while the "
                                                  "operator was asked"));
    EXPECT_THAT(summary, ::testing::ContainsRegex("led-error +\033\\[33mnot run"));
}

// --- refused command lines ------------------------------------------------------

struct BadLine {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *message;
};

// clang-format off
const BadLine kBadLines[] = {
    {"UnknownTest", {"run", "10.0.0.2", "--only", "wan,pign-gw"}, 64, "gwtest: --only: unknown test 'pign-gw' (expected a command code such as 0x0001, or one of: model, mac"},
    {"UnknownSkip", {"run", "10.0.0.2", "--skip", "0x9999"}, 64, "gwtest: --skip: unknown test '0x9999': no gateway model answers code 0x9999"},
    {"SkipModel", {"run", "10.0.0.2", "--skip", "model"}, 64, "gwtest: --skip model: the station always asks the model and the MAC"},
    {"UnknownModel", {"run", "10.0.0.2", "--model", "GWM0505"}, 64, "gwtest: unknown model 'GWM0505' (expected auto or GWM0101, GWM0202, GWM0303 or GWM0404"},
    {"BadAddress", {"run", "10.0.0.2:66x"}, 64, "gwtest: bad port '66x' in '10.0.0.2:66x': expected 1 to 65535"},
    {"BadIpv6", {"run", "[::g]:6666"}, 64, "gwtest: bad host '::g' in '[::g]:6666': expected HOST, HOST:PORT, [IPv6]:PORT"},
    {"Twice", {"run", "10.0.0.2", "10.0.0.2:6666=B"}, 64, "gwtest: 10.0.0.2:6666 given twice"},
    {"BadOperator", {"run", "10.0.0.2", "--operator", "maybe"}, 64, "--operator"},
    {"NoGateway", {"run"}, 64, "GATEWAY is required"},
    {"RecordsNotWritable", {"run", "10.0.0.2", "--operator", "yes", "--records", "/proc/version/records"}, 70, "/proc/version/records"},
    {"SerialOfNoGateway", {"run", "10.0.0.2=A1", "--operator", "yes", "--serial", "B1=GW00000001"}, 64, "gwtest: --serial B1=GW00000001: no gateway is labelled 'B1' (HOST=LABEL)"},
    {"SerialWithoutLabel", {"run", "10.0.0.2=A1", "--operator", "yes", "--serial", "GW00000001"}, 64, "gwtest: --serial GW00000001: expected LABEL=SN"},
    {"SerialWithABlank", {"run", "10.0.0.2=A1", "--operator", "yes", "--serial", "A1=GW 1"}, 64, "gwtest: --serial A1=GW 1: expected a serial number of printable characters without blanks"},
    {"OperatorIdWithALeadingBlank", {"run", "10.0.0.2=A1", "--operator", "yes", "--operator-id", " op-7"}, 64, "gwtest: --operator-id: an operator id has no blank at either end"},
    {"OperatorIdWithAControl", {"run", "10.0.0.2=A1", "--operator", "yes", "--operator-id", "op\x1b[2J"}, 64, "gwtest: --operator-id: an operator id has no control characters"},
    {"OneSerialTwoGateways", {"run", "10.0.0.2=A1", "10.0.0.3=A2", "--operator", "yes", "--serial", "A1=GW1", "--serial", "A2=GW1"}, 64, "gwtest: --serial A2=GW1: GW1 is given to two gateways"},
    {"ProfileUnreadable", {"run", "10.0.0.2", "--operator", "yes", "--profile", "/nonexistent/line.toml"}, 64, "gwtest: /nonexistent/line.toml: cannot be read"},
    {"ProfileOfThePageUnreadable", {"serve", "10.0.0.2", "--profile", "/nonexistent/line.toml"}, 64, "gwtest: /nonexistent/line.toml: cannot be read"},
};
// clang-format on

class BadCommandLine : public sandbox::SandboxTest, public ::testing::WithParamInterface<BadLine> {};

TEST_P(BadCommandLine, IsRefusedBeforeAnythingRuns)
{
    const BadLine &b = GetParam();
    sandbox::ServiceProcess station;
    ASSERT_TRUE(station.start(GWTEST_BIN, b.args));
    const auto status = station.waitExit(10000);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, b.status) << station.err();
    EXPECT_THAT(station.err(), HasSubstr(b.message));
    EXPECT_EQ(station.out(), "");
}

// A profile with errors stops run and serve before anything starts, every
// error named with its line (also through GWTEST_PROFILE).
TEST_F(RunCommand, BadProfileIsRefusedWithEveryErrorNamed)
{
    const std::string profile = sandbox::scratchDir() + "/line.toml";
    sandbox::writeFile(profile, "[line]\nmac_ranges = [\"02:47:57:00:00:00-02:47\"]\n\n[model.GWM0202]\n"
                                "sysverion = \"2.3.7\"\n");
    const std::string records = sandbox::scratchDir() + "/records";
    for (const std::string &args : {"run 10.0.0.2 --operator yes --records " + records + " --profile " + profile,
                                    "serve 10.0.0.2 --records " + records + " --profile " + profile,
                                    "run 10.0.0.2 --operator yes --records " + records}) {
        const bool viaEnvironment = args.find("--profile") == std::string::npos;
        const sandbox::CommandRun run = sandbox::runCommand(
            (viaEnvironment ? "GWTEST_PROFILE=" + profile + " " : std::string()) + GWTEST_BIN + " " + args,
            sandbox::Stderr::kApart);
        EXPECT_EQ(run.status, 64) << args;
        EXPECT_THAT(run.err, HasSubstr("gwtest: " + profile + ":2: malformed MAC range '02:47:57:00:00:00-02:47'"));
        EXPECT_THAT(run.err, HasSubstr("gwtest: " + profile +
                                       ":5: unknown key 'sysverion' in [model.GWM0202]; "
                                       "allowed: sysversion, zbversion, zwversion, limits"));
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(sandbox::exists(records)) << args;
    }
    // A serial number the line's profile says no label of this line has.
    sandbox::writeFile(profile, "[line]\nserial = \"^GW[0-9]{8}$\"\n");
    const sandbox::CommandRun run = sandbox::runGwtest("run 10.0.0.2=A1 --operator yes --records " + records +
                                                           " --profile " + profile + " --serial A1=GW1234",
                                                       sandbox::Stderr::kApart);
    EXPECT_EQ(run.status, 64);
    EXPECT_THAT(run.err, HasSubstr("gwtest: --serial A1=GW1234: 'GW1234' is not a serial number of this line "
                                   "(^GW[0-9]{8}$, from " +
                                   profile + ")"));
}

INSTANTIATE_TEST_SUITE_P(Lines, BadCommandLine, ::testing::ValuesIn(kBadLines),
                         [](const auto &info) { return std::string(info.param.name); });

void PrintTo(const BadLine &b, std::ostream *os) { *os << b.name; }

} // namespace

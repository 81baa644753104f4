// End to end: gwsim itself. Its command line and scenario files are refused
// with one clear message each; instances started at once all come up and
// all go; a gwsim killed outright leaves an instance the next one takes
// over; the logs stay where gwsim says.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <set>
#include <sstream>

#include "gwsimProcess.h"
#include "sandbox.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

// The service's answer to the model query (0x0005) on a board of the model.
Bytes modelReply(std::string model)
{
    Bytes reply{0x00};
    for (char c : model) {
        reply.push_back(static_cast<uint8_t>(std::tolower(static_cast<unsigned char>(c))));
    }
    reply.insert(reply.end(), {'\n', 0x00});
    return reply;
}

// --- the command line ---------------------------------------------------------

struct CommandLine {
    const char *name;
    std::vector<std::string> args;
    int status;
    const char *message; // the one line on standard error ("" for none)
};

// clang-format off
const CommandLine kCommandLines[] = {
    {"NoModel", {"--mtksdk"}, 64, "gwsim: --model is required (see gwsim --help)"},
    {"UnknownModel", {"--model", "GWM9999"}, 64, "gwsim: unknown model 'GWM9999' (GWM0101, GWM0202, GWM0303 or GWM0404)"},
    {"UnknownArgument", {"--model", "GWM0202", "--verbose"}, 64, "gwsim: unknown argument '--verbose' (see gwsim --help)"},
    {"ModelWithoutValue", {"--model"}, 64, "gwsim: --model needs a value (see gwsim --help)"},
    {"ScenarioWithoutValue", {"--model", "GWM0202", "--scenario"}, 64, "gwsim: --scenario needs a value (see gwsim --help)"},
    {"LogWithoutValue", {"--model", "GWM0202", "--log"}, 64, "gwsim: --log needs a value (see gwsim --help)"},
    {"KeepWithoutValue", {"--model", "GWM0202", "--keep"}, 64, "gwsim: --keep needs a value (see gwsim --help)"},
    {"IdWithoutValue", {"--model", "GWM0202", "--id"}, 64, "gwsim: --id needs a value (see gwsim --help)"},
    {"IdFollowedByOption", {"--model", "GWM0202", "--id", "--mtksdk"}, 64, "gwsim: --id needs a value (see gwsim --help)"},
    {"IdOutOfRange", {"--model", "GWM0202", "--id", "64"}, 64, "gwsim: --id wants 0..63, not '64' (see gwsim --help)"},
    {"IdNotANumber", {"--model", "GWM0202", "--id", "x1"}, 64, "gwsim: --id wants 0..63, not 'x1' (see gwsim --help)"},
    {"ExecWithoutCommand", {"--model", "GWM0202", "--exec"}, 64, "gwsim: --exec needs a command (see gwsim --help)"},
    {"ScenarioUnreadable", {"--model", "GWM0202", "--scenario", "/nonexistent.scenario"}, 64,
     "gwsim: cannot read the scenario file '/nonexistent.scenario'"},
    {"LogUnwritable", {"--model", "GWM0202", "--log", "/proc/nope/x"}, 64,
     "gwsim: cannot write the log file '/proc/nope/x': No such file or directory"},
    {"KeepUnmakeable", {"--model", "GWM0202", "--keep", "/proc/nope"}, 64,
     "gwsim: cannot make the log directory '/proc/nope': No such file or directory"},
    {"ExecMissingFile", {"--model", "GWM0202", "--exec", "/nonexistent"}, 64,
     "gwsim: --exec: cannot run '/nonexistent': no such file"},
    {"ExecNotExecutable", {"--model", "GWM0202", "--exec", "/proc/version"}, 64,
     "gwsim: --exec: cannot run '/proc/version': not an executable file"},
    {"ExecUnknownCommand", {"--model", "GWM0202", "--exec", "no-such-command-here"}, 64,
     "gwsim: --exec: cannot run 'no-such-command-here': no such command"},
    // The board comes up; the service does not.
    {"ExecEndsAtOnce", {"--model", "GWM0202", "--exec", "/bin/false"}, 1,
     "gwsim: the service exited with status 1 before it listened on port 6666 (/bin/false)"},
    // It listens for a second and ends, again and again (the init script
    // starts it again four times, then leaves it stopped): some 10 s.
    {"ServiceEndsAgainAndAgain", {"--model", "GWM0202", "--exec", "bash", "-c", "timeout 1 busybox nc -l -p 6666; exit 3"}, 1,
     "gwsim: the service exited with status 3 and its init script left it stopped"},
    {"Help", {"--help"}, 0, ""},
    {"HelpShort", {"--model", "GWM0202", "-h"}, 0, ""},
};
// clang-format on

class GwsimCommandLine : public sandbox::SandboxTest, public ::testing::WithParamInterface<CommandLine> {};

TEST_P(GwsimCommandLine, OneClearMessageAndItsStatus)
{
    const CommandLine &c = GetParam();
    const sandbox::GwsimRun run = sandbox::runGwsim(c.args);
    ASSERT_TRUE(run.status.has_value()) << "gwsim did not end:\n" << run.out << run.err;
    EXPECT_EQ(*run.status, c.status) << run.out << run.err;
    if (*c.message != '\0') {
        EXPECT_EQ(lines(run.err), std::vector<std::string>{c.message});
    } else {
        // Help: on standard output, the text and nothing of the script.
        EXPECT_EQ(run.err, "");
        EXPECT_THAT(run.out, ::testing::StartsWith("usage: gwsim --model MODEL"));
        for (const char *option : {"--mtksdk", "--scenario", "--log", "--keep", "--id", "--exec", "--help"}) {
            EXPECT_THAT(run.out, HasSubstr(std::string(" ") + option + " ")) << option;
        }
        EXPECT_THAT(run.out, ::testing::Not(HasSubstr("set -")));
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, GwsimCommandLine, ::testing::ValuesIn(kCommandLines),
                         [](const auto &info) { return std::string(info.param.name); });
// clang-format on

void PrintTo(const CommandLine &c, std::ostream *os) { *os << c.name; }

// --- scenario files -------------------------------------------------------------

struct BadScenario {
    const char *name;
    const char *model;
    const char *text;
    std::vector<std::string> messages; // every line on standard error, in order ("F" is the file)
};

// clang-format off
const BadScenario kBadScenarios[] = {
    {"BadValueNamesTheAllowed", "GWM0202", "sim = missing\n", {"gwsim: F:1: bad value 'missing' for sim (ready or absent)"}},
    {"NumberOutOfRange", "GWM0202", "# slow\nmodem.delay_ms = 1000000\n",
     {"gwsim: F:2: bad value '1000000' for modem.delay_ms (milliseconds, 0..999999)"}},
    {"NearestKeySuggested", "GWM0202", "modme = absent\n", {"gwsim: F:1: unknown key 'modme' (did you mean 'modem'?)"}},
    {"NearestKeyOfAShortenedOne", "GWM0202", "usb.appear = 5\n",
     {"gwsim: F:1: unknown key 'usb.appear' (did you mean 'usb.appear_after'?)"}},
    {"NothingNearListsTheKeys", "GWM0202", "frobnicate = 1\n",
     {"gwsim: F:1: unknown key 'frobnicate' (known keys: modem modem.delay_ms modem.port sim sim.ready_after "
      "usb.appear_after button.press_after leds wan.address wan.route upstream.ping dns smartconfig.after netinfo "
      "zwave.list zwave.exclude_after nxp.radio eth0.mac sysversion zbversion zwversion)"}},
    {"MulticastMacIsNoBoardsMac", "GWM0101", "eth0.mac = 03:47:57:00:00:01\n",
     {"gwsim: F:1: bad value '03:47:57:00:00:01' for eth0.mac (auto (02:47:57 and the model and board number) or a "
      "unicast MAC such as 02:47:57:00:00:01)"}},
    {"VersionOfOneWord", "GWM0202", "sysversion = 2.3.7 beta\nzwversion = 7,16\n",
     {"gwsim: F:1: bad value '2.3.7 beta' for sysversion (the system version the gateway reports, up to 32 letters, "
      "digits and . _ + ~)",
      "gwsim: F:2: bad value '7,16' for zwversion (the version it reports, up to 32 letters, digits and . _ + ~ -)",
      "gwsim: F: 2 errors, nothing started"}},
    {"KeysAreCaseSensitive", "GWM0202", "Wan.Route = none\n",
     {"gwsim: F:1: unknown key 'Wan.Route': keys are case-sensitive, did you mean 'wan.route'?"}},
    {"ZwaveListNotJson", "GWM0202", "zwave.list = [\n",
     {"gwsim: F:1: bad value '[' for zwave.list (not JSON text: one JSON value, such as [] or [{\"mac\":...}])"}},
    {"ZwaveListTwoValues", "GWM0202", "zwave.list = [] {}\n",
     {"gwsim: F:1: bad value '[] {}' for zwave.list (not JSON text: one JSON value, such as [] or [{\"mac\":...}])"}},
    {"NoTwoGModem", "GWM0404", "modem.port = ttyS1\n",
     {"gwsim: F:1: modem.port does not apply to GWM0404: only GWM0303 has the 2G modem"}},
    {"NoModemAtAll", "GWM0101", "sim = absent\n",
     {"gwsim: F:1: sim does not apply to GWM0101: only GWM0202, GWM0303, GWM0404 have a cellular modem"}},
    {"NoNxpRadio", "GWM0202", "nxp.radio = silent\n",
     {"gwsim: F:1: nxp.radio does not apply to GWM0202: only GWM0101, GWM0303, GWM0404 have the NXP radio"}},
    {"EveryErrorOfTheFile", "GWM0303", "modem = maybe\n\nsim = missing\nnonsense\nleds = missing\nzwave.exclude_after = 0\n",
     {"gwsim: F:1: bad value 'maybe' for modem (present, absent or silent)",
      "gwsim: F:3: bad value 'missing' for sim (ready or absent)", "gwsim: F:4: expected 'key = value': nonsense",
      "gwsim: F:6: zwave.exclude_after does not apply to GWM0303: only GWM0202 has the Z-Wave tests",
      "gwsim: F: 4 errors, nothing started"}},
};
// clang-format on

class GwsimBadScenario : public sandbox::SandboxTest, public ::testing::WithParamInterface<BadScenario> {};

TEST_P(GwsimBadScenario, EveryErrorNamedAndNothingStarted)
{
    const BadScenario &s = GetParam();
    const std::string file = sandbox::scratchDir() + "/bad.scenario";
    sandbox::writeFile(file, s.text);
    const sandbox::GwsimRun run = sandbox::runGwsim({"--model", s.model, "--scenario", file});
    ASSERT_TRUE(run.status.has_value());
    EXPECT_EQ(*run.status, 64);
    std::vector<std::string> expected;
    for (std::string message : s.messages) {
        for (auto at = message.find("F:"); at != std::string::npos; at = message.find("F:", at + file.size())) {
            message.replace(at, 1, file);
        }
        expected.push_back(message);
    }
    EXPECT_EQ(lines(run.err), expected);
    EXPECT_EQ(run.out, "");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, GwsimBadScenario, ::testing::ValuesIn(kBadScenarios),
                         [](const auto &info) { return std::string(info.param.name); });
// clang-format on

void PrintTo(const BadScenario &s, std::ostream *os) { *os << s.name; }

// --- instances --------------------------------------------------------------------

class GwsimInstances : public sandbox::SandboxTest {
protected:
    // This test's instances alone in /run/gwsim.
    void SetUpSandbox() override { sandbox::privateRunDir(); }

    static std::vector<std::string> runDirEntries()
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator("/run/gwsim")) {
            names.push_back(entry.path().filename());
        }
        return names;
    }
    static std::string gwsimInterfaces()
    {
        const std::string list = sandbox::scratchDir() + "/links";
        EXPECT_EQ(sandbox::sh("ip -o link show > " + list), 0);
        std::string found;
        for (const std::string &line : lines(sandbox::readFile(list))) {
            if (line.find(": gwsim") != std::string::npos) {
                found += line + "\n";
            }
        }
        return found;
    }
};

// Eight at once, five times: every one comes up (and answers the model
// query through the client), each with its own instance, and nothing of
// them is left. From the second round on, stale run directories of killed
// instances are there too, for the eight to take over.
TEST_F(GwsimInstances, EightStartedAtOnceAllComeUpAndAllGo)
{
    const std::array<const char *, 4> models{"GWM0101", "GWM0202", "GWM0303", "GWM0404"};
    for (int round = 0; round < 5; ++round) {
        if (round > 0) {
            for (int n = 0; n < 6; n += 2) {
                // The owner: a pid no process can have.
                sandbox::writeFile("/run/gwsim/" + std::to_string(n) + "/owner", "2147483647 1\n");
            }
        }
        std::array<sandbox::GwsimInstance, 8> sims;
        for (size_t i = 0; i < sims.size(); ++i) {
            ASSERT_TRUE(sims[i].launch(models[i % models.size()])) << sims[i].failure();
        }
        std::set<int> ids;
        for (size_t i = 0; i < sims.size(); ++i) {
            ASSERT_TRUE(sims[i].waitReady(90000))
                << "round " << round << ", instance " << i << ": " << sims[i].failure();
            ids.insert(sims[i].id());
            auto conn = sims[i].connect();
            EXPECT_EQ(sandbox::call(conn, 0x0005, 10000), modelReply(models[i % models.size()]))
                << "round " << round << ", instance " << i;
        }
        EXPECT_EQ(ids.size(), sims.size()) << "round " << round << ": two instances shared an id";
        for (auto &sim : sims) {
            EXPECT_TRUE(sim.stop()) << "round " << round;
        }
        EXPECT_EQ(gwsimInterfaces(), "") << "round " << round;
        EXPECT_EQ(runDirEntries(), std::vector<std::string>{}) << "round " << round;
    }
}

TEST_F(GwsimInstances, InstanceOfAKilledGwsimIsTakenOver)
{
    sandbox::GwsimInstance first;
    ASSERT_TRUE(first.start("GWM0202", "", {"--id", "5"})) << first.failure();
    const sandbox::GwsimRun busy = sandbox::runGwsim({"--model", "GWM0303", "--id", "5"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_EQ(lines(busy.err), std::vector<std::string>{"gwsim: instance 5 is in use by gwsim (pid " +
                                                        std::to_string(first.pid()) + ")"});

    ASSERT_TRUE(first.killOutright());
    ASSERT_TRUE(sandbox::exists("/run/gwsim/5/owner")) << "a gwsim killed outright leaves its run directory";

    sandbox::GwsimInstance second;
    ASSERT_TRUE(second.start("GWM0303", "", {"--id", "5"})) << second.failure();
    EXPECT_EQ(second.id(), 5);
    auto conn = second.connect();
    EXPECT_EQ(sandbox::call(conn, 0x0005, 10000), modelReply("GWM0303"));
    conn.close();
    EXPECT_TRUE(second.stop());
    EXPECT_EQ(runDirEntries(), std::vector<std::string>{});
    EXPECT_EQ(gwsimInterfaces(), "");
}

// The tool log and the service's log outlive the instance, where gwsim said
// they would be: in the directory given with --keep (the service's log in
// the --log file), or by default in /tmp/gwsim-N (a copy of the service's
// output there).
TEST_F(GwsimInstances, LogsStayWhereGwsimSays)
{
    const std::string kept = sandbox::scratchDir() + "/kept";
    sandbox::GwsimInstance named;
    ASSERT_TRUE(named.start("GWM0202", "", {"--keep", kept})) << named.failure();
    EXPECT_EQ(named.toolLogPath(), kept + "/tools.log");
    auto conn = named.connect();
    const Bytes reply = sandbox::call(conn, 0x0203, 30000);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply[0], 0);
    conn.close();
    ASSERT_TRUE(named.stop());
    EXPECT_EQ(named.toolCalls(), std::vector<std::string>{"/usr/bin/smartconfig.sh"});
    EXPECT_THAT(named.output(),
                HasSubstr("gwsim: logs kept: " + kept + "/tools.log, " + named.serviceLogPath() + "\n"));

    setenv("GWSIM_BUILD", GW_BUILD_DIR, 1);
    sandbox::ServiceProcess plain;
    ASSERT_TRUE(plain.start(std::string(GW_SOURCE_DIR) + "/sim/gwsim", {"--model", "GWM0101"}));
    ASSERT_TRUE(plain.waitForOut("gwsim: tool log ", 70000)) << plain.out() << plain.err();
    const std::string out = plain.out();
    const auto at = out.find("gwsim: ready 10.213.");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string dir = "/tmp/gwsim-" + std::to_string(std::stoi(out.substr(at + 20)));
    EXPECT_THAT(out, HasSubstr("gwsim: service log " + dir + "/service.log\ngwsim: tool log " + dir + "/tools.log\n"));
    kill(plain.pid(), SIGTERM);
    ASSERT_TRUE(plain.waitExit(15000).has_value());
    EXPECT_THAT(plain.out(), HasSubstr("gwsim: logs kept: " + dir + "/tools.log, " + dir + "/service.log\n"));
    EXPECT_TRUE(sandbox::exists(dir + "/tools.log"));
    EXPECT_THAT(sandbox::readFile(dir + "/service.log"), HasSubstr("Server Socket created."));
}

} // namespace

// The gateway's init script (packaging/init.d/gwtestd) run by BusyBox ash
// with BusyBox applets only, as on the gateway, in a private pid namespace:
// start, stop, restart and status, the service started again when it dies
// and left stopped when it cannot start, and its log bounded whatever a
// station sends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "pidNamespace.h"
#include "processes.h"
#include "sandbox.h"
#include "serviceProcess.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const std::string kScript = std::string(GW_SOURCE_DIR) + "/packaging/init.d/gwtestd";
const Bytes kModelReply{0x00, 'g', 'w', 'm', '0', '2', '0', '2', '\n', 0x00};

struct ScriptRun {
    int status;
    std::string out; // standard output and error
};

std::string dir() { return sandbox::scratchDir() + "/initd"; }
std::string logPath() { return dir() + "/gwtestd.log"; }
std::string pidPath() { return dir() + "/gwtestd.pid"; }

// Runs the script with the settings a test bench gives it (the service
// built here, the log and pid file in the scratch directory), and `env`
// ("NAME=value ...") on top.
ScriptRun script(const std::string &command, const std::string &env = "")
{
    const std::string out = dir() + "/script.out";
    const int status = sandbox::sh("PATH=" + dir() + "/bin GWTESTD=" + GWTESTD_BIN + " GWTESTD_LOG=" + logPath() +
                                   " GWTESTD_PIDFILE=" + pidPath() + " " + env + " /bin/busybox ash " + kScript + " " +
                                   command + " > " + out + " 2>&1");
    return {status, sandbox::readFile(out)};
}

pid_t supervisorPid()
{
    std::ifstream in(pidPath());
    pid_t pid = -1;
    in >> pid;
    return in ? pid : -1;
}

// The service: the supervisor's child that runs the service's binary.
pid_t servicePid(pid_t supervisor)
{
    const std::string self = std::filesystem::canonical(GWTESTD_BIN);
    std::ifstream children("/proc/" + std::to_string(supervisor) + "/task/" + std::to_string(supervisor) + "/children");
    for (pid_t child = 0; children >> child;) {
        std::error_code error;
        if (std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/exe", error) == self) {
            return child;
        }
    }
    return -1;
}

// A connection to the service once it listens (30 s at most: a loaded
// machine, the supervisor's pause before a restart).
std::optional<station::Connection> connectWhenListening()
{
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        station::Connection conn;
        std::string error;
        if (conn.open("127.0.0.1", 6666, 1000, error)) {
            return conn;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

bool answersModelQuery()
{
    auto conn = connectWhenListening();
    return conn && sandbox::ask(*conn, 0x0005, 5000) == kModelReply;
}

bool portClosed()
{
    station::Connection conn;
    std::string error;
    return !conn.open("127.0.0.1", 6666, 1000, error);
}

// Waits (30 s at most) until the text is in the file.
bool waitForText(const std::string &path, const std::string &text)
{
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (sandbox::readFile(path).find(text) == std::string::npos) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

long fileSize(const std::string &path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long>(size);
}

// Noise a station might send: no 0xFE, so no frame ever starts.
Bytes noise(size_t n)
{
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(i % 0xFE);
    }
    return bytes;
}

class InitScript : public sandbox::SandboxTest {
protected:
    void SetUpSandbox() override
    {
        sandbox::writeFile("/tmp/sysinfo/model", "gwm0202\n");
        sandbox::mkdirs(dir() + "/bin");
        // The gateway's userland: BusyBox applets and nothing else on PATH.
        ASSERT_EQ(sandbox::sh("/bin/busybox --install -s " + dir() + "/bin"), 0);
    }
};

TEST_F(InitScript, StartsStopsAndRestarts)
{
    sandbox::inPrivatePids([] {
        EXPECT_EQ(script("status").status, 3);
        const ScriptRun start = script("start");
        ASSERT_EQ(start.status, 0) << start.out;
        EXPECT_EQ(start.out, "");
        ASSERT_TRUE(answersModelQuery()) << sandbox::readFile(logPath());
        const pid_t first = supervisorPid();
        ASSERT_GT(first, 0);
        const pid_t service = servicePid(first);
        EXPECT_GT(service, 0);

        const ScriptRun again = script("start");
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out, "gwtestd: already running (pid " + std::to_string(first) + ")\n");
        EXPECT_EQ(servicePid(first), service) << "a second start must not start a second service";
        const ScriptRun status = script("status");
        EXPECT_EQ(status.status, 0);
        EXPECT_EQ(status.out, "gwtestd: running (pid " + std::to_string(first) + ")\n");

        const ScriptRun restart = script("restart");
        ASSERT_EQ(restart.status, 0) << restart.out;
        EXPECT_FALSE(sandbox::processRunning(first));
        EXPECT_FALSE(sandbox::processRunning(service));
        EXPECT_NE(supervisorPid(), first);
        EXPECT_TRUE(answersModelQuery());

        const pid_t second = supervisorPid();
        const pid_t secondService = servicePid(second);
        const ScriptRun stop = script("stop");
        EXPECT_EQ(stop.status, 0) << stop.out;
        // Everything is gone when stop returns: the service, its
        // supervisor, the port and the pid file; the log is complete.
        EXPECT_FALSE(sandbox::processRunning(second));
        EXPECT_FALSE(sandbox::processRunning(secondService));
        EXPECT_TRUE(portClosed());
        EXPECT_FALSE(sandbox::exists(pidPath()));
        const std::string log = sandbox::readFile(logPath());
        EXPECT_THAT(log, HasSubstr("Server Socket created."));
        EXPECT_THAT(log, ::testing::EndsWith("gwtestd: stopped\n"));
        // The log of the run before the restart is the older part.
        EXPECT_THAT(sandbox::readFile(logPath() + ".0"), HasSubstr("Send Message CMD:0x0005."));

        const ScriptRun stopAgain = script("stop");
        EXPECT_EQ(stopAgain.status, 0);
        EXPECT_EQ(stopAgain.out, "gwtestd: not running\n");
        EXPECT_EQ(script("status").status, 3);
    });
}

TEST_F(InitScript, KilledServiceIsStartedAgain)
{
    sandbox::inPrivatePids([] {
        ASSERT_EQ(script("start").status, 0);
        ASSERT_TRUE(answersModelQuery());
        const pid_t supervisor = supervisorPid();
        const pid_t first = servicePid(supervisor);
        ASSERT_GT(first, 0);

        ASSERT_EQ(kill(first, SIGKILL), 0);
        ASSERT_TRUE(sandbox::waitUntilStopped(first));
        EXPECT_TRUE(answersModelQuery()) << sandbox::readFile(logPath());
        const pid_t second = servicePid(supervisor);
        EXPECT_GT(second, 0);
        EXPECT_NE(second, first);
        EXPECT_THAT(sandbox::readFile(logPath()),
                    HasSubstr("gwtestd: the service was killed by signal 9; started again in 1 s\n"));
        const ScriptRun status = script("status");
        EXPECT_EQ(status.status, 0);
        EXPECT_EQ(status.out, "gwtestd: running (pid " + std::to_string(supervisor) +
                                  ") (the service was killed by signal 9 last)\n");
        EXPECT_EQ(script("stop").status, 0);
        EXPECT_FALSE(sandbox::processRunning(second));
    });
}

// Real time, some 5 s: a service that cannot listen (its port taken) ends
// at once every time; the fifth such end in a row leaves it stopped.
TEST_F(InitScript, ServiceThatCannotStartIsLeftStopped)
{
    sandbox::inPrivatePids([] {
        const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(6666);
        ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr *>(&any), sizeof any), 0);
        ASSERT_EQ(listen(taken, 1), 0);

        ASSERT_EQ(script("start").status, 0);
        const pid_t supervisor = supervisorPid();
        ASSERT_TRUE(waitForText(logPath(), "not started again"));
        EXPECT_TRUE(sandbox::waitUntilStopped(supervisor));
        const std::string log = sandbox::readFile(logPath());
        size_t restarts = 0;
        for (auto at = log.find("exited with status 1; started again"); at != std::string::npos;
             at = log.find("exited with status 1; started again", at + 1)) {
            ++restarts;
        }
        EXPECT_EQ(restarts, 4U) << log;
        EXPECT_THAT(log, HasSubstr("bind failed. Error"));
        EXPECT_THAT(log, ::testing::EndsWith("gwtestd: the service exited with status 1, 5 times in a row within 10 "
                                             "s of its start: not started again\n"));
        const ScriptRun status = script("status");
        EXPECT_EQ(status.status, 3);
        EXPECT_EQ(status.out, "gwtestd: stopped (the service exited with status 1 last)\n");
        EXPECT_FALSE(sandbox::exists(pidPath()));
        close(taken);
    });
}

// Every byte a station sends becomes a log line of some 40 bytes: 200 KB of
// noise make some 8 MB of log, of which the log keeps the newest part only
// (here rotated at 64 KiB: each file at most that plus one copy step of
// 64 KiB). The service answers all the same, and its newest lines are there.
TEST_F(InitScript, LogStaysWithinItsBound)
{
    sandbox::inPrivatePids([] {
        ASSERT_EQ(script("start", "GWTESTD_LOG_SIZE=65536").status, 0);
        auto conn = connectWhenListening();
        ASSERT_TRUE(conn);
        ASSERT_TRUE(conn->sendBytes(noise(200000)));
        EXPECT_EQ(sandbox::ask(*conn, 0x0005, 60000), kModelReply);
        EXPECT_TRUE(waitForText(logPath(), "Send Message CMD:0x0005."));
        const long bound = 65536 + 65536;
        EXPECT_GT(fileSize(logPath() + ".0"), 0) << "the log was never rotated";
        EXPECT_LE(fileSize(logPath() + ".0"), bound);
        EXPECT_LE(fileSize(logPath()), bound);
        std::vector<std::string> files;
        for (const auto &entry : std::filesystem::directory_iterator(dir())) {
            if (entry.path().filename().string().rfind("gwtestd.log", 0) == 0) {
                files.push_back(entry.path().filename());
            }
        }
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, (std::vector<std::string>{"gwtestd.log", "gwtestd.log.0"}));
        conn->close();
        EXPECT_EQ(script("stop").status, 0);
    });
}

// A log that cannot be written (here: no such directory; on a gateway a
// full /tmp) costs the log, never the service: its output is read and
// dropped, so it never waits for it.
TEST_F(InitScript, UnwritableLogDoesNotStopTheService)
{
    sandbox::inPrivatePids([] {
        ASSERT_EQ(script("start", "GWTESTD_LOG=/nonexistent/gwtestd.log").status, 0);
        auto conn = connectWhenListening();
        ASSERT_TRUE(conn);
        ASSERT_TRUE(conn->sendBytes(noise(100000)));
        EXPECT_EQ(sandbox::ask(*conn, 0x0005, 60000), kModelReply);
        conn->close();
        EXPECT_EQ(script("stop").status, 0);
    });
}

// GWTESTD_LOG=- leaves the output where the script's goes (a simulator's
// own log file): nothing is rotated there.
TEST_F(InitScript, OutputLeftWithTheCaller)
{
    sandbox::inPrivatePids([] {
        const std::string own = dir() + "/own.log";
        ASSERT_EQ(sandbox::sh("PATH=" + dir() + "/bin GWTESTD=" + GWTESTD_BIN + " GWTESTD_LOG=- GWTESTD_PIDFILE=" +
                              pidPath() + " /bin/busybox ash " + kScript + " start >> " + own + " 2>&1"),
                  0);
        EXPECT_TRUE(answersModelQuery());
        EXPECT_TRUE(waitForText(own, "Send Message CMD:0x0005."));
        EXPECT_FALSE(sandbox::exists(logPath()));
        EXPECT_EQ(script("stop", "GWTESTD_LOG=-").status, 0);
        EXPECT_THAT(sandbox::readFile(own), ::testing::EndsWith("gwtestd: stopped\n"));
    });
}

struct Refusal {
    const char *name;
    const char *command;
    const char *env;
    int status;
    const char *out; // "S" stands for the script's path
};

// clang-format off
const Refusal kRefusals[] = {
    {"UnknownCommand", "reload", "", 2, "usage: S start|stop|restart|status\n"},
    {"NoCommand", "", "", 2, "usage: S start|stop|restart|status\n"},
    {"BinaryMissing", "start", "GWTESTD=/nonexistent/gwtestd", 1,
     "gwtestd: cannot run /nonexistent/gwtestd: not an executable file\n"},
    {"BinaryNotExecutable", "start", "GWTESTD=/proc/version", 1,
     "gwtestd: cannot run /proc/version: not an executable file\n"},
    {"CommandUnknown", "start", "GWTESTD=no-such-command", 1, "gwtestd: cannot run no-such-command: no such command\n"},
    {"PidFileUnwritable", "start", "GWTESTD_PIDFILE=/nonexistent/gwtestd.pid", 1,
     "gwtestd: cannot write the pid file /nonexistent/gwtestd.pid\n"},
    {"StopWhenStopped", "stop", "", 0, "gwtestd: not running\n"},
    {"StatusWhenStopped", "status", "", 3, "gwtestd: stopped\n"},
};
// clang-format on

class InitScriptRefuses : public InitScript, public ::testing::WithParamInterface<Refusal> {};

TEST_P(InitScriptRefuses, WithAClearLineAndItsStatus)
{
    sandbox::inPrivatePids([] {
        const Refusal &r = GetParam();
        const ScriptRun run = script(r.command, r.env);
        EXPECT_EQ(run.status, r.status);
        std::string expected = r.out;
        if (const auto at = expected.find("S "); at == 7) {
            expected.replace(at, 1, kScript);
        }
        EXPECT_EQ(run.out, expected);
        EXPECT_FALSE(sandbox::exists(pidPath()));
        // Nothing left running: the port is free.
        usleep(200000);
        EXPECT_TRUE(portClosed());
    });
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, InitScriptRefuses, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });
// clang-format on

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

} // namespace

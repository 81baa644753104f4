// `gwtest serve` as a user meets it on the command line: bad lines refused
// before the page opens, a records directory that cannot be written, a
// taken port; the page answers once it says where it is, and ends on SIGTERM.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <httplib.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "command.h"

namespace {

using ::testing::HasSubstr;

namespace fs = std::filesystem;

std::string quoted(const std::string &arg) { return "'" + arg + "'"; }

// gwtest with these arguments, to its end; standard output and error together.
sandbox::CommandRun gwtest(const std::vector<std::string> &args)
{
    std::string words;
    for (const auto &arg : args) {
        words += ' ';
        words += quoted(arg);
    }
    return sandbox::runGwtest(words);
}

class ServeCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("serve-test-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const std::string &name) const { return (dir / name).string(); }
    fs::path dir;
};

struct BadLine {
    std::vector<std::string> args;
    int status;
    const char *says;
};

TEST_F(ServeCommand, BadCommandLinesAreRefusedBeforeThePageOpens)
{
    std::ofstream(path("slots")) << "10.0.0.2 A1\n10.0.0.3:99999 B1\nbad/host\n";
    std::ofstream(path("file")) << "not a directory\n";
    // clang-format off
    const BadLine cases[] = {
        {{"serve", "--slots", path("slots"), "--records", path("r")}, 64, ":2: bad port '99999'"},
        {{"serve", "--slots", path("slots"), "--records", path("r")}, 64, ":3: bad host 'bad/host'"},
        {{"serve", "--slots", path("missing"), "--records", path("r")}, 64, "cannot read the slots file"},
        {{"serve", "10.0.0.2=", "--records", path("r")}, 64, "bad label"},
        {{"serve", "300.1.1.1=A1", "--records", path("r")}, 64, "bad host '300.1.1.1'"},
        {{"serve", "--only", "mac,nosuch", "--records", path("r")}, 64, "unknown test 'nosuch'"},
        {{"serve", "--model", "GWM9999", "--records", path("r")}, 64, "unknown model 'GWM9999'"},
        {{"serve", "--skip", "mac", "--records", path("r")}, 64, "--skip mac: the station always asks the model and the MAC"},
        {{"serve", "--listen", "127.0.0.1:http", "--records", path("r")}, 64, "--listen: bad port"},
        {{"serve", "--gang", "maybe", "--records", path("r")}, 64, "--gang: maybe not in {on,off}"},
        {{"serve", "--gang-wait", "0", "--records", path("r")}, 64, "--gang-wait: Value 0 not in range 1 to 3600"},
        {{"serve", "--gang-wait", "3601", "--records", path("r")}, 64, "--gang-wait: Value 3601 not in range"},
        {{"serve", "--records", path("file") + "/records"}, 70, "records"},
    };
    // clang-format on
    for (const auto &c : cases) {
        const sandbox::CommandRun run = gwtest(c.args);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_THAT(run.out, HasSubstr(c.says));
        EXPECT_THAT(run.out, ::testing::Not(HasSubstr("the station page is at")));
    }
    EXPECT_THAT(gwtest({"serve", "--help"}).out, HasSubstr("--token"));
}

TEST_F(ServeCommand, ThePageAnswersWhereItSaysAndEndsOnSigterm)
{
    const std::string out = path("serve.out");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        freopen(out.c_str(), "w", stdout);
        dup2(fileno(stdout), 2);
        execl(GWTEST_BIN, GWTEST_BIN, "serve", "--listen", "127.0.0.1:0", "--records", path("records").c_str(),
              "--gang", "off", "--gang-wait", "5", "10.0.0.2=A1", "[::1]:7000", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::smatch url;
    std::string text;
    const std::regex pattern(R"(the station page is at http://127\.0\.0\.1:(\d+)/ \(2 gateways)");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::regex_search(text, url, pattern) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::ifstream in(out);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_TRUE(std::regex_search(text, url, pattern)) << text;
    httplib::Client client("127.0.0.1", std::stoi(url[1]));
    auto res = client.Get("/api/slots");
    ASSERT_TRUE(res);
    EXPECT_THAT(res->body, HasSubstr("\"label\":\"A1\""));
    EXPECT_THAT(res->body, HasSubstr("\"address\":\"[::1]:7000\""));

    // The same port again: taken, a clear error.
    const sandbox::CommandRun taken =
        gwtest({"serve", "--listen", "127.0.0.1:" + std::string(url[1]), "--records", path("records")});
    EXPECT_EQ(taken.status, 70);
    EXPECT_THAT(taken.out, HasSubstr("cannot listen on 127.0.0.1:"));

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::ifstream in(out);
    text.assign(std::istreambuf_iterator<char>(in), {});
    EXPECT_THAT(text, HasSubstr("the station page has stopped"));
}

} // namespace

// Starting a gwsim instance and reading what it recorded.
#include "gwsimProcess.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "sandbox.h"
#include "tools.h"

namespace sandbox {

namespace {

std::string afterPrefix(const std::string &text, const std::string &prefix)
{
    const auto at = text.find(prefix);
    if (at == std::string::npos) {
        return "";
    }
    const auto start = at + prefix.size();
    const auto end = text.find_first_of(" \n", start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// gwsim's arguments as the test gave them, plus `--exec CMD ARGS...` from
// GWTEST_GWSIM_EXEC (words split at blanks) when that is set, so that a whole
// suite runs another build of the service, e.g. the gateway's binary under
// qemu-user. A test that gives its own --exec keeps it.
std::vector<std::string> withExec(std::vector<std::string> args)
{
    const char *exec = std::getenv("GWTEST_GWSIM_EXEC");
    if (exec == nullptr || std::find(args.begin(), args.end(), "--exec") != args.end()) {
        return args;
    }
    std::istringstream words(exec);
    std::vector<std::string> command;
    for (std::string word; words >> word;) {
        command.push_back(word);
    }
    if (!command.empty()) {
        args.push_back("--exec");
        args.insert(args.end(), command.begin(), command.end());
    }
    return args;
}

} // namespace

bool GwsimInstance::start(const std::string &model, const std::string &scenario, const std::vector<std::string> &args,
                          int timeoutMs)
{
    return launch(model, scenario, args) && waitReady(timeoutMs);
}

bool GwsimInstance::launch(const std::string &model, const std::string &scenario, const std::vector<std::string> &args)
{
    address_.clear();
    toolLog_.clear();
    failure_.clear();
    static int serial = 0;
    const std::string base = scratchDir() + "/gwsim-" + std::to_string(++serial);
    // The service's whole output in a log of the test's own, unless the
    // test wants gwsim's default (the gateway's bounded log): the path gwsim
    // prints then.
    serviceLog_.clear();
    std::vector<std::string> argv{"--model", model};
    if (std::find(args.begin(), args.end(), "--log") == args.end()) {
        serviceLog_ = base + ".service.log";
        argv.insert(argv.end(), {"--log", serviceLog_});
    }
    if (!scenario.empty()) {
        writeFile(base + ".scenario", scenario);
        argv.insert(argv.end(), {"--scenario", base + ".scenario"});
    }
    argv.insert(argv.end(), args.begin(), args.end());
    setenv("GWSIM_BUILD", GW_BUILD_DIR, 1);
    if (!process_.start(std::string(GW_SOURCE_DIR) + "/sim/gwsim", withExec(argv))) {
        failure_ = "cannot start gwsim";
        return false;
    }
    return true;
}

bool GwsimInstance::waitReady(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string out = process_.out();
        if (out.find("gwsim: tool log ") != std::string::npos) {
            const std::string hostPort = afterPrefix(out, "gwsim: ready ");
            address_ = hostPort.substr(0, hostPort.find(':'));
            toolLog_ = afterPrefix(out, "gwsim: tool log ");
            serviceLog_ = afterPrefix(out, "gwsim: service log ");
            return !address_.empty();
        }
        if (!process_.running()) {
            failure_ = "gwsim ended: " + output();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    failure_ = "gwsim not ready in time: " + output();
    return false;
}

station::Connection GwsimInstance::connect(int timeoutMs) const
{
    station::Connection conn;
    std::string error;
    EXPECT_TRUE(conn.open(address_, 6666, timeoutMs, error)) << error;
    return conn;
}

int GwsimInstance::id() const
{
    int a = 0;
    int b = 0;
    int n = -1;
    return std::sscanf(address_.c_str(), "%d.%d.%d.2", &a, &b, &n) == 3 ? n : -1;
}

std::string GwsimInstance::serviceLog() const { return readFile(serviceLog_); }

std::vector<std::string> GwsimInstance::toolCalls() const { return toolCallsIn(toolLog_); }

bool GwsimInstance::stop()
{
    if (process_.pid() <= 0) {
        return true;
    }
    kill(process_.pid(), SIGTERM);
    const auto status = process_.waitExit(15000);
    process_.stop();
    return status.has_value();
}

bool GwsimInstance::killOutright()
{
    if (process_.pid() <= 0) {
        return true;
    }
    kill(process_.pid(), SIGKILL);
    return process_.waitExit(15000).has_value();
}

GwsimRun runGwsim(const std::vector<std::string> &args, int timeoutMs)
{
    setenv("GWSIM_BUILD", GW_BUILD_DIR, 1);
    ServiceProcess process;
    GwsimRun run;
    if (!process.start(std::string(GW_SOURCE_DIR) + "/sim/gwsim", withExec(args))) {
        ADD_FAILURE() << "cannot start gwsim";
        return run;
    }
    run.status = process.waitExit(timeoutMs);
    run.out = process.out();
    run.err = process.err();
    process.stop();
    return run;
}

void privateRunDir() { mountTmpfs("/run/gwsim"); }

std::vector<uint8_t> call(station::Connection &conn, uint16_t code, int timeoutMs)
{
    return ask(conn, code, timeoutMs).value_or(std::vector<uint8_t>{});
}

} // namespace sandbox

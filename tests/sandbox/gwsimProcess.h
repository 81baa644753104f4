// A gwsim instance started by a test (inside the test's own sandbox, so
// instances of parallel tests never meet), and the station's view of it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "serviceProcess.h"
#include "wire/connection.h"

namespace sandbox {

class GwsimInstance {
public:
    GwsimInstance() = default;
    ~GwsimInstance() { stop(); }
    GwsimInstance(const GwsimInstance &) = delete;
    GwsimInstance &operator=(const GwsimInstance &) = delete;

    // Starts `gwsim --model <model> [args...]` with the scenario text (if
    // any) and waits until it reports ready; false with the reason in
    // failure(). The service's whole output goes to a log of the test's
    // own, unless args hold their own --log (`--log -`: the gateway's own
    // bounded log, where gwsim says). With GWTEST_GWSIM_EXEC="CMD ARGS..."
    // set, gwsim runs that command as the service (`--exec`), unless args
    // hold their own --exec; runGwsim() does the same.
    bool start(const std::string &model, const std::string &scenario = "", const std::vector<std::string> &args = {},
               int timeoutMs = 70000);
    // The same in two steps, so that several instances start at once:
    // launch() starts gwsim, waitReady() waits for its ready report.
    bool launch(const std::string &model, const std::string &scenario = "", const std::vector<std::string> &args = {});
    bool waitReady(int timeoutMs = 70000);
    std::string failure() const { return failure_; }

    const std::string &address() const { return address_; }
    // The instance number N of its address 10.213.N.2 (-1 before ready).
    int id() const;
    const std::string &toolLogPath() const { return toolLog_; }
    const std::string &serviceLogPath() const { return serviceLog_; }
    // gwsim's own process.
    pid_t pid() const { return process_.pid(); }
    station::Connection connect(int timeoutMs = 5000) const;

    // The service's log and the stand-in tools' command lines so far.
    std::string serviceLog() const;
    std::vector<std::string> toolCalls() const;
    // gwsim's own output.
    std::string output() const { return process_.out() + process_.err(); }

    // Ends the instance (SIGTERM) and waits for it; true when it ended.
    bool stop();
    // Kills gwsim itself outright (SIGKILL), as a crash or `kill -9` would,
    // and waits for it; true when it ended.
    bool killOutright();

private:
    ServiceProcess process_;
    std::string address_;
    std::string toolLog_;
    std::string serviceLog_;
    std::string failure_;
};

// Sends one request and waits for its reply (the longest test takes about
// 75 s); the reply's payload, or empty when none came.
std::vector<uint8_t> call(station::Connection &conn, uint16_t code, int timeoutMs = 100000);

// A run of gwsim that is expected to end by itself (a refused command line,
// a board that does not come up): its exit status (empty when it did not end
// in time) and its output.
struct GwsimRun {
    std::optional<int> status;
    std::string out;
    std::string err;
};
GwsimRun runGwsim(const std::vector<std::string> &args, int timeoutMs = 90000);

// A private /run/gwsim for this test's instances only, so that what they
// leave there is theirs.
void privateRunDir();

} // namespace sandbox

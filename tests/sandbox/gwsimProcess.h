// A gwsim instance started by a test (inside the test's own sandbox, so
// instances of parallel tests never meet), and the station's view of it.
#pragma once

#include <string>
#include <vector>

#include "serviceProcess.h"
#include "station.h"

namespace sandbox {

class GwsimInstance {
public:
    GwsimInstance() = default;
    ~GwsimInstance() { stop(); }
    GwsimInstance(const GwsimInstance &) = delete;
    GwsimInstance &operator=(const GwsimInstance &) = delete;

    // Starts `gwsim --model <model> [args...]` with the scenario text (if
    // any) and waits until it reports ready; false with the reason in
    // failure().
    bool start(const std::string &model, const std::string &scenario = "", const std::vector<std::string> &args = {},
               int timeoutMs = 30000);
    std::string failure() const { return failure_; }

    const std::string &address() const { return address_; }
    station::Connection connect(int timeoutMs = 5000) const;

    // The service's log and the stand-in tools' command lines so far.
    std::string serviceLog() const;
    std::vector<std::string> toolCalls() const;
    // gwsim's own output.
    std::string output() const { return process_.out() + process_.err(); }

    // Ends the instance (SIGTERM) and waits for it; true when it ended.
    bool stop();

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

} // namespace sandbox

// Synthetic event sequences for the station's event sinks: what the engine
// would send for a batch of gateways, with a clock the test sets, so that a
// sink (the records, a front end) is tested without gateways or sockets.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/events.h"

namespace sandbox {

struct TestStep {
    uint16_t code = 0;
    station::Outcome outcome = station::Outcome::kPass;
    int durationMs = 10;
    int attempt = 1;
    std::vector<uint8_t> data{};
    std::string decoded{};
    std::optional<station::OperatorAnswer> answer{};
    std::string gang{}; // on both events of an operator test run as a gang step
    // What the line's profile judged: its limits applied, a pass inside the
    // marginal band, and (failed by a limit) the limit broken.
    std::string limit{};
    bool marginal = false;
    std::string message{};
};

// What the runs are traced to, on kBatchStarted and kRunStarted.
struct Trace {
    std::string profilePath{};
    std::string profileHash{};
    std::string stationVersion{};
    std::string operatorId{};
};

class EventScript {
public:
    // Times start at `startMs` (milliseconds since the epoch, UTC).
    EventScript(station::EventSink &sink, std::string station, int64_t startMs);

    void advance(int64_t ms) { now_ += ms; }
    int64_t now() const { return now_; }

    // A batch: "<station>-<time>", or the id given.
    std::string startBatch(int gateways, const std::string &id = "");
    void finishBatch();

    // A gateway's run in the current batch; its run id is "<batch>-<slot>".
    std::string startRun(int slot, const std::string &host, const std::string &label = "");
    void planKnown(int slot, const std::string &model, const std::vector<uint16_t> &plan);
    // From now on, the slot's events carry this MAC.
    void learnMac(int slot, const std::string &mac);
    // From now on, batches and runs started are traced to this.
    void traceWith(const Trace &trace) { trace_ = trace; }
    // The unit's serial number from now on, on the slot's kRunStarted (set
    // before it: given on the command line) and kRunFinished (scanned).
    void serial(int slot, const std::string &serial) { serials_[slot] = serial; }
    // TestStarted, the test's duration, TestFinished. Name, title and (on
    // anything but a pass) hint come from the catalogue.
    void test(int slot, const TestStep &step);
    void finishRun(int slot, station::RunOutcome outcome, const std::string &message = "");

    std::string batchId() const { return batch_; }
    std::string runId(int slot) const;
    const station::GatewayInfo &gateway(int slot) { return gateways_[slot]; }

private:
    station::Event event(station::EventKind kind, int slot);

    station::EventSink &sink_;
    std::string station_;
    int64_t now_;
    std::string batch_;
    std::map<int, station::GatewayInfo> gateways_;
    Trace trace_;
    std::map<int, std::string> serials_;
};

} // namespace sandbox

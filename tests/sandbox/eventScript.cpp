// Synthetic event sequences for the station's event sinks.
#include "eventScript.h"

#include <ctime>

#include "catalogue.h"

namespace sandbox {

EventScript::EventScript(station::EventSink &sink, std::string station, int64_t startMs)
    : sink_(sink), station_(std::move(station)), now_(startMs)
{
}

station::Event EventScript::event(station::EventKind kind, int slot)
{
    station::Event e;
    e.kind = kind;
    e.station = station_;
    e.batchId = batch_;
    e.unixMs = now_;
    if (slot >= 0) {
        e.runId = runId(slot);
        e.gateway = gateways_[slot];
    }
    if (kind == station::EventKind::kBatchStarted || kind == station::EventKind::kRunStarted) {
        e.profilePath = trace_.profilePath;
        e.profileHash = trace_.profileHash;
        e.stationVersion = trace_.stationVersion;
        e.operatorId = trace_.operatorId;
    }
    if (kind == station::EventKind::kRunStarted || kind == station::EventKind::kRunFinished) {
        e.serial = serials_[slot];
    }
    return e;
}

std::string EventScript::runId(int slot) const { return batch_ + "-" + std::to_string(slot); }

std::string EventScript::startBatch(int gateways, const std::string &id)
{
    if (id.empty()) {
        time_t secs = static_cast<time_t>(now_ / 1000);
        std::tm tm{};
        gmtime_r(&secs, &tm);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
        batch_ = station_ + "-" + stamp;
    } else {
        batch_ = id;
    }
    gateways_.clear();
    serials_.clear();
    station::Event e = event(station::EventKind::kBatchStarted, -1);
    e.total = gateways;
    sink_.onEvent(e);
    return batch_;
}

void EventScript::finishBatch() { sink_.onEvent(event(station::EventKind::kBatchFinished, -1)); }

std::string EventScript::startRun(int slot, const std::string &host, const std::string &label)
{
    station::GatewayInfo &g = gateways_[slot];
    g.slot = slot;
    g.host = host;
    g.label = label;
    sink_.onEvent(event(station::EventKind::kRunStarted, slot));
    return runId(slot);
}

void EventScript::planKnown(int slot, const std::string &model, const std::vector<uint16_t> &plan)
{
    gateways_[slot].model = model;
    station::Event e = event(station::EventKind::kPlanKnown, slot);
    e.plan = plan;
    e.total = static_cast<int>(plan.size());
    sink_.onEvent(e);
}

void EventScript::learnMac(int slot, const std::string &mac) { gateways_[slot].mac = mac; }

void EventScript::test(int slot, const TestStep &step)
{
    const catalogue::Test *row = catalogue::findAny(step.code);
    station::Event e = event(station::EventKind::kTestStarted, slot);
    e.code = step.code;
    e.attempt = step.attempt;
    if (row != nullptr) {
        e.name = row->name;
        e.title = row->title;
        e.expectedMs = static_cast<int>(row->longestMs);
    }
    e.gang = step.gang;
    const bool ran = step.outcome != station::Outcome::kSkipped && step.outcome != station::Outcome::kNotRun;
    if (ran) {
        sink_.onEvent(e);
        now_ += step.durationMs;
    }
    e.kind = station::EventKind::kTestFinished;
    e.unixMs = now_;
    e.outcome = step.outcome;
    e.durationMs = ran ? step.durationMs : 0;
    e.data = step.data;
    e.decoded = step.decoded;
    e.answer = step.answer;
    e.limit = step.limit;
    e.marginal = step.marginal;
    e.message = step.message;
    if (row != nullptr && step.outcome != station::Outcome::kPass) {
        e.hint = row->hint;
    }
    sink_.onEvent(e);
}

void EventScript::finishRun(int slot, station::RunOutcome outcome, const std::string &message)
{
    station::Event e = event(station::EventKind::kRunFinished, slot);
    e.runOutcome = outcome;
    e.message = message;
    sink_.onEvent(e);
}

} // namespace sandbox

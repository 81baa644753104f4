// The runs and batches in progress as the records know them (see book.h).
#include "records/book.h"

#include "records/text.h"

namespace station::records {

namespace {

std::string testKey(const Event &e)
{
    return e.runId + "\n" + std::to_string(e.code) + "\n" + std::to_string(e.attempt);
}

} // namespace

RecordsUpdate RunBook::update(const Event &e)
{
    RecordsUpdate u;
    switch (e.kind) {
    case EventKind::kBatchStarted:
        batch(e);
        break;
    case EventKind::kRunStarted:
        run(e, u);
        updateSerial(e, u);
        break;
    case EventKind::kPlanKnown:
        run(e, u).plan = e.plan;
        updateGateway(e, u);
        updateSerial(e, u);
        break;
    case EventKind::kTestStarted:
        run(e, u);
        testStarted_[testKey(e)] = e.unixMs;
        break;
    case EventKind::kTestFinished:
        testFinished(e, u);
        break;
    case EventKind::kRunFinished: {
        RunState &r = run(e, u);
        updateGateway(e, u);
        updateSerial(e, u);
        r.finished = true;
        r.outcome = std::string(runOutcomeName(e.runOutcome));
        r.message = cleanUtf8(e.message);
        r.finishedMs = e.unixMs;
        u.runFinished = true;
        break;
    }
    case EventKind::kBatchFinished:
        if (auto it = batches_.find(e.batchId); it != batches_.end()) {
            u.batch = &it->second;
        }
        break;
    case EventKind::kPromptNeeded:
    case EventKind::kPromptAnswered:
    case EventKind::kConnectionLost:
    case EventKind::kNotice:
        if (!e.runId.empty()) {
            updateGateway(e, u);
        }
        break;
    }
    return u;
}

void RunBook::forget(const std::string &batchId)
{
    auto it = batches_.find(batchId);
    if (it == batches_.end()) {
        return;
    }
    for (const std::string &id : it->second.runs) {
        runs_.erase(id);
        // Tests that started and never finished (the run was cut short).
        for (auto t = testStarted_.lower_bound(id + "\n");
             t != testStarted_.end() && t->first.starts_with(id + "\n");) {
            t = testStarted_.erase(t);
        }
    }
    batches_.erase(it);
}

const RunState *RunBook::find(const std::string &engineRunId) const
{
    auto it = runs_.find(engineRunId);
    return it != runs_.end() ? &it->second : nullptr;
}

BatchState &RunBook::batch(const Event &e)
{
    auto it = batches_.find(e.batchId);
    if (it == batches_.end()) {
        it = batches_.emplace(e.batchId, BatchState{}).first;
        it->second.id = e.batchId;
        it->second.station = e.station;
        it->second.startedMs = e.unixMs;
    }
    return it->second;
}

// The run of an event; its row is written when it is first seen, at
// RunStarted or, if that never came, at its first other event.
RunState &RunBook::run(const Event &e, RecordsUpdate &u)
{
    auto it = runs_.find(e.runId);
    if (it != runs_.end()) {
        u.run = &it->second;
        return it->second;
    }
    RunState &r = runs_[e.runId];
    r.id = e.runId;
    r.batch = e.batchId;
    r.station = cleanUtf8(e.station);
    r.gateway = e.gateway;
    r.gateway.mac = e.gateway.mac.empty() ? "" : macOf(e.gateway.mac);
    r.gateway.model = cleanUtf8(e.gateway.model);
    r.startedMs = e.unixMs;
    r.started = recordTime(e.unixMs);
    // The trace comes with kRunStarted; a run first seen at another event
    // has none (its serial may still come with its end).
    r.trace.serial = cleanUtf8(e.serial);
    r.trace.operatorId = cleanUtf8(e.operatorId);
    r.trace.profileHash = cleanUtf8(e.profileHash);
    r.trace.profilePath = cleanUtf8(e.profilePath);
    r.trace.stationVersion = cleanUtf8(e.stationVersion);
    batch(e).runs.push_back(e.runId);
    u.run = &r;
    u.runIsNew = true;
    return r;
}

// Model and MAC as they become known (the model query comes first).
void RunBook::updateGateway(const Event &e, RecordsUpdate &u)
{
    RunState &r = run(e, u);
    std::string mac = e.gateway.mac.empty() ? r.gateway.mac : macOf(e.gateway.mac);
    std::string model = e.gateway.model.empty() ? r.gateway.model : cleanUtf8(e.gateway.model);
    if (mac == r.gateway.mac && model == r.gateway.model) {
        return;
    }
    u.gatewayChanged = true;
    u.macLearnt = u.macLearnt || mac != r.gateway.mac;
    r.gateway.mac = mac;
    r.gateway.model = model;
}

// The serial number, when an event of the run tells it (kRunStarted when it
// was given before the run, kRunFinished at the latest when it was scanned
// during it; any event of the run between that carries it is taken too). An
// event without one never takes a known one away.
void RunBook::updateSerial(const Event &e, RecordsUpdate &u)
{
    RunState &r = run(e, u);
    const std::string serial = cleanUtf8(e.serial);
    if (serial.empty() || serial == r.trace.serial) {
        return;
    }
    r.trace.serial = serial;
    u.serialLearnt = true;
}

void RunBook::testFinished(const Event &e, RecordsUpdate &u)
{
    RunState &r = run(e, u);
    updateGateway(e, u);
    updateSerial(e, u);
    ResultRec rec;
    rec.code = e.code;
    rec.name = cleanUtf8(e.name);
    rec.title = cleanUtf8(e.title);
    rec.attempt = e.attempt;
    rec.outcome = std::string(outcomeName(e.outcome));
    rec.decoded = cleanUtf8(e.decoded);
    rec.hint = cleanUtf8(e.hint);
    rec.durationMs = e.durationMs;
    if (e.answer && !e.answer->answer.empty()) {
        rec.answer = OperatorAnswer{cleanUtf8(e.answer->answer), e.answer->ms};
    }
    int64_t startedMs = e.unixMs > 0 ? e.unixMs - e.durationMs : 0;
    if (auto it = testStarted_.find(testKey(e)); it != testStarted_.end()) {
        startedMs = it->second;
        testStarted_.erase(it);
    }
    rec.started = recordTime(startedMs);
    rec.dataHex = hexCompact(e.data);
    rec.station = cleanUtf8(e.station);
    rec.gang = cleanUtf8(e.gang);
    rec.limit = cleanUtf8(e.limit);
    rec.marginal = e.marginal;
    rec.message = cleanUtf8(e.message);
    r.results.push_back(std::move(rec));
    u.result = &r.results.back();
}

} // namespace station::records

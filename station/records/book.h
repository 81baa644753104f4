// What the records know of the runs and batches in progress, built from the
// engine's events once for all three writers: the stored run id, the
// gateway's model and MAC as they become known, and the results so far (the
// JUnit file is written from them at the batch's end).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/events.h"

namespace station::records {

// One result as recorded: the event's text cleaned to UTF-8.
struct ResultRec {
    int code = 0;
    std::string name;
    std::string title;
    int attempt = 1;
    std::string outcome;
    std::string decoded;
    std::string hint;
    int durationMs = 0;
    std::optional<OperatorAnswer> answer;
    std::string station;
    std::string started; // ISO
    std::string dataHex;
    std::string gang;  // "" when the test ran alone
    std::string limit; // the profile's limits applied, "" when none
    bool marginal = false;
    std::string message; // what the result byte cannot say (the broken limit among them); not in records.db
};

// What a run is traced to (records/rows.h RunRow), as recorded.
struct RunTrace {
    std::string serial; // "" until known: it may come only with the run's end
    std::string operatorId;
    std::string profileHash;
    std::string profilePath;
    std::string stationVersion;
};

struct RunState {
    std::string id; // as stored: the engine's run id, unless another station already used it
    std::string batch;
    std::string station; // as the run's first event said it, cleaned
    GatewayInfo gateway; // model and MAC as last stored
    RunTrace trace;
    std::string started;
    int64_t startedMs = 0;
    std::vector<uint16_t> plan;
    std::vector<ResultRec> results;
    bool finished = false;
    std::string outcome;
    std::string message;
    int64_t finishedMs = 0;
};

struct BatchState {
    std::string id;
    std::string station;
    int64_t startedMs = 0;
    std::vector<std::string> runs; // engine run ids, in order of their start
};

// What one event changed, in the order the writers record it.
struct RecordsUpdate {
    RunState *run = nullptr;           // the event's run, if it has one
    bool runIsNew = false;             // first seen: its row is written
    bool gatewayChanged = false;       // the model or the MAC became known
    bool macLearnt = false;            //   the MAC among them
    bool serialLearnt = false;         // the unit's serial number became known (or changed)
    const ResultRec *result = nullptr; // a test finished
    bool runFinished = false;          // the run ended
    const BatchState *batch = nullptr; // the batch ended: valid until forget()
};

class RunBook {
public:
    // Takes in one event; what it changed.
    RecordsUpdate update(const Event &e);
    // Drops a finished batch and its runs (after the writers saw its end).
    void forget(const std::string &batchId);

    const std::map<std::string, BatchState> &batches() const { return batches_; }
    const RunState *find(const std::string &engineRunId) const;

private:
    BatchState &batch(const Event &e);
    RunState &run(const Event &e, RecordsUpdate &u);
    void updateGateway(const Event &e, RecordsUpdate &u);
    void updateSerial(const Event &e, RecordsUpdate &u);
    void testFinished(const Event &e, RecordsUpdate &u);

    std::map<std::string, BatchState> batches_;
    std::map<std::string, RunState> runs_; // by the engine's run id
    std::map<std::string, int64_t> testStarted_;
};

} // namespace station::records

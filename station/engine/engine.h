// The station engine: runs a model's plan on each gateway in its own
// connection, all gateways at once, and reports everything as events.
// Tests that need the one operator run as gang steps: the gateways that
// reach the same operator test together are asked about in one question.
// The person is one (OperatorDesk), shared by every engine of the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/events.h"
#include "profile/profile.h"
#include "wire/input.h"

namespace station {

enum class OperatorMode : uint8_t {
    kAsk,        // a front end (terminal, page) asks the person and calls OperatorDesk::answer
    kYes,        // every question answered yes at once ("auto-yes")
    kUnattended, // nobody asked; recorded as "unattended"
};

// A batch is named by its station and the UTC second it starts:
// "<station>-<yyyymmddThhmmssZ>" ("station" when no station id is given).
std::string batchName(const std::string &station, int64_t unixSecond);

// Whether a unit that passed is the one unit of its MAC and serial number,
// asked of the records by the front end (the engine keeps none).
struct UnitCheck {
    enum class Verdict : uint8_t {
        kUnique,        // no other unit of this MAC or serial is known
        kDuplicate,     // another is: `message` names it, its station and date
        kUncheckedLine, // unique in the station's records; the line's database could not be asked
    };
    Verdict verdict = Verdict::kUnique;
    std::string message; // "" when unique
};

struct RunOptions {
    std::string model = "auto"; // "auto" asks the model query first, else a model of the catalogue
    std::vector<uint16_t> only; // empty: the whole plan
    std::vector<uint16_t> skip;
    // The MAC is asked on every run, chosen or not: it names the unit in the
    // records and to the person. False for a command that sends only the
    // tests it was given (gwtest call).
    bool alwaysMac = true;
    int retries = 0; // extra attempts of a failed or silent test
    OperatorMode op = OperatorMode::kAsk;
    std::string station; // station id written into every record
    // The batch's name; empty: batchName(station, the second run() begins).
    // A front end that starts several batches names each when it starts it.
    std::string batchId;
    int connectTimeoutMs = 5000;
    int marginMs = 5000; // added to each test's catalogue duration
    // When above 0, every test waits this long for its reply instead
    // (gwtest call --timeout).
    int timeoutMs = 0;
    // No reply to the first query of a connection within this long: a
    // notice that the gateway may be busy with another station (its one
    // connection taken; ours waits in its backlog).
    int busyNoticeMs = 3000;
    // After a dropped connection: how long to keep trying to connect again
    // before the rest of the plan is given up.
    int reconnectMs = 5000;
    // The service closes a connection idle for 60 s. One idle for longer
    // than this (a gateway held at the operator's desk) is opened anew,
    // quietly, before the next test is sent.
    int idleReconnectMs = 45000;
    // Operator tests as gang steps (see Event::gang); false: one gateway
    // at a time holds the desk for its whole block of operator tests.
    bool gangs = true;
    // A gang starts when every gateway of the batch that may still reach
    // the test has arrived, or when its first has waited this long.
    int gangWaitMs = 20000;
    // The line's profile: a passed reply whose data or duration lies outside
    // its limits fails. Null: the result byte alone decides.
    std::shared_ptr<const Profile> profile;
    // Traced with every run (kBatchStarted, kRunStarted): the station
    // software's version and the id of the person at the station.
    std::string stationVersion;
    std::string operatorId;
    // Asked at the end of a run whose every test passed, with the unit's MAC
    // and its serial number (both known). Empty: no check. Called from the
    // gateway's thread; it may take a while (a database).
    std::function<UnitCheck(const std::string &mac, const std::string &serial)> checkUnit;
};

// The one person at the station. Shared by every engine of the process (the
// web page starts engines per slot; the operator is still one).
class OperatorDesk {
public:
    OperatorDesk();
    ~OperatorDesk();
    OperatorDesk(const OperatorDesk &) = delete;
    OperatorDesk &operator=(const OperatorDesk &) = delete;

    // Answers the open prompt of that id, yes or no for all it asks about;
    // false when it is not open.
    bool answer(uint64_t promptId, bool yes);
    // A gang's answer: no for the members of these slots, yes for the rest.
    // False when the prompt is not open or a slot is not one of its members.
    bool answer(uint64_t promptId, const std::vector<int> &noSlots);

    // The engine's side (engine.cpp).
    struct Impl;
    Impl &impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

struct RunSummary {
    int exitStatus = 0; // the worst outcome: 0 pass, 1 fail, 2 no reply, 3 connection
    bool stopped = false;
};

class Engine {
public:
    Engine(RunOptions options, OperatorDesk &desk);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;
    void subscribe(EventSink *sink);
    // Runs every target's plan concurrently; returns when all have finished
    // or stop() was called. An engine runs one batch: start another engine
    // for the next. Every run ends with kRunFinished, every test of
    // its plan that did not run with a kTestFinished of kNotRun.
    RunSummary run(const std::vector<Target> &targets);
    // From another thread (signal watcher, web page): tests in flight end,
    // the summary still comes.
    void stop();

    // The plan of a model (its catalogue rows in run order: the model query
    // first, then identity, network, radios, cellular, the operator's tests
    // last); empty for an unknown model.
    static std::vector<uint16_t> planOf(uint8_t modelBit);

    struct Impl; // engine.cpp's

private:
    std::unique_ptr<Impl> impl_;
};

// What a reply says of its test, the same for every command: pass when its
// result byte is 0, fail when it is another. A reply without a result byte
// fails too, and `message` says so.
Outcome judgeReply(const std::vector<uint8_t> &payload, std::string &message);

// The exit status of a run's outcome: 0 pass, 1 fail (a model mismatch
// too), 2 no reply, 3 connection; a stopped run is at least 1, since part
// of its plan never ran.
int exitStatusOf(RunOutcome outcome);

} // namespace station

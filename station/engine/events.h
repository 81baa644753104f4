// What the station engine tells its front ends and record writers. The
// engine turns everything that happens on every gateway into these events;
// the terminal, the web page and the records subscribe to them and never
// touch a socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue.h"

namespace station {

// The outcome of one test attempt, spelled as the records spell it.
enum class Outcome : uint8_t {
    kPass,
    kFail,
    kNoReply,        // no reply within the test's time-out
    kConnectionLost, // the connection dropped while the test was in flight
    kSkipped,        // left out by --skip / --only
    kNotRun,         // the run ended (stopped, gateway gone) before it came
};

// "pass", "fail", "no-reply", "connection-lost", "skipped", "not-run".
std::string_view outcomeName(Outcome outcome);

// The outcome of one gateway's whole run, spelled as the records spell it:
// "pass", "fail", "no-reply", "connection-lost", "unreachable",
// "model-mismatch", "stopped", "duplicate", "unchecked-line".
enum class RunOutcome : uint8_t {
    kPass,
    kFail,
    kNoReply,
    kConnectionLost,
    kUnreachable,
    kModelMismatch,
    kStopped,
    // Every test passed, but the unit's MAC is another serial number's in
    // the records (or its serial another MAC's): not a unit to ship.
    kDuplicate,
    // Every test passed and the station's own records know no other unit
    // of this MAC or serial, but the line's database could not be asked:
    // a pass, to be checked again when the records reach the line.
    kUncheckedLine,
};
std::string_view runOutcomeName(RunOutcome outcome);

enum class EventKind : uint8_t {
    kBatchStarted, // a `gwtest run` (or a start on the page) begins: total gateways in `total`
    kRunStarted,   // a gateway's run begins (its plan is not known before the model is)
    // The model is known: total and the plan's tests. The model query is
    // always the plan's first test (index 0); with --model auto its
    // kTestStarted/kTestFinished come before kPlanKnown (total 0 there),
    // since the plan follows from its answer.
    kPlanKnown,
    kTestStarted,    // a request is on its way: expectedMs is its catalogue duration
    kTestFinished,   // outcome, data, duration, attempt, operator answer
    kPromptNeeded,   // the one operator is asked about one gateway
    kPromptAnswered, // the answer and how long the person took
    kConnectionLost, // the connection dropped; the engine reconnects
    kNotice,         // a line for the person: "the gateway may be busy with another station"
    kRunFinished,    // a gateway's run ends: runOutcome and counts
    kBatchFinished,  // every run of the batch has ended
};
// "batch-started", "run-started", "plan-known", "test-started", ...
std::string_view eventKindName(EventKind kind);

// "yes", "no", "auto-yes" (--operator yes), "unattended" (nobody looked),
// "" when the test needs no operator.
struct OperatorAnswer {
    std::string answer;
    int ms = 0; // from the question to the answer
};

// The gateway as known at the moment of the event: model and MAC fill in
// once the identity tests have answered.
struct GatewayInfo {
    int slot = 0;     // index in the station's list, from 0
    std::string host; // as given: "192.168.1.10", "::1", "gw-7.line"
    uint16_t port = 6666;
    std::string label; // "A3" from HOST=A3, else ""
    std::string model; // "GWM0202" once known
    std::string mac;   // "02:47:57:04:04:00" once known
    // "host:port", IPv6 in brackets: "[::1]:6666".
    std::string address() const;
    // How a person names it: "A3 (10.0.0.2:6666, 02:47:57:04:04:00)".
    std::string display() const;
};

struct Event {
    EventKind kind = EventKind::kNotice;
    std::string station; // --station ID
    std::string batchId; // one `gwtest run` (or one start on the page): "<station>-<UTC yyyymmddThhmmssZ>"
    std::string runId;   // one gateway's run in it: "<batchId>-<slot>"
    GatewayInfo gateway;
    int64_t unixMs = 0; // wall clock of the event

    // Tests (kPlanKnown: index 0 and total; kTestStarted/kTestFinished).
    uint16_t code = 0;
    std::string name; // catalogue short name
    std::string title;
    int index = 0;      // position in the plan, from 0
    int total = 0;      // tests in the plan
    int attempt = 1;    // 1 the first time, 2.. on retries
    int expectedMs = 0; // catalogue duration of the test
    Outcome outcome = Outcome::kPass;
    std::optional<uint8_t> result; // kTestFinished: the reply's result byte, when one came
    std::vector<uint8_t> data;     // reply data after the result byte
    std::string decoded;           // data as a person reads it
    std::string hint;              // catalogue hint, on failures
    int durationMs = 0;
    std::optional<OperatorAnswer> answer; // kTestFinished of an operator test, kPromptAnswered
    // kTestFinished, with a line profile: every limit the profile applied to
    // the reply's data or duration, with the value it judged, as a person
    // reads it ("sysversion 2.3.6, want 2.3.7"; "ping-host 3.312 s, want <=
    // 3.5 s, marginal past 3.2 s"), several joined by "; "; empty when none
    // applied. A value outside its limit fails the test (the same text is
    // then its message).
    std::string limit;
    // kTestFinished: passed, but a value lies in the profile's marginal band.
    bool marginal = false;
    std::vector<uint16_t> plan; // kPlanKnown: the codes in run order

    // kBatchStarted and kRunStarted: what the run is traced to. The line
    // profile applied (its path as given and the SHA-256 of its bytes, both
    // empty without one), the station software's version (git describe) and
    // the operator's id ("" when none was given).
    std::string profilePath;
    std::string profileHash;
    std::string stationVersion;
    std::string operatorId;
    // kRunStarted and kRunFinished: the serial number on the unit's label,
    // "" while not known (given on the command line, or scanned before the
    // plan: then known from kRunFinished).
    std::string serial;

    // Gangs. The gateways of one batch that reach the same operator test
    // together run it as one step: the requests go out at the same moment
    // and the person is asked once about them all. The gang's id
    // ("<batchId>-g<n>") is on its kPromptNeeded and kPromptAnswered and on
    // each member's kTestStarted and kTestFinished; empty when the test
    // runs alone (--gang off, automatic tests).
    std::string gang;
    // kPromptNeeded and kPromptAnswered of a gang: the gateways asked about,
    // in slot order; `gateway` is the first of them. One for a gang of one,
    // which is asked exactly as a gateway alone.
    std::vector<GatewayInfo> members;
    // kPromptAnswered of a gang: the members (by slot) answered no.
    std::vector<int> noSlots;

    // Operator prompts.
    uint64_t promptId = 0;
    // What the person is asked, named by catalogue::operatorName ("press-button",
    // "led-lit", "all-blinking", "all-restored"): the button's prompt only
    // counts down countdownMs (each member's press shows as its
    // kTestFinished arrives), the others want yes or no; a gang's, yes for
    // all or no for the members named.
    catalogue::Operator prompt = catalogue::Operator::kLedLit;
    std::string question; // "did the power LED of A3 (...) light for two seconds? [y/n]"
    int countdownMs = 0;  // kPressButton

    // Run ends.
    RunOutcome runOutcome = RunOutcome::kPass;
    int passed = 0, failed = 0, noReply = 0, notRun = 0;
    int connectionLost = 0, skipped = 0;

    // kNotice, kConnectionLost, kRunFinished (why it ended early),
    // kTestFinished (what the result byte cannot say: a model mismatch, the
    // operator's "no", a reply with another code).
    std::string message;
};

// Events are delivered one at a time, in the order they happened, from the
// engine's threads; a sink must return quickly (queue work of its own).
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void onEvent(const Event &event) = 0;
};

} // namespace station

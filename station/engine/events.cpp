// The names the records, the JSON lines and the front ends spell events by.
#include "engine/events.h"

namespace station {

std::string_view outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::kPass:
        return "pass";
    case Outcome::kFail:
        return "fail";
    case Outcome::kNoReply:
        return "no-reply";
    case Outcome::kConnectionLost:
        return "connection-lost";
    case Outcome::kSkipped:
        return "skipped";
    case Outcome::kNotRun:
        return "not-run";
    }
    return "?";
}

std::string_view runOutcomeName(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::kPass:
        return "pass";
    case RunOutcome::kFail:
        return "fail";
    case RunOutcome::kNoReply:
        return "no-reply";
    case RunOutcome::kConnectionLost:
        return "connection-lost";
    case RunOutcome::kUnreachable:
        return "unreachable";
    case RunOutcome::kModelMismatch:
        return "model-mismatch";
    case RunOutcome::kStopped:
        return "stopped";
    case RunOutcome::kDuplicate:
        return "duplicate";
    case RunOutcome::kUncheckedLine:
        return "unchecked-line";
    }
    return "?";
}

std::string_view eventKindName(EventKind kind)
{
    switch (kind) {
    case EventKind::kBatchStarted:
        return "batch-started";
    case EventKind::kRunStarted:
        return "run-started";
    case EventKind::kPlanKnown:
        return "plan-known";
    case EventKind::kTestStarted:
        return "test-started";
    case EventKind::kTestFinished:
        return "test-finished";
    case EventKind::kPromptNeeded:
        return "prompt-needed";
    case EventKind::kPromptAnswered:
        return "prompt-answered";
    case EventKind::kConnectionLost:
        return "connection-lost";
    case EventKind::kNotice:
        return "notice";
    case EventKind::kRunFinished:
        return "run-finished";
    case EventKind::kBatchFinished:
        return "batch-finished";
    }
    return "?";
}

std::string GatewayInfo::address() const
{
    const std::string port = std::to_string(this->port);
    if (host.find(':') != std::string::npos) {
        return "[" + host + "]:" + port;
    }
    return host + ":" + port;
}

std::string GatewayInfo::display() const
{
    std::string inner = address();
    if (!mac.empty()) {
        inner += ", " + mac;
    }
    if (label.empty()) {
        return mac.empty() ? inner : address() + " (" + mac + ")";
    }
    return label + " (" + inner + ")";
}

} // namespace station

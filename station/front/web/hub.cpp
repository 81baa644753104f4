// The slots as the page shows them, and the page streams.
#include "front/web/hub.h"

#include <algorithm>
#include <chrono>

#include "catalogue.h"
#include "front/web/json.h"

namespace station::web {

namespace {

// The outcomes that count as a test done, and those that count as failed.
bool isDone(Outcome outcome) { return outcome != Outcome::kNotRun && outcome != Outcome::kSkipped; }
bool isFailure(Outcome outcome)
{
    return outcome == Outcome::kFail || outcome == Outcome::kNoReply || outcome == Outcome::kConnectionLost;
}

SlotState stateOf(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::kPass:
    case RunOutcome::kUncheckedLine:
        return SlotState::kPass;
    case RunOutcome::kFail:
    case RunOutcome::kDuplicate:
    case RunOutcome::kNoReply:
    case RunOutcome::kModelMismatch:
        return SlotState::kFail;
    case RunOutcome::kConnectionLost:
    case RunOutcome::kUnreachable:
        return SlotState::kUnreachable;
    case RunOutcome::kStopped:
        return SlotState::kIdle;
    }
    return SlotState::kIdle;
}

std::string addressOf(const Target &target)
{
    if (target.host.find(':') != std::string::npos) {
        return "[" + target.host + "]:" + std::to_string(target.port);
    }
    return target.host + ":" + std::to_string(target.port);
}

std::string sse(const char *event, const std::string &data)
{
    return std::string("event: ") + event + "\ndata: " + data + "\n\n";
}

} // namespace

const char *slotStateName(SlotState state)
{
    switch (state) {
    case SlotState::kIdle:
        return "idle";
    case SlotState::kRunning:
        return "running";
    case SlotState::kPass:
        return "pass";
    case SlotState::kFail:
        return "fail";
    case SlotState::kUnreachable:
        return "unreachable";
    }
    return "idle";
}

void Slot::clearRun()
{
    outcome.clear();
    finished.clear();
    names.clear();
    marginal.clear();
    total = 0;
    inTest = false;
    prompt.reset();
}

int Slot::done() const
{
    int n = 0;
    for (const auto &[code, outcome] : finished) {
        n += isDone(outcome) ? 1 : 0;
    }
    return n;
}

int Slot::planned() const
{
    int skipped = 0;
    for (const auto &[code, outcome] : finished) {
        skipped += outcome == Outcome::kSkipped ? 1 : 0;
    }
    return std::max(0, total - skipped);
}

std::vector<std::string> Slot::failedTests() const
{
    std::vector<std::string> out;
    for (const auto &[code, outcome] : finished) {
        if (isFailure(outcome)) {
            const auto name = names.find(code);
            out.push_back(name != names.end() ? name->second : std::to_string(code));
        }
    }
    return out;
}

std::vector<std::string> Slot::marginalTests() const
{
    std::vector<std::string> out;
    for (const auto &[code, limit] : marginal) {
        const auto name = names.find(code);
        out.push_back(name != names.end() ? name->second : std::to_string(code));
    }
    return out;
}

std::string slotJson(const Slot &slot, int64_t nowUnixMs)
{
    Json object(json_object());
    json_t *o = object.get();
    put(o, "id", int64_t{slot.id});
    put(o, "host", slot.target.host);
    put(o, "port", int64_t{slot.target.port});
    put(o, "address", addressOf(slot.target));
    put(o, "label", slot.target.label);
    put(o, "model", slot.model);
    put(o, "mac", slot.mac);
    put(o, "state", std::string(slotStateName(slot.state)));
    put(o, "outcome", slot.outcome);
    put(o, "runId", slot.runId);
    put(o, "batchId", slot.batchId);
    put(o, "done", int64_t{slot.done()});
    put(o, "total", int64_t{slot.planned()});
    json_t *failures = json_array();
    for (const auto &name : slot.failedTests()) {
        json_array_append_new(failures, jsonText(name));
    }
    put(o, "failures", failures);
    json_t *marginal = json_array();
    for (const auto &name : slot.marginalTests()) {
        json_array_append_new(marginal, jsonText(name));
    }
    put(o, "marginal", marginal);
    put(o, "message", slot.message);
    if (slot.inTest) {
        json_t *test = json_object();
        put(test, "code", int64_t{slot.code});
        put(test, "name", slot.testName);
        put(test, "title", slot.testTitle);
        put(test, "attempt", int64_t{slot.attempt});
        put(test, "expectedMs", int64_t{slot.expectedMs});
        put(test, "elapsedMs", std::max<int64_t>(0, nowUnixMs - slot.testStartedUnixMs));
        put(o, "test", test);
    } else {
        put(o, "test", json_null());
    }
    if (slot.prompt) {
        json_t *prompt = json_object();
        // As text: a JavaScript number holds 53 bits only.
        put(prompt, "id", std::to_string(slot.prompt->id));
        put(prompt, "kind", std::string(catalogue::operatorName(slot.prompt->kind)));
        put(prompt, "question", slot.prompt->question);
        put(prompt, "countdownMs", int64_t{slot.prompt->countdownMs});
        put(prompt, "elapsedMs", std::max<int64_t>(0, nowUnixMs - slot.prompt->askedUnixMs));
        put(prompt, "gang", slot.prompt->gang);
        put(prompt, "members", int64_t{slot.prompt->members});
        put(o, "prompt", prompt);
    } else {
        put(o, "prompt", json_null());
    }
    return dump(o);
}

std::string gangJson(const GangPrompt &gang, int64_t nowUnixMs)
{
    Json object(json_object());
    json_t *o = object.get();
    put(o, "id", std::to_string(gang.id)); // as text, as a slot's prompt
    put(o, "gang", gang.gang);
    put(o, "kind", std::string(catalogue::operatorName(gang.kind)));
    put(o, "code", int64_t{gang.code});
    put(o, "name", gang.name);
    put(o, "question", gang.question);
    put(o, "countdownMs", int64_t{gang.countdownMs});
    put(o, "elapsedMs", std::max<int64_t>(0, nowUnixMs - gang.askedUnixMs));
    json_t *members = json_array();
    for (const GangMember &member : gang.members) {
        json_t *m = json_object();
        put(m, "slot", int64_t{member.slot});
        put(m, "label", member.label);
        put(m, "address", member.address);
        put(m, "mac", member.mac);
        putBool(m, "replied", member.replied);
        putBool(m, "pressed", member.pressed);
        putBool(m, "ended", member.ended);
        json_array_append_new(members, m);
    }
    put(o, "members", members);
    return dump(o);
}

Hub::Hub(bool tokenRequired) : tokenRequired_(tokenRequired) {}

Slot *Hub::slotLocked(int id)
{
    if (id < 0 || static_cast<size_t>(id) >= slots_.size()) {
        return nullptr;
    }
    return &slots_[static_cast<size_t>(id)];
}

std::vector<GangPrompt> Hub::gangs() const
{
    std::lock_guard lock(mutex_);
    return gangs_;
}

std::optional<GangPrompt> Hub::gang(uint64_t promptId) const
{
    std::lock_guard lock(mutex_);
    for (const GangPrompt &gang : gangs_) {
        if (gang.id == promptId) {
            return gang;
        }
    }
    return std::nullopt;
}

std::string Hub::gangsJson(int64_t nowUnixMs) const
{
    std::lock_guard lock(mutex_);
    return gangsJsonLocked(nowUnixMs);
}

std::string Hub::gangsJsonLocked(int64_t nowUnixMs) const
{
    std::string json = "[";
    for (size_t i = 0; i < gangs_.size(); ++i) {
        if (i > 0) {
            json += ',';
        }
        json += gangJson(gangs_[i], nowUnixMs);
    }
    json += ']';
    return json;
}

bool Hub::gangEventLocked(const Event &event)
{
    switch (event.kind) {
    case EventKind::kPromptNeeded: {
        if (event.gang.empty()) {
            return false; // a gateway asked alone (--gang off): its card only
        }
        GangPrompt gang;
        gang.id = event.promptId;
        gang.gang = event.gang;
        gang.kind = event.prompt;
        gang.code = event.code;
        gang.name = event.name;
        gang.question = event.question;
        gang.countdownMs = event.countdownMs;
        gang.askedUnixMs = event.unixMs != 0 ? event.unixMs : unixMsNow();
        const std::vector<GatewayInfo> members =
            event.members.empty() ? std::vector<GatewayInfo>{event.gateway} : event.members;
        for (const GatewayInfo &info : members) {
            GangMember member;
            member.slot = info.slot;
            member.label = info.label;
            member.address = info.address();
            member.mac = info.mac;
            gang.members.push_back(member);
        }
        std::erase_if(gangs_, [&](const GangPrompt &open) { return open.id == gang.id; });
        gangs_.push_back(std::move(gang));
        return true;
    }
    case EventKind::kPromptAnswered:
        return std::erase_if(gangs_, [&](const GangPrompt &open) { return open.id == event.promptId; }) > 0;
    case EventKind::kTestFinished:
        // A member's reply to the gang's step: the button shows each press
        // as it comes, the question stays open for the others.
        if (event.gang.empty()) {
            return false;
        }
        for (GangPrompt &gang : gangs_) {
            if (gang.gang != event.gang) {
                continue;
            }
            for (GangMember &member : gang.members) {
                if (member.slot == event.gateway.slot && !member.replied) {
                    member.replied = true;
                    member.pressed = event.outcome == Outcome::kPass;
                    return true;
                }
            }
        }
        return false;
    default:
        return false;
    }
}

bool Hub::memberEndedLocked(int slot)
{
    bool changed = false;
    for (GangPrompt &gang : gangs_) {
        for (GangMember &member : gang.members) {
            if (member.slot == slot && !member.ended) {
                member.ended = true;
                changed = true;
            }
        }
    }
    // A question none of whose gateways still runs is never answered.
    std::erase_if(gangs_, [](const GangPrompt &gang) {
        return std::all_of(gang.members.begin(), gang.members.end(), [](const GangMember &m) { return m.ended; });
    });
    return changed;
}

int Hub::addSlot(const Target &target)
{
    std::lock_guard lock(mutex_);
    Slot slot;
    slot.id = static_cast<int>(slots_.size());
    slot.target = target;
    slots_.push_back(slot);
    broadcastLocked(slotMessageLocked(slots_.back(), unixMsNow()));
    return slot.id;
}

size_t Hub::slotCount() const
{
    std::lock_guard lock(mutex_);
    return slots_.size();
}

std::optional<Slot> Hub::slot(int id) const
{
    std::lock_guard lock(mutex_);
    if (id < 0 || static_cast<size_t>(id) >= slots_.size()) {
        return std::nullopt;
    }
    return slots_[static_cast<size_t>(id)];
}

std::vector<Slot> Hub::slots() const
{
    std::lock_guard lock(mutex_);
    return slots_;
}

bool Hub::reserve(const std::vector<int> &ids, std::string &error)
{
    std::lock_guard lock(mutex_);
    if (ids.empty()) {
        error = "no slot to start";
        return false;
    }
    for (int id : ids) {
        if (id < 0 || static_cast<size_t>(id) >= slots_.size()) {
            error = "no slot " + std::to_string(id);
            return false;
        }
        if (slots_[static_cast<size_t>(id)].state == SlotState::kRunning) {
            error = "slot " + std::to_string(id) + " is running already";
            return false;
        }
    }
    const int64_t now = unixMsNow();
    for (int id : ids) {
        Slot &slot = slots_[static_cast<size_t>(id)];
        slot.state = SlotState::kRunning;
        slot.clearRun();
        slot.message = "starting";
        broadcastLocked(slotMessageLocked(slot, now));
    }
    return true;
}

void Hub::signIn(const std::string &operatorId)
{
    std::lock_guard lock(mutex_);
    operatorId_ = operatorId;
    Json o(json_object());
    put(o.get(), "operator", operatorId);
    broadcastLocked(sse("operator", dump(o.get())));
}

std::string Hub::operatorId() const
{
    std::lock_guard lock(mutex_);
    return operatorId_;
}

std::vector<int> Hub::idleSlots() const
{
    std::lock_guard lock(mutex_);
    std::vector<int> ids;
    for (const Slot &slot : slots_) {
        if (slot.state != SlotState::kRunning) {
            ids.push_back(slot.id);
        }
    }
    return ids;
}

void Hub::release(const std::vector<int> &ids, const std::string &why)
{
    std::lock_guard lock(mutex_);
    const int64_t now = unixMsNow();
    bool gangsChanged = false;
    for (int id : ids) {
        if (id < 0 || static_cast<size_t>(id) >= slots_.size()) {
            continue;
        }
        Slot &slot = slots_[static_cast<size_t>(id)];
        if (slot.state == SlotState::kRunning) {
            slot.state = SlotState::kIdle;
            slot.inTest = false;
            slot.prompt.reset();
            slot.message = why;
            broadcastLocked(slotMessageLocked(slot, now));
        }
        gangsChanged = memberEndedLocked(id) || gangsChanged;
    }
    if (gangsChanged) {
        broadcastLocked(sse("gangs", gangsJsonLocked(now)));
    }
}

void Hub::onEvent(const Event &event)
{
    std::lock_guard lock(mutex_);
    const int64_t now = unixMsNow();
    const int id = event.gateway.slot;
    bool gangsChanged = false;
    if (event.kind != EventKind::kBatchStarted && event.kind != EventKind::kBatchFinished) {
        gangsChanged = gangEventLocked(event);
    }
    const auto sendGangs = [&] {
        if (gangsChanged) {
            broadcastLocked(sse("gangs", gangsJsonLocked(now)));
        }
    };
    Slot *found = slotLocked(id);
    if (found == nullptr) {
        sendGangs();
        return; // batch events, or a slot this page does not know
    }
    Slot &slot = *found;
    if (!event.gateway.model.empty()) {
        slot.model = event.gateway.model;
    }
    if (!event.gateway.mac.empty()) {
        slot.mac = event.gateway.mac;
    }
    bool ran = false;
    switch (event.kind) {
    case EventKind::kBatchStarted:
    case EventKind::kBatchFinished:
        sendGangs();
        return;
    case EventKind::kRunStarted:
        slot.state = SlotState::kRunning;
        slot.runId = event.runId;
        slot.batchId = event.batchId;
        slot.clearRun();
        slot.message.clear();
        break;
    case EventKind::kPlanKnown: {
        slot.total = event.total;
        const uint8_t model = catalogue::modelBit(slot.model);
        for (uint16_t code : event.plan) {
            if (const auto *test =
                    catalogue::find(code, model != 0 ? model : static_cast<uint8_t>(catalogue::kEveryModel))) {
                slot.names[code] = std::string(test->name);
            }
        }
        break;
    }
    case EventKind::kTestStarted:
        slot.state = SlotState::kRunning;
        slot.inTest = true;
        slot.code = event.code;
        slot.testName = event.name;
        slot.testTitle = event.title;
        slot.expectedMs = event.expectedMs;
        slot.testStartedUnixMs = event.unixMs != 0 ? event.unixMs : unixMsNow();
        slot.attempt = event.attempt;
        slot.names[event.code] = event.name;
        slot.message.clear();
        // A gang's button question may come before every member's request
        // is on its way: it stays.
        if (slot.prompt && slot.prompt->kind == catalogue::Operator::kPressButton &&
            (slot.prompt->gang.empty() || slot.prompt->gang != event.gang)) {
            slot.prompt.reset();
        }
        break;
    case EventKind::kTestFinished:
        slot.finished[event.code] = event.outcome;
        if (!event.name.empty()) {
            slot.names[event.code] = event.name;
        }
        if (event.marginal) {
            slot.marginal[event.code] = event.limit;
        } else {
            slot.marginal.erase(event.code);
        }
        if (slot.inTest && slot.code == event.code) {
            slot.inTest = false;
        }
        if (slot.prompt && slot.prompt->kind == catalogue::Operator::kPressButton) {
            slot.prompt.reset();
        }
        break;
    case EventKind::kPromptNeeded: {
        SlotPrompt prompt{event.promptId,
                          event.prompt,
                          event.question,
                          event.countdownMs,
                          event.unixMs != 0 ? event.unixMs : now,
                          event.gang,
                          std::max(1, static_cast<int>(event.members.size()))};
        slot.prompt = prompt;
        // Every member's card shows that it is in the gang's question.
        for (const GatewayInfo &member : event.members) {
            Slot *other = member.slot != id ? slotLocked(member.slot) : nullptr;
            if (other != nullptr) {
                other->prompt = prompt;
                broadcastLocked(slotMessageLocked(*other, now));
            }
        }
        break;
    }
    case EventKind::kPromptAnswered:
        if (slot.prompt && slot.prompt->id == event.promptId) {
            slot.prompt.reset();
        }
        for (const GatewayInfo &member : event.members) {
            Slot *other = member.slot != id ? slotLocked(member.slot) : nullptr;
            if (other != nullptr && other->prompt && other->prompt->id == event.promptId) {
                other->prompt.reset();
                broadcastLocked(slotMessageLocked(*other, now));
            }
        }
        break;
    case EventKind::kConnectionLost:
        // Shown unreachable while the engine tries again; the next test
        // started shows it running again.
        slot.state = SlotState::kUnreachable;
        slot.inTest = false;
        slot.prompt.reset();
        slot.message = event.message.empty() ? "connection lost" : event.message;
        break;
    case EventKind::kNotice:
        slot.message = event.message;
        break;
    case EventKind::kRunFinished:
        slot.state = stateOf(event.runOutcome);
        slot.outcome = std::string(runOutcomeName(event.runOutcome));
        slot.inTest = false;
        slot.prompt.reset();
        slot.message = event.message;
        ran = true;
        gangsChanged = memberEndedLocked(id) || gangsChanged;
        break;
    }
    broadcastLocked(slotMessageLocked(slot, now));
    sendGangs();
    if (ran) {
        // A run's records are complete: open history views fetch anew.
        broadcastLocked(sse("history", "{\"runId\":" + dump(Json(jsonText(event.runId)).get()) + "}"));
    }
}

std::string Hub::slotMessageLocked(const Slot &slot, int64_t nowUnixMs) const
{
    return sse("slot", slotJson(slot, nowUnixMs));
}

std::string Hub::snapshotLocked(int64_t nowUnixMs) const
{
    std::string data = "{\"tokenRequired\":";
    data += tokenRequired_ ? "true" : "false";
    data += ",\"slots\":[";
    for (size_t i = 0; i < slots_.size(); ++i) {
        if (i > 0) {
            data += ',';
        }
        data += slotJson(slots_[i], nowUnixMs);
    }
    data += "],\"gangs\":";
    data += gangsJsonLocked(nowUnixMs);
    data += ",\"operator\":";
    Json id(jsonText(operatorId_));
    data += dump(id.get());
    data += '}';
    return sse("snapshot", data);
}

void Hub::broadcastLocked(const std::string &message)
{
    for (const auto &stream : streams_) {
        if (stream->over_) {
            continue;
        }
        if (stream->queue_.size() >= kMaxQueued) {
            // Fallen behind: its page reconnects and starts from a snapshot.
            stream->over_ = true;
            stream->queue_.clear();
        } else {
            stream->queue_.push_back(message);
        }
        stream->cv_.notify_one();
    }
}

std::shared_ptr<Hub::Stream> Hub::openStream()
{
    std::lock_guard lock(mutex_);
    if (closed_ || streams_.size() >= kMaxStreams) {
        return nullptr;
    }
    auto stream = std::make_shared<Stream>();
    stream->hub_ = this;
    stream->queue_.push_back(snapshotLocked(unixMsNow()));
    streams_.push_back(stream);
    return stream;
}

void Hub::closeStream(const std::shared_ptr<Stream> &stream)
{
    std::lock_guard lock(mutex_);
    std::erase(streams_, stream);
    stream->over_ = true;
    stream->cv_.notify_all();
}

size_t Hub::streamCount() const
{
    std::lock_guard lock(mutex_);
    return streams_.size();
}

void Hub::close()
{
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto &stream : streams_) {
        stream->over_ = true;
        stream->cv_.notify_all();
    }
}

bool Hub::Stream::take(std::string &out, int waitMs)
{
    out.clear();
    std::unique_lock lock(hub_->mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return over_ || !queue_.empty(); });
    if (over_) {
        return false;
    }
    while (!queue_.empty()) {
        out += queue_.front();
        queue_.pop_front();
    }
    return true;
}

} // namespace station::web

// The station engine. One thread per gateway: each gateway's service is
// single-threaded and every test blocks its one connection for up to 75 s,
// so a gateway's run is a straight sequence of blocking waits. A thread that
// sleeps in poll() costs no CPU, 32 of them cost a few hundred kilobytes of
// stack, and the sequence reads as the plan reads. stop() wakes every wait
// through one eventfd that all polls watch.
#include "engine/engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "catalogue.h"
#include "wire/connection.h"
#include "wire/decode.h"
#include "wire/text.h"

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

int msSince(Clock::time_point t0)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

std::string hex4(uint16_t code)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04x", code);
    return buf;
}

// "power LED" -> "power"
std::string ledName(const catalogue::Test &row)
{
    std::string title(row.title);
    const auto at = title.rfind(" LED");
    return at == std::string::npos ? title : title.substr(0, at);
}

std::string questionOf(const catalogue::Test &row, const std::string &gateway)
{
    switch (row.op) {
    case catalogue::Operator::kPressButton:
        return "press the button of " + gateway;
    case catalogue::Operator::kLedLit:
        return "did the " + ledName(row) + " LED of " + gateway + " light for two seconds? [y/n]";
    case catalogue::Operator::kAllBlinking:
        return "are all LEDs of " + gateway + " blinking? [y/n]";
    case catalogue::Operator::kAllRestored:
        return "are all LEDs of " + gateway + " back to normal? [y/n]";
    case catalogue::Operator::kNone:
        break;
    }
    return "";
}

// How a gang's question names a member: its label, else its address.
std::string memberName(const GatewayInfo &g) { return g.label.empty() ? g.address() : g.label; }

// The question about two or more gateways at once: "did the power LED light
// for two seconds on A1 A2 A3? [y = all lit, or type the labels that stayed
// dark]". When one has no label, each is named by its number in the list
// and its address, and the person types numbers.
std::string gangQuestionOf(const catalogue::Test &row, const std::vector<GatewayInfo> &members)
{
    const bool labelled =
        std::all_of(members.begin(), members.end(), [](const GatewayInfo &g) { return !g.label.empty(); });
    std::string names;
    for (size_t i = 0; i < members.size(); ++i) {
        if (i > 0) {
            names += ' ';
        }
        if (labelled) {
            names += members[i].label;
        } else {
            names += std::to_string(i + 1);
            names += " (";
            names += members[i].address();
            names += ')';
        }
    }
    const std::string typed = labelled ? "labels" : "numbers";
    switch (row.op) {
    case catalogue::Operator::kPressButton:
        return "press the buttons of " + names;
    case catalogue::Operator::kLedLit:
        return "did the " + ledName(row) + " LED light for two seconds on " + names + "? [y = all lit, or type the " +
               typed + " that stayed dark]";
    case catalogue::Operator::kAllBlinking:
        return "are all LEDs blinking on " + names + "? [y = all blinking, or type the " + typed + " that are not]";
    case catalogue::Operator::kAllRestored:
        return "are all LEDs back to normal on " + names + "? [y = all back to normal, or type the " + typed +
               " that are not]";
    case catalogue::Operator::kNone:
        break;
    }
    return "";
}

// Worse outcomes rank higher; the run's outcome is its worst test's.
int rankOf(Outcome outcome)
{
    switch (outcome) {
    case Outcome::kFail:
        return 1;
    case Outcome::kNoReply:
        return 2;
    case Outcome::kConnectionLost:
        return 3;
    case Outcome::kPass:
    case Outcome::kSkipped:
    case Outcome::kNotRun:
        break;
    }
    return 0;
}

} // namespace

Outcome judgeReply(const std::vector<uint8_t> &payload, std::string &message)
{
    if (payload.empty()) {
        message = "a reply without its result byte";
        return Outcome::kFail;
    }
    return payload[0] == 0 ? Outcome::kPass : Outcome::kFail;
}

int exitStatusOf(RunOutcome outcome)
{
    switch (outcome) {
    case RunOutcome::kPass:
    case RunOutcome::kUncheckedLine:
        return 0;
    case RunOutcome::kFail:
    case RunOutcome::kModelMismatch:
    case RunOutcome::kStopped:
    case RunOutcome::kDuplicate:
        return 1;
    case RunOutcome::kNoReply:
        return 2;
    case RunOutcome::kConnectionLost:
    case RunOutcome::kUnreachable:
        return 3;
    }
    return 1;
}

// --- the operator's desk ------------------------------------------------------

// One gateway at a time holds the desk (first come, first served) for its
// whole block of operator tests, so the person finishes one gateway before
// the next one asks. Engines of one process share it.
struct OperatorDesk::Impl {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<uint64_t> queue; // holders waiting, the front one holds the desk
    std::string holder;         // how the person names the gateway at the desk
    uint64_t nextTicket = 1;
    uint64_t nextPrompt = 1;
    struct Prompt {
        bool answered = false;
        std::vector<int> members; // the slots asked about
        std::vector<int> no;      // those answered no
    };
    std::map<uint64_t, Prompt> open;

    // Waits for the desk; 0 when `stopped` became true first. `waiting`
    // is told whom the person is busy with when the desk is taken.
    template <typename Waiting>
    uint64_t acquire(const std::atomic<bool> &stopped, const std::string &name, Waiting waiting)
    {
        std::unique_lock lock(mutex);
        const uint64_t ticket = nextTicket++;
        queue.push_back(ticket);
        if (queue.front() != ticket) {
            const std::string busyWith = holder;
            lock.unlock();
            waiting(busyWith);
            lock.lock();
        }
        changed.wait(lock, [&] { return queue.front() == ticket || stopped.load(); });
        if (queue.front() != ticket) {
            queue.erase(std::find(queue.begin(), queue.end(), ticket));
            changed.notify_all();
            return 0;
        }
        holder = name;
        return ticket;
    }

    void release(uint64_t ticket)
    {
        if (ticket == 0) {
            return;
        }
        std::lock_guard lock(mutex);
        const auto at = std::find(queue.begin(), queue.end(), ticket);
        if (at != queue.end()) {
            queue.erase(at);
        }
        changed.notify_all();
    }

    uint64_t newId()
    {
        std::lock_guard lock(mutex);
        return nextPrompt++;
    }

    // A question about the gateways of these slots.
    uint64_t openPrompt(std::vector<int> members)
    {
        std::lock_guard lock(mutex);
        const uint64_t id = nextPrompt++;
        open[id] = Prompt{false, std::move(members), {}};
        return id;
    }

    void closePrompt(uint64_t id)
    {
        std::lock_guard lock(mutex);
        open.erase(id);
    }

    // The answer to an open prompt, the slots answered no; empty when
    // `stopped` came first.
    std::optional<std::vector<int>> waitAnswer(uint64_t id, const std::atomic<bool> &stopped)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return open[id].answered || stopped.load(); });
        const Prompt prompt = open[id];
        open.erase(id);
        if (!prompt.answered) {
            return std::nullopt;
        }
        return prompt.no;
    }

    void wakeAll()
    {
        std::lock_guard lock(mutex);
        changed.notify_all();
    }
};

OperatorDesk::OperatorDesk() : impl_(std::make_unique<Impl>()) {}
OperatorDesk::~OperatorDesk() = default;

bool OperatorDesk::answer(uint64_t promptId, bool yes)
{
    std::lock_guard lock(impl_->mutex);
    const auto at = impl_->open.find(promptId);
    if (at == impl_->open.end() || at->second.answered) {
        return false;
    }
    at->second.answered = true;
    at->second.no = yes ? std::vector<int>{} : at->second.members;
    impl_->changed.notify_all();
    return true;
}

bool OperatorDesk::answer(uint64_t promptId, const std::vector<int> &noSlots)
{
    std::lock_guard lock(impl_->mutex);
    const auto at = impl_->open.find(promptId);
    if (at == impl_->open.end() || at->second.answered) {
        return false;
    }
    const std::vector<int> &members = at->second.members;
    for (int slot : noSlots) {
        if (std::find(members.begin(), members.end(), slot) == members.end()) {
            return false;
        }
    }
    at->second.answered = true;
    at->second.no = noSlots;
    impl_->changed.notify_all();
    return true;
}

// --- gangs ------------------------------------------------------------------------
//
// With gangs on, each operator test is a gang step: the gateways of the batch
// that reach the same operator test (by its short name, so that models
// whose codes differ still meet) are sent it at the same moment, and the
// person is asked once about all of them. One person looking at a rack
// confirms four power LEDs in the time one took.

// One gang step, shared by its members' threads (under Engine::Impl::gangMutex).
struct Gang {
    std::string id;   // "<batchId>-g<n>"
    std::string name; // the test's short name
    Clock::time_point firstArrival;
    bool started = false;
    std::vector<int> members; // batch indexes; in slot order once started
    // The step.
    bool setUp = false; // the desk is held and the button's prompt is open
    bool settingUp = false;
    uint64_t deskTicket = 0;
    uint64_t buttonPrompt = 0;
    Clock::time_point buttonAt;
    std::map<int, GatewayInfo> infos;   // by batch index, as each member reports
    std::map<int, Outcome> outcomes;    // the service's verdict, by batch index
    bool asked = false;                 // the question is over (or was not needed)
    bool asking = false;                // a member is asking it
    std::optional<std::vector<int>> no; // the slots answered no; empty when stopped
    std::optional<OperatorAnswer> answer;
};

// Where a gateway of the batch is, for a forming gang to know whom to wait for.
struct GangPlace {
    bool running = true;
    bool planKnown = false;
    std::map<std::string, size_t> operatorTests; // chosen operator tests: name -> place in the plan
    size_t next = 0;                             // the place of the test it runs or is about to run
    std::set<std::string> joined;                // the operator tests it has gone to a gang for
};

// --- the engine -----------------------------------------------------------------

struct Engine::Impl {
    RunOptions options;
    OperatorDesk &desk;
    std::vector<EventSink *> sinks;
    std::mutex emitMutex;
    std::atomic<bool> stopped{false};
    int wakeFd = -1;
    std::string batchId;

    std::mutex gangMutex;
    std::condition_variable gangChanged;
    std::vector<GangPlace> places;                        // by batch index
    std::map<std::string, std::shared_ptr<Gang>> forming; // by test name
    int gangsFormed = 0;

    Impl(RunOptions o, OperatorDesk &d) : options(std::move(o)), desk(d)
    {
        wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0) {
            // Without it stop() could not wake the gateways' waits.
            throw std::system_error(errno, std::generic_category(), "the engine's wake-up eventfd");
        }
    }
    ~Impl()
    {
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    void emit(Event &event)
    {
        event.station = options.station;
        event.batchId = batchId;
        if (event.kind == EventKind::kBatchStarted || event.kind == EventKind::kRunStarted) {
            if (options.profile) {
                event.profilePath = options.profile->path;
                event.profileHash = options.profile->hash;
            }
            event.stationVersion = options.stationVersion;
            event.operatorId = options.operatorId;
        }
        std::lock_guard lock(emitMutex);
        event.unixMs = unixMsNow(); // under the lock: times rise in delivery order
        for (EventSink *sink : sinks) {
            sink->onEvent(event);
        }
    }

    // Sleeps, woken early by stop(); false when stopped.
    bool pause(int ms)
    {
        pollfd p{wakeFd, POLLIN, 0};
        poll(&p, 1, ms);
        return !stopped.load();
    }

    // A gateway's place, for the gangs forming.
    template <typename Change>
    void movePlace(int index, Change change)
    {
        std::lock_guard lock(gangMutex);
        change(places[static_cast<size_t>(index)]);
        gangChanged.notify_all();
    }

    // Whether gateway `index` may still come to the test `name`.
    bool mayCome(size_t index, const std::string &name) const
    {
        const GangPlace &p = places[index];
        if (!p.running) {
            return false;
        }
        if (p.joined.count(name) != 0) {
            return false;
        }
        if (!p.planKnown) {
            return true;
        }
        const auto at = p.operatorTests.find(name);
        return at != p.operatorTests.end() && p.next <= at->second;
    }

    // Starts a gang (under gangMutex): its members in slot order, its id.
    void startLocked(const std::shared_ptr<Gang> &gang)
    {
        gang->started = true;
        std::sort(gang->members.begin(), gang->members.end());
        gang->id = batchId + "-g" + std::to_string(++gangsFormed);
        const auto at = forming.find(gang->name);
        if (at != forming.end() && at->second == gang) {
            forming.erase(at);
        }
        gangChanged.notify_all();
    }

    // Gateway `index` has come to the operator test `name`: waits until its
    // gang starts (everyone who may come has come, or the first has waited
    // gangWaitMs) and returns it; `alone`: a gang of one at once (a retry).
    // Null when stopped first.
    std::shared_ptr<Gang> joinGang(int index, const std::string &name, bool alone)
    {
        std::unique_lock lock(gangMutex);
        places[static_cast<size_t>(index)].joined.insert(name);
        if (alone) {
            auto gang = std::make_shared<Gang>();
            gang->name = name;
            gang->members = {index};
            startLocked(gang);
            return gang;
        }
        std::shared_ptr<Gang> &slot = forming[name];
        if (!slot) {
            slot = std::make_shared<Gang>();
            slot->name = name;
            slot->firstArrival = Clock::now();
        }
        const std::shared_ptr<Gang> gang = slot;
        gang->members.push_back(index);
        gangChanged.notify_all();
        const auto deadline = gang->firstArrival + std::chrono::milliseconds(options.gangWaitMs);
        while (!gang->started) {
            if (stopped.load()) {
                gang->members.erase(std::find(gang->members.begin(), gang->members.end(), index));
                if (gang->members.empty()) {
                    forming.erase(name);
                }
                gangChanged.notify_all();
                return nullptr;
            }
            bool everyone = true;
            for (size_t i = 0; i < places.size() && everyone; ++i) {
                const bool here =
                    std::find(gang->members.begin(), gang->members.end(), static_cast<int>(i)) != gang->members.end();
                everyone = here || !mayCome(i, name);
            }
            if (everyone || Clock::now() >= deadline) {
                startLocked(gang);
                break;
            }
            gangChanged.wait_until(lock, deadline);
        }
        return gang;
    }
};

namespace {

// One gateway's run, on its own thread.
class GatewayRun {
public:
    GatewayRun(Engine::Impl &engine, const Target &target, int slot) : e_(engine)
    {
        info_.slot = slot;
        info_.host = target.host;
        info_.port = target.port;
        info_.label = target.label;
        serial_ = target.serial;
        runId_ = e_.batchId + "-" + std::to_string(slot);
    }

    RunOutcome go();
    // 0, or the exit status of the worst test outcome (1 fail, 2 no reply,
    // 3 connection lost).
    int worstRank() const { return worst_; }

private:
    enum class Link : uint8_t { kUp, kDown, kGone };

    Event event(EventKind kind) const
    {
        Event ev;
        ev.kind = kind;
        ev.runId = runId_;
        ev.gateway = info_;
        return ev;
    }
    void emit(Event &ev) { e_.emit(ev); }
    void notice(const std::string &text)
    {
        Event ev = event(EventKind::kNotice);
        ev.message = text;
        emit(ev);
    }

    bool connect(std::string &error)
    {
        if (!conn_.open(info_.host, info_.port, e_.options.connectTimeoutMs, e_.wakeFd, error)) {
            return false;
        }
        firstQuery_ = true;
        lastTalk_ = Clock::now();
        return true;
    }
    Link ensureConnected();
    void planKnown();
    const catalogue::Test &rowAt(size_t index) const
    {
        return *catalogue::find(plan_[index],
                                modelBit_ != 0 ? modelBit_ : static_cast<uint8_t>(catalogue::kEveryModel));
    }
    void judgeModel(Event &done);
    std::optional<Outcome> runTest(size_t index);
    Event begin(const catalogue::Test &row, size_t index, int attemptNo, const std::string &gang);
    bool freshen();
    void exchange(const catalogue::Test &row, Event &done);
    Outcome conclude(const catalogue::Test &row, Event &done);
    Outcome attempt(const catalogue::Test &row, size_t index, int attemptNo);
    Event gangPrompt(EventKind kind, const catalogue::Test &row, const Gang &gang,
                     const std::vector<GatewayInfo> &asked) const;
    Outcome gangAttempt(const catalogue::Test &row, size_t index, int attemptNo, Gang &gang);
    bool selected(uint16_t code) const;
    void finishRest(size_t from, Outcome outcome, const std::string &message);
    void testFinished(const catalogue::Test &row, size_t index, Outcome outcome, const std::string &message);
    void count(Outcome outcome);
    RunOutcome finish(std::optional<RunOutcome> forced, const std::string &message);

    Engine::Impl &e_;
    GatewayInfo info_;
    std::string runId_;
    std::string serial_; // the unit's serial number, "" while not known
    Connection conn_;
    bool connected_ = false;
    bool firstQuery_ = true;
    Clock::time_point lastTalk_ = Clock::now(); // the last request or reply on the connection
    std::string freshenError_;
    uint8_t modelBit_ = 0;
    std::vector<uint16_t> plan_;
    bool planAnnounced_ = false;
    uint64_t deskTicket_ = 0;
    bool gone_ = false; // the connection dropped and did not come back
    std::string lastError_;
    bool mismatch_ = false; // the gateway is not the model the plan is for
    std::string mismatchMessage_;
    int worst_ = 0;
    int passed_ = 0, failed_ = 0, noReply_ = 0, lost_ = 0, notRun_ = 0, skipped_ = 0;
};

bool GatewayRun::selected(uint16_t code) const
{
    if (code == catalogue::kModelQuery || (code == catalogue::kMacQuery && e_.options.alwaysMac)) {
        // Always asked: the model chooses and checks the plan, the MAC names
        // the unit in the records and to the person at the station.
        return true;
    }
    const auto &only = e_.options.only;
    const auto &skip = e_.options.skip;
    if (!only.empty() && std::find(only.begin(), only.end(), code) == only.end()) {
        return false;
    }
    return std::find(skip.begin(), skip.end(), code) == skip.end();
}

void GatewayRun::count(Outcome outcome)
{
    switch (outcome) {
    case Outcome::kPass:
        ++passed_;
        break;
    case Outcome::kFail:
        ++failed_;
        break;
    case Outcome::kNoReply:
        ++noReply_;
        break;
    case Outcome::kConnectionLost:
        ++lost_;
        break;
    case Outcome::kSkipped:
        ++skipped_;
        break;
    case Outcome::kNotRun:
        ++notRun_;
        break;
    }
    worst_ = std::max(worst_, rankOf(outcome));
}

void GatewayRun::testFinished(const catalogue::Test &row, size_t index, Outcome outcome, const std::string &message)
{
    Event ev = event(EventKind::kTestFinished);
    ev.code = row.code;
    ev.name = std::string(row.name);
    ev.title = std::string(row.title);
    ev.index = static_cast<int>(index);
    ev.total = static_cast<int>(plan_.size());
    ev.expectedMs = static_cast<int>(row.longestMs);
    ev.outcome = outcome;
    ev.message = message;
    emit(ev);
    count(outcome);
}

// Every test from `from` on ends without running: not-run (or skipped when
// it was left out anyway).
void GatewayRun::finishRest(size_t from, Outcome outcome, const std::string &message)
{
    for (size_t i = from; i < plan_.size(); ++i) {
        const catalogue::Test &row = rowAt(i);
        testFinished(row, i, selected(row.code) ? outcome : Outcome::kSkipped, message);
    }
}

void GatewayRun::planKnown()
{
    plan_ = Engine::planOf(modelBit_);
    planAnnounced_ = true;
    e_.movePlace(info_.slot, [this](GangPlace &place) {
        place.planKnown = true;
        for (size_t i = 0; i < plan_.size(); ++i) {
            const catalogue::Test &row = rowAt(i);
            if (row.op != catalogue::Operator::kNone && selected(row.code)) {
                place.operatorTests[std::string(row.name)] = i;
            }
        }
    });
    Event ev = event(EventKind::kPlanKnown);
    ev.plan = plan_;
    ev.total = static_cast<int>(plan_.size());
    emit(ev);
    // Tests asked for by name that this model does not have: said once, so
    // that a typo'd plan is not mistaken for a passed one.
    for (uint16_t code : e_.options.only) {
        if (std::find(plan_.begin(), plan_.end(), code) == plan_.end()) {
            const catalogue::Test *row = catalogue::findAny(code);
            notice(std::string(row != nullptr ? row->name : "?") + " is not a test of the " + info_.model +
                   ": left out");
        }
    }
}

GatewayRun::Link GatewayRun::ensureConnected()
{
    if (connected_) {
        return Link::kUp;
    }
    // The gateway dropped us (a reset, a crash, a service restart): keep
    // trying for a while, it may be coming back.
    const auto deadline = Clock::now() + std::chrono::milliseconds(e_.options.reconnectMs);
    std::string error;
    for (;;) {
        if (e_.stopped.load()) {
            return Link::kDown;
        }
        if (connect(error)) {
            connected_ = true;
            notice("connected again");
            return Link::kUp;
        }
        if (Clock::now() >= deadline || !e_.pause(250)) {
            lastError_ = error;
            return e_.stopped.load() ? Link::kDown : Link::kGone;
        }
    }
}

// The model's answer: the plan it selects (--model auto), or a mismatch
// with the plan given, which ends the run: the wrong plan would only
// wait out the time-outs of tests the gateway does not have.
void GatewayRun::judgeModel(Event &done)
{
    if (done.outcome != Outcome::kPass) {
        return;
    }
    // The model as the service itself matches it: upper case, ended at the
    // newline; a carriage return or a blank stays, as on the gateway, where
    // such a model matches no table.
    const std::string model = serviceModelName(done.data);
    const uint8_t bit = catalogue::modelBit(model);
    if (bit == 0) {
        mismatch_ = true;
        mismatchMessage_ = "the gateway reports the model '" + model +
                           "', which the station has no plan for (expected " + std::string(catalogue::kModelList) + ")";
    } else if (modelBit_ != 0 && bit != modelBit_) {
        mismatch_ = true;
        mismatchMessage_ = "model mismatch: the gateway is a " + model + ", the plan is for " + info_.model;
    } else {
        modelBit_ = bit;
        info_.model = model;
        return;
    }
    done.outcome = Outcome::kFail;
    done.message = mismatchMessage_;
}

Event GatewayRun::begin(const catalogue::Test &row, size_t index, int attemptNo, const std::string &gang)
{
    Event started = event(EventKind::kTestStarted);
    started.code = row.code;
    started.name = std::string(row.name);
    started.title = std::string(row.title);
    started.index = static_cast<int>(index);
    started.total = planAnnounced_ ? static_cast<int>(plan_.size()) : 0;
    started.attempt = attemptNo;
    started.expectedMs = static_cast<int>(row.longestMs);
    started.gang = gang;
    emit(started);
    Event done = started;
    done.kind = EventKind::kTestFinished;
    return done;
}

// The service closes a connection that has been silent for 60 s, and the
// station's own waits (the person at the desk, a gang forming) can be that
// long. A connection idle for idleReconnectMs is opened anew before the
// next test: quietly, since nothing was lost. False when the gateway does
// not take the new connection (its fault, as any dropped gateway's).
bool GatewayRun::freshen()
{
    if (msSince(lastTalk_) <= e_.options.idleReconnectMs) {
        return true;
    }
    conn_.close();
    const bool first = firstQuery_;
    std::string error;
    if (!connect(error)) {
        freshenError_ =
            "a new connection after " + std::to_string(msSince(lastTalk_) / 1000) + " s idle was not taken: " + error;
        return false;
    }
    firstQuery_ = first;
    return true;
}

// Sends the test and waits for its reply: the service's verdict in `done`.
void GatewayRun::exchange(const catalogue::Test &row, Event &done)
{
    const auto t0 = Clock::now();
    const int timeoutMs =
        e_.options.timeoutMs > 0 ? e_.options.timeoutMs : static_cast<int>(row.longestMs) + e_.options.marginMs;
    Reply reply;
    uint16_t stray = 0;
    auto waited = Connection::Wait::kClosed;
    freshenError_.clear();
    if (freshen() && conn_.sendRequest(row.code)) {
        lastTalk_ = Clock::now();
        if (firstQuery_ && e_.options.busyNoticeMs < timeoutMs) {
            waited = conn_.waitReply(row.code, e_.options.busyNoticeMs, e_.wakeFd, reply, stray);
            if (waited == Connection::Wait::kTimeout) {
                notice("no reply to the first query within " + std::to_string(e_.options.busyNoticeMs / 1000) +
                       " s: the gateway may be busy with another station");
                waited = conn_.waitReply(row.code, timeoutMs - msSince(t0), e_.wakeFd, reply, stray);
            }
        } else {
            waited = conn_.waitReply(row.code, timeoutMs, e_.wakeFd, reply, stray);
        }
    }
    done.durationMs = msSince(t0);

    switch (waited) {
    case Connection::Wait::kReply: {
        firstQuery_ = false;
        lastTalk_ = Clock::now();
        done.outcome = judgeReply(reply.payload, done.message);
        if (reply.payload.empty()) {
            break;
        }
        done.result = reply.payload[0];
        done.data.assign(reply.payload.begin() + 1, reply.payload.end());
        done.decoded = decodeData(row.decoder, done.data);
        if (row.code == catalogue::kMacQuery && done.outcome == Outcome::kPass) {
            info_.mac = macText(done.data).value_or("");
        }
        if (row.code == catalogue::kModelQuery) {
            judgeModel(done);
        }
        if (done.outcome == Outcome::kPass && e_.options.profile) {
            // The gateway passed it; the line's profile may still refuse
            // what it sent, as the person's "no" refuses a dark LED.
            const Judgement j = judge(*e_.options.profile, modelBit_, row.code, done.data, done.durationMs);
            done.limit = j.limits;
            done.marginal = j.marginal;
            if (j.failed) {
                done.outcome = Outcome::kFail;
                done.message = j.broken;
                // Not the gateway's own failure, which the catalogue's hint explains.
                done.hint = "the gateway passed it, but its data or time is outside the line's profile: the "
                            "firmware image, the unit's factory data, or a slow part";
            }
        }
        break;
    }
    case Connection::Wait::kTimeout:
        done.outcome = Outcome::kNoReply;
        done.message = "no reply within " + std::to_string(timeoutMs / 1000) + " s";
        if (stray != 0) {
            done.message += "; a reply came with code " + hex4(stray) + " instead of " +
                            hex4(static_cast<uint16_t>(row.code | 0x8000));
        }
        break;
    case Connection::Wait::kClosed:
        done.outcome = Outcome::kConnectionLost;
        done.message = freshenError_.empty() ? "the gateway closed the connection" : freshenError_;
        break;
    case Connection::Wait::kWoken:
        done.outcome = Outcome::kNotRun;
        done.message = "stopped while the test ran";
        break;
    }
}

// The attempt's end: its event, and a dropped connection said.
Outcome GatewayRun::conclude(const catalogue::Test &row, Event &done)
{
    if (done.outcome == Outcome::kFail || done.outcome == Outcome::kNoReply ||
        done.outcome == Outcome::kConnectionLost) {
        if (done.hint.empty()) {
            done.hint = std::string(row.hint);
        }
    }
    done.total = planAnnounced_ ? static_cast<int>(plan_.size()) : 0;
    done.gateway = info_;
    emit(done);

    if (done.outcome == Outcome::kConnectionLost) {
        connected_ = false;
        conn_.close();
        Event ev = event(EventKind::kConnectionLost);
        ev.code = row.code;
        ev.name = std::string(row.name);
        ev.message = "the connection dropped during " + std::string(row.name) + "; connecting again";
        emit(ev);
    }
    return done.outcome;
}

Outcome GatewayRun::attempt(const catalogue::Test &row, size_t index, int attemptNo)
{
    const bool asks = e_.options.op == OperatorMode::kAsk;
    const std::string who = info_.display();

    Event done = begin(row, index, attemptNo, "");

    uint64_t buttonPrompt = 0;
    if (row.op == catalogue::Operator::kPressButton && asks) {
        buttonPrompt = e_.desk.impl().openPrompt({info_.slot});
        Event ev = event(EventKind::kPromptNeeded);
        ev.code = row.code;
        ev.name = std::string(row.name);
        ev.promptId = buttonPrompt;
        ev.prompt = catalogue::Operator::kPressButton;
        ev.question = questionOf(row, who);
        ev.countdownMs = static_cast<int>(row.longestMs);
        emit(ev);
    }

    exchange(row, done);

    if (buttonPrompt != 0) {
        e_.desk.impl().closePrompt(buttonPrompt);
        Event ev = event(EventKind::kPromptAnswered);
        ev.code = row.code;
        ev.name = std::string(row.name);
        ev.promptId = buttonPrompt;
        ev.prompt = catalogue::Operator::kPressButton;
        ev.answer = OperatorAnswer{"", done.durationMs};
        emit(ev);
    }

    // What the service cannot see: the person looks at the LEDs.
    const bool looks = row.op != catalogue::Operator::kNone && row.op != catalogue::Operator::kPressButton;
    if (row.op != catalogue::Operator::kNone && e_.options.op == OperatorMode::kUnattended) {
        done.answer = OperatorAnswer{"unattended", 0};
    } else if (looks && done.outcome == Outcome::kPass) {
        Event ask = event(EventKind::kPromptNeeded);
        ask.code = row.code;
        ask.name = std::string(row.name);
        ask.prompt = row.op;
        ask.question = questionOf(row, who);
        Event answered = ask;
        answered.kind = EventKind::kPromptAnswered;
        if (e_.options.op == OperatorMode::kYes) {
            ask.promptId = answered.promptId = e_.desk.impl().newId();
            emit(ask);
            answered.answer = OperatorAnswer{"auto-yes", 0};
            emit(answered);
            done.answer = answered.answer;
        } else {
            ask.promptId = answered.promptId = e_.desk.impl().openPrompt({info_.slot});
            const auto asked = Clock::now();
            emit(ask);
            const std::optional<std::vector<int>> no = e_.desk.impl().waitAnswer(ask.promptId, e_.stopped);
            if (!no) {
                done.outcome = Outcome::kNotRun;
                done.message = "stopped while the operator was asked";
            } else {
                const bool yes = no->empty();
                answered.answer = OperatorAnswer{yes ? "yes" : "no", msSince(asked)};
                emit(answered);
                done.answer = answered.answer;
                if (!yes) {
                    done.outcome = Outcome::kFail;
                    done.message = "the operator answered no";
                }
            }
        }
    }
    return conclude(row, done);
}

// The gang's question, one event for all it asks about (`asked`, in slot order).
Event GatewayRun::gangPrompt(EventKind kind, const catalogue::Test &row, const Gang &gang,
                             const std::vector<GatewayInfo> &asked) const
{
    Event ev = event(kind);
    if (!asked.empty()) {
        // Told as the first member's, like its gateway.
        ev.gateway = asked.front();
        ev.runId = e_.batchId + "-" + std::to_string(ev.gateway.slot);
    }
    ev.code = row.code;
    ev.name = std::string(row.name);
    ev.prompt = row.op;
    ev.gang = gang.id;
    ev.members = asked;
    ev.question = asked.size() == 1 ? questionOf(row, asked.front().display()) : gangQuestionOf(row, asked);
    return ev;
}

// One member's part of a gang step. The first member through takes the desk
// for the step (and opens the button's countdown); every member sends its
// request at once; for the LEDs the last reply in asks the one question.
Outcome GatewayRun::gangAttempt(const catalogue::Test &row, size_t index, int attemptNo, Gang &gang)
{
    const OperatorMode mode = e_.options.op;
    const bool button = row.op == catalogue::Operator::kPressButton;
    std::mutex &m = e_.gangMutex;
    auto &cv = e_.gangChanged;

    bool leader = false;
    {
        std::unique_lock lock(m);
        gang.infos[info_.slot] = info_;
        cv.notify_all();
        if (!gang.setUp && !gang.settingUp) {
            gang.settingUp = leader = true;
            cv.wait(lock, [&] { return gang.infos.size() == gang.members.size() || e_.stopped.load(); });
        } else {
            cv.wait(lock, [&] { return gang.setUp || e_.stopped.load(); });
        }
    }
    std::vector<GatewayInfo> all;
    if (leader) {
        {
            std::lock_guard lock(m);
            for (const auto &[slot, info] : gang.infos) {
                all.push_back(info);
            }
        }
        if (mode == OperatorMode::kAsk) {
            std::string names;
            for (const GatewayInfo &g : all) {
                names += (names.empty() ? "" : " ") + memberName(g);
            }
            gang.deskTicket = e_.desk.impl().acquire(e_.stopped, names, [this](const std::string &busyWith) {
                notice("waiting for the operator, who is busy with " + busyWith);
            });
            if (button && gang.deskTicket != 0) {
                std::vector<int> slots;
                for (const GatewayInfo &g : all) {
                    slots.push_back(g.slot);
                }
                gang.buttonPrompt = e_.desk.impl().openPrompt(slots);
                gang.buttonAt = Clock::now();
                Event ev = gangPrompt(EventKind::kPromptNeeded, row, gang, all);
                ev.promptId = gang.buttonPrompt;
                ev.countdownMs = static_cast<int>(row.longestMs);
                emit(ev);
            }
        }
        std::lock_guard lock(m);
        gang.setUp = true;
        cv.notify_all();
    }

    Event done = begin(row, index, attemptNo, gang.id);
    exchange(row, done);
    if (mode == OperatorMode::kUnattended) {
        done.answer = OperatorAnswer{"unattended", 0};
    }

    if (button) {
        const Outcome outcome = conclude(row, done);
        bool last = false;
        {
            std::lock_guard lock(m);
            gang.outcomes[info_.slot] = outcome;
            last = gang.outcomes.size() == gang.members.size();
        }
        if (last) {
            if (gang.buttonPrompt != 0) {
                e_.desk.impl().closePrompt(gang.buttonPrompt);
                std::vector<GatewayInfo> members;
                {
                    std::lock_guard lock(m);
                    for (const auto &[slot, info] : gang.infos) {
                        members.push_back(info);
                    }
                }
                Event ev = gangPrompt(EventKind::kPromptAnswered, row, gang, members);
                ev.promptId = gang.buttonPrompt;
                ev.answer = OperatorAnswer{"", msSince(gang.buttonAt)};
                emit(ev);
            }
            e_.desk.impl().release(gang.deskTicket);
        }
        return outcome;
    }

    // The LEDs: the person looks once every reply is in.
    bool asker = false;
    std::vector<GatewayInfo> asked;
    {
        std::unique_lock lock(m);
        gang.outcomes[info_.slot] = done.outcome;
        gang.infos[info_.slot] = info_;
        cv.notify_all();
        if (gang.outcomes.size() == gang.members.size() && !gang.asking) {
            gang.asking = asker = true;
            for (const auto &[slot, outcome] : gang.outcomes) {
                if (outcome == Outcome::kPass) {
                    asked.push_back(gang.infos[slot]);
                }
            }
        } else {
            cv.wait(lock, [&] { return gang.asked || e_.stopped.load(); });
        }
    }
    if (asker) {
        std::optional<std::vector<int>> no = std::vector<int>{};
        std::optional<OperatorAnswer> answer;
        if (!asked.empty() && mode == OperatorMode::kYes) {
            Event ask = gangPrompt(EventKind::kPromptNeeded, row, gang, asked);
            ask.promptId = e_.desk.impl().newId();
            emit(ask);
            Event answered = ask;
            answered.kind = EventKind::kPromptAnswered;
            answered.answer = answer = OperatorAnswer{"auto-yes", 0};
            emit(answered);
        } else if (!asked.empty() && mode == OperatorMode::kAsk) {
            std::vector<int> slots;
            for (const GatewayInfo &g : asked) {
                slots.push_back(g.slot);
            }
            Event ask = gangPrompt(EventKind::kPromptNeeded, row, gang, asked);
            ask.promptId = e_.desk.impl().openPrompt(slots);
            const auto at = Clock::now();
            emit(ask);
            no = e_.desk.impl().waitAnswer(ask.promptId, e_.stopped);
            if (no) {
                Event answered = ask;
                answered.kind = EventKind::kPromptAnswered;
                answered.noSlots = *no;
                answered.answer = answer = OperatorAnswer{no->empty() ? "yes" : "no", msSince(at)};
                emit(answered);
            }
        }
        e_.desk.impl().release(gang.deskTicket);
        std::lock_guard lock(m);
        gang.no = no;
        gang.answer = answer;
        gang.asked = true;
        cv.notify_all();
    }

    if (done.outcome == Outcome::kPass && mode != OperatorMode::kUnattended) {
        std::lock_guard lock(m);
        if (!gang.asked || !gang.no) {
            done.outcome = Outcome::kNotRun;
            done.message = "stopped while the operator was asked";
        } else if (gang.answer) {
            const bool yes = std::find(gang.no->begin(), gang.no->end(), info_.slot) == gang.no->end();
            done.answer = *gang.answer;
            if (mode == OperatorMode::kAsk) {
                done.answer->answer = yes ? "yes" : "no";
            }
            if (!yes) {
                done.outcome = Outcome::kFail;
                done.message = "the operator answered no";
            }
        }
    }
    return conclude(row, done);
}

// Runs one test with its retries: the outcome of its last attempt, empty
// when no attempt began (stopped, or the gateway gone).
std::optional<Outcome> GatewayRun::runTest(size_t index)
{
    const catalogue::Test &row = rowAt(index);
    const bool ganged = e_.options.gangs && row.op != catalogue::Operator::kNone;
    // Without gangs the operator's tests of one gateway hold the desk together.
    if (!e_.options.gangs && row.op != catalogue::Operator::kNone && e_.options.op == OperatorMode::kAsk &&
        deskTicket_ == 0) {
        deskTicket_ = e_.desk.impl().acquire(e_.stopped, info_.display(), [this](const std::string &busyWith) {
            notice("waiting for the operator, who is busy with " + busyWith);
        });
        if (deskTicket_ == 0) {
            return std::nullopt;
        }
    } else if (row.op == catalogue::Operator::kNone && deskTicket_ != 0) {
        e_.desk.impl().release(deskTicket_);
        deskTicket_ = 0;
    }
    std::optional<Outcome> outcome;
    for (int attemptNo = 1; attemptNo <= 1 + e_.options.retries; ++attemptNo) {
        if (e_.stopped.load()) {
            break;
        }
        const Link link = ensureConnected();
        if (link == Link::kGone) {
            gone_ = true;
        }
        if (link != Link::kUp) {
            break;
        }
        if (ganged) {
            // A retry goes alone, at once: the others have moved on.
            const std::shared_ptr<Gang> gang = e_.joinGang(info_.slot, std::string(row.name), attemptNo > 1);
            if (!gang) {
                break;
            }
            outcome = gangAttempt(row, index, attemptNo, *gang);
        } else {
            outcome = attempt(row, index, attemptNo);
        }
        if (outcome == Outcome::kPass || outcome == Outcome::kNotRun || mismatch_) {
            break;
        }
    }
    return outcome;
}

RunOutcome GatewayRun::finish(std::optional<RunOutcome> forced, const std::string &message)
{
    e_.movePlace(info_.slot, [](GangPlace &place) { place.running = false; });
    e_.desk.impl().release(deskTicket_);
    deskTicket_ = 0;
    conn_.close();
    RunOutcome outcome = RunOutcome::kPass;
    if (forced) {
        outcome = *forced;
    } else if (worst_ == 3) {
        outcome = RunOutcome::kConnectionLost;
    } else if (worst_ == 2) {
        outcome = RunOutcome::kNoReply;
    } else if (worst_ == 1) {
        outcome = RunOutcome::kFail;
    }
    std::string said = message;
    // A unit that passed every test is only good when it is the one unit of
    // its MAC and its serial number. Without a serial the station cannot
    // tell a retest from a second board: nothing is checked then.
    if (outcome == RunOutcome::kPass && e_.options.checkUnit && !info_.mac.empty() && !serial_.empty()) {
        const UnitCheck check = e_.options.checkUnit(info_.mac, serial_);
        if (check.verdict == UnitCheck::Verdict::kDuplicate) {
            outcome = RunOutcome::kDuplicate;
        } else if (check.verdict == UnitCheck::Verdict::kUncheckedLine) {
            outcome = RunOutcome::kUncheckedLine;
        }
        said = check.message;
    }
    Event ev = event(EventKind::kRunFinished);
    ev.serial = serial_;
    ev.runOutcome = outcome;
    ev.total = static_cast<int>(plan_.size());
    ev.passed = passed_;
    ev.failed = failed_;
    ev.noReply = noReply_;
    ev.connectionLost = lost_;
    ev.notRun = notRun_;
    ev.skipped = skipped_;
    ev.message = said;
    emit(ev);
    return outcome;
}

RunOutcome GatewayRun::go()
{
    {
        Event ev = event(EventKind::kRunStarted);
        ev.serial = serial_;
        emit(ev);
    }
    const bool automatic = e_.options.model == "auto";
    if (!automatic) {
        modelBit_ = catalogue::modelBit(e_.options.model);
        info_.model = e_.options.model;
        planKnown();
    } else {
        plan_ = {catalogue::kModelQuery};
    }

    std::string error;
    const bool up = connect(error);
    if (!up && e_.stopped.load()) {
        if (planAnnounced_) {
            finishRest(0, Outcome::kNotRun, "stopped");
        }
        return finish(RunOutcome::kStopped, "stopped");
    }
    if (!up) {
        const std::string why = "cannot connect to " + info_.address() + ": " + error;
        if (planAnnounced_) {
            finishRest(0, Outcome::kNotRun, why);
        }
        return finish(RunOutcome::kUnreachable, why);
    }
    connected_ = true;

    // The model first: it says which plan applies (--model auto) or that
    // the plan given is the wrong one.
    const std::optional<Outcome> model = runTest(0);
    if (model) {
        count(*model);
    }
    if (mismatch_) {
        finishRest(1, Outcome::kNotRun, mismatchMessage_);
        return finish(RunOutcome::kModelMismatch, mismatchMessage_);
    }
    if (model != Outcome::kPass) {
        std::string why;
        if (e_.stopped.load()) {
            why = "stopped";
        } else if (gone_) {
            why = "the gateway did not come back: " + lastError_;
        } else {
            why = "the model query was not answered: the plan cannot be chosen";
        }
        if (planAnnounced_) {
            finishRest(model ? 1 : 0, Outcome::kNotRun, why);
        }
        if (e_.stopped.load()) {
            return finish(RunOutcome::kStopped, why);
        }
        return finish(gone_ ? std::optional(RunOutcome::kConnectionLost) : std::nullopt, why);
    }
    if (!planAnnounced_) {
        planKnown();
    }

    for (size_t i = 1; i < plan_.size(); ++i) {
        if (e_.stopped.load()) {
            finishRest(i, Outcome::kNotRun, "stopped");
            return finish(RunOutcome::kStopped, "stopped");
        }
        e_.movePlace(info_.slot, [i](GangPlace &place) { place.next = i; });
        const catalogue::Test &row = rowAt(i);
        if (!selected(row.code)) {
            testFinished(row, i, Outcome::kSkipped, "");
            continue;
        }
        const std::optional<Outcome> outcome = runTest(i);
        if (outcome) {
            count(*outcome);
        }
        if (e_.stopped.load()) {
            finishRest(outcome ? i + 1 : i, Outcome::kNotRun, "stopped");
            return finish(RunOutcome::kStopped, "stopped");
        }
        if (gone_) {
            const std::string why = "the gateway did not come back: " + lastError_;
            finishRest(outcome ? i + 1 : i, Outcome::kNotRun, why);
            return finish(RunOutcome::kConnectionLost, why);
        }
    }
    return finish(std::nullopt, "");
}

} // namespace

std::vector<uint16_t> Engine::planOf(uint8_t modelBit)
{
    // The catalogue's rows of the model in their order (identity, network,
    // radios, cellular, the operator's last), the model query moved first.
    std::vector<uint16_t> plan;
    const catalogue::Plan rows = catalogue::plan(modelBit);
    if (rows.empty()) {
        return plan;
    }
    plan.push_back(catalogue::kModelQuery);
    for (const catalogue::Test *t : rows) {
        if (t->code != catalogue::kModelQuery) {
            plan.push_back(t->code);
        }
    }
    return plan;
}

std::string batchName(const std::string &station, int64_t unixSecond)
{
    const auto second = static_cast<std::time_t>(unixSecond);
    std::tm tm{};
    gmtime_r(&second, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    return (station.empty() ? std::string("station") : station) + "-" + stamp;
}

Engine::Engine(RunOptions options, OperatorDesk &desk) : impl_(std::make_unique<Impl>(std::move(options), desk)) {}

Engine::~Engine() = default;

void Engine::subscribe(EventSink *sink) { impl_->sinks.push_back(sink); }

void Engine::stop()
{
    impl_->stopped.store(true);
    if (impl_->wakeFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(impl_->wakeFd, &one, sizeof one);
    }
    impl_->desk.impl().wakeAll();
    std::lock_guard lock(impl_->gangMutex);
    impl_->gangChanged.notify_all();
}

RunSummary Engine::run(const std::vector<Target> &targets)
{
    Impl &e = *impl_;
    e.batchId = e.options.batchId.empty() ? batchName(e.options.station, std::time(nullptr)) : e.options.batchId;
    {
        Event ev;
        ev.kind = EventKind::kBatchStarted;
        ev.total = static_cast<int>(targets.size());
        e.emit(ev);
    }
    e.places.assign(targets.size(), GangPlace{});
    std::vector<std::unique_ptr<GatewayRun>> runs;
    for (size_t i = 0; i < targets.size(); ++i) {
        runs.push_back(std::make_unique<GatewayRun>(e, targets[i], static_cast<int>(i)));
    }
    std::vector<RunOutcome> outcomes(targets.size(), RunOutcome::kStopped);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i) {
        threads.emplace_back([&, i] { outcomes[i] = runs[i]->go(); });
    }
    for (std::thread &t : threads) {
        t.join();
    }

    RunSummary summary;
    summary.stopped = e.stopped.load();
    int passed = 0;
    for (size_t i = 0; i < runs.size(); ++i) {
        int status = exitStatusOf(outcomes[i]);
        if (outcomes[i] == RunOutcome::kStopped) {
            status = std::max(status, runs[i]->worstRank());
        }
        summary.exitStatus = std::max(summary.exitStatus, status);
        passed += outcomes[i] == RunOutcome::kPass || outcomes[i] == RunOutcome::kUncheckedLine ? 1 : 0;
    }
    Event ev;
    ev.kind = EventKind::kBatchFinished;
    ev.total = static_cast<int>(targets.size());
    ev.passed = passed;
    ev.failed = static_cast<int>(targets.size()) - passed;
    e.emit(ev);
    return summary;
}

} // namespace station

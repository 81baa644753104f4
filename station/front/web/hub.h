// The live side of the station page: what every slot is doing, kept from the
// engine's events, and the Server-Sent Events streams of the open pages.
//
// The engine's threads call onEvent(): it updates the slots and appends one
// message to every page's queue under a short lock, and returns. Pages read
// their queues on the HTTP server's threads. A page that falls too far
// behind loses its stream (its browser reconnects and gets a fresh
// snapshot); the engine never waits for a page.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/events.h"
#include "wire/text.h"

namespace station::web {

enum class SlotState : uint8_t { kIdle, kRunning, kPass, kFail, kUnreachable };
// "idle", "running", "pass", "fail", "unreachable".
const char *slotStateName(SlotState state);

struct SlotPrompt {
    uint64_t id = 0;
    catalogue::Operator kind = catalogue::Operator::kLedLit;
    std::string question;
    int countdownMs = 0;
    int64_t askedUnixMs = 0;
    // The gang's id when the question is a gang's (empty when the gateway
    // is asked alone), and how many gateways it asks about: a slot of a
    // gang of two or more is answered on the gang's card.
    std::string gang;
    int members = 1;
};

// A gateway a gang's question asks about.
struct GangMember {
    int slot = 0; // the page's slot id
    std::string label;
    std::string address;
    std::string mac;
    // The button: its reply to the gang's step has come (its own 10 s
    // window), pressed when it passed.
    bool replied = false;
    bool pressed = false;
    bool ended = false; // its run has ended (stopped) while the question was open
};

// An open question about a gang: from its kPromptNeeded to its
// kPromptAnswered (or until every member's run has ended, on a stop).
struct GangPrompt {
    uint64_t id = 0;
    std::string gang; // "<batchId>-g<n>"
    catalogue::Operator kind = catalogue::Operator::kLedLit;
    uint16_t code = 0;
    std::string name; // the test's short name: "led-power"
    std::string question;
    int countdownMs = 0;
    int64_t askedUnixMs = 0;
    std::vector<GangMember> members; // in slot order
};

// One gateway of the station as the page shows it.
struct Slot {
    int id = 0;
    Target target;
    std::string model;
    std::string mac;
    SlotState state = SlotState::kIdle;
    std::string outcome; // the last run's outcome as the records spell it
    std::string runId;
    std::string batchId;
    // The test in flight.
    bool inTest = false;
    uint16_t code = 0;
    std::string testName;
    std::string testTitle;
    int expectedMs = 0;
    int64_t testStartedUnixMs = 0;
    int attempt = 1;
    // Progress of the run.
    int total = 0;
    std::map<uint16_t, Outcome> finished; // code -> its last attempt's outcome
    std::map<uint16_t, std::string> names;
    // Passed in the line profile's marginal band: code -> the limit and value.
    std::map<uint16_t, std::string> marginal;
    std::optional<SlotPrompt> prompt;
    std::string message;

    int done() const;
    // Forgets the last run's outcome and progress, as a new run begins.
    void clearRun();
    // The plan's tests less those left out (--only, --skip).
    int planned() const;
    std::vector<std::string> failedTests() const;
    std::vector<std::string> marginalTests() const;
};

// The JSON the page reads for a slot, with times relative to `nowUnixMs`.
std::string slotJson(const Slot &slot, int64_t nowUnixMs);
// The JSON the page reads for a gang's question.
std::string gangJson(const GangPrompt &gang, int64_t nowUnixMs);

class Hub : public EventSink {
public:
    static constexpr size_t kMaxStreams = 16;
    static constexpr size_t kMaxQueued = 2000;

    explicit Hub(bool tokenRequired = false);

    // Slots.
    int addSlot(const Target &target);
    size_t slotCount() const;
    std::optional<Slot> slot(int id) const;
    std::vector<Slot> slots() const;
    // Marks the slots running before their run starts, so that two starts of
    // one slot cannot both go; false (nothing marked) when one already runs.
    bool reserve(const std::vector<int> &ids, std::string &error);
    // The ids of the slots that are not running.
    std::vector<int> idleSlots() const;
    // After a batch has ended: a slot still shown running (its run ended
    // without a final event) goes back to idle with `why`.
    void release(const std::vector<int> &ids, const std::string &why);

    // The person signed in on the page ("" when none): kept with every run
    // started from then on. Said to every open page.
    void signIn(const std::string &operatorId);
    std::string operatorId() const;

    // The open questions about gangs, oldest first, and the one of a prompt.
    std::vector<GangPrompt> gangs() const;
    std::optional<GangPrompt> gang(uint64_t promptId) const;
    // Those as a JSON array.
    std::string gangsJson(int64_t nowUnixMs) const;

    // The engine's events, gateway.slot (and a gang's members' slots) being
    // the page's slot ids.
    void onEvent(const Event &event) override;

    // A page's stream. The first message is the snapshot of every slot.
    class Stream {
    public:
        // Waits up to `waitMs` for messages; empty when none came. False once
        // the stream is over (hub closed, or the page fell behind).
        bool take(std::string &out, int waitMs);

    private:
        friend class Hub;
        std::deque<std::string> queue_;
        bool over_ = false;
        std::condition_variable cv_;
        Hub *hub_ = nullptr;
    };
    // Null when kMaxStreams are open already.
    std::shared_ptr<Stream> openStream();
    void closeStream(const std::shared_ptr<Stream> &stream);
    size_t streamCount() const;
    // Ends every stream (server shutting down).
    void close();

private:
    void broadcastLocked(const std::string &message);
    std::string snapshotLocked(int64_t nowUnixMs) const;
    std::string slotMessageLocked(const Slot &slot, int64_t nowUnixMs) const;
    std::string gangsJsonLocked(int64_t nowUnixMs) const;
    Slot *slotLocked(int id);
    // A gang's question opens, a member's reply comes, the question closes;
    // true when the open gangs changed.
    bool gangEventLocked(const Event &event);
    // A member's run has ended; true when the open gangs changed.
    bool memberEndedLocked(int slot);

    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<GangPrompt> gangs_;
    std::vector<std::shared_ptr<Stream>> streams_;
    bool closed_ = false;
    bool tokenRequired_ = false;
    std::string operatorId_;
};

} // namespace station::web

// The page's runs on the station engine.
#include "front/web/engineRunner.h"

#include <algorithm>
#include <chrono>

namespace station::web {

// Gives the engine's gateway numbers (0.. in the batch) the page's slot ids:
// the gateway's, a gang's members' and those a gang's answer said no for.
class EngineRunner::SlotMapper : public EventSink {
public:
    SlotMapper(EngineRunner &runner, Batch &batch, std::vector<int> ids)
        : runner_(runner), batch_(batch), ids_(std::move(ids))
    {
    }
    void onEvent(const Event &event) override
    {
        Event mapped = event;
        mapped.gateway.slot = pageSlot(event.gateway.slot);
        for (GatewayInfo &member : mapped.members) {
            member.slot = pageSlot(member.slot);
        }
        for (int &slot : mapped.noSlots) {
            slot = pageSlot(slot);
        }
        // Known before the page can see the question, so its answer finds it.
        if (event.kind == EventKind::kPromptNeeded) {
            runner_.notePrompt(event.promptId, &batch_, true);
        } else if (event.kind == EventKind::kPromptAnswered) {
            runner_.notePrompt(event.promptId, &batch_, false);
        }
        runner_.deliver(mapped);
    }

private:
    int pageSlot(int index) const
    {
        return index >= 0 && static_cast<size_t>(index) < ids_.size() ? ids_[static_cast<size_t>(index)] : -1;
    }

    EngineRunner &runner_;
    Batch &batch_;
    std::vector<int> ids_;
};

struct EngineRunner::Batch {
    std::vector<int> ids;
    std::unique_ptr<SlotMapper> mapper;
    std::unique_ptr<Engine> engine;
    std::thread thread;
    std::atomic<bool> stopped{false};
    std::atomic<bool> finished{false};
};

EngineRunner::EngineRunner(RunOptions options, Hub &hub, EventSink *records)
    : options_(std::move(options)), hub_(hub), records_(records)
{
    options_.op = OperatorMode::kAsk; // the page asks the person
}

EngineRunner::~EngineRunner()
{
    stop();
    std::lock_guard lock(mutex_);
    for (auto &batch : batches_) {
        if (batch->thread.joinable()) {
            batch->thread.join();
        }
    }
    batches_.clear();
}

// The records first: when the page hears that a run has ended, its history
// view reads the records, and they must hold the run by then. Batches deliver
// at the same time from their own threads; the hub and the records each keep
// their own lock.
void EngineRunner::deliver(const Event &event)
{
    if (records_ != nullptr) {
        records_->onEvent(event);
    }
    hub_.onEvent(event);
}

void EngineRunner::reapLocked()
{
    for (auto it = batches_.begin(); it != batches_.end();) {
        if ((*it)->finished) {
            (*it)->thread.join();
            it = batches_.erase(it);
        } else {
            ++it;
        }
    }
}

bool EngineRunner::start(const std::vector<std::pair<int, Target>> &slots, std::string &error)
{
    if (slots.empty()) {
        error = "no slot to start";
        return false;
    }
    std::lock_guard lock(mutex_);
    reapLocked();
    auto batch = std::make_unique<Batch>();
    std::vector<Target> targets;
    for (const auto &[id, target] : slots) {
        batch->ids.push_back(id);
        targets.push_back(target);
    }

    // A batch is named by its station and the second it starts: two starts
    // within one second would share a name, and with it their runs' ids and
    // their JUnit file. Each batch gets a second of its own, and its name is
    // given here: read from the clock on the batch's thread, it would be the
    // next batch's whenever that thread came late into its second.
    using namespace std::chrono;
    const int64_t nowSecond = duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
    const int64_t second = std::max(nowSecond, lastStartSecond_ + 1);
    lastStartSecond_ = second;
    RunOptions options = options_;
    options.batchId = batchName(options_.station, second);
    // The person signed in on the page when the batch starts answers for it.
    if (const std::string signedIn = hub_.operatorId(); !signedIn.empty()) {
        options.operatorId = signedIn;
    }

    batch->mapper = std::make_unique<SlotMapper>(*this, *batch, batch->ids);
    batch->engine = std::make_unique<Engine>(options, desk_);
    batch->engine->subscribe(batch->mapper.get());

    Batch *raw = batch.get();
    try {
        raw->thread = std::thread([this, raw, targets, second] {
            // Not before the second it is named by.
            std::this_thread::sleep_until(system_clock::time_point(seconds(second)));
            if (beforeRun) {
                beforeRun();
            }
            if (!raw->stopped) {
                raw->engine->run(targets);
            }
            forgetBatch(raw); // a question left open by a stop
            hub_.release(raw->ids, raw->stopped ? "stopped" : "the run ended");
            raw->finished = true;
        });
    } catch (const std::system_error &e) {
        error = std::string("cannot start the run: ") + e.what();
        return false;
    }
    batches_.push_back(std::move(batch));
    return true;
}

void EngineRunner::stop()
{
    std::lock_guard lock(mutex_);
    for (auto &batch : batches_) {
        if (!batch->finished) {
            batch->stopped = true;
            batch->engine->stop();
        }
    }
}

bool EngineRunner::answer(uint64_t promptId, bool yes) { return desk_.answer(promptId, yes); }

bool EngineRunner::answer(uint64_t promptId, const std::vector<int> &noSlots)
{
    std::vector<int> indices;
    {
        std::lock_guard lock(promptMutex_);
        const auto asked = prompts_.find(promptId);
        if (asked == prompts_.end()) {
            return false;
        }
        // The page's slot ids, as the desk knows them: their places in the batch.
        const std::vector<int> &ids = asked->second->ids;
        for (int slot : noSlots) {
            const auto at = std::find(ids.begin(), ids.end(), slot);
            if (at == ids.end()) {
                return false;
            }
            indices.push_back(static_cast<int>(at - ids.begin()));
        }
    }
    // Not under promptMutex_: the engine may tell of a question while it
    // holds the desk.
    return desk_.answer(promptId, indices);
}

void EngineRunner::notePrompt(uint64_t promptId, Batch *batch, bool open)
{
    std::lock_guard lock(promptMutex_);
    if (open) {
        prompts_[promptId] = batch;
    } else {
        prompts_.erase(promptId);
    }
}

void EngineRunner::forgetBatch(Batch *batch)
{
    std::lock_guard lock(promptMutex_);
    std::erase_if(prompts_, [batch](const auto &entry) { return entry.second == batch; });
}

} // namespace station::web

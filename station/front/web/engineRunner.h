// The page's runner on the station engine: each start is one batch, an
// engine of its own on its own thread, all sharing the station's one
// operator. Events reach the page and the records with the page's slot ids.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/engine.h"
#include "front/web/hub.h"
#include "front/web/runner.h"

namespace station::web {

class EngineRunner : public Runner {
public:
    // `records` may be null (no records kept); it outlives the runner.
    EngineRunner(RunOptions options, Hub &hub, EventSink *records);
    ~EngineRunner() override; // stops every run and waits for it
    EngineRunner(const EngineRunner &) = delete;
    EngineRunner &operator=(const EngineRunner &) = delete;

    bool start(const std::vector<std::pair<int, Target>> &slots, std::string &error) override;
    void stop() override;
    bool answer(uint64_t promptId, bool yes) override;
    bool answer(uint64_t promptId, const std::vector<int> &noSlots) override;

    // Called on a batch's thread just before its engine runs; set before the
    // first start. Tests hold a batch back with it.
    std::function<void()> beforeRun;

private:
    struct Batch;
    class SlotMapper;
    void reapLocked();
    void deliver(const Event &event);
    // Which batch asks each open question: the desk knows a gang's members
    // by their place in their batch, the page by its slot ids.
    void notePrompt(uint64_t promptId, Batch *batch, bool open);
    void forgetBatch(Batch *batch);

    RunOptions options_;
    Hub &hub_;
    EventSink *records_;
    OperatorDesk desk_;
    std::mutex mutex_;
    std::list<std::unique_ptr<Batch>> batches_;
    int64_t lastStartSecond_ = 0;
    std::mutex promptMutex_; // apart from mutex_: stop() holds that while engines stop and still deliver
    std::map<uint64_t, Batch *> prompts_;
};

} // namespace station::web

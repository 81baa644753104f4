// The test kit's one recorder of the station engine's events and its one
// wait for a condition: a sink that keeps every event (and may answer the
// operator's questions), and a poll with a deadline, so that tests of the
// engine, the page's runner and the line's forwarder wait the same way.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/events.h"

namespace sandbox {

// Polls `done` every 10 ms until it holds (true) or `timeoutMs` has passed
// (false); a deadline, not a fixed sleep, so a loaded machine only waits
// longer.
template <typename Pred>
bool waitUntil(Pred done, int timeoutMs = 30000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Keeps every event; answers the yes/no questions through `answerer` when
// one is set (the button's question needs no answer).
class EventRecorder : public station::EventSink {
public:
    void onEvent(const station::Event &event) override
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        if (event.kind == station::EventKind::kPromptNeeded) {
            ++open_;
            maxOpen_ = std::max(maxOpen_, open_);
            if (event.prompt != catalogue::Operator::kPressButton && answerer) {
                answerer(event);
            }
        } else if (event.kind == station::EventKind::kPromptAnswered) {
            --open_;
        }
    }
    std::vector<station::Event> events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The events of one kind, of one gateway (slot) or of all (-1).
    std::vector<station::Event> of(station::EventKind kind, int slot = -1)
    {
        std::vector<station::Event> out;
        for (const station::Event &e : events()) {
            if (e.kind == kind && (slot < 0 || e.gateway.slot == slot)) {
                out.push_back(e);
            }
        }
        return out;
    }
    // The final TestFinished of each test name of a gateway.
    std::map<std::string, station::Event> results(int slot = 0)
    {
        std::map<std::string, station::Event> out;
        for (const station::Event &e : of(station::EventKind::kTestFinished, slot)) {
            out[e.name] = e;
        }
        return out;
    }
    // The most questions that were open at once.
    int maxOpen()
    {
        std::lock_guard lock(mutex_);
        return maxOpen_;
    }

    std::function<void(const station::Event &)> answerer; // called under the recorder's lock

private:
    std::mutex mutex_;
    std::vector<station::Event> events_;
    int open_ = 0;
    int maxOpen_ = 0;
};

} // namespace sandbox

// The virtual clock behind the service's sleeps.
#include "virtualClock.h"

#include <algorithm>
#include <cassert>

#include "clock.h"

namespace sandbox {

namespace {
VirtualClock *current = nullptr;
}

VirtualClock::VirtualClock()
{
    assert(current == nullptr);
    current = this;
    gwSetSleepHook(&VirtualClock::hook);
}

VirtualClock::~VirtualClock()
{
    gwSetSleepHook(nullptr);
    current = nullptr;
}

void VirtualClock::at(uint64_t atUs, std::function<void()> event)
{
    events_.push_back(Event{atUs, nextOrder_++, std::move(event)});
}

void VirtualClock::hook(uint64_t us) { current->advance(us); }

void VirtualClock::advance(uint64_t us)
{
    sleeps_.push_back(us);
    now_ += us;
    for (;;) {
        auto due = std::min_element(events_.begin(), events_.end(), [](const Event &a, const Event &b) {
            return a.atUs != b.atUs ? a.atUs < b.atUs : a.order < b.order;
        });
        if (due == events_.end() || due->atUs > now_) {
            return;
        }
        auto run = std::move(due->run);
        events_.erase(due);
        run();
    }
}

} // namespace sandbox

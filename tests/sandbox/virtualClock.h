// A virtual clock for the service's waits: while one exists, every sleep of
// the service returns at once, advances virtual time by its length and runs
// the events scheduled up to the new time, in time order.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace sandbox {

class VirtualClock {
public:
    VirtualClock();
    ~VirtualClock();
    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    uint64_t nowUs() const { return now_; }
    // Runs `event` once virtual time reaches `atUs` (after the sleep that
    // crosses it, before that sleep returns).
    void at(uint64_t atUs, std::function<void()> event);
    // Every sleep the service asked for, in microseconds, in order.
    const std::vector<uint64_t> &sleeps() const { return sleeps_; }

private:
    static void hook(uint64_t us);
    void advance(uint64_t us);

    struct Event {
        uint64_t atUs;
        uint64_t order;
        std::function<void()> run;
    };
    uint64_t now_ = 0;
    uint64_t nextOrder_ = 0;
    std::vector<Event> events_;
    std::vector<uint64_t> sleeps_;
};

inline constexpr uint64_t kUsPerSec = 1000000;
inline constexpr uint64_t kUsPerMs = 1000;

} // namespace sandbox

// The service's one way to wait: a real sleep that signals do not cut short,
// or the hook a test installed in its place (the virtual clock).
#include "clock.h"

#include <cerrno>
#include <ctime>

namespace {

void realSleep(uint64_t us)
{
    timespec left{static_cast<time_t>(us / 1000000U), static_cast<long>((us % 1000000U) * 1000U)};
    // A signal must not cut a wait short: the tests' pauses are part of the test.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

GwSleepHook sleepHook = nullptr;

} // namespace

void gwSleepUs(uint64_t us)
{
    if (sleepHook != nullptr) {
        sleepHook(us);
        return;
    }
    realSleep(us);
}

void gwSetSleepHook(GwSleepHook hook) { sleepHook = hook; }

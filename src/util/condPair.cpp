// The condition pair: timed waits of a command for a report that another
// thread delivers.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "util/condPair.h"

namespace {

constexpr int64_t kNsPerSec = 1000000000;

std::atomic<unsigned> deadlineDivisor{1};

} // namespace

int condInit(CondPair *pair)
{
    pair->waiters = 0;
    pair->wakeups = 0;
    pthread_condattr_t attr;
    int rc = pthread_condattr_init(&attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (rc == 0) {
        rc = pthread_cond_init(&pair->cond, &attr);
    }
    pthread_condattr_destroy(&attr);
    if (rc != 0) {
        return rc;
    }
    rc = pthread_mutex_init(&pair->mutex, nullptr);
    if (rc != 0) {
        pthread_cond_destroy(&pair->cond);
    }
    return rc;
}

int condTimedWait(CondPair *pair, int seconds)
{
    pthread_mutex_lock(&pair->mutex);

    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const unsigned divisor = deadlineDivisor.load();
    const int64_t spanNs = seconds > 0 ? static_cast<int64_t>(seconds) * kNsPerSec / (divisor > 0 ? divisor : 1) : 0;
    const int64_t endNs = static_cast<int64_t>(deadline.tv_nsec) + spanNs % kNsPerSec;
    deadline.tv_sec += static_cast<time_t>(spanNs / kNsPerSec + endNs / kNsPerSec);
    deadline.tv_nsec = static_cast<long>(endNs % kNsPerSec);

    ++pair->waiters;
    int rc = 0;
    while (pair->wakeups == 0) {
        rc = pthread_cond_timedwait(&pair->cond, &pair->mutex, &deadline);
        if (rc != 0) {
            break;
        }
    }
    // A signal that came in just as the deadline passed still counts.
    int result = rc;
    if (pair->wakeups > 0) {
        --pair->wakeups;
        result = 0;
    }
    --pair->waiters;

    pthread_mutex_unlock(&pair->mutex);
    return result;
}

int condSignal(CondPair *pair)
{
    pthread_mutex_lock(&pair->mutex);
    if (pair->wakeups < pair->waiters) {
        ++pair->wakeups;
        pthread_cond_signal(&pair->cond);
    }
    pthread_mutex_unlock(&pair->mutex);
    return 0;
}

int condWaiting(CondPair *pair)
{
    pthread_mutex_lock(&pair->mutex);
    const int waiters = pair->waiters;
    pthread_mutex_unlock(&pair->mutex);
    return waiters;
}

void condSetDeadlineDivisor(unsigned divisor) { deadlineDivisor.store(divisor > 0 ? divisor : 1); }

// The condition pair: a command's timed wait for a report that another
// thread delivers.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "util/condPair.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CondPairTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(condInit(&pair_), 0); }
    void TearDown() override { condSetDeadlineDivisor(1); }

    // Polls until `count` threads wait on the pair (10 s at most).
    bool waitForWaiters(int count)
    {
        const auto end = Clock::now() + 10s;
        while (condWaiting(&pair_) < count) {
            if (Clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    CondPair pair_{};
};

TEST_F(CondPairTest, SignalDuringTheWaitEndsItWithZero)
{
    int result = -1;
    std::thread waiter([&] { result = condTimedWait(&pair_, 55); });
    ASSERT_TRUE(waitForWaiters(1));
    EXPECT_EQ(condSignal(&pair_), 0);
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(condWaiting(&pair_), 0);
}

TEST_F(CondPairTest, SignalWhileNobodyWaitsIsLost)
{
    condSetDeadlineDivisor(20); // 1 s becomes 50 ms
    EXPECT_EQ(condSignal(&pair_), 0);
    EXPECT_EQ(condTimedWait(&pair_, 1), ETIMEDOUT);
}

// Wake-ups without a signal (as the kernel may give) must not pass for a
// report: the wait goes on until its deadline, and the deadline is never cut
// short.
TEST_F(CondPairTest, SpuriousWakeUpsDoNotEndTheWait)
{
    condSetDeadlineDivisor(5); // 1 s becomes 200 ms
    std::atomic<bool> done{false};
    int result = -1;
    Clock::duration took{};
    std::thread waiter([&] {
        const auto start = Clock::now();
        result = condTimedWait(&pair_, 1);
        took = Clock::now() - start;
        done = true;
    });
    ASSERT_TRUE(waitForWaiters(1));
    int wakeUps = 0;
    const auto giveUp = Clock::now() + 10s;
    while (!done && Clock::now() < giveUp) {
        pthread_mutex_lock(&pair_.mutex);
        pthread_cond_broadcast(&pair_.cond);
        pthread_mutex_unlock(&pair_.mutex);
        ++wakeUps;
        std::this_thread::sleep_for(2ms);
    }
    if (!done) {
        condSignal(&pair_); // a wait that never ends: release it, and fail below
    }
    waiter.join();
    EXPECT_GT(wakeUps, 1);
    EXPECT_EQ(result, ETIMEDOUT);
    EXPECT_GE(took, 200ms);
}

TEST_F(CondPairTest, OneSignalWakesOneWaiter)
{
    condSetDeadlineDivisor(5);
    int first = -1;
    int second = -1;
    std::thread a([&] { first = condTimedWait(&pair_, 1); });
    std::thread b([&] { second = condTimedWait(&pair_, 1); });
    ASSERT_TRUE(waitForWaiters(2));
    condSignal(&pair_);
    a.join();
    b.join();
    EXPECT_EQ((first == 0) + (second == 0), 1) << first << " " << second;
    EXPECT_EQ((first == ETIMEDOUT) + (second == ETIMEDOUT), 1) << first << " " << second;
}

} // namespace

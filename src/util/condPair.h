// The condition pair: timed waits of the NXP device module.
#pragma once

#include <pthread.h>

// A condition variable, the mutex that guards it and the bookkeeping that
// tells a real signal from a spurious wake-up. A signal wakes at most one
// waiter; a signal sent while nobody waits is lost.
struct CondPair {
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    int waiters; // threads inside condTimedWait
    int wakeups; // signals sent to them and not yet taken
};

// Initialises the pair; the deadlines run on the monotonic clock, so a jump
// of the wall clock (the gateway's first time sync) neither ends a wait early
// nor stretches it. Returns 0, or the error number of the failed init.
int condInit(CondPair *pair);

// Waits until a signal comes or the given number of seconds has passed.
// Returns 0 when signalled, ETIMEDOUT when the deadline passed (spurious
// wake-ups go back to waiting), or another pthread error number.
int condTimedWait(CondPair *pair, int seconds);

// Wakes one waiter, if any; returns 0.
int condSignal(CondPair *pair);

// Number of threads waiting on the pair right now.
int condWaiting(CondPair *pair);

// Test use only: every deadline is divided by `divisor` (0 counts as 1), so
// tests of the long time-outs run in milliseconds. Default 1.
void condSetDeadlineDivisor(unsigned divisor);

// Every wait of the service goes through here. The gateway sleeps for real;
// the unit tests swap in a virtual clock that advances at once and runs the
// events a test scheduled ("at 5 s the modem tty appears"), so a test of a
// 60-second retry loop runs in milliseconds and sees each wait.
#pragma once

#include <cstdint>

// Sleep for the given number of microseconds (through the installed hook).
void gwSleepUs(uint64_t us);
inline void gwSleepMs(uint64_t ms) { gwSleepUs(ms * 1000U); }
inline void gwSleepSec(uint64_t sec) { gwSleepUs(sec * 1000000U); }

// Replace the sleep; nullptr restores the real one. Test use only.
using GwSleepHook = void (*)(uint64_t us);
void gwSetSleepHook(GwSleepHook hook);

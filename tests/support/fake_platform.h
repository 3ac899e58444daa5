// A fake of the platform layer for tests: virtual time (Sleep advances a
// clock instead of sleeping), recorded calls, a settable local time and
// thread starts that are recorded instead of run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Everything back to the start: clock 0, no calls, no hooks.
void Reset();

// Virtual milliseconds slept so far.
uint64_t Now();
// Called after every Sleep with the new virtual time.
void SetSleepHook(std::function<void(uint64_t now)> hook);
// Number of Sleep calls since Reset.
uint64_t SleepCount();

void SetLocalTime(const SYSTEMTIME& time);

struct ThreadStart {
    void (*start)(void*);
    unsigned stackSize;
    void* argument;
};
// Thread starts since Reset; none of them ran.
std::vector<ThreadStart> ThreadStarts();
// Makes the next thread starts fail (return -1) while on.
void FailThreadStarts(bool on);

}  // namespace fake

// The driver's one way of waiting (look, sleep 1 ms, look again), on the fake
// platform's virtual clock: when it gives up, how often it looks, and that a
// tick count that wraps or moves in Windows' 15.6 ms steps changes nothing.
#include <gtest/gtest.h>

#include "base/timed_wait.h"
#include "tests/support/fake_platform.h"

namespace {

struct WaitCase {
    const char* name;
    int readyAtAsk;       // the ask that first answers true (1: at once); 0: never
    DWORD limitMs;
    uint64_t tickMicros;  // the length of a Sleep(1); 0: exactly 1 ms
    DWORD tickStart;      // GetTickCount at virtual time 0
    bool result;
    int asks;             // how often ready() was asked
    uint64_t sleeps;
};

const WaitCase kCases[] = {
    {"ready at once", 1, 10, 0, 0, true, 1, 0},
    {"ready at the third look", 3, 10, 0, 0, true, 3, 2},
    {"never ready: gives up once the limit passed", 0, 10, 0, 0, false, 10, 10},
    {"ready only after the crossing sleep: not asked again", 11, 10, 0, 0, false, 10, 10},
    {"a wrapping tick count", 0, 10, 0, 0xFFFFFFFAu, false, 10, 10},
    {"Windows' 15.6 ms sleeps", 0, 20, 15625, 0, false, 2, 2},
    {"a zero limit still looks once", 0, 0, 0, 0, false, 1, 1},
};

TEST(TimedWaitTest, LooksSleepsAndGivesUpAsTheClockSays) {
    for (const WaitCase& c : kCases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        fake::SetSleepTick(c.tickMicros);
        fake::SetTickCountStart(c.tickStart);
        int asks = 0;
        const bool result = WaitWithin(c.limitMs, [&] { return ++asks == c.readyAtAsk; });
        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.asks, asks);
        EXPECT_EQ(c.sleeps, fake::SleepCount());
    }
}

}  // namespace

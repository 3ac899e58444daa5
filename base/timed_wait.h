// The one way the driver waits for something to happen: look, sleep 1 ms,
// look again, until it happened or a time has passed. The time is read from
// the platform's millisecond tick count, not counted in sleeps, because a
// Sleep(1) lasts a whole timer tick (about 15.6 ms on a stock Windows host).
#pragma once

#include "platform/platform.h"

// Asks ready() at once and after each 1 ms sleep. Returns true as soon as it
// answers true; false once limitMs have passed since its first false answer
// and it still answers false (it is not asked again after the sleep that
// crossed the limit). The tick count is read only when a wait begins: the
// usual call finds ready() true at once. Its wrap at 2^32 is harmless:
// elapsed time is the unsigned difference of two counts.
template <typename Ready>
bool WaitWithin(DWORD limitMs, Ready ready) {
    if (ready()) return true;
    const DWORD start = GetTickCount();
    do {
        Sleep(1);
        if (static_cast<DWORD>(GetTickCount() - start) >= limitMs) return false;
    } while (!ready());
    return true;
}

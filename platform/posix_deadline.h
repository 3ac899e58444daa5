// The deadline helper of the POSIX stand-in's blocking calls: a time-out on
// the monotonic clock, in the milliseconds poll() waits.
#pragma once

#include <time.h>

#include <cstdint>

namespace kivposix {

inline int64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The end of a time-out on the monotonic clock, or none. The clock is read
// only when a call comes to wait: a read served at once never reads it, and
// a wait that begins microseconds after the call counts its time-out from
// there, which millisecond time-outs cannot tell apart.
struct Deadline {
    int64_t ms = 0;   // the time-out; 0: none (a Win32 time-out of 0 is none)
    int64_t at = -1;  // ms on the monotonic clock, once started; -1: not yet

    // A time-out of ms from the first wait on.
    static Deadline In(int64_t ms) { return Deadline{ms > 0 ? ms : 0, -1}; }
    // A time-out of ms from now on (the interval after the latest bytes).
    static Deadline After(int64_t ms) { return ms > 0 ? Deadline{ms, NowMs() + ms} : Deadline{}; }

    // What poll() waits: -1 without a time-out, 0 once it passed, else the ms left.
    int PollTimeout() {
        if (ms == 0) return -1;
        int64_t left = ms;
        if (at < 0) {
            at = NowMs() + ms;
        } else {
            left = at - NowMs();
        }
        if (left <= 0) return 0;
        return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
    }
};

}  // namespace kivposix

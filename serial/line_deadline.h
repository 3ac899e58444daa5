// The deadline of one try on the line. Every step of a try (the purge, the
// write, the carrier waits, the hunt for a frame's start and its reads) ends
// by it, so that a line that never falls quiet cannot hold a command for
// longer than its tries allow. Counted on the platform's millisecond tick
// count; its wrap at 2^32 is harmless, since elapsed time is an unsigned
// difference of two counts.
#pragma once

#include "platform/platform.h"

struct LineDeadline {
    DWORD start;    // tick count when the try began
    DWORD limitMs;  // how long the try may last in all
    DWORD readMs;   // the port's own read time-out, put back after a read cut to the time left
    int shortened;  // 1 while the port's read time-out is cut to the time left
    int timeUp;     // 1 once the deadline ended a reception while bytes were still coming
    int frames;     // frames this try began to read; the first is read without a look at the clock
};

// A deadline limitMs from now, on a port whose read time-out is readMs.
inline LineDeadline LineDeadlineFromNow(DWORD limitMs, DWORD readMs) {
    return LineDeadline{GetTickCount(), limitMs, readMs, 0, 0, 0};
}

// Milliseconds left before the deadline; 0 once it has passed.
inline DWORD LineDeadlineLeft(const LineDeadline* deadline) {
    const DWORD elapsed = GetTickCount() - deadline->start;
    return elapsed >= deadline->limitMs ? 0 : deadline->limitMs - elapsed;
}

// The driver's log. Every message goes to the host's log through DriverLog,
// which holds back the copies of one message that a channel writes more
// often within a second than one failing request or notice can: a dead line,
// a noisy radio or a neighbour's traffic must not flood the host's log.
#pragma once

#include <cstdint>

#include "host/tavrik.h"

// Copies of one message a channel writes in one second before the rest of
// that second's copies are held back. One notice writes a message at most
// 12 times (three tries of each of its three fetches and its clock setting),
// one host request at most 6 (three link-reset tries, three tries of the
// request); both may fail within one second on one line.
constexpr int kLogCopiesPerSecond = 20;
constexpr int kLogHoldSlots = 8;  // messages a channel counts at once

struct LogHoldSlot {
    const char* format;  // the message, by its text in the code; nullptr = free
    uint32_t second;     // the second the counts are for
    int32_t level;       // the level it is written at
    uint16_t written;    // copies written in that second
    uint16_t held;       // copies held back in that second
};

// Per channel, in its side-table entry; zero-filled is empty.
struct LogHolding {
    uint8_t lock;  // taken by whoever logs: a host call and the listener may log at once
    LogHoldSlot slots[kLogHoldSlots];
};

// True when a copy of format may go to the log now on the current channel.
// Before that, writes one line for each message whose second has passed with
// copies held back, saying how many. Without a current channel (or its
// side-table entry) every copy may go.
bool LogMayWrite(int32_t level, const char* format);

// Writes a message to the host's log at level, unless it is held back.
template <typename... Args>
void DriverLog(int32_t level, const char* format, Args... args) {
    if (LogMayWrite(level, format)) err(level, format, args...);
}

// The driver's log. Every message goes to the host's log through DriverLog,
// which holds back the copies of one message that a channel writes more
// often within a second than one failing request or notice can: a dead line,
// a noisy radio or a neighbour's traffic must not flood the host's log.
#pragma once

#include <cstdint>

#include "host/tavrik.h"

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

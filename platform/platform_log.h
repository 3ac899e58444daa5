// The platform's own log lines (a device server that refuses, a port map
// line that cannot be read) go to the host's log through a gate that the
// driver sets: its per-channel holding back, so that a line failing in a loop
// cannot flood the log from below the driver either. Until a gate is set
// every line goes.
#pragma once

#include <cstdint>

#include "host/tavrik.h"

typedef bool (*PlatformLogGate)(int32_t level, const char* format);

void SetPlatformLogGate(PlatformLogGate gate);
bool PlatformLogMayWrite(int32_t level, const char* format);

template <typename... Args>
void PlatformLog(int32_t level, const char* format, Args... args) {
    if (PlatformLogMayWrite(level, format)) err(level, format, args...);
}

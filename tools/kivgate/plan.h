// Which driver calls read a channel's gates: the plan the channel's thread
// follows, made once at start from the gates that the address commands took.
// Pure: no driver, no clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/kivgate/settings.h"

namespace kivgate {

enum class ReadKind {
    Registers,    // whole registers from first on: Read for one, ReadBlock for more; bits taken from them
    StatusFetch,  // the station's status events (!S), which set its status points
    EventFetch,   // an event gate's own fetch (!L, !R, !S)
};

struct ReadGroup {
    ReadKind kind = ReadKind::Registers;
    int32_t station = 0;
    int32_t intervalMs = 0;     // 0: read once at start only (gates the listener keeps up to date)
    int32_t first = 0;          // first register of a Registers group
    int32_t count = 1;          // registers of a Registers group
    std::vector<size_t> gates;  // indices into the gates the plan was made from
};

// The groups that read gates: R gates (whole registers, bits and blocks) of
// one station and interval whose registers lie within KivReadRegistersMax of
// each other share one read; the status points of one station and interval
// share one status-event fetch; an event gate is fetched alone; the clock
// (!T) is never read. Groups come in order of interval, station and first
// register; gates within a group in order of register.
std::vector<ReadGroup> PlanReads(const std::vector<GateSettings>& gates);

}  // namespace kivgate

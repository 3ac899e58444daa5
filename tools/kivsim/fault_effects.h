// What a fault does to an answer on its way to the line: a pure function of
// the answer and the fault drawn for it, with the frame builders it needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kivsim/faults.h"

namespace kivsim {

// Something to put on the line: bytes, after a pause.
struct Transmission {
    std::vector<uint8_t> bytes;
    int64_t delayUs = 0;
    std::string note;  // fault or reason, for the trace
};

// An answer as the unit gives it, with what a fault may need.
struct Answer {
    std::vector<uint8_t> message;  // length byte first
    uint16_t station = 0;          // the unit that answers
    uint16_t host = 0;             // the request's source, where a notice goes
    uint8_t waitingClasses = 0;    // what waits at the unit, for a notice
    int64_t delayUs = 0;           // before the answer: the request's own time on the line
};

// The pauses of the faults that have one, in milliseconds.
struct FaultTimes {
    int delayMs = 1500;
    int lateMs = 500;
    int repeatGapMs = 15;
    int splitGapMs = 200;
};

struct FaultEffect {
    std::vector<Transmission> out;  // in order; one with no bytes only traces its note
    bool intact = true;             // the answer reaches the host whole and sound
};

// What goes on the line for answer when fault (a FaultKind, or -1 for
// none) is committed; rng draws the random parts (which bytes, where cut).
FaultEffect ApplyFault(const Answer& answer, int fault, Rng& rng, const FaultTimes& times);

// The frame of a message (length byte first).
std::vector<uint8_t> FrameOf(const std::vector<uint8_t>& message);
// An exception notice from station to host announcing classes.
std::vector<uint8_t> NoticeMessage(uint16_t station, uint16_t host, uint8_t classes);
// A link reset from station to host.
std::vector<uint8_t> LinkResetMessage(uint16_t station, uint16_t host);
// One to eight stray bytes, as a squelch tail or a key-up burst leaves
// them; never the start byte, so that they cannot begin a false frame.
std::vector<uint8_t> StrayBytes(Rng& rng);

}  // namespace kivsim

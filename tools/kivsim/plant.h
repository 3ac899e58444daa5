// A small plant that keeps a demo alive: registers that count, ramp or follow
// a sine, status points that toggle, and the events they cause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kivsim/station.h"

namespace kivsim {

struct Generator {
    enum Type { Counter, Ramp, Sine, Toggle };
    // Which events a register generator queues at every change.
    enum Events { None = 0, Changes = 1, Logged = 2, Both = 3 };
    Type type = Counter;
    uint16_t address = 0;     // register, or status point for Toggle
    int64_t periodMs = 1000;  // time between steps
    int64_t step = 1;         // Counter, Ramp
    int64_t low = 0;          // Ramp: restarts here after passing high
    int64_t high = 100;
    double offset = 0;  // Sine: offset + amplitude * sin(2 pi t / cycleMs)
    double amplitude = 1000;
    int64_t cycleMs = 60000;
    int events = Changes;
    int64_t nextAt = 0;  // PC ms of the next step; 0 = at the first tick

    std::string Describe() const;
};

// Parses "counter REG STEP MS [EVENTS]", "ramp REG LOW HIGH STEP MS [EVENTS]",
// "sine REG OFFSET AMPLITUDE CYCLE_MS MS [EVENTS]" or "toggle POINT MS",
// EVENTS being change, log, both or none. false with *error.
bool ParseGenerator(const std::vector<std::string>& words, Generator* generator, std::string* error);

// The demo plant: register 100 counts every second, 101 ramps 0..1000 with
// changes and logged events, 102 follows a sine with logged events, status
// points 10 and 11 toggle every 5 and 7 seconds.
std::vector<Generator> DemoPlant();

// Runs the generators that are due at pcMs on a station; returns how many
// steps ran.
int RunPlant(std::vector<Generator>& generators, Station& station, int64_t pcMs);

}  // namespace kivsim

// The demo plant's generators.
#include "tools/kivsim/plant.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>

namespace kivsim {

namespace {

bool Number(const std::string& word, int64_t* value) {
    char* end = nullptr;
    long long v = std::strtoll(word.c_str(), &end, 0);
    if (word.empty() || *end) return false;
    *value = v;
    return true;
}

bool Real(const std::string& word, double* value) {
    char* end = nullptr;
    double v = std::strtod(word.c_str(), &end);
    if (word.empty() || *end || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

// Sets *error to why, for a return of false.
bool Fails(std::string* error, const std::string& why) {
    *error = why;
    return false;
}

// The names of Generator::Events, by value.
const char* const kEventsNames[] = {"none", "change", "log", "both"};

bool EventsWord(const std::string& word, int* events) {
    for (int e = Generator::None; e <= Generator::Both; ++e) {
        if (word == kEventsNames[e]) {
            *events = e;
            return true;
        }
    }
    return false;
}

// The generator types and how many words follow the type and the address.
struct GeneratorType {
    const char* name;
    Generator::Type type;
    size_t numbers;  // words after the type, the address first
};
const GeneratorType kGeneratorTypes[] = {
    {"counter", Generator::Counter, 3},
    {"ramp", Generator::Ramp, 5},
    {"sine", Generator::Sine, 5},
    {"toggle", Generator::Toggle, 2},
};

// The numbers after the address into g, by its type; false when one is
// no number or they do not fit together.
bool ParseSettings(const std::vector<std::string>& w, Generator* g) {
    switch (g->type) {
    case Generator::Counter: return Number(w[2], &g->step) && Number(w[3], &g->periodMs);
    case Generator::Ramp:
        return Number(w[2], &g->low) && Number(w[3], &g->high) && Number(w[4], &g->step) &&
               Number(w[5], &g->periodMs) && g->low <= g->high;
    case Generator::Sine:
        return Real(w[2], &g->offset) && Real(w[3], &g->amplitude) && Number(w[4], &g->cycleMs) &&
               Number(w[5], &g->periodMs) && g->cycleMs > 0;
    case Generator::Toggle: g->events = Generator::None; return Number(w[2], &g->periodMs);
    }
    return false;
}

// pcMs + periodMs, held at the end of time rather than wrapping round.
int64_t Later(int64_t pcMs, int64_t periodMs) {
    return pcMs > INT64_MAX - periodMs ? INT64_MAX : pcMs + periodMs;
}

void Apply(Generator& g, Station& station, uint32_t value, int64_t pcMs) {
    if (station.RegisterValue(g.address) == value) return;
    station.SetRegister(g.address, value);
    if (g.events & Generator::Changes) station.QueueRegisterChange(g.address, value);
    if (g.events & Generator::Logged) station.QueueLoggedEvent(g.address, value, pcMs);
}

}  // namespace

std::string Generator::Describe() const {
    std::ostringstream out;
    switch (type) {
    case Counter: out << "counter " << address << " " << step << " " << periodMs; break;
    case Ramp: out << "ramp " << address << " " << low << " " << high << " " << step << " " << periodMs; break;
    case Sine:
        out << "sine " << address << " " << offset << " " << amplitude << " " << cycleMs << " " << periodMs;
        break;
    case Toggle: return "toggle " + std::to_string(address) + " " + std::to_string(periodMs);
    }
    out << " " << kEventsNames[events & Generator::Both];
    return out.str();
}

bool ParseGenerator(const std::vector<std::string>& w, Generator* g, std::string* error) {
    *g = Generator();
    if (w.empty()) return Fails(error, "generator type missing");
    const GeneratorType* type = nullptr;
    for (const GeneratorType& t : kGeneratorTypes) {
        if (w[0] == t.name) type = &t;
    }
    if (type == nullptr) return Fails(error, "unknown generator " + w[0]);
    g->type = type->type;
    const bool takesEvents = g->type != Generator::Toggle;
    if (w.size() < type->numbers + 1 || w.size() > type->numbers + 1 + (takesEvents ? 1 : 0)) {
        return Fails(error,
                     "usage: counter REG STEP MS | ramp REG LOW HIGH STEP MS | sine REG OFFSET AMPLITUDE CYCLE_MS MS | "
                     "toggle POINT MS (register generators take change|log|both|none last)");
    }
    int64_t address = 0;
    const int limit = takesEvents ? kRegisterCount : kStatusPointCount;
    if (!Number(w[1], &address) || address < 0 || address >= limit) return Fails(error, "bad address " + w[1]);
    g->address = uint16_t(address);
    bool ok = ParseSettings(w, g);
    if (ok && takesEvents && w.size() == type->numbers + 2) ok = EventsWord(w.back(), &g->events);
    if (!ok || g->periodMs <= 0) return Fails(error, "bad generator: " + w[0]);
    if (takesEvents && (g->events & Generator::Logged) && address >= kLoggedRegisterCount) {
        return Fails(error, "logged events need a register below 4096");
    }
    return true;
}

std::vector<Generator> DemoPlant() {
    std::vector<Generator> plant;
    std::string error;
    const char* const specs[] = {"counter 100 1 1000 change", "ramp 101 0 1000 50 500 both",
                                 "sine 102 5000 1000 60000 1000 log", "toggle 10 5000", "toggle 11 7000"};
    for (const char* spec : specs) {
        std::istringstream in(spec);
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        Generator g;
        if (ParseGenerator(words, &g, &error)) plant.push_back(g);
    }
    return plant;
}

int RunPlant(std::vector<Generator>& generators, Station& station, int64_t pcMs) {
    int steps = 0;
    for (Generator& g : generators) {
        if (g.nextAt == 0) g.nextAt = Later(pcMs, g.periodMs);
        if (pcMs < g.nextAt) continue;
        // A late tick takes one step, not all the missed ones.
        g.nextAt = Later(pcMs, g.periodMs);
        ++steps;
        switch (g.type) {
        case Generator::Counter:
            Apply(g, station, uint32_t(station.RegisterValue(g.address) + uint32_t(g.step)), pcMs);
            break;
        case Generator::Ramp: {
            // A step wider than any 32-bit range passes the bound all the
            // same; held at that width, the sum cannot overflow.
            const int64_t wide = int64_t(1) << 33;
            const int64_t step = g.step > wide ? wide : (g.step < -wide ? -wide : g.step);
            int64_t value = int64_t(int32_t(station.RegisterValue(g.address))) + step;
            if (g.step >= 0 ? value > g.high : value < g.low) value = g.step >= 0 ? g.low : g.high;
            if (value < g.low || value > g.high) value = g.low;
            Apply(g, station, uint32_t(int32_t(value)), pcMs);
            break;
        }
        case Generator::Sine: {
            const double pi = 3.14159265358979323846;
            double phase = 2 * pi * double(station.ClockMs(pcMs) % g.cycleMs) / double(g.cycleMs);
            // A wave beyond the register's 32 bits is cut off at their limits.
            double value = std::round(g.offset + g.amplitude * std::sin(phase));
            const double low = INT32_MIN, high = INT32_MAX;
            value = value > high ? high : (value >= low ? value : low);
            Apply(g, station, uint32_t(int32_t(value)), pcMs);
            break;
        }
        case Generator::Toggle: {
            bool state = !station.Point(g.address);
            station.SetPoint(g.address, state);
            station.QueueStatusEvent(g.address, state, pcMs);
            break;
        }
        }
    }
    return steps;
}

}  // namespace kivsim

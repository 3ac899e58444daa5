// Faults the simulated units commit on purpose, chosen by a seeded generator
// so that a run can be repeated exactly.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace kivsim {

enum class FaultKind {
    Drop,              // no answer at all
    Crc,               // one CRC byte of the answer flipped
    Delay,             // the answer comes late (the delay setting)
    WrongSource,       // the answer names another station as its source
    WrongDestination,  // the answer goes to another host address
    Notice,            // an exception notice in place of the answer
    NoticeFirst,       // an exception notice, then the answer
    Garbage,           // random bytes in place of the answer
    Truncate,          // the answer cut short
    MoreStuck,         // a fetch answer whose more flag is set though nothing waits
    Late,              // the answer comes after the late setting (past a read time-out)
    Repeat,            // the answer, and the same bytes again after the repeat gap
    Split,             // the answer cut in two by a pause of the split gap
    Noise,             // stray bytes (never 05) before the answer, or before a notice
};
constexpr int kFaultKinds = 14;

// The names used on the command line and in commands (drop, crc, delay,
// source, destination, notice, notice-first, garbage, truncate, more, late,
// repeat, split, noise).
const char* FaultName(FaultKind kind);
bool ParseFaultName(const std::string& name, FaultKind* kind);

// A small generator with a fixed algorithm (splitmix64), so that a seed gives
// the same faults with every compiler and library.
class Rng {
public:
    explicit Rng(uint64_t seed = 1) : state_(seed) {}
    uint64_t Next();
    double Unit() { return double(Next() >> 11) * (1.0 / 9007199254740992.0); }  // [0, 1)
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : uint32_t(Next() % n); }

private:
    uint64_t state_;
};

// The faults in force, for a caller to show.
struct FaultSettings {
    double probability[kFaultKinds] = {};  // per kind, as SetProbability set it
    int queued[kFaultKinds] = {};          // answers still to commit the kind by Inject
    uint64_t seed = 1;                     // the seed the generator last started from
    int delayMs = 0;                       // how late the delay fault answers (the simulator's)
};

class FaultPlan {
public:
    void Seed(uint64_t seed) {
        rng_ = Rng(seed);
        seed_ = seed;
    }
    // Probability in [0, 1] that an answer gets this fault.
    void SetProbability(FaultKind kind, double probability);
    // The next count answers (that the fault can apply to) get this fault.
    void Inject(FaultKind kind, int count);
    // No faults at all from now on.
    void Clear();
    // The fault for the next answer, or -1: a fault given by command first,
    // then one draw per kind with a probability, in the order of FaultKind.
    // MoreStuck applies to fetch answers only.
    int Choose(bool fetch);
    // Whether an unasked notice gets stray bytes before it (one draw with
    // the noise probability; none when it is 0).
    bool NoiseBeforeNotice();
    Rng& Random() { return rng_; }
    std::string Describe() const;
    FaultSettings Settings() const;

private:
    double probability_[kFaultKinds] = {};
    std::deque<FaultKind> queued_;
    Rng rng_;
    uint64_t seed_ = 1;
};

}  // namespace kivsim

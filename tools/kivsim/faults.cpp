// Fault choice for the simulated units.
#include "tools/kivsim/faults.h"

#include <sstream>

namespace kivsim {

namespace {
const char* const kNames[kFaultKinds] = {"drop",     "crc",  "delay", "source", "destination",
                                         "notice",   "notice-first", "garbage", "truncate", "more",
                                         "late",     "repeat", "split", "noise"};
}

const char* FaultName(FaultKind kind) {
    return kNames[int(kind)];
}

bool ParseFaultName(const std::string& name, FaultKind* kind) {
    for (int i = 0; i < kFaultKinds; ++i) {
        if (name == kNames[i]) {
            *kind = FaultKind(i);
            return true;
        }
    }
    return false;
}

uint64_t Rng::Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void FaultPlan::SetProbability(FaultKind kind, double probability) {
    if (probability < 0) probability = 0;
    if (probability > 1) probability = 1;
    probability_[int(kind)] = probability;
}

void FaultPlan::Inject(FaultKind kind, int count) {
    for (int i = 0; i < count; ++i) queued_.push_back(kind);
}

void FaultPlan::Clear() {
    for (double& p : probability_) p = 0;
    queued_.clear();
}

int FaultPlan::Choose(bool fetch) {
    for (auto it = queued_.begin(); it != queued_.end(); ++it) {
        if (*it == FaultKind::MoreStuck && !fetch) continue;
        FaultKind kind = *it;
        queued_.erase(it);
        return int(kind);
    }
    for (int i = 0; i < kFaultKinds; ++i) {
        if (probability_[i] <= 0) continue;
        if (FaultKind(i) == FaultKind::MoreStuck && !fetch) continue;
        if (rng_.Unit() < probability_[i]) return i;
    }
    return -1;
}

bool FaultPlan::NoiseBeforeNotice() {
    const double p = probability_[int(FaultKind::Noise)];
    return p > 0 && rng_.Unit() < p;
}

std::string FaultPlan::Describe() const {
    std::ostringstream out;
    bool any = false;
    for (int i = 0; i < kFaultKinds; ++i) {
        if (probability_[i] > 0) {
            out << (any ? " " : "") << kNames[i] << "=" << probability_[i];
            any = true;
        }
    }
    if (!queued_.empty()) {
        out << (any ? "; " : "") << "next answers:";
        for (FaultKind kind : queued_) out << " " << kNames[int(kind)];
        any = true;
    }
    if (!any) out << "none";
    return out.str();
}

FaultSettings FaultPlan::Settings() const {
    FaultSettings settings;
    for (int i = 0; i < kFaultKinds; ++i) settings.probability[i] = probability_[i];
    for (FaultKind kind : queued_) ++settings.queued[int(kind)];
    settings.seed = seed_;
    return settings;
}

}  // namespace kivsim

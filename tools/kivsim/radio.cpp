// The emulated radio: the fate of a host's byte and the log of changes.
#include "tools/kivsim/radio.h"

namespace kivsim {

const char* RadioLossText(RadioLoss loss) {
    switch (loss) {
    case RadioLoss::NotKeyed: return "lost: host transmitter not keyed";
    case RadioLoss::BeforeKeyUp: return "lost: sent before the radio's key-up time";
    case RadioLoss::Collision: return "lost: collision with a unit's transmission";
    }
    return "lost";
}

bool RadioPassesHostByte(const RadioSettings& radio, int64_t keyedAtMs, bool unitTransmitting, int64_t nowMs,
                         RadioLoss* loss) {
    if (!radio.on) return true;
    // The first of the reasons that holds; a keyed-up host loses a byte
    // only to a unit that transmits.
    *loss = keyedAtMs < 0                       ? RadioLoss::NotKeyed
            : nowMs - keyedAtMs < radio.keyUpMs ? RadioLoss::BeforeKeyUp
                                                : RadioLoss::Collision;
    return *loss == RadioLoss::Collision && !unitTransmitting;
}

void RadioLog::Note(int64_t wallUs, bool keyed, bool carrier) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (keyed == last_.keyed && carrier == last_.carrier) return;
    last_ = RadioChange{last_.seq + 1, wallUs, keyed, carrier};
    changes_.push_back(last_);
    while (changes_.size() > capacity_) changes_.pop_front();
}

std::vector<RadioChange> RadioLog::After(uint64_t seq, RadioChange* now) const {
    std::lock_guard<std::mutex> lock(mutex_);
    *now = last_;
    std::vector<RadioChange> after;
    for (const RadioChange& c : changes_) {
        if (c.seq > seq) after.push_back(c);
    }
    return after;
}

}  // namespace kivsim

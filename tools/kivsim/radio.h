// The emulated radio of a network line: its settings, what it does with a
// host's byte, and the log of its key-ups and carrier for the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace kivsim {

struct RadioSettings {
    bool on = false;
    int keyUpMs = 150;  // a transmitter sends nothing usable until this long after keying
    int tailMs = 100;   // the carrier stays up this long after the last byte
};

// Why bytes from the host never reached the units on the radio.
enum class RadioLoss { NotKeyed, BeforeKeyUp, Collision };
const char* RadioLossText(RadioLoss loss);

// What the radio does with one byte from the host at time nowMs, given
// when the host keyed up (keyedAtMs, < 0: not keyed) and whether a unit
// transmits. Returns false (and the reason) when the byte is lost.
bool RadioPassesHostByte(const RadioSettings& radio, int64_t keyedAtMs, bool unitTransmitting, int64_t nowMs,
                         RadioLoss* loss);

// The radio as the host sees it from wallUs on: its own transmitter keyed
// (RTS) and a carrier (a unit's transmitter, or one held up from elsewhere).
struct RadioChange {
    uint64_t seq = 0;  // 1 for the first change, and so on
    int64_t wallUs = 0;
    bool keyed = false;
    bool carrier = false;
};

// The radio's last changes, for the console: the line's thread appends,
// other threads read. Bounded: the oldest go first.
class RadioLog {
public:
    explicit RadioLog(size_t capacity = 1024) : capacity_(capacity) {}
    // Appends the state at wallUs when it differs from the last one.
    void Note(int64_t wallUs, bool keyed, bool carrier);
    // The changes after seq, oldest first, and the state now.
    std::vector<RadioChange> After(uint64_t seq, RadioChange* now) const;

private:
    mutable std::mutex mutex_;
    std::deque<RadioChange> changes_;
    size_t capacity_;
    RadioChange last_;
};

}  // namespace kivsim

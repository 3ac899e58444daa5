// The console's view of the line: the last frames both ways, each with a
// sequence number so that a page or a script asks only for what it has not
// seen, and each played station's traffic counted as the frames pass.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace kivsim {

struct ConsoleFrame {
    uint64_t seq = 0;            // 1 for the first frame kivsim saw, then one more each
    int64_t wallUs = 0;          // when it crossed the line, microseconds since 1970
    uint8_t direction = 0;       // kivtools::kCaptureToUnit or kCaptureToHost
    std::vector<uint8_t> bytes;  // as they crossed the line (a frame, junk, an incomplete frame)
};

// What crossed the line for one station, by the frames' addresses.
struct StationTraffic {
    uint64_t requests = 0;             // sound frames to it from the host
    uint64_t answers = 0;              // sound frames from it (answers and notices)
    int64_t lastRequestUs = 0;         // when the last request came; 0: none yet
    std::vector<uint8_t> lastRequest;  // its bytes on the line
    bool linkResetSeen = false;        // the host has reset its link
};

class ConsoleFrames {
public:
    // Keeps at most capacity frames and about maxBytes of them; the oldest go first.
    explicit ConsoleFrames(size_t capacity = 4096, size_t maxBytes = size_t(4) << 20);

    // A run of bytes that crossed the line (the simulator's capture sink).
    // Called on the service thread: it only copies and counts.
    void Add(int64_t wallUs, uint8_t direction, const uint8_t* bytes, size_t count);

    // The frames after sequence number after, oldest first, at most max. When
    // none is there it waits up to waitMs for one (0: not at all), or until
    // Close; after the first it gathers those that come within kBatchMs.
    static constexpr int kBatchMs = 100;
    std::vector<ConsoleFrame> After(uint64_t after, size_t max, int waitMs);
    // The sequence number of the newest frame; 0 before the first.
    uint64_t LastSeq() const;
    // The traffic of a station seen so far; false when no frame named it.
    bool Traffic(uint16_t station, StationTraffic* traffic) const;
    // Ends every wait, now and later (the console stops).
    void Close();

private:
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::condition_variable closing_;  // woken by Close only: a batch's wait
    std::deque<ConsoleFrame> frames_;
    std::map<uint16_t, StationTraffic> traffic_;
    size_t capacity_;
    size_t maxBytes_;
    size_t bytes_ = 0;
    uint64_t lastSeq_ = 0;
    bool closed_ = false;
};

// The frames as a capture file (the format of --pcap), in memory.
std::string CaptureFileBytes(const std::vector<ConsoleFrame>& frames);

}  // namespace kivsim

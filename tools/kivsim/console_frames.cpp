// The console's ring of frames and the stations' traffic counted from it.
#include "tools/kivsim/console_frames.h"

#include <algorithm>
#include <chrono>

#include "link/frame_codec.h"
#include "link/frame_splitter.h"
#include "tools/common/capture.h"

namespace kivsim {

namespace {

// The message of bytes when they are one sound frame.
bool SoundMessage(const std::vector<uint8_t>& bytes, uint8_t message[kMessageBufferSize]) {
    if (bytes.size() < 10 || bytes.size() > size_t(kFrameBufferSize)) return false;
    uint8_t kind = FramePieceJunk;
    const uint32_t size = CutFramePiece(bytes.data(), uint32_t(bytes.size()), message, &kind);
    return kind == FramePieceFrame && size == bytes.size();
}

void PutLittle32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(char(uint8_t(value >> shift)));
}

}  // namespace

ConsoleFrames::ConsoleFrames(size_t capacity, size_t maxBytes) : capacity_(capacity), maxBytes_(maxBytes) {}

void ConsoleFrames::Add(int64_t wallUs, uint8_t direction, const uint8_t* bytes, size_t count) {
    if (count == 0) return;
    ConsoleFrame frame;
    frame.wallUs = wallUs;
    frame.direction = direction;
    // A record of a capture holds this many line bytes; a longer run of junk
    // is kept up to there.
    const size_t most = kivtools::kCaptureSnapLength - 1;
    frame.bytes.assign(bytes, bytes + (count < most ? count : most));
    uint8_t m[kMessageBufferSize];
    const bool sound = SoundMessage(frame.bytes, m);
    std::lock_guard<std::mutex> lock(mutex_);
    if (sound && direction == kivtools::kCaptureToUnit) {
        StationTraffic& t = traffic_[MessageDestination(m)];
        ++t.requests;
        t.lastRequestUs = wallUs;
        t.lastRequest = frame.bytes;
        if (m[HeaderSet] == 0 && m[HeaderOpcode] == 0 && (m[HeaderControl] & ControlPrm)) t.linkResetSeen = true;
    } else if (sound) {
        ++traffic_[MessageSource(m)].answers;
    }
    frame.seq = ++lastSeq_;
    bytes_ += frame.bytes.size();
    frames_.push_back(std::move(frame));
    while (frames_.size() > capacity_ || (bytes_ > maxBytes_ && frames_.size() > 1)) {
        bytes_ -= frames_.front().bytes.size();
        frames_.pop_front();
    }
    arrived_.notify_all();
}

std::vector<ConsoleFrame> ConsoleFrames::After(uint64_t after, size_t max, int waitMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (waitMs > 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        arrived_.wait_until(lock, end, [&] { return closed_ || lastSeq_ > after; });
        // The frames that follow the first within a batch's time go in the
        // same answer: a page then costs the line's machine a few wake-ups a
        // second, not one per frame. Only the close ends the batch early.
        const auto batchEnd = std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(kBatchMs));
        if (!closed_ && lastSeq_ > after) closing_.wait_until(lock, batchEnd, [&] { return closed_; });
    }
    std::vector<ConsoleFrame> found;
    if (frames_.empty() || lastSeq_ <= after) return found;
    // Sequence numbers in the ring are consecutive: the first wanted is at
    // a known place.
    const uint64_t first = frames_.front().seq;
    size_t at = after < first ? 0 : size_t(after + 1 - first);
    for (; at < frames_.size() && found.size() < max; ++at) found.push_back(frames_[at]);
    return found;
}

uint64_t ConsoleFrames::LastSeq() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSeq_;
}

bool ConsoleFrames::Traffic(uint16_t station, StationTraffic* traffic) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = traffic_.find(station);
    if (it == traffic_.end()) return false;
    *traffic = it->second;
    return true;
}

void ConsoleFrames::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    arrived_.notify_all();
    closing_.notify_all();
}

std::string CaptureFileBytes(const std::vector<ConsoleFrame>& frames) {
    std::string out;
    PutLittle32(out, 0xA1B2C3D4);   // microsecond time stamps
    PutLittle32(out, 2 | 4 << 16);  // version 2.4
    PutLittle32(out, 0);            // time stamps are UTC
    PutLittle32(out, 0);            // accuracy
    PutLittle32(out, kivtools::kCaptureSnapLength);
    PutLittle32(out, kivtools::kCaptureLinkType);
    for (const ConsoleFrame& f : frames) {
        int64_t seconds = f.wallUs / 1000000, micros = f.wallUs % 1000000;
        if (micros < 0) {
            micros += 1000000;
            --seconds;
        }
        const uint32_t length = uint32_t(f.bytes.size() + 1);  // the direction byte first
        PutLittle32(out, uint32_t(seconds));
        PutLittle32(out, uint32_t(micros));
        PutLittle32(out, length);
        PutLittle32(out, length);
        out.push_back(char(f.direction));
        out.append(f.bytes.begin(), f.bytes.end());
    }
    return out;
}

}  // namespace kivsim

// Cuts a byte stream into frames outside the driver (the simulator, the
// trace, capture decoding): bytes go in as they arrive, pieces come out in
// order: whole frames with their message, frames whose CRC failed, and
// runs of bytes that are no frame. A frame starts at 05 64; bytes before
// such a pair are cut off up to the next 05 that may start one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/frame_codec.h"

namespace kivtools {

// The frame CRC's table, built once on first use.
const uint16_t* FrameCrcTable();

struct FramePiece {
    enum Kind { Frame, BadCrc, Junk, Incomplete };
    Kind kind = Junk;
    std::vector<uint8_t> bytes;
    uint8_t message[kMessageBufferSize] = {};  // Frame only: length byte first
};

class FrameSplitter {
public:
    FrameSplitter();
    void Feed(const uint8_t* bytes, size_t count);
    // Takes the next piece off the front; false when nothing whole is held
    // (nothing at all, or a frame still coming).
    bool Next(FramePiece* piece);
    // The line went quiet: whatever is still held comes out as Incomplete.
    bool Flush(FramePiece* piece);
    size_t Held() const { return held_.size(); }

private:
    void Take(size_t count, FramePiece::Kind kind, FramePiece* piece);
    std::vector<uint8_t> held_;
    uint16_t table_[256];
};

}  // namespace kivtools

// The core frame splitter (link/frame_splitter.h) for the tools: pieces
// with their bytes in a vector, however many bytes a feed brings, and a run
// of junk as one piece until it is taken, as its bytes arrived.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "link/frame_splitter.h"

namespace kivtools {

struct FramePiece {
    enum Kind {
        Frame = FramePieceFrame,
        BadCrc = FramePieceBadCrc,
        Junk = FramePieceJunk,
        Incomplete = FramePieceIncomplete,
    };
    Kind kind = Junk;
    std::vector<uint8_t> bytes;
    uint8_t message[kMessageBufferSize] = {};  // Frame only: length byte first
};

class FrameSplitter {
public:
    FrameSplitter() { FrameSplitterReset(&core_); }
    void Feed(const uint8_t* bytes, size_t count);
    // Takes the next piece off the front; false when nothing whole is held
    // (nothing at all, or a frame still coming).
    bool Next(FramePiece* piece);
    // The line went quiet: whatever is still held comes out as Incomplete.
    bool Flush(FramePiece* piece);
    // Bytes fed and not yet taken.
    size_t Held() const { return cutBytes_ + FrameSplitterHeld(&core_); }

private:
    void Keep(const ::FramePiece& cut);
    ::FrameSplitter core_;
    ::FramePiece cut_;
    std::deque<FramePiece> cutPieces_;
    size_t cutBytes_ = 0;  // bytes in cutPieces_
};

}  // namespace kivtools

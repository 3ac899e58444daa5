// The tools' frame splitter over the core one.
#include "tools/common/frame_splitter.h"

#include <cstring>
#include <utility>

namespace kivtools {

// The core cuts as it is fed; its pieces wait here to be taken.
void FrameSplitter::Feed(const uint8_t* bytes, size_t count) {
    while (count > 0) {
        const uint32_t part = count < UINT32_MAX ? static_cast<uint32_t>(count) : UINT32_MAX;
        const uint32_t taken = FrameSplitterFeed(&core_, bytes, part);
        bytes += taken;
        count -= taken;
        while (FrameSplitterNext(&core_, &cut_)) Keep(cut_);
    }
}

// Junk that follows junk not yet taken joins it: the core's buffer may cut
// a run where the stream did not.
void FrameSplitter::Keep(const ::FramePiece& cut) {
    cutBytes_ += cut.size;
    if (cut.kind == FramePieceJunk && !cutPieces_.empty() && cutPieces_.back().kind == FramePiece::Junk) {
        cutPieces_.back().bytes.insert(cutPieces_.back().bytes.end(), cut.bytes, cut.bytes + cut.size);
        return;
    }
    cutPieces_.emplace_back();
    FramePiece& piece = cutPieces_.back();
    piece.kind = static_cast<FramePiece::Kind>(cut.kind);
    piece.bytes.assign(cut.bytes, cut.bytes + cut.size);
    if (cut.kind == FramePieceFrame) std::memcpy(piece.message, cut.message, sizeof piece.message);
}

bool FrameSplitter::Next(FramePiece* piece) {
    if (cutPieces_.empty()) return false;
    *piece = std::move(cutPieces_.front());
    cutPieces_.pop_front();
    cutBytes_ -= piece->bytes.size();
    return true;
}

bool FrameSplitter::Flush(FramePiece* piece) {
    if (Next(piece)) return true;
    if (!FrameSplitterFlush(&core_, &cut_)) return false;
    Keep(cut_);
    return Next(piece);
}

}  // namespace kivtools

// The byte-fed frame splitter.
#include "tools/common/frame_splitter.h"

#include <mutex>

namespace kivtools {

const uint16_t* FrameCrcTable() {
    static uint16_t table[256];
    static std::once_flag built;
    std::call_once(built, [] { CrcBuildTable(table); });
    return table;
}

FrameSplitter::FrameSplitter() {
    CrcBuildTable(table_);
}

void FrameSplitter::Feed(const uint8_t* bytes, size_t count) {
    held_.insert(held_.end(), bytes, bytes + count);
}

void FrameSplitter::Take(size_t count, FramePiece::Kind kind, FramePiece* piece) {
    piece->kind = kind;
    piece->bytes.assign(held_.begin(), held_.begin() + static_cast<long>(count));
    held_.erase(held_.begin(), held_.begin() + static_cast<long>(count));
}

bool FrameSplitter::Next(FramePiece* piece) {
    if (held_.empty()) return false;
    if (held_[0] != kFrameStartHi || (held_.size() >= 2 && held_[1] != kFrameStartLo)) {
        size_t next = 1;
        while (next < held_.size() &&
               !(held_[next] == kFrameStartHi && (next + 1 == held_.size() || held_[next + 1] == kFrameStartLo))) {
            ++next;
        }
        Take(next, FramePiece::Junk, piece);
        return true;
    }
    if (held_.size() < 3) return false;
    const size_t size = FrameSizeFor(held_[2]);
    if (held_.size() < size) return false;
    bool sound = CheckFrameBlocks(table_, held_.data(), piece->message) != 0;
    Take(size, sound ? FramePiece::Frame : FramePiece::BadCrc, piece);
    return true;
}

bool FrameSplitter::Flush(FramePiece* piece) {
    if (Next(piece)) return true;
    if (held_.empty()) return false;
    Take(held_.size(), FramePiece::Incomplete, piece);
    return true;
}

}  // namespace kivtools

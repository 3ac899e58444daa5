// The byte-fed frame splitter over the pure frame code.
#include "link/frame_splitter.h"

#include <cstring>

// Junk runs up to the hunt step's next candidate; a frame is cut whole by
// its length byte and checked with the codec's table.
uint32_t CutFramePiece(const uint8_t* bytes, uint32_t count, uint8_t* message, uint8_t* kind) {
    const uint32_t junk = FrameStartCandidate(bytes, count);
    if (junk > 0) {
        *kind = FramePieceJunk;
        return junk;
    }
    if (count < 3) return 0;
    const uint32_t size = FrameSizeFor(bytes[2]);
    if (count < size) return 0;
    *kind = CheckFrameBlocks(FrameCrcTable(), bytes, message) ? FramePieceFrame : FramePieceBadCrc;
    return size;
}

void FrameSplitterReset(FrameSplitter* splitter) {
    splitter->start = 0;
    splitter->end = 0;
}

// The bytes not yet cut move to the front first, making room behind them.
uint32_t FrameSplitterFeed(FrameSplitter* splitter, const uint8_t* bytes, uint32_t count) {
    const uint32_t held = FrameSplitterHeld(splitter);
    if (splitter->start > 0) {
        std::memmove(splitter->held, splitter->held + splitter->start, held);
        splitter->start = 0;
        splitter->end = static_cast<uint16_t>(held);
    }
    const uint32_t room = kFrameBufferSize - held;
    const uint32_t taken = count < room ? count : room;
    if (taken > 0) std::memcpy(splitter->held + held, bytes, taken);
    splitter->end = static_cast<uint16_t>(held + taken);
    return taken;
}

namespace {

void GiveOut(FrameSplitter* splitter, FramePiece* piece, uint8_t kind, uint32_t size) {
    piece->kind = kind;
    piece->size = static_cast<uint16_t>(size);
    piece->bytes = splitter->held + splitter->start;
    splitter->start = static_cast<uint16_t>(splitter->start + size);
}

}  // namespace

int FrameSplitterNext(FrameSplitter* splitter, FramePiece* piece) {
    uint8_t kind = FramePieceJunk;
    const uint32_t size =
        CutFramePiece(splitter->held + splitter->start, FrameSplitterHeld(splitter), piece->message, &kind);
    if (size == 0) return 0;
    GiveOut(splitter, piece, kind, size);
    return 1;
}

int FrameSplitterFlush(FrameSplitter* splitter, FramePiece* piece) {
    if (FrameSplitterNext(splitter, piece)) return 1;
    const uint32_t held = FrameSplitterHeld(splitter);
    if (held == 0) return 0;
    GiveOut(splitter, piece, FramePieceIncomplete, held);
    return 1;
}

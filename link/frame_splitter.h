// The byte-fed frame splitter that the simulator, the trace and capture
// decoding cut frames with, over the codec's hunt step as the driver's
// reception: bytes go in as they arrive, pieces come out in order (sound
// frames with their message, frames whose CRC failed, runs of bytes that
// are no frame, and on a flush what is left of a frame cut short). A frame
// starts at 05 64; bytes before such a pair are cut off up to the next 05
// that may start one. No I/O and no heap: a fixed buffer of one frame.
#pragma once

#include <cstdint>

#include "link/frame_codec.h"

enum FramePieceKind : uint8_t {
    FramePieceFrame = 0,       // a sound frame; its message beside it
    FramePieceBadCrc = 1,      // a whole frame whose CRC failed
    FramePieceJunk = 2,        // bytes that are no frame
    FramePieceIncomplete = 3,  // the start of a frame the line left unfinished
};

// The first piece of bytes[0..count): its size, with its kind in *kind
// (and a sound frame's message in message, 256 bytes); 0 when the bytes
// start a frame that is not whole yet, or there are none.
uint32_t CutFramePiece(const uint8_t* bytes, uint32_t count, uint8_t* message, uint8_t* kind);

struct FrameSplitter {
    uint8_t held[kFrameBufferSize];  // bytes not yet cut are held[start..end)
    uint16_t start;                  // first byte not yet cut
    uint16_t end;                    // one past the last byte fed
};

struct FramePiece {
    uint8_t kind;                         // FramePieceKind
    uint16_t size;                        // bytes on the line
    const uint8_t* bytes;                 // in the splitter, until the next feed
    uint8_t message[kMessageBufferSize];  // a sound frame's, length byte first
};

void FrameSplitterReset(FrameSplitter* splitter);
// Takes as many of count bytes as there is room for and returns how many:
// all of them while the pieces are taken as they come (a full buffer
// always yields one).
uint32_t FrameSplitterFeed(FrameSplitter* splitter, const uint8_t* bytes, uint32_t count);
// 1 with the next piece, 0 when nothing whole is held (nothing at all, or
// a frame still coming).
int FrameSplitterNext(FrameSplitter* splitter, FramePiece* piece);
// The line went quiet: 1 with the next piece, what is held last coming
// out as incomplete; 0 when nothing is held.
int FrameSplitterFlush(FrameSplitter* splitter, FramePiece* piece);
inline uint32_t FrameSplitterHeld(const FrameSplitter* splitter) {
    return static_cast<uint32_t>(splitter->end - splitter->start);
}

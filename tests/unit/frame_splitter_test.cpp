// The frame splitter: frames, bad frames and junk out of a byte stream fed
// in any cuts, in order, with the same resynchronisation, nothing lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link/frame_splitter.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FrameOf(Bytes message) {
    message.resize(kMessageBufferSize);
    Bytes frame(kFrameBufferSize);
    frame.resize(EncodeFrameWith(FrameCrcTable(), message.data(), frame.data()));
    return frame;
}

// The kinds and sizes of the pieces, as "F10 J3 B12 I4"; junk that came
// in several pieces (as bytes arrived) counts as one run. The pieces' bytes
// put together must give the stream back.
std::string Pieces(const Bytes& stream, size_t cut) {
    FrameSplitter splitter;
    FrameSplitterReset(&splitter);
    FramePiece piece;
    std::string text;
    Bytes seen;
    size_t junk = 0;
    auto add = [&] {
        seen.insert(seen.end(), piece.bytes, piece.bytes + piece.size);
        if (piece.kind == FramePieceJunk) {
            junk += piece.size;
            return;
        }
        if (junk > 0) text += std::string(text.empty() ? "" : " ") + "J" + std::to_string(junk);
        junk = 0;
        text += std::string(text.empty() ? "" : " ") + "FBJI"[piece.kind] + std::to_string(piece.size);
    };
    for (size_t at = 0; at < stream.size();) {
        const size_t part = std::min(cut, stream.size() - at);
        at += FrameSplitterFeed(&splitter, stream.data() + at, static_cast<uint32_t>(part));
        while (FrameSplitterNext(&splitter, &piece)) add();
    }
    while (FrameSplitterFlush(&splitter, &piece)) add();
    if (junk > 0) text += std::string(text.empty() ? "" : " ") + "J" + std::to_string(junk);
    EXPECT_EQ(stream, seen) << "fed " << cut << " at a time";
    return text;
}

TEST(FrameSplitter, CutsFramesJunkAndBadFramesWhateverTheFeedSizes) {
    const Bytes reset = FrameOf({7, 0xC0, 0, 12, 0, 0, 0, 0});  // 12 bytes
    Bytes longest(256, 0x5A);
    longest[0] = 255;
    Bytes broken = reset;
    broken[10] ^= 0x01;
    struct Case {
        std::vector<Bytes> parts;
        const char* pieces;
    } cases[] = {
        {{reset, reset}, "F12 F12"},
        {{{0x00, 0x05, 0x07}, reset}, "J3 F12"},       // a 05 not followed by 64 is junk too
        {{{0xFF, 0x05}, {0x05}, reset}, "J3 F12"},     // 05 05 64: the frame starts at the second
        {{broken, reset}, "B12 F12"},
        {{reset, {0x05, 0x64, 0x07, 0xC0}}, "F12 I4"},  // cut short at the end of the stream
        {{{0x64, 0x64}}, "J2"},
        {{Bytes(700, 0x11), reset}, "J700 F12"},       // more junk than the buffer holds
        {{FrameOf(longest), {0x05}}, "F290 I1"},        // the largest frame fills the buffer
    };
    for (const Case& c : cases) {
        Bytes stream;
        for (const auto& part : c.parts) stream.insert(stream.end(), part.begin(), part.end());
        for (size_t cut : {size_t(1), size_t(2), size_t(5), stream.size()}) {
            EXPECT_EQ(c.pieces, Pieces(stream, cut)) << "fed " << cut << " at a time";
        }
    }
}

TEST(FrameSplitter, GivesTheMessageOfASoundFrame) {
    FrameSplitter splitter;
    FrameSplitterReset(&splitter);
    const Bytes frame = FrameOf({7, 0x44, 0, 0, 12, 0, 0, 0});
    ASSERT_EQ(frame.size(), FrameSplitterFeed(&splitter, frame.data(), static_cast<uint32_t>(frame.size())));
    FramePiece piece;
    ASSERT_EQ(1, FrameSplitterNext(&splitter, &piece));
    EXPECT_EQ(FramePieceFrame, piece.kind);
    EXPECT_EQ(7, piece.message[0]);
    EXPECT_EQ(12, piece.message[4]);
    EXPECT_EQ(0, FrameSplitterNext(&splitter, &piece));
    EXPECT_EQ(0u, FrameSplitterHeld(&splitter));
}

}  // namespace

// The tools' frame splitter: frames, bad frames and junk out of a byte
// stream fed in any cuts, in order, with the same resynchronisation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "tools/common/frame_splitter.h"

namespace {

std::vector<uint8_t> FrameOf(std::vector<uint8_t> message) {
    uint16_t table[256];
    CrcBuildTable(table);
    std::vector<uint8_t> frame(kFrameBufferSize);
    frame.resize(EncodeFrameWith(table, message.data(), frame.data()));
    return frame;
}

// The kinds and sizes of the pieces, as "F10 J3 B12 I4"; junk that came
// in several pieces (as bytes arrived) counts as one run.
std::string Pieces(const std::vector<uint8_t>& stream, size_t cut) {
    kivtools::FrameSplitter splitter;
    kivtools::FramePiece piece;
    std::string text;
    size_t junk = 0;
    auto add = [&] {
        if (piece.kind == kivtools::FramePiece::Junk) {
            junk += piece.bytes.size();
            return;
        }
        if (junk > 0) text += std::string(text.empty() ? "" : " ") + "J" + std::to_string(junk);
        junk = 0;
        text += std::string(text.empty() ? "" : " ") + "FBJI"[piece.kind] + std::to_string(piece.bytes.size());
    };
    for (size_t at = 0; at < stream.size(); at += cut) {
        splitter.Feed(stream.data() + at, std::min(cut, stream.size() - at));
        while (splitter.Next(&piece)) add();
    }
    while (splitter.Flush(&piece)) add();
    if (junk > 0) text += std::string(text.empty() ? "" : " ") + "J" + std::to_string(junk);
    return text;
}

TEST(FrameSplitter, CutsFramesJunkAndBadFramesWhateverTheFeedSizes) {
    const std::vector<uint8_t> reset = FrameOf({7, 0xC0, 0, 12, 0, 0, 0, 0});    // 12 bytes
    std::vector<uint8_t> broken = reset;
    broken[10] ^= 0x01;
    struct Case {
        std::vector<std::vector<uint8_t>> parts;
        const char* pieces;
    } cases[] = {
        {{reset, reset}, "F12 F12"},
        {{{0x00, 0x05, 0x07}, reset}, "J3 F12"},       // a 05 not followed by 64 is junk too
        {{{0xFF, 0x05}, {0x05}, reset}, "J3 F12"},     // 05 05 64: the frame starts at the second
        {{broken, reset}, "B12 F12"},
        {{reset, {0x05, 0x64, 0x07, 0xC0}}, "F12 I4"},  // cut short at the end of the stream
        {{{0x64, 0x64}}, "J2"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> stream;
        for (const auto& part : c.parts) stream.insert(stream.end(), part.begin(), part.end());
        for (size_t cut : {size_t(1), size_t(2), size_t(5), stream.size()}) {
            EXPECT_EQ(c.pieces, Pieces(stream, cut)) << "fed " << cut << " at a time";
        }
    }
}

TEST(FrameSplitter, GivesTheMessageOfASoundFrame) {
    kivtools::FrameSplitter splitter;
    std::vector<uint8_t> frame = FrameOf({7, 0x44, 0, 0, 12, 0, 0, 0});
    splitter.Feed(frame.data(), frame.size());
    kivtools::FramePiece piece;
    ASSERT_TRUE(splitter.Next(&piece));
    EXPECT_EQ(kivtools::FramePiece::Frame, piece.kind);
    EXPECT_EQ(7, piece.message[0]);
    EXPECT_EQ(12, piece.message[4]);
    EXPECT_FALSE(splitter.Next(&piece));
    EXPECT_EQ(0u, splitter.Held());
}

}  // namespace

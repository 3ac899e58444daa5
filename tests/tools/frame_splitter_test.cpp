// The tools' splitter over the core one: a run of junk is one piece as it
// arrived, though the core's buffer cuts it, and frames keep their bytes.
#include <gtest/gtest.h>

#include "tests/support/frames.h"
#include "tools/common/frame_splitter.h"

namespace {

TEST(ToolsFrameSplitter, JunkComesOutAsOneRunAsItArrived) {
    const Bytes reset = FrameOf(HexBytes("07 C0 00 0C 00 00 00 00"));
    Bytes stream = reset;
    stream.insert(stream.begin(), 1000, 0x11);
    kivtools::FrameSplitter splitter;
    splitter.Feed(stream.data(), stream.size());
    EXPECT_EQ(stream.size(), splitter.Held());
    kivtools::FramePiece piece;
    ASSERT_TRUE(splitter.Next(&piece));
    EXPECT_EQ(kivtools::FramePiece::Junk, piece.kind);
    EXPECT_EQ(Bytes(1000, 0x11), piece.bytes);
    ASSERT_TRUE(splitter.Next(&piece));
    EXPECT_EQ(kivtools::FramePiece::Frame, piece.kind);
    EXPECT_EQ(reset, piece.bytes);
    EXPECT_FALSE(splitter.Flush(&piece));
    EXPECT_EQ(0u, splitter.Held());
}

}  // namespace

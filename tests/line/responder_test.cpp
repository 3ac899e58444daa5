// The test responder itself, through the port layer: it finds frames behind
// garbage, tells good CRCs from bad, and answers in pieces.
#include <gtest/gtest.h>

#include <cstring>

#include "link/frame_codec.h"
#include "serial/port.h"
#include "tests/support/line_pair.h"
#include "tests/support/responder.h"

namespace {

class ResponderTest : public ::testing::Test {
protected:
    void SetUp() override {
        KIV_NEED_LINE(line);
        const LineSettings settings = {19200, 8, 0, 0};
        ASSERT_EQ(PortOk, PortOpen(line.driverPort().c_str(), &settings, 8, &port));
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) PortClose(port);
    }
    void Send(const Bytes& bytes) {
        ASSERT_EQ(PortOk, PortWrite(port, bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr));
    }
    Bytes Receive(size_t count) {
        Bytes bytes(count);
        uint32_t total = 0;
        PortReadExact(port, bytes.data(), static_cast<uint32_t>(count), &total);
        bytes.resize(total);
        return bytes;
    }

    LinePair line;
    HANDLE port = INVALID_HANDLE_VALUE;
};

// Messages (length byte first); the request takes two blocks on the line.
const Bytes kRequest = HexBytes("13 44 0C 00 01 00 0A 01 01 00 01 02 03 04 05 06 07 08 09 0A");
const Bytes kAnswer = HexBytes("0E 44 00 0A 00 0C 01 01 06 00 00 00 2A 00 00");

TEST_F(ResponderTest, AnswersEachFrameAndRecordsIt) {
    Responder unit(line, [](const ReceivedFrame& frame) {
        if (!frame.crcOk) return std::vector<Bytes>{};
        return std::vector<Bytes>{FrameOf(kAnswer)};
    });
    const Bytes request = FrameOf(kRequest);
    ASSERT_EQ(FrameSizeFor(kRequest[0]), request.size());
    Bytes corrupt = request;
    corrupt[5] ^= 0x40;

    // Garbage ahead of the frame, with a false start (05 not followed by 64).
    Send(HexBytes("00 05 17 FF"));
    Send(request);
    EXPECT_EQ(FrameOf(kAnswer), Receive(FrameOf(kAnswer).size()));
    Send(corrupt);
    ASSERT_TRUE(unit.WaitForFrames(2, 5000));
    unit.Stop();
    PortSetReadInterval(port, 5);
    EXPECT_EQ(Bytes{}, Receive(1));  // a bad frame is not answered here

    const std::vector<ReceivedFrame> frames = unit.Frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(request, frames[0].frame);
    EXPECT_EQ(kRequest, frames[0].message);
    EXPECT_TRUE(frames[0].complete);
    EXPECT_TRUE(frames[0].crcOk);
    EXPECT_EQ(corrupt, frames[1].frame);
    EXPECT_FALSE(frames[1].crcOk);
    EXPECT_EQ(4u, unit.SkippedBytes());
}

// A frame the line goes quiet inside is recorded as incomplete, unanswered.
TEST_F(ResponderTest, AFrameCutShortIsRecordedIncomplete) {
    int answered = 0;
    Responder unit(line, [&answered](const ReceivedFrame&) {
        ++answered;
        return std::vector<Bytes>{};
    });
    const Bytes request = FrameOf(kRequest);
    Send(Bytes(request.begin(), request.begin() + 7));
    ASSERT_TRUE(unit.WaitForFrames(1, 5000));
    unit.Stop();
    const std::vector<ReceivedFrame> frames = unit.Frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_FALSE(frames[0].complete);
    EXPECT_EQ(Bytes(request.begin(), request.begin() + 7), frames[0].frame);
    EXPECT_EQ(0, answered);
}

TEST_F(ResponderTest, AnswerInPiecesIsReadWhole) {
    // Pieces 30 ms apart all arrive within the port's read time-out of 1 s.
    const Bytes answer = FrameOf(kAnswer);
    Responder unit(line, [&answer](const ReceivedFrame&) {
        return std::vector<Bytes>{Bytes(answer.begin(), answer.begin() + 2), Bytes(answer.begin() + 2, answer.begin() + 9),
                                  Bytes(answer.begin() + 9, answer.end())};
    });
    unit.SetPieceGap(30);
    Send(FrameOf(kRequest));
    EXPECT_EQ(answer, Receive(answer.size()));
}

}  // namespace

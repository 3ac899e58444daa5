// Frame decoding for both tools' traces and captures: every message kind
// with its registers, counts, values and event records; frames as they
// stand on the line (sound, bad CRC, incomplete, no frame); trace lines.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/frames.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"

namespace {

// 2026-12-08 05:01:02.345 as a unit stamps it.
#define STAMP "07 EC 41 41 09 59"

const struct {
    const char* message;  // length byte first
    const char* decoded;  // what follows the header fields
} kMessages[] = {
    {"07 C0 00 0C 00 00 00 00", "set=0 op=0 link reset"},
    {"07 00 00 00 00 0C 00 00", "set=0 op=0 link reset reply"},
    {"0A FF 00 0C 00 00 01 01 01 2C 01", "read reg=300 count=1"},
    {"12 06 00 00 00 0C 01 01 01 2C 02 00 01 86 A0 FF FF FF FF",
     "read answer: 2 values from reg=300: 100000 -1"},
    {"13 D3 00 0C 00 00 01 03 01 FE 00 00 00 01 01 FF 80 00 00 00",
     "write 2 registers from reg=510: 510=1; 511=-2147483648"},
    {"07 00 00 00 00 0C 01 03", "write answer"},
    {"0A D3 00 0C 00 00 01 04 01 2D 83", "write bit reg=301 bit=3 value=1"},
    {"10 D3 00 0C 00 00 01 07 7E 0C 08 02 05 01 02 01 59", "set clock 2026-12-08 05:01:02.345"},
    {"07 FF 00 0C 00 00 01 05", "fetch status events"},
    {"14 06 00 00 00 0C 01 00 00 00 64 00 00 00 05 00 65 FF FF FF F9",
     "register changes: more=0 records=2: 100=5; 101=-7"},
    {"10 06 00 00 00 0C 01 05 01 80 0A " STAMP,
     "status events: more=1 records=1: point 10 on at 2026-12-08 05:01:02.345"},
    {"14 06 00 00 00 0C 01 06 00 01 65 00 00 01 F4 " STAMP,
     "logged events: more=0 records=1: 357=500 at 2026-12-08 05:01:02.345"},
    // A byte after the last whole record is no record.
    {"0F 06 00 00 00 0C 01 00 00 00 64 00 00 00 05 00", "register changes: more=0 records=1: 100=5"},
    {"09 53 00 00 00 0C 01 09 00 03", "exception notice class=0x03 status changes"},
    {"09 80 00 0C 00 00 01 09 00 08", "notice acknowledgement class=0x08 clock"},
    {"0A FF 00 0C 00 00 01 0B 01 2C 01", "op=11 unknown opcode"},
};

TEST(FrameText, EveryMessageKindDecodesWithItsPayload) {
    for (const auto& c : kMessages) {
        Bytes message = HexBytes(c.message);
        message.resize(256);
        const std::string text = kivtools::DescribeMessage(message.data());
        EXPECT_EQ(0u, text.find("DIR=")) << text;
        EXPECT_NE(std::string::npos, text.find(c.decoded)) << c.message << "\n" << text;
        // The same message in a sound frame on the line.
        const Bytes frame = FrameOf(HexBytes(c.message));
        EXPECT_EQ(text, kivtools::DescribeLineBytes(frame.data(), frame.size())) << c.message;
    }
    Bytes header = HexBytes("0A FF 00 0C 00 00 01 01 01 2C 01");
    header.resize(256);
    EXPECT_EQ("DIR=1 PRM=1 FCB=1 FCV=1 fn=15 dst=12 src=0 set=1 op=1 read reg=300 count=1",
              kivtools::DescribeMessage(header.data()));
}

TEST(FrameText, LineBytesThatAreNoSoundFrameSayWhat) {
    const Bytes read = FrameOf(HexBytes(kMessages[3].message));  // 25 bytes, two blocks
    Bytes flipped = read;
    flipped[12] ^= 0x01;  // a bit of the first value
    const struct {
        Bytes bytes;
        const char* says;
    } cases[] = {
        {flipped, "BAD CRC: DIR=0 PRM=0 FCB=0 FCV=0 fn=6 dst=0 src=12 set=1 op=1 read answer: 2 values"},
        {Bytes(read.begin(), read.begin() + 12), "incomplete frame: DIR=0 PRM=0 FCB=0 FCV=0 fn=6 dst=0 src=12"},
        {HexBytes("05 64 12"), "incomplete frame"},
        {HexBytes("01 02 05"), "not a frame"},
        {HexBytes("05 65 07"), "not a frame"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(0u, kivtools::DescribeLineBytes(c.bytes.data(), c.bytes.size()).find(c.says))
            << HexText(c.bytes) << "\n" << kivtools::DescribeLineBytes(c.bytes.data(), c.bytes.size());
    }
}

TEST(FrameText, TraceLinesCarryTimeDirectionBytesAndNote) {
    kivtools::UseUtc(true);
    const Bytes reset = FrameOf(HexBytes("07 C0 00 0C 00 00 00 00"));
    const Bytes junk = HexBytes("01 02");
    const struct {
        const Bytes* bytes;
        const char* note;
        std::string line;
    } cases[] = {
        {&reset, "", "1970-01-01T00:00:01.234Z RX " + HexText(reset) +
                         " | DIR=1 PRM=1 FCB=0 FCV=0 fn=0 dst=12 src=0 set=0 op=0 link reset"},
        {&reset, "fault crc", "1970-01-01T00:00:01.234Z RX " + HexText(reset) +
                                  " | DIR=1 PRM=1 FCB=0 FCV=0 fn=0 dst=12 src=0 set=0 op=0 link reset (fault crc)"},
        {&junk, "", "1970-01-01T00:00:01.234Z RX 01 02 (not a frame)"},
        {&junk, "junk skipped", "1970-01-01T00:00:01.234Z RX 01 02 (junk skipped)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.line, kivtools::TraceLine(1234, "RX", c.bytes->data(), c.bytes->size(), c.note));
    }
    kivtools::UseUtc(false);
}

}  // namespace

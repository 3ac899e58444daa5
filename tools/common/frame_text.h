// Frames as people read them, for both tools' traces and for captures: the
// bytes in hex, the link header and what the payload carries (registers,
// counts, values, event records with their unit time stamps), one trace
// line per frame, and a tracer that cuts a byte stream into frames and
// writes each as a trace line and a capture record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/common/frame_splitter.h"

namespace kivtools {

class CaptureWriter;

// "05 64 07 C0 ..." (upper-case hex, one space between bytes).
std::string HexBytes(const uint8_t* bytes, size_t count);
// The header and the payload of a message (length byte first):
// "DIR=1 PRM=1 FCB=0 FCV=1 fn=15 dst=12 src=0 set=1 op=1 read reg=300 count=1".
std::string DescribeMessage(const uint8_t* message);
// The same for bytes on the line: the message of a sound frame; the header
// of a frame whose CRC failed or that is incomplete, marked so; "not a frame"
// for anything else.
std::string DescribeLineBytes(const uint8_t* bytes, size_t count);
// One trace line: "<time> <direction> <hex> | <decoded> (<note>)", the time
// in ISO 8601 by the tools' clock. Bytes that are no frame have no decoded
// part (the note says "not a frame" unless another is given); an empty note
// is left out.
std::string TraceLine(int64_t wallMs, const char* direction, const uint8_t* bytes, size_t count,
                      const std::string& note = std::string());

// Prints the records of a capture file as trace lines (H>U host to unit,
// U>H unit to host); false with the reason when the file cannot be read
// (the records up to a fault are printed).
bool PrintCapture(const std::string& path, FILE* out, std::string* error);

// One direction of a line tapped in passing: bytes go in as they arrive,
// each piece the splitter cuts goes out as a trace line (when trace is
// given) and a capture record (when capture is given).
class FrameTracer {
public:
    FrameTracer(const char* direction, uint8_t captureDirection, FILE* trace, CaptureWriter* capture);
    void Feed(const uint8_t* bytes, size_t count);
    // The line went quiet: whatever is held goes out as incomplete.
    void Idle();

private:
    void Emit(const FramePiece& piece);
    const char* direction_;
    uint8_t captureDirection_;
    FILE* trace_;
    CaptureWriter* capture_;
    FrameSplitter splitter_;
    FramePiece piece_;
};

}  // namespace kivtools

// Frames as text for people: the decoded link header of a message, and a
// tracer that cuts a byte stream into frames and prints each with its time,
// direction, bytes and header.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/frame_splitter.h"

// "DIR=1 PRM=1 FCB=0 FCV=1 fn=15 dst=5 src=0 set=1 op=1 read registers"
std::string DescribeHeader(const uint8_t* message);
std::string HexBytes(const uint8_t* bytes, size_t count);

class FrameTracer {
public:
    explicit FrameTracer(std::string direction);
    // Takes bytes as they arrive and prints every complete frame.
    void Feed(const uint8_t* bytes, size_t count, FILE* out);
    // The line went quiet: whatever is held is printed as incomplete.
    void Idle(FILE* out);

private:
    void Emit(const kivtools::FramePiece& piece, FILE* out);
    std::string direction_;
    kivtools::FrameSplitter splitter_;
};

// Milliseconds since the program started, for trace lines.
double TraceClockMs();

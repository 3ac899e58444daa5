// Frame text: header decoding and the stream tracer.
#include "tools/common/frame_text.h"

#include "link/exchange.h"
#include "link/frame.h"

namespace {

const char* OpcodeName(uint8_t set, uint8_t opcode, uint8_t function) {
    if (set == 0) return opcode == 0 ? "link reset" : "link?";
    switch (opcode) {
    case 0: return function == 15 ? "fetch register changes" : "register changes";
    case 1: return "read registers";
    case 3: return "write registers";
    case 4: return "write bit";
    case 5: return "status events";
    case 6: return "logged events";
    case 7: return "set clock";
    case 9: return function == 3 ? "exception notice" : "notice acknowledgement";
    default: return "?";
    }
}

const auto traceStart = std::chrono::steady_clock::now();

}  // namespace

double TraceClockMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - traceStart).count();
}

std::string HexBytes(const uint8_t* bytes, size_t count) {
    std::string text;
    char piece[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(piece, sizeof piece, i ? " %02X" : "%02X", bytes[i]);
        text += piece;
    }
    return text;
}

std::string DescribeHeader(const uint8_t* m) {
    if (m[0] < 7) return "short message (L=" + std::to_string(m[0]) + ")";
    char text[160];
    uint8_t control = m[HeaderControl];
    std::snprintf(text, sizeof text, "DIR=%d PRM=%d FCB=%d FCV=%d fn=%d dst=%u src=%u set=%u op=%u %s",
                  (control >> 7) & 1, (control >> 6) & 1, (control >> 5) & 1, (control >> 4) & 1,
                  control & 0x0F, MessageDestination(m), MessageSource(m), m[HeaderSet], m[HeaderOpcode],
                  OpcodeName(m[HeaderSet], m[HeaderOpcode], control & 0x0F));
    return text;
}

FrameTracer::FrameTracer(std::string direction) : direction_(std::move(direction)) {}

void FrameTracer::Emit(const kivtools::FramePiece& piece, FILE* out) {
    std::string what;
    switch (piece.kind) {
    case kivtools::FramePiece::Frame: what = DescribeHeader(piece.message); break;
    case kivtools::FramePiece::BadCrc: what = "CRC error"; break;
    case kivtools::FramePiece::Junk: what = "not a frame"; break;
    case kivtools::FramePiece::Incomplete: what = "incomplete frame"; break;
    }
    std::fprintf(out, "%10.3f %s %s | %s\n", TraceClockMs(), direction_.c_str(),
                 HexBytes(piece.bytes.data(), piece.bytes.size()).c_str(), what.c_str());
}

void FrameTracer::Feed(const uint8_t* bytes, size_t count, FILE* out) {
    splitter_.Feed(bytes, count);
    kivtools::FramePiece piece;
    while (splitter_.Next(&piece)) Emit(piece, out);
}

void FrameTracer::Idle(FILE* out) {
    kivtools::FramePiece piece;
    while (splitter_.Flush(&piece)) Emit(piece, out);
    std::fflush(out);
}

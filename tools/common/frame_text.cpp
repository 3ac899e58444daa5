// Frame decoding for traces and captures.
#include "tools/common/frame_text.h"

#include "link/frame_codec.h"
#include "link/frame_splitter.h"
#include "tools/common/capture.h"
#include "tools/common/time_text.h"

namespace kivtools {

namespace {

std::string Number(const char* format, long long a, long long b = 0, long long c = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}

// A unit's 6-byte time stamp: its local calendar fields, shown as they are
// (the unit knows no zone).
std::string UnitStamp(const uint8_t* s) {
    uint64_t v = 0;
    for (int i = 0; i < 6; ++i) v = (v << 8) | s[i];
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", 1900 + int((v >> 36) & 0xFF),
                  int((v >> 32) & 0x0F), int((v >> 27) & 0x1F), int((v >> 22) & 0x1F), int((v >> 16) & 0x3F),
                  int((v >> 10) & 0x3F), int(v & 0x3FF));
    return text;
}

// One record of a fetch answer.
std::string EventRecord(uint8_t opcode, const uint8_t* r) {
    switch (opcode) {
    case OpcodeRegisterChanges:
        return Number("%lld=%lld", GetHigh16(r), static_cast<int32_t>(GetHigh32(r + 2)));
    case OpcodeStatusEvents:
        return Number("point %lld ", ((r[0] & 0x1F) << 8) | r[1]) + ((r[0] & 0x80) ? "on" : "off") + " at " +
               UnitStamp(r + 2);
    default:
        return Number("%lld=%lld", ((r[0] & 0x0F) << 8) | r[1], static_cast<int32_t>(GetHigh32(r + 2))) + " at " +
               UnitStamp(r + 6);
    }
}

std::string Fetch(const uint8_t* m, const char* name, int size, bool answer) {
    if (!answer) return std::string("fetch ") + name;
    const int length = m[0];
    const int records = length >= 8 ? (length - 8) / size : 0;
    std::string text = std::string(name) + Number(": more=%lld records=%lld", length >= 8 ? m[8] : 0, records);
    for (int k = 0; k < records; ++k) text += (k ? "; " : ": ") + EventRecord(m[HeaderOpcode], m + 9 + k * size);
    return text;
}

std::string Classes(uint8_t classes) {
    static const char* const names[] = {"status", "changes", "logged", "clock"};
    std::string text = Number("class=0x%02llX", classes);
    for (int bit = 0; bit < 4; ++bit) {
        if (classes & (1 << bit)) text += std::string(" ") + names[bit];
    }
    return text;
}

std::string Payload(const uint8_t* m) {
    const int length = m[0];
    const int function = m[HeaderControl] & ControlFunction;
    const int set = m[HeaderSet];
    const int opcode = m[HeaderOpcode];
    const bool answer = function == FunctionAnswerData;
    if (set == 0 && opcode == 0) return (m[HeaderControl] & ControlPrm) ? "link reset" : "link reset reply";
    if (set != 1) return "unknown set";
    switch (opcode) {
    case OpcodeRegisterChanges: return Fetch(m, "register changes", 6, answer);
    case OpcodeStatusEvents: return Fetch(m, "status events", 8, answer);
    case OpcodeLoggedEvents: return Fetch(m, "logged events", 12, answer);
    case OpcodeReadRegisters: {
        if (!answer) return length >= 10 ? Number("read reg=%lld count=%lld", GetHigh16(m + 8), m[10]) : "read (short)";
        const int values = length >= 10 ? (length - 10) / 4 : 0;
        std::string text = Number("read answer: %lld values", values);
        if (length >= 10) text += Number(" from reg=%lld", GetHigh16(m + 8));
        for (int k = 0; k < values; ++k) {
            text += Number(k ? " %lld" : ": %lld", static_cast<int32_t>(GetHigh32(m + 11 + 4 * k)));
        }
        return text;
    }
    case OpcodeWriteRegisters: {
        if (function == FunctionAck) return "write answer";
        const int records = length >= 7 ? (length - 7) / 6 : 0;
        std::string text = Number("write %lld registers", records);
        if (length >= 9) text += Number(" from reg=%lld", GetHigh16(m + 8));
        for (int k = 0; k < records; ++k) {
            const uint8_t* r = m + 8 + 6 * k;
            text += Number(k ? "; %lld=%lld" : ": %lld=%lld", GetHigh16(r), static_cast<int32_t>(GetHigh32(r + 2)));
        }
        return text;
    }
    case OpcodeWriteBit:
        if (function == FunctionAck) return "bit write answer";
        if (length < 10) return "bit write (short)";
        return Number("write bit reg=%lld bit=%lld value=%lld", GetHigh16(m + 8), m[10] & 0x7F, m[10] >> 7);
    case OpcodeSetClock: {
        if (function == FunctionAck) return "clock answer";
        if (length < 16) return "set clock (short)";
        char text[64];
        std::snprintf(text, sizeof text, "set clock %04d-%02d-%02d %02d:%02d:%02d.%03d", 1900 + m[8], m[9], m[10],
                      m[12], m[13], m[14], (m[15] << 8) | m[16]);
        return text;
    }
    case OpcodeExceptionNotice:
        return std::string(function == FunctionAck ? "notice acknowledgement " : "exception notice ") +
               Classes(length >= 9 ? m[9] : 0);
    default: return "unknown opcode";
    }
}

}  // namespace

std::string HexBytes(const uint8_t* bytes, size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (size_t i = 0; i < count; ++i) {
        if (i) text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string DescribeMessage(const uint8_t* m) {
    if (m[0] < 7) return "message shorter than a header";
    const uint8_t c = m[HeaderControl];
    char text[120];
    std::snprintf(text, sizeof text, "DIR=%d PRM=%d FCB=%d FCV=%d fn=%d dst=%u src=%u set=%d op=%d ", (c >> 7) & 1,
                  (c >> 6) & 1, (c >> 5) & 1, (c >> 4) & 1, c & 0x0F, MessageDestination(m), MessageSource(m),
                  m[HeaderSet], m[HeaderOpcode]);
    return text + Payload(m);
}

std::string DescribeLineBytes(const uint8_t* bytes, size_t count) {
    if (count < 3 || bytes[0] != kFrameStartHi || bytes[1] != kFrameStartLo) return "not a frame";
    uint8_t m[kMessageBufferSize] = {};
    uint8_t kind = FramePieceJunk;
    const uint32_t span = count < size_t(kFrameBufferSize) ? static_cast<uint32_t>(count) : kFrameBufferSize;
    const size_t size = CutFramePiece(bytes, span, m, &kind);
    if (size == 0) {
        if (count < 10) return "incomplete frame";
        // The header is in the first block; show it although the rest is missing.
        for (size_t i = 0; i < 8; ++i) m[i] = bytes[2 + i];
        m[0] = 7;
        return "incomplete frame: " + DescribeMessage(m);
    }
    if (kind == FramePieceFrame) return DescribeMessage(m);
    // Decode the message anyway, from the bytes as they stand.
    for (size_t i = 0, j = 2; i <= bytes[2] && j < size; ++j) {
        if ((j - 2) % 18 < 16) m[i++] = bytes[j];
    }
    return "BAD CRC: " + DescribeMessage(m);
}

std::string TraceLine(int64_t wallMs, const char* direction, const uint8_t* bytes, size_t count,
                      const std::string& note) {
    std::string line = FormatTime(wallMs, TimeForm::Iso) + " " + direction + " " + HexBytes(bytes, count);
    std::string why = note;
    if (count > 0) {
        const std::string decoded = DescribeLineBytes(bytes, count);
        if (decoded != "not a frame") line += " | " + decoded;
        else if (why.empty()) why = decoded;
    }
    if (!why.empty()) line += " (" + why + ")";
    return line;
}

bool PrintCapture(const std::string& path, FILE* out, std::string* error) {
    CaptureReader reader;
    if (!reader.Open(path, error)) return false;
    CaptureRecord record;
    int next;
    while ((next = reader.Next(&record, error)) == 1) {
        const char* direction = record.direction == kCaptureToUnit ? "H>U" : "U>H";
        std::fprintf(out, "%s\n",
                     TraceLine(record.wallUs / 1000, direction, record.bytes.data(), record.bytes.size()).c_str());
    }
    return next == 0;
}

FrameTracer::FrameTracer(const char* direction, uint8_t captureDirection, FILE* trace, CaptureWriter* capture)
    : direction_(direction), captureDirection_(captureDirection), trace_(trace), capture_(capture) {}

void FrameTracer::Emit(const FramePiece& piece) {
    const int64_t us = WallClockUs();
    if (capture_ != nullptr) capture_->Write(us, captureDirection_, piece.bytes.data(), piece.bytes.size());
    if (trace_ == nullptr) return;
    std::fprintf(trace_, "%s\n", TraceLine(us / 1000, direction_, piece.bytes.data(), piece.bytes.size()).c_str());
}

void FrameTracer::Feed(const uint8_t* bytes, size_t count) {
    splitter_.Feed(bytes, count);
    while (splitter_.Next(&piece_)) Emit(piece_);
}

void FrameTracer::Idle() {
    while (splitter_.Flush(&piece_)) Emit(piece_);
    if (trace_ != nullptr) std::fflush(trace_);
}

}  // namespace kivtools

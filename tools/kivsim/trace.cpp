// Decoding of frames for the trace.
#include "tools/kivsim/trace.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "link/exchange.h"
#include "link/frame.h"
#include "tools/common/time_compat.h"
#include "tools/kivsim/station.h"

namespace kivsim {

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

namespace {

std::string Payload(const uint8_t* m) {
    const int length = m[0];
    const int function = m[HeaderControl] & ControlFunction;
    const int set = m[HeaderSet];
    const int opcode = m[HeaderOpcode];
    const bool answer = function == FunctionAnswerData;
    char text[160];
    if (set == 0 && opcode == 0) {
        return (m[HeaderControl] & ControlPrm) ? "link reset" : "link reset reply";
    }
    if (set != 1) return "unknown set";
    auto fetch = [&](const char* name, int size) -> std::string {
        if (!answer) return std::string("fetch ") + name;
        int records = length >= 8 ? (length - 8) / size : 0;
        std::snprintf(text, sizeof text, "%s: more=%d records=%d", name, length >= 8 ? m[8] : 0, records);
        return text;
    };
    switch (opcode) {
    case OpcodeRegisterChanges: return fetch("register changes", 6);
    case OpcodeStatusEvents: return fetch("status events", 8);
    case OpcodeLoggedEvents: return fetch("logged events", 12);
    case OpcodeReadRegisters:
        if (answer) {
            std::snprintf(text, sizeof text, "read answer: %d values", length >= 10 ? (length - 10) / 4 : 0);
        } else if (length >= 10) {
            std::snprintf(text, sizeof text, "read reg=%d count=%d", (m[8] << 8) | m[9], m[10]);
        } else {
            return "read (short)";
        }
        return text;
    case OpcodeWriteRegisters:
        if (function == FunctionAck) return "write answer";
        std::snprintf(text, sizeof text, "write %d registers from reg=%d", length >= 7 ? (length - 7) / 6 : 0,
                      length >= 9 ? (m[8] << 8) | m[9] : -1);
        return text;
    case OpcodeWriteBit:
        if (function == FunctionAck) return "bit write answer";
        if (length < 10) return "bit write (short)";
        std::snprintf(text, sizeof text, "write bit reg=%d bit=%d value=%d", (m[8] << 8) | m[9], m[10] & 0x7F,
                      m[10] >> 7);
        return text;
    case OpcodeSetClock:
        if (function == FunctionAck) return "clock answer";
        if (length < 16) return "set clock (short)";
        std::snprintf(text, sizeof text, "set clock %04d-%02d-%02d %02d:%02d:%02d.%03d", 1900 + m[8], m[9], m[10],
                      m[12], m[13], m[14], (m[15] << 8) | m[16]);
        return text;
    case OpcodeExceptionNotice:
        std::snprintf(text, sizeof text, "%s class=0x%02X",
                      function == FunctionAck ? "notice acknowledgement" : "exception notice", length >= 9 ? m[9] : 0);
        return text;
    default: return "unknown opcode";
    }
}

}  // namespace

std::string DescribeMessage(const uint8_t* m) {
    if (m[0] < 7) return "message shorter than a header";
    const uint8_t c = m[HeaderControl];
    char text[120];
    std::snprintf(text, sizeof text, "DIR=%d PRM=%d FCB=%d FCV=%d fn=%d dst=%u src=%u set=%d op=%d ", (c >> 7) & 1,
                  (c >> 6) & 1, (c >> 5) & 1, (c >> 4) & 1, c & 0x0F, MessageDestination(m), MessageSource(m),
                  m[HeaderSet], m[HeaderOpcode]);
    return text + Payload(m);
}

std::string DescribeLineBytes(const uint16_t table[256], const uint8_t* bytes, size_t count) {
    if (count < 3 || bytes[0] != 0x05 || bytes[1] != 0x64) return "not a frame";
    const size_t size = FrameSizeFor(bytes[2]);
    if (count < size) {
        if (count < 10) return "incomplete frame";
        // The header is in the first block; show it although the rest is missing.
        uint8_t m[256] = {};
        for (size_t i = 0; i < 8; ++i) m[i] = bytes[2 + i];
        return "incomplete frame: " + DescribeMessage(m);
    }
    uint8_t message[256];
    if (!CheckFrameBlocks(table, bytes, message)) {
        // Decode the header anyway, from the bytes as they stand.
        uint8_t m[256] = {};
        for (size_t i = 0, j = 2; i <= bytes[2] && j < size; ++j) {
            size_t blockPos = (j - 2) % 18;
            if (blockPos < 16) m[i++] = bytes[j];
        }
        return "BAD CRC: " + DescribeMessage(m);
    }
    return DescribeMessage(message);
}

std::string TraceClock() {
    auto now = std::chrono::system_clock::now();
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    time_t seconds = time_t(micros / 1000000);
    struct tm local;
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%06d", local.tm_hour, local.tm_min, local.tm_sec,
                  int(micros % 1000000));
    return text;
}

}  // namespace kivsim

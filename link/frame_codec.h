// The pure frame code, shared by the driver, the simulator and the tools: no
// port, no channel. Frames: 05 64, then the message (length byte first) cut
// into blocks of at most 16 bytes, each followed by its CRC-16 (poly 0x3D65,
// complemented), high byte first. Messages: an 8-byte link header, then the
// payload; numbers of more than one byte travel high byte first.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kFrameStartHi = 0x05;  // first start byte
constexpr uint8_t kFrameStartLo = 0x64;  // second start byte
constexpr int kMessageBufferSize = 256;  // length byte + up to 255 bytes
constexpr int kFrameBufferSize = 292;    // the largest frame is 290 bytes

// The frame size for a message of length L: L + 2*(L/16) + 5.
inline uint16_t FrameSizeFor(uint8_t length) {
    return static_cast<uint16_t>(length + 2 * (length / 16) + 5);
}

// The CRC over a given table (a channel's own, or FrameCrcTable).
void CrcBuildTable(uint16_t table[256]);
// The table, built at compile time.
const uint16_t* FrameCrcTable();
inline uint16_t CrcStep(const uint16_t table[256], uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>(table[((crc >> 8) ^ byte) & 0xFF] ^ ((crc << 8) & 0xFF00));
}
// The CRC of count bytes from a fresh start as it goes on the line
// (complemented), as the encoder and the checker compute it for each block.
uint16_t BlockCrc(const uint16_t table[256], const uint8_t* bytes, int count);
// Writes the frame of message into out (at least FrameSizeFor bytes, not
// overlapping message) and returns its size.
uint16_t EncodeFrameWith(const uint16_t table[256], const uint8_t* message, uint8_t* out);
// Checks the blocks of a whole frame (start bytes included, not checked;
// FrameSizeFor(frame[2]) bytes in all) and copies its message to message
// (256 bytes, not overlapping frame). Returns 1 when every CRC matches.
int CheckFrameBlocks(const uint16_t table[256], const uint8_t* frame, uint8_t* message);
// The hunt step: the first position in bytes[0..count) from which a frame
// could still begin, a start byte followed by the second start byte or by
// nothing yet; count when there is none. Bytes before it are no frame.
uint32_t FrameStartCandidate(const uint8_t* bytes, uint32_t count);

// Numbers in a message, most significant byte first.
inline uint16_t GetHigh16(const uint8_t* in) { return static_cast<uint16_t>((in[0] << 8) | in[1]); }
inline uint32_t GetHigh32(const uint8_t* in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | in[3];
}
inline void PutHigh16(uint8_t* out, uint16_t value) {
    out[0] = static_cast<uint8_t>(value >> 8);
    out[1] = static_cast<uint8_t>(value);
}
inline void PutHigh32(uint8_t* out, uint32_t value) {
    PutHigh16(out, static_cast<uint16_t>(value >> 16));
    PutHigh16(out + 2, static_cast<uint16_t>(value));
}

// Offsets in a message (byte 0 is its length).
enum : int {
    HeaderLength = 0,
    HeaderControl = 1,
    HeaderDestination = 2,  // 2 bytes, high first
    HeaderSource = 4,       // 2 bytes, high first
    HeaderSet = 6,
    HeaderOpcode = 7,
    HeaderSize = 8,         // the header is the first 8 bytes
};
constexpr uint8_t kHeaderOnlyLength = 7;  // L of a message that is only a header

// Control byte bits.
enum : uint8_t {
    ControlDir = 0x80,
    ControlPrm = 0x40,
    ControlFcb = 0x20,
    ControlFcv = 0x10,
    ControlFunction = 0x0F,
};

enum : uint8_t {
    FunctionAskData = 15,   // request that asks for data
    FunctionSendData = 3,   // request that carries data; also an exception notice
    FunctionAnswerData = 6, // answer carrying data
    FunctionAck = 0,        // bare answer, link reset, replies
};

enum : uint8_t {
    OpcodeLinkReset = 0,     // with set 0
    OpcodeRegisterChanges = 0,
    OpcodeReadRegisters = 1,
    OpcodeWriteRegisters = 3,
    OpcodeWriteBit = 4,
    OpcodeStatusEvents = 5,
    OpcodeLoggedEvents = 6,
    OpcodeSetClock = 7,
    OpcodeExceptionNotice = 9,
};

// Header readers.
inline uint16_t MessageDestination(const uint8_t* m) { return GetHigh16(m + HeaderDestination); }
inline uint16_t MessageSource(const uint8_t* m) { return GetHigh16(m + HeaderSource); }
inline uint8_t MessageFunction(const uint8_t* m) { return m[HeaderControl] & ControlFunction; }
// True for an exception notice (set 1, opcode 9, function 3).
inline bool IsExceptionNotice(const uint8_t* m) {
    return m[0] >= 7 && m[HeaderSet] == 1 && m[HeaderOpcode] == OpcodeExceptionNotice &&
           MessageFunction(m) == FunctionSendData;
}
// The opcodes (of set 1) that fetch event records.
inline bool IsFetchOpcode(uint8_t opcode) {
    return opcode == OpcodeRegisterChanges || opcode == OpcodeStatusEvents || opcode == OpcodeLoggedEvents;
}

// Header builders. The DIR bit of a frame: set when the destination is at
// or above the source (both unsigned 16-bit), the same rule at both ends.
inline uint8_t DirectionFor(uint16_t destination, uint16_t source) {
    return destination >= source ? ControlDir : 0;
}
// The control byte of a request: DIR by rule, PRM, FCB when fcb is 1, FCV
// and the function code.
inline uint8_t RequestControl(uint16_t destination, uint16_t source, uint8_t fcb, uint8_t function) {
    return static_cast<uint8_t>(DirectionFor(destination, source) | ControlPrm | (fcb ? ControlFcb : 0) | ControlFcv |
                                (function & ControlFunction));
}
// Writes the 8 header bytes: length, control, destination, source, set and
// opcode.
inline void PutHeader(uint8_t* m, uint8_t length, uint8_t control, uint16_t destination, uint16_t source, uint8_t set,
                      uint8_t opcode) {
    m[HeaderLength] = length;
    m[HeaderControl] = control;
    PutHigh16(m + HeaderDestination, destination);
    PutHigh16(m + HeaderSource, source);
    m[HeaderSet] = set;
    m[HeaderOpcode] = opcode;
}

// The link header every message begins with, and the request/response
// exchange with three tries that every request goes through.
#pragma once

#include <cstdint>

#include "base/channel_block.h"
#include "serial/line_deadline.h"

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

// Message accessors.
inline uint16_t MessageDestination(const uint8_t* m) {
    return static_cast<uint16_t>((m[HeaderDestination] << 8) | m[HeaderDestination + 1]);
}
inline uint16_t MessageSource(const uint8_t* m) {
    return static_cast<uint16_t>((m[HeaderSource] << 8) | m[HeaderSource + 1]);
}
// A 32-bit number of a message, most significant byte first (as every
// number of more than one byte travels on the line).
inline uint32_t GetHigh32(const uint8_t* in) {
    return (static_cast<uint32_t>(in[0]) << 24) | (static_cast<uint32_t>(in[1]) << 16) |
           (static_cast<uint32_t>(in[2]) << 8) | in[3];
}
inline uint8_t MessageFunction(const uint8_t* m) { return m[HeaderControl] & ControlFunction; }
// True for an exception notice (set 1, opcode 9, function 3).
inline bool IsExceptionNotice(const uint8_t* m) {
    return m[0] >= 7 && m[HeaderSet] == 1 && m[HeaderOpcode] == OpcodeExceptionNotice &&
           MessageFunction(m) == FunctionSendData;
}

// DIR bit for frames to station on the current channel: set when the station
// is at or above our host address.
uint8_t DirectionBit(uint16_t station);

// Writes a request header for the current channel into message: length,
// control (DIR by rule, PRM, FCB from the toggle, FCV, function), destination,
// our address, set 1, opcode.
void BuildRequestHeader(uint8_t* message, uint8_t length, uint8_t function, uint16_t station, uint8_t opcode);
// Writes a reply header (DIR by rule, PRM, FCB and FCV 0, function 0).
void BuildReplyHeader(uint8_t* message, uint8_t length, uint16_t station, uint8_t set, uint8_t opcode);
// Flips the current channel's frame-count toggle.
void FlipFcb();

// 0 when the answer fits (opcode, function, destination us, source station),
// 1 when not. An exception notice in place of the answer is skipped and one
// more frame read into answer, by the deadline of the try (without one, by
// a reception's own).
int CheckResponse(uint8_t* answer, uint16_t hostAddress, uint16_t station, uint8_t opcode, uint8_t function,
                  LineDeadline* deadline = nullptr);
// Up to three tries of send, receive and check. 0 with the answer in answer
// (256 bytes), 1 when the last try got a frame that did not fit, 2 when it
// got no sound frame.
int ExchangeRequest(const uint8_t* request, uint16_t station, uint8_t opcode, uint8_t function, uint8_t* answer);
// Sends a link reset to a station once per Open. 0 when reset (now or
// before), 2 when no sound frame came back in three tries.
int ResetLinkOnce(uint16_t station);
// Holds every station of the block's channel to the echo of its read
// requests again, as a new channel is; Open calls it.
void ForgetStationEchoes(ChannelBlock* block);

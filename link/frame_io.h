// TDE frames: 05 64, then the message (length byte first) cut into blocks of
// at most 16 bytes, each followed by its CRC-16 (poly 0x3D65, complemented),
// high byte first.
#pragma once

#include <cstdint>

#include "base/channel_block.h"
#include "serial/line_deadline.h"

constexpr uint8_t kFrameStartHi = 0x05;  // first start byte
constexpr uint8_t kFrameStartLo = 0x64;  // second start byte
constexpr int kMessageBufferSize = 256;  // length byte + up to 255 bytes
constexpr int kFrameBufferSize = 292;    // the largest frame is 290 bytes

// The frame size for a message of length L: L + 2*(L/16) + 5.
inline uint16_t FrameSizeFor(uint8_t length) {
    return static_cast<uint16_t>(length + 2 * (length / 16) + 5);
}

// Pure functions over a given table (link/frame_codec.cpp), shared with the
// simulator and the tools.
void CrcBuildTable(uint16_t table[256]);
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
// The first position in bytes[0..count) from which a frame could still
// begin: a start byte followed by the second start byte, or by nothing yet.
// count when there is none.
uint32_t FrameStartCandidate(const uint8_t* bytes, uint32_t count);
// Bytes a reception skips at most while it hunts for the start bytes: a
// frame behind exactly this many stray bytes is still found.
constexpr uint32_t kMaxHuntBytes = 512;

// The same operations on the current channel's table and port.
void CrcInit();
// 1 when CrcInit has filled the block's table (so an Open got that far):
// entry 1 is the polynomial and never 0, while a new block arrives
// zero-filled.
inline int CrcTableBuilt(const ChannelBlock* block) { return block->crcTable[1] != 0; }
uint16_t CrcUpdate(uint16_t crc, uint8_t byte);
uint16_t EncodeFrame(const uint8_t* message, uint8_t* out);
// Sends a message; 1 when it was written whole (and, with radio keying, the
// answering carrier came), else 0.
int SendFrame(const uint8_t* message);
int TransmitFrame(const uint8_t* frame, uint16_t size);
// Reads one frame; 1 with the message (length byte first) in message. Ends
// by the deadline of the try it belongs to; without one, by a deadline of
// its own for the largest frame (LoneReceptionMs).
int ReceiveFrame(uint8_t* message, LineDeadline* deadline = nullptr);
// Reads exactly count bytes from the current channel's port by the
// deadline; 1 or 0 (logged).
int ReadExact(uint8_t* buffer, uint32_t count, LineDeadline* deadline);

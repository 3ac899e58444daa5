// TDE frames on the current channel: the send and receive paths, which add
// the channel's CRC table, the port and the radio keying to the pure frame
// code (link/frame_codec.h).
#pragma once

#include <cstdint>

#include "base/channel_block.h"
#include "link/frame_codec.h"
#include "serial/line_deadline.h"

// Bytes a reception skips at most while it hunts for the start bytes: a
// frame behind exactly this many stray bytes is still found.
constexpr uint32_t kMaxHuntBytes = 512;

// Fills the current channel's CRC table.
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

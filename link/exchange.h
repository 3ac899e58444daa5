// The link header on the current channel (its fields are in
// link/frame_codec.h), and the request/response exchange with three tries
// that every request goes through.
#pragma once

#include <cstdint>

#include "base/channel_block.h"
#include "link/frame_codec.h"
#include "serial/line_deadline.h"

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

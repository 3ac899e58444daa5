// The link header (direction rule, frame-count bit), the answer check, the
// once-per-station link reset and the request/response exchange with three
// tries.
#include "link/exchange.h"

#include "driver/channel_block.h"
#include "link/frame.h"

namespace {

constexpr int kTries = 3;
constexpr uint8_t kHeaderOnlyLength = 7;  // L of a message that is only a header

// Destination and source of a header we send: the station, then our own
// address, which the block keeps already in line order.
void PutStations(uint8_t* message, uint16_t station) {
    message[HeaderDestination] = static_cast<uint8_t>(station >> 8);
    message[HeaderDestination + 1] = static_cast<uint8_t>(station & 0xFF);
    message[HeaderSource] = CurrentChannel->hostAddress[0];
    message[HeaderSource + 1] = CurrentChannel->hostAddress[1];
}

}  // namespace

// ControlDir when the station is at or above the current channel's host
// address (both unsigned 16-bit), else 0.
uint8_t DirectionBit(uint16_t station) {
    return station >= HostAddressOf(CurrentChannel) ? ControlDir : 0;
}

// Every control bit is set afresh: DIR by rule, PRM, FCB from bit 0 of the
// toggle as it is now, FCV, and the function code.
void BuildRequestHeader(uint8_t* message, uint8_t length, uint8_t function, uint16_t station, uint8_t opcode) {
    const uint8_t fcb = (CurrentChannel->fcb & 1) ? ControlFcb : 0;
    message[HeaderLength] = length;
    message[HeaderControl] =
        static_cast<uint8_t>(DirectionBit(station) | ControlPrm | fcb | ControlFcv | (function & ControlFunction));
    PutStations(message, station);
    message[HeaderSet] = 1;
    message[HeaderOpcode] = opcode;
}

// Replies to a unit carry DIR by rule and nothing else: PRM, FCB and FCV 0,
// function 0. The toggle is neither used nor changed.
void BuildReplyHeader(uint8_t* message, uint8_t length, uint16_t station, uint8_t set, uint8_t opcode) {
    message[HeaderLength] = length;
    message[HeaderControl] = DirectionBit(station);
    PutStations(message, station);
    message[HeaderSet] = set;
    message[HeaderOpcode] = opcode;
}

// Inverts bit 0 of the current channel's toggle.
void FlipFcb() { CurrentChannel->fcb = static_cast<uint8_t>(CurrentChannel->fcb ^ 1); }

// 0 when the answer carries the expected opcode and function code, is
// addressed to us and comes from the station; else 1. A unit that speaks
// unasked in place of the answer sends an exception notice: it is dropped
// and the next frame read into answer (1 when none comes). A message too
// short to hold a header never fits, and nothing past its end is looked at.
int CheckResponse(uint8_t* answer, uint16_t hostAddress, uint16_t station, uint8_t opcode, uint8_t function) {
    if (IsExceptionNotice(answer) && !ReceiveFrame(answer)) return 1;
    if (answer[HeaderLength] < kHeaderOnlyLength) return 1;
    if (answer[HeaderOpcode] != opcode) return 1;
    if (MessageFunction(answer) != function) return 1;
    if (MessageDestination(answer) != hostAddress) return 1;
    if (MessageSource(answer) != station) return 1;
    return 0;
}

// Up to three tries of the same request. The FCB is not flipped between
// tries: a unit that got the request but whose answer was lost sees a repeat,
// not a new request. 0 with the answer in answer, 1 when the last try got a
// sound frame that did not fit, 2 when it got no sound frame.
int ExchangeRequest(const uint8_t* request, uint16_t station, uint8_t opcode, uint8_t function, uint8_t* answer) {
    const uint16_t hostAddress = HostAddressOf(CurrentChannel);
    int code = 2;
    for (int tryNumber = 0; tryNumber < kTries; ++tryNumber) {
        SendFrame(request);  // a failed send shows as a failed reception
        if (!ReceiveFrame(answer)) {
            code = 2;
        } else {
            code = CheckResponse(answer, hostAddress, station, opcode, function);
            if (code == 0) break;
        }
    }
    return code;
}

// 0 when the station's link was reset since Open, or is now; 2 when three
// tries brought no sound frame. The flag is set before the first send, so a
// station that never answers is not reset again until the next Open.
int ResetLinkOnce(uint16_t station) {
    ChannelBlock* block = CurrentChannel;
    if (block->linkReset[station]) return 0;
    block->linkReset[station] = 1;

    uint8_t request[HeaderSize];
    request[HeaderLength] = kHeaderOnlyLength;
    request[HeaderControl] = static_cast<uint8_t>(DirectionBit(station) | ControlPrm);
    PutStations(request, station);
    request[HeaderSet] = 0;
    request[HeaderOpcode] = OpcodeLinkReset;

    uint8_t answer[kMessageBufferSize];
    for (int tryNumber = 0; tryNumber < kTries; ++tryNumber) {
        SendFrame(request);
        if (ReceiveFrame(answer)) return 0;  // any sound frame will do
    }
    return 2;
}

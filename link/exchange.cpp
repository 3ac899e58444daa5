// The link header (direction rule, frame-count bit), the answer check, the
// once-per-station link reset and the request/response exchange with three
// tries.
#include "link/exchange.h"

#include "driver/channel_block.h"
#include "driver/channel_state.h"
#include "driver/port_health.h"
#include "link/frame.h"
#include "serial/port.h"

namespace {

constexpr int kTries = 3;
constexpr uint8_t kHeaderOnlyLength = 7;  // L of a message that is only a header

// Destination and source of a header we send: the station, then our own
// address, which the block keeps already in line order.
void PutStations(uint8_t* message, uint16_t station) {
    message[HeaderDestination] = static_cast<uint8_t>(station >> 8);
    message[HeaderDestination + 1] = static_cast<uint8_t>(station & 0xFF);
    message[HeaderSource] = CurrentChannel()->hostAddress[0];
    message[HeaderSource + 1] = CurrentChannel()->hostAddress[1];
}

// The per-station byte of linkReset: bit 0 is the link-reset flag; the rest
// is what the exchange has learnt of the station's read answers.
enum : uint8_t {
    StationResetSent = 0x01,   // a link reset went out since Open
    StationEchoHeld = 0x02,    // read answers must echo register and count
    StationEchoSeen = 0x0C,    // read answers that carried the echo, each unlike the one before (0-3)
    StationStaleRun = 0x30,    // held exchanges in a row that saw only stale answers (0-3)
    StationEchoMark = 0xC0,    // two bits taken from the echo counted last
};
constexpr int kEchoSeenShift = 2;
constexpr int kStaleRunShift = 4;
constexpr int kEchoMarkShift = 6;
// Answers that echoed two different requests hold a station to the echo: a
// unit that puts something fixed there never matches two different
// requests, and one that puts anything else there matches by chance one
// time in 2^24, twice one time in 2^48. Answers without the echo do not undo what was counted, so a
// station learns even while stale answers come in between. Three exchanges
// in a row that saw nothing but answers without the echo let the station go
// again (a unit that only happened to carry it keeps working).
constexpr int kEchoHoldAfter = 2;
constexpr int kEchoReleaseAfter = 3;
// Stale frames one try reads past before it gives up.
constexpr int kStaleFramesPerTry = 8;
constexpr int kEchoOffset = 8;  // the register (2 bytes) and count of a read
constexpr int kEchoSize = 3;

int FieldOf(uint8_t flags, uint8_t mask, int shift) { return (flags & mask) >> shift; }
uint8_t WithField(uint8_t flags, uint8_t mask, int shift, int value) {
    return static_cast<uint8_t>((flags & ~mask) | ((value << shift) & mask));
}

// Whether an answer to this request can be told by its echo: only reads
// carry one, in the three bytes before the values.
bool EchoApplies(const uint8_t* request, uint8_t opcode) {
    return opcode == OpcodeReadRegisters && request[HeaderOpcode] == OpcodeReadRegisters &&
           request[HeaderLength] >= kEchoOffset + kEchoSize - 1;
}

bool AnswerEchoes(const uint8_t* request, const uint8_t* answer) {
    if (answer[HeaderLength] < kEchoOffset + kEchoSize - 1) return false;
    for (int i = 0; i < kEchoSize; ++i) {
        if (answer[kEchoOffset + i] != request[kEchoOffset + i]) return false;
    }
    return true;
}

// Two bits of the echo, all of its bits folded in: reads of registers a few
// apart give different marks.
// Folding is linear, so the bytes are joined first and folded once.
int EchoMark(const uint8_t* answer) {
    unsigned joined = 0;
    for (int i = 0; i < kEchoSize; ++i) joined ^= answer[kEchoOffset + i];
    joined ^= joined >> 4;
    joined ^= joined >> 2;
    return static_cast<int>(joined & 3);
}

// Counts a fitting read answer towards the station's echo; true when the
// station is held to the echo and the answer lacks it (stale).
bool IsStaleAnswer(uint8_t* flags, const uint8_t* request, const uint8_t* answer) {
    if (!AnswerEchoes(request, answer)) return (*flags & StationEchoHeld) != 0;
    if (*flags & StationEchoHeld) return false;
    const int mark = EchoMark(answer);
    const int seen = FieldOf(*flags, StationEchoSeen, kEchoSeenShift);
    if (seen > 0 && mark == FieldOf(*flags, StationEchoMark, kEchoMarkShift)) return false;
    *flags = WithField(*flags, StationEchoMark, kEchoMarkShift, mark);
    *flags = WithField(*flags, StationEchoSeen, kEchoSeenShift, seen + 1);
    if (seen + 1 >= kEchoHoldAfter) *flags = static_cast<uint8_t>(*flags | StationEchoHeld);
    return false;
}

// After an exchange of a held station that saw only stale answers, counts
// towards letting it go; any fitting answer clears the count.
void CountStaleRun(uint8_t* flags, bool answered, bool onlyStale) {
    if (!(*flags & StationEchoHeld)) return;
    int run = answered ? 0 : FieldOf(*flags, StationStaleRun, kStaleRunShift);
    if (!answered && onlyStale) ++run;
    if (run >= kEchoReleaseAfter) {
        *flags = static_cast<uint8_t>(*flags & StationResetSent);  // learn afresh
        return;
    }
    *flags = WithField(*flags, StationStaleRun, kStaleRunShift, run);
}

// A fetch answer with records that the unit sends twice: the copy would
// otherwise pass for the answer to the next request of the same kind, and
// its records would be stored twice. The channel keeps the last exchange's
// accepted fetch answer for the next exchange only, so a later fetch that
// gets the same records again (the unit never learnt they arrived) is not
// refused for ever. An answer without records may come twice harmlessly.
struct FetchMark {
    uint16_t station;
    uint8_t opcode;
    uint8_t length;  // 0: none
    uint32_t digest;
};

bool IsFetch(uint8_t opcode, uint8_t function) {
    return function == FunctionAnswerData && (opcode == OpcodeRegisterChanges || opcode == OpcodeStatusEvents ||
                                              opcode == OpcodeLoggedEvents);
}

// FNV-1a over the message, length byte first.
uint32_t MessageDigest(const uint8_t* message) {
    uint32_t digest = 2166136261u;
    for (int i = 0; i <= message[HeaderLength]; ++i) digest = (digest ^ message[i]) * 16777619u;
    return digest;
}

// Takes the channel's mark for this exchange, leaving none behind.
FetchMark TakeFetchMark() {
    ChannelState* state = FindChannelState(CurrentChannel());
    if (state == nullptr) return FetchMark{};
    const FetchMark mark{state->fetchStation, state->fetchOpcode, state->fetchLength, state->fetchDigest};
    state->fetchLength = 0;
    return mark;
}

void KeepFetchMark(uint16_t station, uint8_t opcode, const uint8_t* answer) {
    ChannelState* state = FindChannelState(CurrentChannel());
    if (state == nullptr || answer[HeaderLength] <= HeaderSize) return;  // no records
    state->fetchStation = station;
    state->fetchOpcode = opcode;
    state->fetchLength = answer[HeaderLength];
    state->fetchDigest = MessageDigest(answer);
}

bool IsFetchCopy(const FetchMark& mark, uint16_t station, uint8_t opcode, const uint8_t* answer) {
    return mark.length != 0 && mark.station == station && mark.opcode == opcode &&
           mark.length == answer[HeaderLength] && mark.digest == MessageDigest(answer);
}

// One try's reception: the first fitting answer, read past stale ones (of a
// station held to the echo, or a copy of the last fetch answer) while frames
// keep coming. 0 with the answer,
// 1 when the frames that came did not fit, 2 when none was sound.
int ReceiveAnswer(const uint8_t* request, uint16_t station, uint8_t opcode, uint8_t function, uint8_t* answer,
                  const FetchMark& previous, bool* sawStale) {
    const uint16_t hostAddress = HostAddressOf(CurrentChannel());
    uint8_t* flags = &CurrentChannel()->linkReset[station];
    const bool echo = EchoApplies(request, opcode);
    const bool fetch = IsFetch(opcode, function);
    int code = 2;
    for (int frame = 0; frame <= kStaleFramesPerTry; ++frame) {
        if (!ReceiveFrame(answer)) return code;
        code = CheckResponse(answer, hostAddress, station, opcode, function);
        if (code != 0) return code;
        const bool stale = echo ? IsStaleAnswer(flags, request, answer)
                                : fetch && IsFetchCopy(previous, station, opcode, answer);
        if (!stale) {
            if (fetch) KeepFetchMark(station, opcode, answer);
            return 0;
        }
        *sawStale = true;
        code = 1;
    }
    return code;
}

}  // namespace

// ControlDir when the station is at or above the current channel's host
// address (both unsigned 16-bit), else 0.
uint8_t DirectionBit(uint16_t station) {
    return station >= HostAddressOf(CurrentChannel()) ? ControlDir : 0;
}

// Every control bit is set afresh: DIR by rule, PRM, FCB from bit 0 of the
// toggle as it is now, FCV, and the function code.
void BuildRequestHeader(uint8_t* message, uint8_t length, uint8_t function, uint16_t station, uint8_t opcode) {
    const uint8_t fcb = (CurrentChannel()->fcb & 1) ? ControlFcb : 0;
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
void FlipFcb() { CurrentChannel()->fcb = static_cast<uint8_t>(CurrentChannel()->fcb ^ 1); }

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
//
// An answer that comes late, twice, or split by a pause must not be taken
// for the answer to a later request. So a station whose read answers have
// echoed the request's register and count every time is held to that echo,
// and each try reads on past answers without it; and after an exchange in
// which any try failed, the line is left to fall quiet (the late answers of
// those tries are read away) before the next request goes out.
//
// A port whose device is gone is not touched: 2 at once, and the tries end
// as soon as one of them finds it gone.
int ExchangeRequest(const uint8_t* request, uint16_t station, uint8_t opcode, uint8_t function, uint8_t* answer) {
    if (PortGone(CurrentChannel())) return 2;
    const FetchMark previous = TakeFetchMark();
    int code = 2;
    bool anyFailed = false;
    bool onlyStale = true;
    for (int tryNumber = 0; tryNumber < kTries; ++tryNumber) {
        SendFrame(request);  // a failed send shows as a failed reception
        bool sawStale = false;
        code = ReceiveAnswer(request, station, opcode, function, answer, previous, &sawStale);
        const int gone = NotePortGone(CurrentChannel());
        if (code == 0) break;
        if (gone) return 2;
        anyFailed = true;
        onlyStale = onlyStale && sawStale;
    }
    CountStaleRun(&CurrentChannel()->linkReset[station], code == 0, onlyStale);
    if (anyFailed) PortWaitQuiet(FieldToHandle(PortHandleOf(CurrentChannel())));
    return code;
}

// 0 when the station's link was reset since Open, or is now; 2 when three
// tries brought no sound frame. The flag is set before the first send, so a
// station that never answers is not reset again until the next Open.
//
// On a port whose device is gone nothing is sent and the flag stays clear
// (cleared again when the tries find it gone), so that the first request
// after the port is back resets the link.
int ResetLinkOnce(uint16_t station) {
    ChannelBlock* block = CurrentChannel();
    if (block->linkReset[station] & StationResetSent) return 0;
    if (PortGone(block)) return 2;
    block->linkReset[station] = static_cast<uint8_t>(block->linkReset[station] | StationResetSent);

    uint8_t request[HeaderSize];
    request[HeaderLength] = kHeaderOnlyLength;
    request[HeaderControl] = static_cast<uint8_t>(DirectionBit(station) | ControlPrm);
    PutStations(request, station);
    request[HeaderSet] = 0;
    request[HeaderOpcode] = OpcodeLinkReset;

    uint8_t answer[kMessageBufferSize];
    for (int tryNumber = 0; tryNumber < kTries; ++tryNumber) {
        SendFrame(request);
        const int got = ReceiveFrame(answer);
        const int gone = NotePortGone(block);
        if (got) return 0;  // any sound frame will do
        if (gone) {
            block->linkReset[station] = static_cast<uint8_t>(block->linkReset[station] & ~StationResetSent);
            return 2;
        }
    }
    return 2;
}

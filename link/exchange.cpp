// The link header (direction rule, frame-count bit), the answer check, the
// once-per-station link reset and the request/response exchange with three
// tries.
#include "link/exchange.h"

#include <cstring>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "base/log.h"
#include "serial/port_health.h"
#include "link/frame_io.h"
#include "link/line_budget.h"
#include "serial/port.h"

namespace {

// Stale frames one try reads past before it gives up.
constexpr int kStaleFramesPerTry = 8;
constexpr int kEchoOffset = 8;  // the register (2 bytes) and count of a read
constexpr int kEchoSize = 3;
// A station whose answers came without the echo through this many held
// exchanges in a row is let go: it is a unit that does not echo, and its
// reads work again from then on.
constexpr int kEchoReleaseAfter = 3;

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

// The station's entry in the channel's echo list, or nullptr. The list is
// empty on a line whose units all echo, so the usual read looks at nothing.
StationEcho* FindEcho(ChannelState* state, uint16_t station) {
    if (state == nullptr) return nullptr;
    for (int i = 0; i < state->echoUsed; ++i) {
        if (state->echo[i].station == station) return &state->echo[i];
    }
    return nullptr;
}

void DropEcho(ChannelState* state, StationEcho* entry) {
    *entry = state->echo[--state->echoUsed];
    state->echo[state->echoUsed] = StationEcho{};
}

// A new entry for the station: a free one, or the one with the shortest
// run (a let-go station last), which is then held again.
StationEcho* AddEcho(ChannelState* state, uint16_t station) {
    StationEcho* entry = nullptr;
    if (state->echoUsed < kEchoStations) {
        entry = &state->echo[state->echoUsed++];
    } else {
        entry = &state->echo[0];
        for (StationEcho& other : state->echo) {
            if (other.released + other.staleRun < entry->released + entry->staleRun) entry = &other;
        }
    }
    *entry = StationEcho{station, 0, 0};
    return entry;
}

// True while the station's read answers must echo the request: from Open
// on, until its answers kept coming without the echo.
bool HeldToEcho(ChannelState* state, uint16_t station) {
    const StationEcho* entry = FindEcho(state, station);
    return entry == nullptr || entry->released == 0;
}

// After an exchange of a held station: one that saw only answers without
// the echo counts towards letting the station go; any fitting answer
// clears the count.
void CountStaleRun(ChannelState* state, uint16_t station, bool answered, bool onlyStale) {
    if (state == nullptr) return;
    StationEcho* entry = FindEcho(state, station);
    if (entry != nullptr && entry->released) return;
    if (answered) {
        if (entry != nullptr) DropEcho(state, entry);
        return;
    }
    if (!onlyStale) return;
    if (entry == nullptr) entry = AddEcho(state, station);
    if (++entry->staleRun >= kEchoReleaseAfter) entry->released = 1;
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
    return function == FunctionAnswerData && IsFetchOpcode(opcode);
}

// FNV-1a over the message, length byte first.
uint32_t MessageDigest(const uint8_t* message) {
    uint32_t digest = 2166136261u;
    for (int i = 0; i <= message[HeaderLength]; ++i) digest = (digest ^ message[i]) * 16777619u;
    return digest;
}

// Takes the channel's mark for this exchange, leaving none behind.
FetchMark TakeFetchMark(ChannelState* state) {
    if (state == nullptr) return FetchMark{};
    const FetchMark mark{state->fetchStation, state->fetchOpcode, state->fetchLength, state->fetchDigest};
    state->fetchLength = 0;
    return mark;
}

void KeepFetchMark(ChannelState* state, uint16_t station, uint8_t opcode, const uint8_t* answer) {
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

// The longest answer a request can have on the line, in frame bytes: a bare
// header for requests that carry data and for the link reset, a read's
// values (up to three bytes more are taken), a whole frame of records for
// a fetch.
uint32_t LongestAnswerBytes(const uint8_t* request, uint8_t opcode, uint8_t function) {
    if (function != FunctionAnswerData) return FrameSizeFor(kHeaderOnlyLength);
    if (EchoApplies(request, opcode)) {
        const uint32_t length = 10u + 4u * request[kEchoOffset + 2] + 3u;
        return FrameSizeFor(static_cast<uint8_t>(length > 255 ? 255 : length));
    }
    return kMaxFrameBytes;
}

// How long one try of request may last.
uint32_t TryMs(const uint8_t* request, uint32_t answerBytes) {
    return TryBudgetMs(CurrentChannel(), FrameSizeFor(request[HeaderLength]), answerBytes);
}

// What an exchange knows of its request while it reads the answers.
struct AnswerCheck {
    const uint8_t* request;
    uint16_t station;
    uint8_t opcode;       // the answer's expected opcode
    uint8_t function;     // and function code
    bool heldToEcho;      // a read of a station held to the echo
    bool fetch;           // an event fetch: a copy of the last answer is stale
    FetchMark previous;   // the last exchange's fetch answer
    ChannelState* state;  // the channel's side-table entry, or nullptr
};

// One try's reception: the first fitting answer, read past stale ones (of a
// station held to the echo, or a copy of the last fetch answer) while frames
// keep coming within the try's deadline. 0 with the answer,
// 1 when the frames that came did not fit, 2 when none was sound.
int ReceiveAnswer(const AnswerCheck& check, uint8_t* answer, LineDeadline* deadline, bool* sawStale) {
    const uint16_t hostAddress = HostAddressOf(CurrentChannel());
    int code = 2;
    for (int frame = 0; frame <= kStaleFramesPerTry; ++frame) {
        if (!ReceiveFrame(answer, deadline)) return code;
        code = CheckResponse(answer, hostAddress, check.station, check.opcode, check.function, deadline);
        if (code != 0) return code;
        const bool stale = check.heldToEcho ? !AnswerEchoes(check.request, answer)
                                            : check.fetch && IsFetchCopy(check.previous, check.station, check.opcode,
                                                                         answer);
        if (!stale) {
            if (check.fetch) KeepFetchMark(check.state, check.station, check.opcode, answer);
            return 0;
        }
        *sawStale = true;
        code = 1;
    }
    return code;
}

// After a request in which a try failed: the late answers of those tries
// are read away until the line falls quiet, within the quiet wait's time.
// 1 when it fell quiet.
int LetLineFallQuiet(uint32_t answerBytes) {
    const ChannelBlock* block = CurrentChannel();
    int quiet = 0;
    PortWaitQuiet(FieldToHandle(PortHandleOf(block)), QuietBudgetMs(block, answerBytes), &quiet);
    return quiet;
}

// A request during which the line never fell quiet (its tries ran into
// their deadlines, or the quiet wait into its time, with bytes still
// coming): one line for the request.
void LogLineNeverQuiet(uint16_t station, DWORD startTick) {
    DriverLog(kLogFault, "KivIN : Line never fell quiet during a request to station %d, given up after %u ms",
        static_cast<int>(station), static_cast<unsigned>(GetTickCount() - startTick));
}

}  // namespace

// Every control bit is set afresh: DIR by rule, PRM, FCB from bit 0 of the
// toggle as it is now, FCV, and the function code.
void BuildRequestHeader(uint8_t* message, uint8_t length, uint8_t function, uint16_t station, uint8_t opcode) {
    const ChannelBlock* block = CurrentChannel();
    const uint16_t host = HostAddressOf(block);
    PutHeader(message, length, RequestControl(station, host, block->fcb & 1, function), station, host, 1, opcode);
}

// Replies to a unit carry DIR by rule and nothing else: PRM, FCB and FCV 0,
// function 0. The toggle is neither used nor changed.
void BuildReplyHeader(uint8_t* message, uint8_t length, uint16_t station, uint8_t set, uint8_t opcode) {
    const uint16_t host = HostAddressOf(CurrentChannel());
    PutHeader(message, length, DirectionFor(station, host), station, host, set, opcode);
}

// Inverts bit 0 of the current channel's toggle.
void FlipFcb() { CurrentChannel()->fcb = static_cast<uint8_t>(CurrentChannel()->fcb ^ 1); }

// 0 when the answer carries the expected opcode and function code, is
// addressed to us and comes from the station; else 1. A unit that speaks
// unasked in place of the answer sends an exception notice: it is dropped
// and the next frame read into answer, by the try's deadline (1 when none
// comes). A message too short to hold a header never fits, and nothing
// past its end is looked at.
int CheckResponse(uint8_t* answer, uint16_t hostAddress, uint16_t station, uint8_t opcode, uint8_t function,
                  LineDeadline* deadline) {
    if (IsExceptionNotice(answer) && !ReceiveFrame(answer, deadline)) return 1;
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
// Each try ends by its deadline (TryBudgetMs), whatever the line carries.
// An answer that comes late, twice, or split by a pause must not be taken
// for the answer to a later request. So every station's read answers are
// held to the echo of the request's register and count (until they keep
// coming without it), and each try reads on past answers without it; and
// after an exchange in which any try failed, the line is left to fall quiet
// (the late answers of those tries are read away, for a bounded time)
// before the next request goes out.
//
// A port whose device is gone is not touched: 2 at once, and the tries end
// as soon as one of them finds it gone. A channel whose work must end (Close,
// the host's shutdown) makes no further try.
int ExchangeRequest(const uint8_t* request, uint16_t station, uint8_t opcode, uint8_t function, uint8_t* answer) {
    ChannelBlock* block = CurrentChannel();
    if (PortGone(block)) return 2;
    ChannelState* state = FindChannelState(block);
    const bool echo = EchoApplies(request, opcode);
    const AnswerCheck check{request, station, opcode, function, echo && HeldToEcho(state, station),
                            IsFetch(opcode, function), TakeFetchMark(state), state};
    const uint32_t answerBytes = LongestAnswerBytes(request, opcode, function);
    const uint32_t tryMs = TryMs(request, answerBytes);
    const uint32_t readMs = ReadTimeoutMs(block);
    int code = 2;
    bool anyFailed = false;
    bool onlyStale = true;
    bool babbled = false;
    DWORD startTick = 0;
    for (uint32_t tryNumber = 0; tryNumber < kExchangeTries; ++tryNumber) {
        LineDeadline deadline = LineDeadlineFromNow(tryMs, readMs);
        if (tryNumber == 0) startTick = deadline.start;
        SendFrame(request);  // a failed send shows as a failed reception
        bool sawStale = false;
        code = ReceiveAnswer(check, answer, &deadline, &sawStale);
        const int gone = NotePortGone(block);
        if (code == 0) break;
        if (gone) return 2;
        anyFailed = true;
        onlyStale = onlyStale && sawStale;
        babbled = babbled || deadline.timeUp;
        if (ChannelWorkMustEnd(block)) return code;
    }
    if (echo) CountStaleRun(state, station, code == 0, onlyStale);
    if (anyFailed && !LetLineFallQuiet(answerBytes)) babbled = true;
    if (babbled) LogLineNeverQuiet(station, startTick);
    return code;
}

// 0 when the station's link was reset since Open, or is now; 2 when three
// tries brought no sound frame. The flag is set before the first send, so a
// station that never answers is not reset again until the next Open. Each
// try ends by its deadline, and after three failed ones the line is left to
// fall quiet, as after any failed request.
//
// On a port whose device is gone nothing is sent and the flag stays clear
// (cleared again when the tries find it gone), so that the first request
// after the port is back resets the link.
int ResetLinkOnce(uint16_t station) {
    ChannelBlock* block = CurrentChannel();
    if (block->linkReset[station] != 0) return 0;
    if (PortGone(block)) return 2;
    block->linkReset[station] = 1;

    const uint16_t host = HostAddressOf(block);
    uint8_t request[HeaderSize];
    const uint8_t control = static_cast<uint8_t>(DirectionFor(station, host) | ControlPrm);
    PutHeader(request, kHeaderOnlyLength, control, station, host, 0, OpcodeLinkReset);

    uint8_t answer[kMessageBufferSize];
    const uint32_t answerBytes = FrameSizeFor(kHeaderOnlyLength);
    const uint32_t tryMs = TryMs(request, answerBytes);
    const uint32_t readMs = ReadTimeoutMs(block);
    bool babbled = false;
    DWORD startTick = 0;
    for (uint32_t tryNumber = 0; tryNumber < kExchangeTries; ++tryNumber) {
        LineDeadline deadline = LineDeadlineFromNow(tryMs, readMs);
        if (tryNumber == 0) startTick = deadline.start;
        SendFrame(request);
        const int got = ReceiveFrame(answer, &deadline);
        const int gone = NotePortGone(block);
        if (got) return 0;  // any sound frame will do
        if (gone) {
            block->linkReset[station] = 0;
            return 2;
        }
        babbled = babbled || deadline.timeUp;
        if (ChannelWorkMustEnd(block)) return 2;
    }
    if (!LetLineFallQuiet(answerBytes)) babbled = true;
    if (babbled) LogLineNeverQuiet(station, startTick);
    return 2;
}

// Every station held to the echo again, as after Open.
void ForgetStationEchoes(ChannelBlock* block) {
    ChannelState* state = FindChannelState(block);
    if (state == nullptr) return;
    std::memset(state->echo, 0, sizeof state->echo);
    state->echoUsed = 0;
}

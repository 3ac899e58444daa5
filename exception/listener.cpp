// The report-by-exception listener: wakes on the host's message wait, takes
// the line, and handles at most one frame a unit sent unasked per wake-up.
#include "exception/listener.h"

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "base/log.h"
#include "host/tavrik.h"
#include "link/exchange.h"
#include "link/frame_io.h"
#include "link/line_budget.h"
#include "platform/platform.h"
#include "requests/events.h"
#include "requests/registers.h"
#include "serial/port.h"
#include "serial/port_health.h"

namespace {

constexpr int kShutdownPauseMs = 1000;
// The start pause is slept in steps of this many ms, so that a stop request
// does not wait for the whole pause.
constexpr int kStopCheckMs = 20;
// What a stop allows for the host's message wait to return: the host wakes
// its clients many times a second (the stand-in every 20 ms).
constexpr uint32_t kHostWaitAllowanceMs = 1000;
constexpr int kNoticeClassByte = 9;       // event-class byte of a notice (needs L >= 9)

enum : uint8_t {
    ClassStatusEvents = 0x01,
    ClassRegisterChanges = 0x02,
    ClassLoggedEvents = 0x04,
    ClassClock = 0x08,
    ClassUndefined = 0xF0,
};

// Bytes waiting in the port's input queue; 0 when no port is open, its
// device is gone, or the query fails.
uint32_t BytesWaiting(const ChannelBlock* block) {
    const uint32_t handle = PortHandleOf(block);
    if (handle == 0 || PortGone(block)) return 0;
    return PortInputWaiting(FieldToHandle(handle));
}

bool IsLinkReset(const uint8_t* message) {
    return message[HeaderOpcode] == OpcodeLinkReset && MessageFunction(message) == FunctionAck &&
           message[HeaderSet] == 0;
}

void LogIllegalFrame(const uint8_t* message) {
    DriverLog(kLogFault, "KivIN : Got Illegal Exception msg Set=%d, OpCode=%d", message[HeaderSet],
        message[HeaderOpcode]);
}

}  // namespace

namespace {

// Pauses ms in short steps; 0 as soon as the channel's work must end.
int PauseUnlessEnded(const ChannelBlock* block, int ms) {
    for (int waited = 0; waited < ms; waited += kStopCheckMs) {
        if (ChannelWorkMustEnd(block)) return 0;
        Sleep(static_cast<DWORD>(ms - waited < kStopCheckMs ? ms - waited : kStopCheckMs));
    }
    return !ChannelWorkMustEnd(block);
}

// Takes the line, waiting without limit for a host command to free it,
// unless the channel's work must end meanwhile. 1 when the line is held.
int TakeLineUnlessEnded(ChannelBlock* block) {
    while (!TryTakeBusy(block)) {
        if (ChannelWorkMustEnd(block)) return 0;
        Sleep(1);
    }
    if (!ChannelWorkMustEnd(block)) return 1;
    ReleaseBusy(block);
    return 0;
}

// After the host's wait failed: the host client goes, unless Close owns
// its removal (a listener started without a side-table entry removes it).
void RemoveOwnClient(ChannelBlock* block, uint8_t client) {
    ChannelState* state = FindChannelState(block);
    if (state == nullptr || __atomic_exchange_n(&state->clientRegistered, static_cast<uint8_t>(0), __ATOMIC_ACQ_REL))
        Tav5RmClient(client);
}

}  // namespace

// One host message wait plus the longest step between two looks at the
// stop request: an exchange of the largest frames (three tries and the quiet
// wait), with a lone reception before it.
uint32_t ListenerStopBoundMs(const ChannelBlock* block) {
    return kHostWaitAllowanceMs + kStopCheckMs + LoneReceptionMs(block) +
           ExchangeBoundMs(block, kMaxFrameBytes, kMaxFrameBytes);
}

// Thread body; block is the channel's ChannelBlock. Runs until the host's
// message wait fails (then it sets the shutdown latch and removes the
// channel's host client), or until its channel stops it or the latch is
// set (then Close removes the client). Its last touch of the block and the
// side table is marking itself ended. Returns 0.
unsigned KIV_THREAD_CALL ListenerThread(void* argument) {
    ChannelBlock* block = static_cast<ChannelBlock*>(argument);
    DriverLog(kLogFault, "KivIN : Start Report-By-Exception Thread");
    // Open registered the client before starting this thread.
    const uint8_t client = block->clientId;
    int hostStopped = 0;
    if (PauseUnlessEnded(block, kListenerStartPauseMs)) {
        SetCurrentChannel(block);
        MarkLineYielder(1);
        uint8_t hostMessage[kHostMessageSize];
        for (;;) {
            const int woke = (Tav5WaitMsg(client, hostMessage, 1) & 0xFFFF) != 0;
            if (ChannelWorkMustEnd(block)) break;
            if (!woke) {
                hostStopped = 1;
                break;
            }
            if (!TakeLineUnlessEnded(block)) break;
            // No port while ClosePort has it closed, and none to read while
            // its device is gone: nothing is read until ReopenPort or SetPort
            // brings one back (they hold the line). Each wake-up then only
            // looks at the mark, so a dead port costs no more than a quiet one.
            if (BytesWaiting(block) > 0) HandleUnsolicitedFrame(block);
            NotePortGone(block);
            ReleaseBusy(block);
        }
    }
    if (hostStopped) {
        SetShutdownLatch();
        Sleep(kShutdownPauseMs);
        RemoveOwnClient(block, client);
    }
    DriverLog(kLogFault, "KivIN : ShutDown Report By Excption thread");
    if (ChannelState* state = FindChannelState(block))
        __atomic_store_n(&state->phase, static_cast<uint8_t>(ListenerEnded), __ATOMIC_RELEASE);
    return 0;
}

// Receives one frame and answers or drops it; every refusal is logged.
// Returns nothing.
void HandleUnsolicitedFrame(ChannelBlock* block) {
    SetCurrentChannel(block);
    uint8_t message[kMessageBufferSize] = {};
    // A message shorter than a header has no set or opcode to dispatch on.
    if (!ReceiveFrame(message) || message[HeaderLength] < kHeaderOnlyLength) {
        DriverLog(kLogFault, "KivIN : Unknowen Exception msg");
        return;
    }
    uint16_t destination = MessageDestination(message);
    if (destination != HostAddressOf(block)) {
        DriverLog(kLogFault, "KivIN : Got msg for Host %d - ignor it", destination);
        return;
    }
    int32_t scratch = 0;
    GateRequest request = {};
    request.station = MessageSource(message);
    request.data = &scratch;

    if (IsLinkReset(message)) {
        SendResetLinkReply(&request);
    } else if (IsExceptionNotice(message) && message[HeaderLength] >= kNoticeClassByte) {
        HandleExceptionNotice(&request, message[kNoticeClassByte]);
    } else {
        // Also a notice too short to carry its event-class byte.
        LogIllegalFrame(message);
    }
}

// Acknowledges a notice, then runs the action of each class bit in a fixed
// order; the results of the acknowledgement and of the actions are not
// examined, so one failure does not stop the next. Returns nothing.
void HandleExceptionNotice(GateRequest* request, uint8_t eventClass) {
    // After the latch or a stop request nothing is acknowledged or fetched:
    // the unit keeps its records for whoever asks next.
    if (ChannelWorkMustEnd(CurrentChannel())) return;
    uint16_t station = static_cast<uint16_t>(request->station);
    uint8_t acknowledgement[kMessageBufferSize] = {};
    BuildReplyHeader(acknowledgement, 9, station, 1, OpcodeExceptionNotice);
    acknowledgement[8] = 0;
    acknowledgement[9] = eventClass;
    SendFrame(acknowledgement);
    // The fetches that follow are new requests; nothing flips between them.
    FlipFcb();

    // Each action is one or more exchanges; a stop or the latch ends the
    // notice between them (the fetches also stop between their passes).
    // Between two actions the listener lets waiting host commands have the
    // line; after them the next request flips the bit, so that it does not
    // carry the same one as the host's last.
    typedef int32_t (*Action)(GateRequest*);
    const struct {
        uint8_t bit;
        Action action;
    } actions[] = {{ClassStatusEvents, FetchStatusEvents},
                   {ClassRegisterChanges, FetchRegisterChanges},
                   {ClassLoggedEvents, FetchLoggedEvents},
                   {ClassClock, SetClock}};
    bool first = true;
    for (const auto& step : actions) {
        if (!(eventClass & step.bit)) continue;
        if (!first && YieldLineToHost(CurrentChannel())) FlipFcb();
        first = false;
        if (ChannelWorkMustEnd(CurrentChannel())) break;
        step.action(request);
    }
    if (eventClass & ClassUndefined) DriverLog(kLogFault, "KivIN : Illegal Exception Event (%d)", eventClass);
}

// Answers a unit's link reset once, without awaiting anything; leaves the
// frame-count toggle and the link-reset flags alone. Returns nothing.
void SendResetLinkReply(GateRequest* request) {
    uint8_t reply[kMessageBufferSize] = {};
    BuildReplyHeader(reply, 7, static_cast<uint16_t>(request->station), 0, OpcodeLinkReset);
    SendFrame(reply);
    DriverLog(kLogInfo, "KivIN : Info, Reset Link msg");
}

// The report-by-exception listener: wakes on the host's message wait, takes
// the line, and handles at most one frame a unit sent unasked per wake-up.
#include "exception/listener.h"

#include "driver/channel_block.h"
#include "driver/channel_state.h"
#include "driver/log_holding.h"
#include "host/tavrik.h"
#include "link/exchange.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "requests/events.h"
#include "requests/registers.h"

namespace {

constexpr int kShutdownPauseMs = 1000;
constexpr uint8_t kBareHeaderLength = 7;  // L of a message that is only a header
constexpr int kNoticeClassByte = 9;       // event-class byte of a notice (needs L >= 9)

enum : uint8_t {
    ClassStatusEvents = 0x01,
    ClassRegisterChanges = 0x02,
    ClassLoggedEvents = 0x04,
    ClassClock = 0x08,
    ClassUndefined = 0xF0,
};

// Bytes waiting in the port's input queue; 0 when no port is open or the
// query fails (Close may have shut the port without taking the line).
DWORD BytesWaiting(const ChannelBlock* block) {
    const uint32_t handle = PortHandleOf(block);
    if (handle == 0) return 0;
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(FieldToHandle(handle), &errors, &status)) return 0;
    return status.cbInQue;
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

// Thread body; block is the channel's ChannelBlock. Runs until the host's
// message wait fails, then sets the shutdown latch, removes the channel's
// host client and ends. Returns nothing.
void ListenerThread(void* argument) {
    ChannelBlock* block = static_cast<ChannelBlock*>(argument);
    DriverLog(kLogFault, "KivIN : Start Report-By-Exception Thread");
    Sleep(kListenerStartPauseMs);
    CurrentChannel = block;
    // Open registered the client before starting this thread and keeps it
    // while the thread runs.
    const uint8_t client = block->clientId;
    uint8_t hostMessage[kHostMessageSize];
    while ((Tav5WaitMsg(client, hostMessage, 1) & 0xFFFF) != 0) {
        // No limit: a host command holds the line for a few seconds at most.
        while (!TryTakeBusy(block)) Sleep(1);
        if (BytesWaiting(block) > 0) HandleUnsolicitedFrame(block);
        ReleaseBusy(block);
    }
    SetShutdownLatch();
    Sleep(kShutdownPauseMs);
    Tav5RmClient(client);
    DriverLog(kLogFault, "KivIN : ShutDown Report By Excption thread");
    if (ChannelState* state = FindChannelState(block))
        __atomic_store_n(&state->phase, static_cast<uint8_t>(ListenerEnded), __ATOMIC_RELEASE);
}

// Receives one frame and answers or drops it; every refusal is logged.
// Returns nothing.
void HandleUnsolicitedFrame(ChannelBlock* block) {
    CurrentChannel = block;
    uint8_t message[kMessageBufferSize] = {};
    // A message shorter than a header has no set or opcode to dispatch on.
    if (!ReceiveFrame(message) || message[HeaderLength] < kBareHeaderLength) {
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
    uint16_t station = static_cast<uint16_t>(request->station);
    uint8_t acknowledgement[kMessageBufferSize] = {};
    BuildReplyHeader(acknowledgement, 9, station, 1, OpcodeExceptionNotice);
    acknowledgement[8] = 0;
    acknowledgement[9] = eventClass;
    SendFrame(acknowledgement);
    // The fetches that follow are new requests; nothing flips between them.
    FlipFcb();

    if (eventClass & ClassStatusEvents) FetchStatusEvents(request);
    if (eventClass & ClassRegisterChanges) FetchRegisterChanges(request);
    if (eventClass & ClassLoggedEvents) FetchLoggedEvents(request);
    if (eventClass & ClassClock) SetClock(request);
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

// The channel lifecycle commands: Open brings a channel to life from its
// configuration file and port settings; Flush, Close, ClosePort, ReopenPort
// and SetPort manage its serial port.
#include <cstdio>
#include <cstring>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "base/log.h"
#include "driver/commands.h"
#include "driver/config.h"
#include "exception/listener.h"
#include "host/tavrik.h"
#include "link/exchange.h"
#include "link/frame_io.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "serial/port_health.h"
#include "serial/radio.h"

namespace {

// Open stores this options word: non-zero, so PortOpen applies the line
// settings and time-outs, but it selects no handshake bit, which leaves RTS
// free for the radio keying.
constexpr uint16_t kOpenPortOptions = 8;

// Room for the client name of any 32-bit channel number.
constexpr int kClientNameBuffer = 32;

const char kThreadNotStarted[] = "KivIN : Can Not open Report-By-Excepton thread !!!";

// Starts the listener for block and records it in the channel's entry.
// Returns 0, or 2 with the message when no thread could be started.
int32_t StartListener(ChannelBlock* block, ChannelState* state) {
    __atomic_store_n(&state->stopRequested, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
    __atomic_store_n(&state->phase, static_cast<uint8_t>(ListenerRunning), __ATOMIC_RELEASE);
    const uintptr_t thread = StartThread(ListenerThread, kListenerStackSize, block);
    if (thread != 0) {
        state->thread = thread;
        return 0;
    }
    __atomic_store_n(&state->phase, static_cast<uint8_t>(ListenerNone), __ATOMIC_RELEASE);
    DriverLog(kLogFault, kThreadNotStarted);
    return 2;
}

// Asks the channel's listener to end and waits for its thread to end, for
// at most the listener's longest step (ListenerStopBoundMs). Returns 1 when
// no listener runs any more, 0 (logged) when it did not end in time: it
// then keeps its entry and may still use the block.
int StopListener(ChannelBlock* block, ChannelState* state) {
    if (state->thread == 0) return 1;
    __atomic_store_n(&state->stopRequested, static_cast<uint8_t>(1), __ATOMIC_RELEASE);
    if (!AwaitThreadEnd(state->thread, ListenerStopBoundMs(block))) {
        DriverLog(kLogFault, "KivIN : Report-By-Exception thread did not stop");
        return 0;
    }
    state->thread = 0;
    __atomic_store_n(&state->phase, static_cast<uint8_t>(ListenerNone), __ATOMIC_RELEASE);
    __atomic_store_n(&state->stopRequested, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
    return 1;
}

// Removes the channel's host client if it still holds one (a listener that
// ended with the host's wait removed it itself).
void RemoveClient(ChannelBlock* block, ChannelState* state) {
    if (__atomic_exchange_n(&state->clientRegistered, static_cast<uint8_t>(0), __ATOMIC_ACQ_REL))
        Tav5RmClient(block->clientId);
}

// Registers the channel's host client unless it holds one. 1 when it holds
// one now, 0 when the host refused.
int RegisterClient(ChannelBlock* block, ChannelState* state, int32_t channel) {
    if (__atomic_load_n(&state->clientRegistered, __ATOMIC_ACQUIRE)) return 1;
    char client[kClientNameBuffer];
    std::snprintf(client, sizeof client, "INTROL_No_%.2d", static_cast<int>(channel));
    if (!HostOk(Tav5MkClient(client, 1, 0, &block->clientId))) return 0;
    __atomic_store_n(&state->clientRegistered, static_cast<uint8_t>(1), __ATOMIC_RELEASE);
    return 1;
}

// Copies a host port name of at most 11 characters into a descriptor name;
// a name without its terminator within the 12 bytes is cut to 11.
void CopyPortName(char (&to)[12], const char* from) {
    size_t length = 0;
    while (length < sizeof to - 1 && from[length] != '\0') {
        to[length] = from[length];
        ++length;
    }
    std::memset(to + length, 0, sizeof to - length);
}

// Closes the block's port if one is open. Returns 0 (no port, or closed and
// portHandle cleared) or 2 (the close failed; portHandle unchanged).
int32_t CloseBlockPort(ChannelBlock* block) {
    const uint32_t handle = PortHandleOf(block);
    if (handle == 0) return 0;
    if (PortClose(FieldToHandle(handle)) != PortOk) return 2;
    SetPortHandle(block, 0);
    return 0;
}

// Keeps why the port did not open in the channel's entry, claimed for it
// when the channel has none yet (the first Open); Close gives it back.
void KeepOpenFailure(ChannelBlock* block, const KivPortFailureReport& failure) {
    ChannelState* state = ClaimChannelState(block);
    if (state != nullptr) state->openFailure = failure;
}

// Puts the described port in the block's place, applying the read time-out
// (tens of ms). Another port is opened before the one in use is closed, so
// that a failed open leaves the channel on its old port; the same name is
// closed first, since a port that allows one user would refuse a second
// open. Returns 0, or 2 with the open failure logged (portHandle and port
// then keep their old values, except that a same-name port stays closed).
int32_t SwitchPort(ChannelBlock* block, const PortDescriptor* port, int32_t readTimeout) {
    const int sameName = std::strcmp(block->port.name, port->name) == 0;
    if (sameName) CloseBlockPort(block);
    KivPortFailureReport failure;
    const uint32_t handle = OpenDescribedPort(port, &failure);
    if (handle == 0) {
        KeepOpenFailure(block, failure);
        DriverLog(kLogFault, "KIV%s : Fail to open %s", kDeviceName, port->name);
        return 2;
    }
    if (!sameName) CloseBlockPort(block);
    // A time-out of 0 or less would leave reads without end (or of weeks):
    // the port keeps the 1000 ms it was opened with.
    if (readTimeout > 0) PortSetReadInterval(FieldToHandle(handle), readTimeout);
    SetPortHandle(block, handle);
    block->port = *port;
    ForgetPortGone(block);
    ChannelState* state = FindChannelState(block);
    if (state != nullptr) state->openFailure.step = KivPortStepNone;
    RadioCheckModemLines(FieldToHandle(handle), port->name);
    return 0;
}

}  // namespace

uint32_t OpenDescribedPort(const PortDescriptor* port, KivPortFailureReport* failure) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const int result = PortOpen(port->name, &port->line, port->options, &handle, failure);
    if (result == PortOk) return HandleToField(handle);
    // After 1 (time-outs) or 5 (settings) the device itself is open: close it
    // so that a failed open leaves no port behind.
    if ((result == PortOpenFailed || result == PortSettingsFailed) && handle != INVALID_HANDLE_VALUE &&
        handle != nullptr)
        PortClose(handle);
    return 0;
}

// Returns 0 when the channel is open (or runs without a port), 1 when the
// host client could not be registered (the port stays open), 2 when the
// configuration has no host address, the port did not open (the old port
// stays), the side table is full, an earlier listener did not stop, or the
// listener thread did not start (the port stays open, the client registered).
int32_t Open(CallRecord* call) {
    ChannelBlock* block = call->block;
    const PortSettings* settings = static_cast<const PortSettings*>(call->parameters);
    // The host hands over new blocks zero-filled: an entry found for a block
    // that was never opened belonged to an earlier block at that address.
    if (!CrcTableBuilt(block)) ReleaseChannelState(FindChannelState(block));

    if (!ReadChannelConfig(call->channel)) return 2;
    // A listener of an earlier Open ends when the file no longer asks for
    // report-by-exception, before this Open touches the line.
    ChannelState* state = FindChannelState(block);
    if (state != nullptr && block->exceptionEnabled != 1 && !StopListener(block, state)) return 2;

    block->portEnabled = settings->enabled;
    if (settings->enabled == 0) return 0;

    PortDescriptor port;
    std::memset(&port, 0, sizeof port);
    CopyPortName(port.name, settings->portName);
    port.line = settings->line;
    port.options = kOpenPortOptions;
    if (SwitchPort(block, &port, settings->readTimeout) != 0) return 2;
    block->readTimeout = settings->readTimeout;

    CrcInit();
    std::memset(block->linkReset, 0, sizeof block->linkReset);
    block->fcb = 0;
    block->channelNumber = static_cast<uint16_t>(call->channel);

    // A client or listener of an earlier Open of the block stays: neither a
    // second client nor a second listener.
    state = ClaimChannelState(block);
    if (state == nullptr) {
        DriverLog(kLogFault, kThreadNotStarted);
        return 2;
    }
    ForgetStationEchoes(block);
    if (!RegisterClient(block, state, call->channel)) return 1;
    if (block->exceptionEnabled == 1 && state->thread == 0) return StartListener(block, state);
    return 0;
}

// Discards the port's pending input when a port is open and its device is
// not gone. Always 0.
int32_t Flush(CallRecord* call) {
    ChannelBlock* block = call->block;
    const uint32_t handle = PortHandleOf(block);
    if (handle == 0 || PortGone(block)) return 0;
    PortPurgeInput(FieldToHandle(handle));
    NotePortGone(block);
    return 0;
}

// 0 when no port is open or it was closed; 2 when the close failed. The
// listener stays: it finds no port at its wake-ups and reads nothing until
// ReopenPort or SetPort brings one back.
int32_t ClosePort(CallRecord* call) { return CloseBlockPort(call->block); }

// Ends the channel: stops its listener, closes the port, removes the host
// client and gives back the side-table entry, so that the driver keeps no
// reference to the block. 0, or 2 when the listener did not stop in time
// (nothing else is done then) or the port's close failed (the rest is done).
// The entry point never takes the busy flag for it.
int32_t Close(CallRecord* call) {
    ChannelBlock* block = call->block;
    ChannelState* state = FindChannelState(block);
    if (state != nullptr && !StopListener(block, state)) return 2;
    const int32_t result = CloseBlockPort(block);
    if (state != nullptr) {
        RemoveClient(block, state);
        ReleaseChannelState(state);
    }
    return result;
}

// Opens the stored port again with the read time-out in the block (the one
// of Open, or of a later SetPort). Returns 0, or 2 (logged) when the port
// did not open.
int32_t ReopenPort(CallRecord* call) {
    ChannelBlock* block = call->block;
    const PortDescriptor port = block->port;
    if (SwitchPort(block, &port, block->readTimeout) != 0) return 2;
    block->portEnabled = 1;
    return 0;
}

// Opens the port named in the record with its line settings and read
// time-out (0: the stored one) and records them once it is open. Returns 0,
// or 2 (logged) when the port did not open: the block keeps its old port,
// settings and time-out.
int32_t SetPort(CallRecord* call) {
    ChannelBlock* block = call->block;
    const PortChange* change = static_cast<const PortChange*>(call->parameters);
    PortDescriptor port = block->port;
    CopyPortName(port.name, change->portName);
    port.line = change->line;
    const int32_t readTimeout = change->readTimeout != 0 ? change->readTimeout : block->readTimeout;
    if (SwitchPort(block, &port, readTimeout) != 0) return 2;
    block->readTimeout = readTimeout;
    return 0;
}

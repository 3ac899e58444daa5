// The channel lifecycle commands: Open brings a channel to life from its
// configuration file and port settings; Flush, Close, ClosePort, ReopenPort
// and SetPort manage its serial port.
#include <cstdio>
#include <cstring>

#include "driver/channel_block.h"
#include "driver/channel_state.h"
#include "driver/commands.h"
#include "driver/config.h"
#include "driver/log_holding.h"
#include "exception/listener.h"
#include "host/tavrik.h"
#include "link/frame.h"
#include "platform/platform.h"
#include "serial/port.h"

namespace {

// Open stores this options word: non-zero, so PortOpen applies the line
// settings and time-outs, but it selects no handshake bit, which leaves RTS
// free for the radio keying.
constexpr uint16_t kOpenPortOptions = 8;

// Room for the client name of any 32-bit channel number.
constexpr int kClientNameBuffer = 32;

// 1 when an Open got as far as building the block's CRC table, whose entry 1
// is the polynomial and never 0; a zero-filled new block gives 0.
int BlockWasOpened(const ChannelBlock* block) { return block->crcTable[1] != 0; }

// Starts the listener for block and records it in the channel's entry.
// Returns 0, or 2 with the message when no thread could be started.
int32_t StartListener(ChannelBlock* block, ChannelState* state) {
    __atomic_store_n(&state->stopRequested, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
    __atomic_store_n(&state->phase, static_cast<uint8_t>(ListenerRunning), __ATOMIC_RELEASE);
    const uintptr_t thread = _beginthread(ListenerThread, kListenerStackSize, block);
    if (thread != static_cast<uintptr_t>(-1)) {
        state->thread = thread;
        return 0;
    }
    __atomic_store_n(&state->phase, static_cast<uint8_t>(ListenerNone), __ATOMIC_RELEASE);
    DriverLog(kLogFault, "KivIN : Can Not open Report-By-Excepton thread !!!");
    return 2;
}

int ListenerRuns(const ChannelState* state) {
    return __atomic_load_n(&state->phase, __ATOMIC_ACQUIRE) == ListenerRunning;
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

}  // namespace

uint32_t OpenDescribedPort(const PortDescriptor* port) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const int result = PortOpen(port->name, &port->line, port->options, &handle);
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
// configuration has no host address, the port did not open or the listener
// thread did not start (the port stays open, the client registered).
int32_t Open(CallRecord* call) {
    ChannelBlock* block = call->block;
    const PortSettings* settings = static_cast<const PortSettings*>(call->parameters);
    // The host hands over new blocks zero-filled: an entry found for a block
    // that was never opened belonged to an earlier block at that address.
    if (!BlockWasOpened(block)) ReleaseChannelState(FindChannelState(block));

    if (!ReadChannelConfig(call->channel)) return 2;
    block->portEnabled = settings->enabled;
    if (settings->enabled == 0) return 0;

    PortDescriptor port;
    std::memset(&port, 0, sizeof port);
    CopyPortName(port.name, settings->portName);
    port.line = settings->line;
    port.options = kOpenPortOptions;

    // A port still held from an earlier Open is closed first: opening again
    // over it would leave its handle open and unrecorded, and a port that
    // allows one user would refuse the new open.
    CloseBlockPort(block);
    const uint32_t handle = OpenDescribedPort(&port);
    if (handle == 0) {
        DriverLog(kLogFault, "KIV%s : Fail to open %s", kDeviceName, port.name);
        return 2;
    }
    SetPortHandle(block, handle);
    PortSetReadInterval(FieldToHandle(handle), settings->readTimeout);
    block->port = port;
    block->readTimeout = settings->readTimeout;

    CrcInit();
    std::memset(block->linkReset, 0, sizeof block->linkReset);
    block->fcb = 0;
    block->channelNumber = static_cast<uint16_t>(call->channel);

    // A listener started by an earlier Open keeps running with the client
    // that Open registered: neither a second client nor a second listener.
    ChannelState* state = ClaimChannelState(block);
    if (state == nullptr) {
        DriverLog(kLogFault, "KivIN : Can Not open Report-By-Excepton thread !!!");
        return 2;
    }
    if (ListenerRuns(state)) return 0;
    char client[kClientNameBuffer];
    std::snprintf(client, sizeof client, "INTROL_No_%.2d", static_cast<int>(call->channel));
    if (!HostOk(Tav5MkClient(client, 1, 0, &block->clientId))) return 1;
    if (block->exceptionEnabled == 1) return StartListener(block, state);
    return 0;
}

// Discards the port's pending input when a port is open. Always 0.
int32_t Flush(CallRecord* call) {
    ChannelBlock* block = call->block;
    const uint32_t handle = PortHandleOf(block);
    if (handle != 0) PortPurgeInput(FieldToHandle(handle));
    return 0;
}

// 0 when no port is open or it was closed; 2 when the close failed.
int32_t ClosePort(CallRecord* call) { return CloseBlockPort(call->block); }

// The same as ClosePort; the entry point never takes the busy flag for it.
// It also gives back the channel's side-table entry once no listener uses it.
int32_t Close(CallRecord* call) {
    const int32_t result = CloseBlockPort(call->block);
    ChannelState* state = FindChannelState(call->block);
    if (state != nullptr && !ListenerRuns(state)) ReleaseChannelState(state);
    return result;
}

// Opens the stored port again (closing it first if it is still open).
// Returns 0, or 2 when the port did not open. The read time-out is the one
// PortOpen sets, not the stored one.
int32_t ReopenPort(CallRecord* call) {
    ChannelBlock* block = call->block;
    CloseBlockPort(block);
    const uint32_t handle = OpenDescribedPort(&block->port);
    if (handle == 0) return 2;
    block->portEnabled = 1;
    SetPortHandle(block, handle);
    return 0;
}

// Records the new read time-out (when non-zero), port name and line
// settings, and opens the port with them (closing a port still open first,
// whatever its name). Returns 0, or 2 when the port did not open. Like
// ReopenPort it leaves the port at PortOpen's own read time-out.
int32_t SetPort(CallRecord* call) {
    ChannelBlock* block = call->block;
    const PortChange* change = static_cast<const PortChange*>(call->parameters);
    if (change->readTimeout != 0) block->readTimeout = change->readTimeout;
    CloseBlockPort(block);
    CopyPortName(block->port.name, change->portName);
    block->port.line = change->line;
    const uint32_t handle = OpenDescribedPort(&block->port);
    if (handle == 0) return 2;
    SetPortHandle(block, handle);
    return 0;
}

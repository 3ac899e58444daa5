// The entry point: the busy flag between host commands and the listener,
// the command table, and the export that tells a tool why a port is not in use.
#include <cstring>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "base/log.h"
#include "base/timed_wait.h"
#include "driver/commands.h"
#include "host/tavrik.h"
#include "platform/platform.h"
#include "requests/address.h"
#include "requests/registers.h"

namespace {

struct CommandEntry {
    CommandHandler handler;  // null: no such command
    bool needsBlock;         // refused with 1 when the block pointer is null
    bool needsParameters;    // refused with 1 when the parameter pointer is null
    bool takesBusy;          // uses the line: runs only while holding the busy flag
};

// Indexed by command number; 0, 8 and 9 have no handler.
const CommandEntry kCommands[CommandCount + 1] = {
    {nullptr, false, false, false},
    {Open, true, true, true},
    {Flush, true, false, true},
    {ParseAddress, false, true, false},
    {CheckAddress, true, true, true},
    {Read, true, true, true},
    {ReadBlock, true, true, true},
    {Write, true, true, true},
    {nullptr, false, false, false},
    {nullptr, false, false, false},
    {WriteBlock, true, true, true},
    {Close, true, false, false},
    {ClosePort, true, false, true},
    {ReopenPort, true, false, true},
    {Describe, false, true, false},
    {SetPort, true, true, true},
};

// Once the latch is set the host is shutting down. Commands that only close,
// discard or describe still run, so the host's shutdown goes on promptly and
// its ports are let go; the rest would use a line whose listeners are gone
// and answer 2 without doing anything, so that no Read, Write or Open
// reports work done that was not done. The first refusal is logged.
int RunsAfterShutdown(int32_t command) {
    switch (command) {
        case CommandFlush:
        case CommandParseAddress:
        case CommandCheckAddress:
        case CommandClose:
        case CommandClosePort:
        case CommandDescribe:
            return 1;
        default:
            return 0;
    }
}
constexpr int32_t kRefusedAfterShutdown = 2;
int32_t shutdownRefusalLogged = 0;

int32_t RefuseAfterShutdown(int32_t command) {
    if (__atomic_exchange_n(&shutdownRefusalLogged, 1, __ATOMIC_ACQ_REL) == 0)
        DriverLog(kLogFault, "KivIN : Driver stopped by the host, command %d refused", static_cast<int>(command));
    return kRefusedAfterShutdown;
}

// Takes the block's busy flag, waiting up to kBusyWaitMs. While it waits it
// counts itself in the channel's waiting host commands, so that a listener
// busy with many exchanges lets it in between two of them. 1 when taken.
int TakeLine(ChannelBlock* block) {
    if (TryTakeBusy(block)) return 1;
    ChannelState* state = FindChannelState(block);
    if (state != nullptr) __atomic_add_fetch(&state->hostWaiting, 1, __ATOMIC_ACQ_REL);
    const bool taken = WaitWithin(kBusyWaitMs, [block] { return TryTakeBusy(block) != 0; });
    if (state != nullptr) __atomic_sub_fetch(&state->hostWaiting, 1, __ATOMIC_ACQ_REL);
    return taken ? 1 : 0;
}

}  // namespace

// Returns the handler's result, 2 for a command that no longer runs once the
// shutdown latch is set (or for every command when the platform had no
// per-thread storage to give), and 1 for a command number without a handler, a
// missing block or parameter record, or a busy flag not obtained within
// 4002 ms.
extern "C" int32_t KIV_CDECL KivMain(CallRecord* call) {
    if (call == nullptr) return 1;
    if (ShutdownLatchIsSet() && !RunsAfterShutdown(call->command)) return RefuseAfterShutdown(call->command);
    // Only when the DLL got no per-thread storage at load: nothing can run.
    if (!SetCurrentChannel(call->block)) return 2;
    if (call->command < 1 || call->command > CommandCount) return 1;
    const CommandEntry& entry = kCommands[call->command];
    if (entry.handler == nullptr) return 1;
    if (entry.needsBlock && call->block == nullptr) return 1;
    if (entry.needsParameters && call->parameters == nullptr) return 1;
    // Every command that uses the line holds the flag, listener or not: a host
    // that calls one channel from several threads must never interleave two
    // exchanges on one port. Uncontended this is one atomic exchange.
    if (!entry.takesBusy) return entry.handler(call);

    ChannelBlock* block = call->block;
    if (!TakeLine(block)) {
        DriverLog(kLogFault, "KivIN : The Report-By-Exception thread is busy");
        return 1;
    }
    int32_t result = entry.handler(call);
    ReleaseBusy(block);
    return result;
}

// The failure of the block's last port open when there is one, else the
// loss of its open port's device, else nothing (0).
extern "C" int32_t KIV_CDECL KivPortFailure(const ChannelBlock* block, KivPortFailureReport* report) {
    if (block == nullptr || report == nullptr) return -1;
    const ChannelState* state = FindChannelState(block);
    if (state == nullptr) return 0;
    if (state->openFailure.step != KivPortStepNone) {
        *report = state->openFailure;
        return 1;
    }
    if (!__atomic_load_n(&state->portGone, __ATOMIC_ACQUIRE)) return 0;
    std::memset(report, 0, sizeof *report);
    std::memcpy(report->port, block->port.name, sizeof report->port);
    report->port[sizeof report->port - 1] = '\0';
    report->step = KivPortStepGone;
    report->systemCode = static_cast<int32_t>(__atomic_load_n(&state->goneError, __ATOMIC_RELAXED));
    return 1;
}

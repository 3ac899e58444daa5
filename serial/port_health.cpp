// The gone mark of a channel's port, kept in the channel's side-table entry
// (the host's block has no room for it).
#include "serial/port_health.h"

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "base/log.h"
#include "host/tavrik.h"
#include "serial/port.h"

int PortGone(const ChannelBlock* block) {
    const ChannelState* state = FindChannelState(block);
    return state != nullptr && __atomic_load_n(&state->portGone, __ATOMIC_ACQUIRE) != 0;
}

int NotePortGone(ChannelBlock* block) {
    const uint32_t handle = PortHandleOf(block);
    const DWORD error = PortTakeGoneError(FieldToHandle(handle));
    if (error == 0) return PortGone(block);
    ChannelState* state = FindChannelState(block);
    if (state == nullptr) return 0;
    // Without a port (after ClosePort) the calls fail for want of a handle:
    // nothing is gone that could come back by itself.
    if (handle != 0) {
        __atomic_store_n(&state->goneError, error, __ATOMIC_RELAXED);
        if (__atomic_exchange_n(&state->portGone, static_cast<uint8_t>(1), __ATOMIC_ACQ_REL) == 0)
            DriverLog(kLogFault, "KivIN : Port %s gone (system error %lu), not used until opened again",
                      block->port.name, static_cast<unsigned long>(error));
    }
    return __atomic_load_n(&state->portGone, __ATOMIC_ACQUIRE);
}

void ForgetPortGone(ChannelBlock* block) {
    ChannelState* state = FindChannelState(block);
    if (state != nullptr) __atomic_store_n(&state->portGone, static_cast<uint8_t>(0), __ATOMIC_RELEASE);
}

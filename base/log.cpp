// Holding back log copies per channel and second (see log.h).
#include "base/log.h"

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "platform/platform.h"

namespace {

// The local time in seconds within its month: windows of one second each.
// A clock set back or forward only starts a window early.
uint32_t CurrentSecond() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return ((static_cast<uint32_t>(now.wDay) * 24 + now.wHour) * 60 + now.wMinute) * 60 + now.wSecond;
}

void Take(LogHolding* holding) {
    while (__atomic_exchange_n(&holding->lock, static_cast<uint8_t>(1), __ATOMIC_ACQUIRE) != 0) Sleep(0);
}
void Give(LogHolding* holding) { __atomic_store_n(&holding->lock, static_cast<uint8_t>(0), __ATOMIC_RELEASE); }

// Writes the held-back count of a slot whose second is over, and frees it.
void CloseSlot(LogHoldSlot* slot) {
    if (slot->held > 0) {
        err(slot->level, "KivIN : %u more \"%s\" held back", static_cast<unsigned>(slot->held), slot->format);
    }
    *slot = LogHoldSlot{};
}

// The slot counting format this second: its own, a free one, or the one
// counting the fewest copies (which is closed first).
LogHoldSlot* SlotFor(LogHolding* holding, int32_t level, const char* format, uint32_t second) {
    LogHoldSlot* fewest = &holding->slots[0];
    for (LogHoldSlot& slot : holding->slots) {
        if (slot.format == format) return &slot;
    }
    for (LogHoldSlot& slot : holding->slots) {
        if (slot.format == nullptr) {
            fewest = &slot;
            break;
        }
        if (slot.written + slot.held < fewest->written + fewest->held) fewest = &slot;
    }
    CloseSlot(fewest);
    *fewest = LogHoldSlot{format, second, level, 0, 0};
    return fewest;
}

}  // namespace

bool LogMayWrite(int32_t level, const char* format) {
    ChannelState* state = CurrentChannel() == nullptr ? nullptr : FindChannelState(CurrentChannel());
    if (state == nullptr) return true;
    LogHolding* holding = &state->logHolding;
    const uint32_t second = CurrentSecond();
    Take(holding);
    for (LogHoldSlot& slot : holding->slots) {
        if (slot.format != nullptr && slot.second != second) CloseSlot(&slot);
    }
    LogHoldSlot* slot = SlotFor(holding, level, format, second);
    const bool write = slot->written < kLogCopiesPerSecond;
    if (write) {
        ++slot->written;
    } else if (slot->held < UINT16_MAX) {
        ++slot->held;
    }
    Give(holding);
    return write;
}

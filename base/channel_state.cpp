// The per-channel side table (see channel_state.h for the threading rules).
#include "base/channel_state.h"

#include <cstddef>
#include <cstring>

#include "base/channel_block.h"
#include "platform/platform.h"

namespace {

static_assert(offsetof(ChannelState, block) == 0, "the owner comes first; Release clears what follows it");

ChannelState channelStates[kChannelStateSlots];

ChannelBlock* OwnerOf(const ChannelState& state) { return __atomic_load_n(&state.block, __ATOMIC_ACQUIRE); }

}  // namespace

// The search behind FindChannelState's hint, which it then updates. A hint is
// taken only while it still serves block (an entry serves one block at a time).
ChannelState* FindChannelStateInTable(const ChannelBlock* block) {
    if (block == nullptr) return nullptr;
    for (ChannelState& state : channelStates) {
        if (OwnerOf(state) == block) {
            SetThreadValue(ThreadValueStateFound, reinterpret_cast<uintptr_t>(&state));
            return &state;
        }
    }
    return nullptr;
}

ChannelState* ClaimChannelState(ChannelBlock* block) {
    if (block == nullptr) return nullptr;
    if (ChannelState* existing = FindChannelState(block)) return existing;
    for (ChannelState& state : channelStates) {
        ChannelBlock* expected = nullptr;
        // The entry is zero while free (ReleaseChannelState clears it before
        // giving it back), so the claimer finds it clean.
        if (__atomic_compare_exchange_n(&state.block, &expected, block, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return &state;
    }
    return nullptr;
}

void ReleaseChannelState(ChannelState* state) {
    if (state == nullptr) return;
    // Everything but the owner first, then the owner with release order, so
    // that the next claimer sees a clean entry.
    const size_t ownerSize = sizeof state->block;
    std::memset(reinterpret_cast<unsigned char*>(state) + ownerSize, 0, sizeof *state - ownerSize);
    __atomic_store_n(&state->block, static_cast<ChannelBlock*>(nullptr), __ATOMIC_RELEASE);
}

namespace {
int32_t shutdownLatch = 0;
}  // namespace

int32_t ShutdownLatchIsSet() { return __atomic_load_n(&shutdownLatch, __ATOMIC_ACQUIRE); }
void SetShutdownLatch() { __atomic_store_n(&shutdownLatch, 1, __ATOMIC_RELEASE); }

int ChannelWorkMustEnd(const ChannelBlock* block) {
    if (ShutdownLatchIsSet()) return 1;
    const ChannelState* state = FindChannelState(block);
    return state != nullptr && __atomic_load_n(&state->stopRequested, __ATOMIC_ACQUIRE) != 0;
}

void MarkLineYielder(int yields) { SetThreadValue(ThreadValueYieldsLine, yields ? 1 : 0); }

int YieldLineToHost(ChannelBlock* block) {
    if (ThreadValue(ThreadValueYieldsLine) == 0) return 0;
    ChannelState* state = FindChannelState(block);
    if (state == nullptr || __atomic_load_n(&state->hostWaiting, __ATOMIC_ACQUIRE) == 0) return 0;
    ReleaseBusy(block);
    // Each waiting command takes the flag within a millisecond of its
    // release and stops counting itself as waiting once it has it.
    while (__atomic_load_n(&state->hostWaiting, __ATOMIC_ACQUIRE) != 0) Sleep(1);
    while (!TryTakeBusy(block)) Sleep(1);
    return 1;
}

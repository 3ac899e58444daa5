// The channel block: all state of one channel, in the layout the host sizes
// it by, plus the two process-wide values (current channel, shutdown latch).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivlink.h"
#include "platform/platform.h"

// The port as it was last opened.
struct PortDescriptor {
    char name[12];      // NUL-terminated, at most 11 characters
    LineSettings line;  // line settings applied at open
    uint16_t options;   // port-options word handed to PortOpen; Open stores 8
};

// Each field says which code writes it. Whatever else a channel needs (its
// listener, its host client's ownership) lives in the side table of
// base/channel_state.h: this layout is the host's and does not change.
struct ChannelBlock {
    int32_t readTimeout;       // tens of ms; written by Open and by SetPort (when non-zero); applied by
                               // Open, ReopenPort and SetPort
    int32_t portEnabled;       // PortSettings.enabled; written by Open, set to 1 by a good ReopenPort
    uint32_t portHandle;       // open port (platform handle as 32 bits), 0 = no port; written by Open,
                               // SetPort and ReopenPort when a port opened, cleared by Close and ClosePort
    PortDescriptor port;       // written by a good Open, SetPort (name and line) and ReopenPort
    uint8_t hostAddress[2];    // our own station number, high byte first (line order); configuration reader
    uint16_t crcTable[256];    // frame CRC table; rebuilt by Open (CrcInit)
    uint8_t clientId;          // host client id; written by Open's Tav5MkClient
    uint8_t linkReset[65536];  // per station: 1 once a link reset was sent since Open; cleared by Open,
                               // set by the link-reset procedure
    uint8_t fcb;               // bit 0: frame-count bit of the next request; cleared by Open, flipped by
                               // the request procedures and the listener
    uint16_t channelNumber;    // channel number of Open (written by it); gate lookups pass it less one
    uint8_t busy;              // 1 while a command or the listener owns the line; KivMain and the listener
    uint8_t exceptionEnabled;  // report-by-exception on; configuration reader (at Open)
    uint8_t radioEnabled;      // radio keying on when exactly 1; configuration reader
    int32_t radioOnTime;       // ms between raising RTS and writing; default 200; configuration reader
    int32_t radioOffTime;      // ms between the end of the write and dropping RTS; configuration reader
    int32_t radioDelayTime;    // ms after dropping RTS before the answer is awaited; configuration reader
};

static_assert(sizeof(ChannelBlock) == 66104, "channel block size");
static_assert(offsetof(ChannelBlock, portHandle) == 8, "layout");
static_assert(offsetof(ChannelBlock, port) == 12, "layout");
static_assert(offsetof(ChannelBlock, hostAddress) == 34, "layout");
static_assert(offsetof(ChannelBlock, crcTable) == 36, "layout");
static_assert(offsetof(ChannelBlock, clientId) == 548, "layout");
static_assert(offsetof(ChannelBlock, linkReset) == 549, "layout");
static_assert(offsetof(ChannelBlock, fcb) == 66085, "layout");
static_assert(offsetof(ChannelBlock, channelNumber) == 66086, "layout");
static_assert(offsetof(ChannelBlock, busy) == 66088, "layout");
static_assert(offsetof(ChannelBlock, exceptionEnabled) == 66089, "layout");
static_assert(offsetof(ChannelBlock, radioEnabled) == 66090, "layout");
static_assert(offsetof(ChannelBlock, radioOnTime) == 66092, "layout");
static_assert(offsetof(ChannelBlock, radioOffTime) == 66096, "layout");
static_assert(offsetof(ChannelBlock, radioDelayTime) == 66100, "layout");

// The block of the work in progress on this thread: set by KivMain at every
// call and by a listener at its start, kept in the platform's per-thread
// values. SetCurrentChannel returns 0 when the platform has no per-thread
// storage for it.
inline ChannelBlock* CurrentChannel() { return reinterpret_cast<ChannelBlock*>(ThreadValue(ThreadValueChannel)); }
inline int SetCurrentChannel(ChannelBlock* block) {
    return SetThreadValue(ThreadValueChannel, reinterpret_cast<uintptr_t>(block));
}

// Process-wide end of work: 0 from load, 1 once any listener's host wait
// failed (the host is shutting down); never cleared. A listener stopped by
// its channel never sets it.
int32_t ShutdownLatchIsSet();
void SetShutdownLatch();

// The host address as a number (it is kept in line order).
inline uint16_t HostAddressOf(const ChannelBlock* block) {
    return static_cast<uint16_t>((block->hostAddress[0] << 8) | block->hostAddress[1]);
}

// The port handle field, read and written whole, atomically. Close, which
// runs without the busy flag, stops the channel's listener before it closes
// the port, and every other writer holds the line, so the listener never
// uses a handle that was closed (or given to another port) under it.
inline uint32_t PortHandleOf(const ChannelBlock* block) {
    return __atomic_load_n(&block->portHandle, __ATOMIC_RELAXED);
}
inline void SetPortHandle(ChannelBlock* block, uint32_t handle) {
    __atomic_store_n(&block->portHandle, handle, __ATOMIC_RELAXED);
}

// The busy flag, taken by one atomic test-and-set. TryTakeBusy returns 1
// when the caller now owns the line.
inline int TryTakeBusy(ChannelBlock* block) {
    return __atomic_exchange_n(&block->busy, static_cast<uint8_t>(1), __ATOMIC_ACQUIRE) == 0;
}
inline void ReleaseBusy(ChannelBlock* block) {
    __atomic_store_n(&block->busy, static_cast<uint8_t>(0), __ATOMIC_RELEASE);
}

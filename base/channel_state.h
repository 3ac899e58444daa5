// The per-channel side table: state a channel needs that the host's channel
// block has no room for. The block's layout is fixed by the host (66104
// bytes, every byte named), so whatever the driver adds lives here, in one
// fixed table found by the block's address. No heap: the table is static.
//
// Life of an entry: Open claims it (or finds the one an earlier Open of the
// same block claimed); Close frees it once the channel's listener has ended,
// after which the driver keeps no reference to the block. An entry that is
// free has block == nullptr.
//
// Threading rules:
//  - `block` is claimed and freed by compare-and-swap / atomic store, since
//    Opens of different channels may run on different host threads at once.
//    Lookups read it with an acquire load.
//  - Every other field is written only by the code its section names. A field
//    that two threads touch at once (a host command and the channel's
//    listener) is read and written with __atomic operations; the section's
//    comment says which.
//  - Host calls for one channel come one at a time, so Open/Close/SetPort of
//    one channel never race each other on their own entry.
#pragma once

#include <cstdint>

#include "kivlink.h"
#include "platform/platform.h"

struct ChannelBlock;

// Holding back log copies (base/log.cpp): one record per channel.
// Copies of one message a channel writes in one second before the rest of
// that second's copies are held back. One notice writes a message at most
// 12 times (three tries of each of its three fetches and its clock setting),
// one host request at most 6 (three link-reset tries, three tries of the
// request); both may fail within one second on one line.
constexpr int kLogCopiesPerSecond = 20;
constexpr int kLogHoldSlots = 8;  // messages a channel counts at once

struct LogHoldSlot {
    const char* format;  // the message, by its text in the code; nullptr = free
    uint32_t second;     // the second the counts are for
    int32_t level;       // the level it is written at
    uint16_t written;    // copies written in that second
    uint16_t held;       // copies held back in that second
};

// Per channel, in its side-table entry; zero-filled is empty.
struct LogHolding {
    uint8_t lock;  // taken by whoever logs: a host call and the listener may log at once
    LogHoldSlot slots[kLogHoldSlots];
};


// Listener life, as the listener itself and the code that stops it see it.
enum ListenerPhase : uint8_t {
    ListenerNone = 0,     // no listener for this channel
    ListenerRunning = 1,  // started; may touch the block
    ListenerEnded = 2,    // done with the block and the table entry
};

// A station whose read answers are not (or no longer) held to the echo of
// register and count: free when both counts are 0.
struct StationEcho {
    uint16_t station;
    uint8_t staleRun;  // held exchanges in a row that saw only answers without the echo (1..2)
    uint8_t released;  // 1: its answers came without the echo three exchanges in a row; until Open
};
// Stations per channel whose echo is not simply held: more than a line has
// units that do not echo. A full table gives up its quietest entry.
constexpr int kEchoStations = 64;

struct ChannelState {
    ChannelBlock* block;  // the block this entry serves; nullptr = free entry (atomic)

    // --- Listener (driver/lifecycle.cpp, exception/listener.cpp) ------------
    // stopRequested: set by Close and by an Open whose file turns
    //   report-by-exception off (host thread), read by the listener and the
    //   event fetches between waits and exchanges; atomic.
    // phase: Running written by Open before the thread starts; Ended written
    //   by the listener as its last touch of block and entry; None written
    //   by the stopper once the thread has ended; atomic.
    // thread: the platform thread handle, written by Open, awaited and
    //   cleared by the stopper (Close, Open) on the host thread; 0 = none.
    // clientRegistered: 1 while the host client in block->clientId belongs to
    //   this channel; set by Open, taken (atomic exchange) by Close, or by a
    //   listener whose host wait failed, whichever removes the client.
    uint8_t stopRequested;
    uint8_t phase;  // ListenerPhase
    uint8_t clientRegistered;
    uintptr_t thread;

    // --- Exchange (link/exchange.cpp) ---------------------------------------
    // The fetch answer with records that the channel's last exchange
    // accepted, to know a copy of it again: station, opcode, length (0 =
    // none) and a digest of the message. Written and read by exchanges,
    // which hold the busy flag.
    uint16_t fetchStation;
    uint8_t fetchOpcode;
    uint8_t fetchLength;
    uint32_t fetchDigest;
    // Every station's read answers are held to the echo of the request's
    // register and count from Open on; echo lists the stations that are
    // not simply held (echoUsed entries in use, at the front). Written and
    // read by exchanges, which hold the busy flag; cleared by Open.
    uint8_t echoUsed;
    StationEcho echo[kEchoStations];

    // --- The line between host and listener (driver/entry.cpp,
    // exception/listener.cpp, requests/events.cpp) ------------------------
    // hostWaiting: host commands now waiting for the busy flag; counted up
    //   and down by KivMain (atomic). A listener that works through many
    //   exchanges lets them in between two of its exchanges.
    uint32_t hostWaiting;

    // --- Log holding (base/log.cpp) -------------------------------
    // Counts of the messages written this second; taken with its own lock
    // by whoever logs on the channel.
    LogHolding logHolding;

    // --- Port health (driver/port_health.cpp) -------------------------------
    // portGone: 1 once a port call found the device behind the channel's
    //   port gone (pulled out, connection lost), until a port is opened in
    //   its place; set by whoever holds the line, cleared by Open, ReopenPort
    //   and SetPort (which hold it too), read by both; atomic.
    // goneError: the system error that showed it; written before portGone.
    uint8_t portGone;
    uint32_t goneError;

    // --- Port open failure (driver/lifecycle.cpp) ---------------------------
    // Why the channel's last port open (Open, ReopenPort, SetPort) failed, as
    // the platform told it; step KivPortStepNone once a port opened. Written
    // by those commands, read by the KivPortFailure export on a host thread
    // (host calls for one channel come one at a time).
    KivPortFailureReport openFailure;
};

// At least one entry per host client the host can register (client ids are
// 8-bit), with room to spare for blocks whose Close is still pending.
constexpr int kChannelStateSlots = 512;

// The entry of block, or nullptr when none was claimed for it. The entry
// this thread found last (in the platform's per-thread values) is tried
// first, in place: a thread mostly works on one channel, and the request
// path asks several times per exchange.
ChannelState* FindChannelStateInTable(const ChannelBlock* block);
inline ChannelState* FindChannelState(const ChannelBlock* block) {
    ChannelState* hint = reinterpret_cast<ChannelState*>(ThreadValue(ThreadValueStateFound));
    if (hint != nullptr && block != nullptr && __atomic_load_n(&hint->block, __ATOMIC_ACQUIRE) == block) return hint;
    return FindChannelStateInTable(block);
}

// The entry of block: the existing one, or a fresh zero-filled entry claimed
// for it. nullptr when the table is full.
ChannelState* ClaimChannelState(ChannelBlock* block);

// 1 when work on the block must end early: the shutdown latch is set or the
// channel's listener was asked to stop. Read between exchanges by the
// listener and by event fetches.
int ChannelWorkMustEnd(const ChannelBlock* block);

// Between two exchanges of the listener's work: when host commands wait for
// the line, frees the busy flag until they have had it, then takes it again
// (waiting without limit, as the listener does). Does nothing on other
// threads than a listener's (marked by MarkLineYielder) or when no host
// command waits. Returns 1 when host commands ran meanwhile.
int YieldLineToHost(ChannelBlock* block);
// Marks the calling thread as one that yields the line (a listener), or no
// longer.
void MarkLineYielder(int yields);

// Clears the entry and gives it back to the table. The caller makes sure
// no listener still uses it.
void ReleaseChannelState(ChannelState* state);

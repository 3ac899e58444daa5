// The POSIX stand-in's table of open ports: slots, generations, taking and
// leaving a slot without a lock, and waking blocked calls on close.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/posix_input.h"
#include "platform/win32_names.h"

struct NetLine;

namespace kivposix {

// The time-outs of a port, each field read without a lock. A call copies
// what it needs when it begins; a SetCommTimeouts on another thread at that
// very moment may give it a mix of the old and the new fields, which no
// caller does (a port's calls come one at a time).
struct TimeoutCell {
    std::atomic<DWORD> readInterval{0};
    std::atomic<DWORD> readMultiplier{0};
    std::atomic<DWORD> readConstant{0};
    std::atomic<DWORD> writeMultiplier{0};
    std::atomic<DWORD> writeConstant{0};
};

// Aligned to a cache line, so that channels on neighbouring slots never
// share one.
struct alignas(64) PortSlot {
    // The handle of the port open here (high 32 bits; 0: none) and the number
    // of calls holding the slot (low 32 bits), changed together so that a call
    // takes a slot with one compare-and-swap and CloseHandle sees every user.
    std::atomic<uint64_t> tag{0};
    bool taken = false;          // table lock: from CreateFileA until CloseHandle closed the files
    uint32_t generation = 0;     // table lock: handle part; changes at every open
    int fd = -1;                 // the device; set before the handle is published
    int wakeRead = -1;           // CloseHandle writes a byte to wakeWrite to wake blocked calls
    int wakeWrite = -1;
    bool terminal = false;       // a tty; the Comm calls fail on anything else (null device, files)
    bool pseudo = false;         // a pseudo-terminal: 8-bit characters without parity, always
    NetLine* net = nullptr;      // a line over the network (fd is its socket), or nullptr
    std::mutex settings;         // guards dcb and orders the writers of timeouts
    DCB dcb{};                   // the state as last set; what GetCommState reports
    TimeoutCell timeouts;        // all 0 at open: reads wait for every byte asked
    std::atomic<DWORD> outgoing{0};  // bytes a WriteFile in progress has still to hand over
    InputBuffer input;           // read from the device, not yet asked for; one reader at a time
};

// The table, for the inline slot taking below; only posix_handles.cpp
// changes which port a slot holds.
constexpr int kSlotCount = 256;
extern PortSlot slots[kSlotCount];

// Adds a user to the slot while it holds the port this handle names; null
// when the handle is no open port. One compare-and-swap, no lock.
inline PortSlot* TakeSlot(HANDLE handle) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value > 0xFFFFFFFFu) return nullptr;
    PortSlot& port = slots[value & 0xFF];
    uint64_t tag = port.tag.load(std::memory_order_relaxed);
    do {
        if ((tag >> 32) != value) return nullptr;
    } while (!port.tag.compare_exchange_weak(tag, tag + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return &port;
}

// Sets the last error for a failed take (ERROR_INVALID_HANDLE, or
// ERROR_INVALID_FUNCTION for a terminal-only call on anything but a tty) and
// leaves a slot taken by the latter.
void RefuseSlot(PortSlot* port);

// Holds a port's slot for one call: taken when made, left when it goes out
// of scope. A failed take leaves port null and the last error set:
// ERROR_INVALID_HANDLE for a handle that is no open port, and for a
// terminal-only call ERROR_INVALID_FUNCTION on anything but a tty.
struct SlotHold {
    SlotHold(HANDLE handle, bool terminalOnly) : port(TakeSlot(handle)) {
        if (port == nullptr || (terminalOnly && !port->terminal)) {
            RefuseSlot(port);
            port = nullptr;
        }
    }
    ~SlotHold() {
        if (port != nullptr) port->tag.fetch_sub(1, std::memory_order_release);
    }
    SlotHold(const SlotHold&) = delete;
    SlotHold& operator=(const SlotHold&) = delete;

    PortSlot* port;
};

// What CreateFileA opened, for OpenSlot.
struct OpenedDevice {
    int fd;
    int wakeRead;
    int wakeWrite;
    bool terminal;
    bool pseudo;
    DCB dcb;
    NetLine* net;  // a network line (fd is its socket), or nullptr
};

// Puts an opened device into a free slot and returns its handle; with the
// table full, fails with ERROR_TOO_MANY_OPEN_FILES, closes the descriptors
// and returns INVALID_HANDLE_VALUE.
HANDLE OpenSlot(const OpenedDevice& device);

// Makes the handle invalid, wakes the calls still on the port, waits until
// they left, closes the descriptors and frees the slot; false
// (ERROR_INVALID_HANDLE) when the handle is not an open port.
bool CloseSlot(HANDLE handle);

// Makes the non-blocking pipe that CloseHandle writes to; false with the
// last error set.
bool OpenWakePipe(int wake[2]);

// Closes a device (or network line) and its wake pipe.
void CloseFiles(int fd, int wakeRead, int wakeWrite, bool terminal, NetLine* net = nullptr);

// The port's time-outs as last set, without a lock.
COMMTIMEOUTS LoadTimeouts(const PortSlot& port);
// Stores new time-outs (the slot's settings lock held by the caller, so
// that two writers never mix their fields).
void StoreTimeouts(PortSlot& port, const COMMTIMEOUTS& timeouts);

}  // namespace kivposix

// The POSIX stand-in's table of open ports: slots, generations, taking and
// leaving a slot for one call, and waking blocked calls on close.
#pragma once

#include <mutex>

#include "platform/win32_names.h"

struct NetLine;

namespace kivposix {

enum class SlotState { Free, Open, Closing };

struct PortSlot {
    std::mutex mutex;         // guards this slot alone: calls on other ports never wait for it
    SlotState state = SlotState::Free;
    uint32_t generation = 0;  // handle part; changes at every close
    int users = 0;            // calls in progress; the last one out of a closing port closes it
    int fd = -1;              // the device
    int wakeRead = -1;        // CloseHandle writes a byte to wakeWrite to wake blocked calls
    int wakeWrite = -1;
    bool terminal = false;    // a tty; the Comm calls fail on anything else (null device, files)
    bool pseudo = false;      // a pseudo-terminal: 8-bit characters without parity, always
    NetLine* net = nullptr;   // a line over the network (fd is its socket), or nullptr
    DCB dcb{};                // the state as last set; what GetCommState reports
    COMMTIMEOUTS timeouts{};  // all 0 at open: reads wait for every byte asked
};

// What one call needs of its port, copied while its slot is locked. The
// slot stays held (its descriptors open) until Release.
struct PortUse {
    int slot;
    int fd;
    int wake;
    bool terminal;
    bool pseudo;
    NetLine* net;
    COMMTIMEOUTS timeouts;
};

// The slot a call holds.
PortSlot& SlotOf(const PortUse& use);

// Takes the port for one call; false (ERROR_INVALID_HANDLE) when the handle
// is not an open port. A terminal-only call also fails with
// ERROR_INVALID_FUNCTION on anything but a tty.
bool Acquire(HANDLE handle, PortUse* use, bool terminalOnly);

// Leaves the slot; the last user of a closed port closes its descriptors.
void Release(const PortUse& use);

// Puts an opened device into a free slot and returns its handle; with the
// table full, fails with ERROR_TOO_MANY_OPEN_FILES, closes the descriptors
// and returns INVALID_HANDLE_VALUE.
// A network line gives net (and its socket as fd).
HANDLE OpenSlot(int fd, int wakeRead, int wakeWrite, bool terminal, bool pseudo, const DCB& dcb,
                NetLine* net = nullptr);

// Marks the port closed and wakes the calls still on it; false
// (ERROR_INVALID_HANDLE) when the handle is not an open port.
bool CloseSlot(HANDLE handle);

// Makes the non-blocking pipe that CloseHandle writes to; false with the
// last error set.
bool OpenWakePipe(int wake[2]);

// Closes a device (or network line) and its wake pipe.
void CloseFiles(int fd, int wakeRead, int wakeWrite, bool terminal, NetLine* net = nullptr);

}  // namespace kivposix

// The POSIX stand-in's table of open ports: a fixed array of slots, handles
// that carry a generation, calls taking a slot with one compare-and-swap,
// and CloseHandle waking the calls blocked on a port and waiting for them.
#include "platform/posix_handles.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "platform/posix_errors.h"
#include "platform/posix_network.h"

namespace kivposix {
namespace {

// A handle is (generation << 8) | slot: never 0 (generations start at 1),
// never all ones, and a closed port's handle stays invalid after its slot,
// or its descriptor number, is used again.
constexpr uint32_t kLastGeneration = 0xFFFFFEu;
constexpr uint64_t kUsersMask = 0xFFFFFFFFu;

// Taken only by CreateFileA to find a free slot and by CloseHandle to give
// one back. Calls on an open port take no lock: channels on different ports
// never meet, and a channel's own calls pay an atomic operation each.
std::mutex tableMutex;
int nextSlot = 0;  // free slots are taken round the table, so a closed one rests a while

// The handle's value, or 0 for a value that is no handle of ours.
uint32_t HandleValueOf(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    return value > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(value);
}

uint32_t OpenHandleOf(uint64_t tag) { return static_cast<uint32_t>(tag >> 32); }

void WaitForUsersToLeave(const PortSlot& port) {
    for (int round = 0; (port.tag.load(std::memory_order_acquire) & kUsersMask) != 0; ++round) {
        if (round < 100) {
            std::this_thread::yield();
        } else {
            struct timespec pause = {0, 200000};
            nanosleep(&pause, nullptr);
        }
    }
}

}  // namespace

PortSlot slots[kSlotCount];

void RefuseSlot(PortSlot* port) {
    if (port == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return;
    }
    port->tag.fetch_sub(1, std::memory_order_release);
    Fail(kErrorInvalidFunction);
}

COMMTIMEOUTS LoadTimeouts(const PortSlot& port) {
    const TimeoutCell& t = port.timeouts;
    return COMMTIMEOUTS{t.readInterval.load(std::memory_order_relaxed), t.readMultiplier.load(std::memory_order_relaxed),
                        t.readConstant.load(std::memory_order_relaxed),
                        t.writeMultiplier.load(std::memory_order_relaxed),
                        t.writeConstant.load(std::memory_order_relaxed)};
}

void StoreTimeouts(PortSlot& port, const COMMTIMEOUTS& timeouts) {
    TimeoutCell& t = port.timeouts;
    t.readInterval.store(timeouts.ReadIntervalTimeout, std::memory_order_relaxed);
    t.readMultiplier.store(timeouts.ReadTotalTimeoutMultiplier, std::memory_order_relaxed);
    t.readConstant.store(timeouts.ReadTotalTimeoutConstant, std::memory_order_relaxed);
    t.writeMultiplier.store(timeouts.WriteTotalTimeoutMultiplier, std::memory_order_relaxed);
    t.writeConstant.store(timeouts.WriteTotalTimeoutConstant, std::memory_order_relaxed);
}

bool OpenWakePipe(int wake[2]) {
    if (pipe(wake) != 0) return Failed(ErrorFromErrno(errno), false);
    for (int i = 0; i < 2; ++i) {
        fcntl(wake[i], F_SETFD, FD_CLOEXEC);
        fcntl(wake[i], F_SETFL, O_NONBLOCK);
    }
    return true;
}

void CloseFiles(int fd, int wakeRead, int wakeWrite, bool terminal, NetLine* net) {
    if (net != nullptr) {
        NetClose(net);
    } else {
        if (terminal) ioctl(fd, TIOCNXCL);
        close(fd);
    }
    close(wakeRead);
    close(wakeWrite);
}

HANDLE OpenSlot(const OpenedDevice& device) {
    std::lock_guard<std::mutex> lock(tableMutex);
    for (int tried = 0; tried < kSlotCount; ++tried) {
        int slot = (nextSlot + tried) % kSlotCount;
        PortSlot& port = slots[slot];
        if (port.taken) continue;
        nextSlot = (slot + 1) % kSlotCount;
        port.taken = true;
        port.generation = port.generation >= kLastGeneration ? 1 : port.generation + 1;
        port.fd = device.fd;
        port.wakeRead = device.wakeRead;
        port.wakeWrite = device.wakeWrite;
        port.terminal = device.terminal;
        port.pseudo = device.pseudo;
        port.net = device.net;
        {
            std::lock_guard<std::mutex> settings(port.settings);
            port.dcb = device.dcb;
            StoreTimeouts(port, COMMTIMEOUTS{});
        }
        port.outgoing.store(0, std::memory_order_relaxed);
        ClearInput(port.input);
        uint32_t value = (port.generation << 8) | static_cast<uint32_t>(slot);
        port.tag.store(static_cast<uint64_t>(value) << 32, std::memory_order_release);
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    }
    Fail(ERROR_TOO_MANY_OPEN_FILES);
    CloseFiles(device.fd, device.wakeRead, device.wakeWrite, device.terminal, device.net);
    return INVALID_HANDLE_VALUE;
}

bool CloseSlot(HANDLE handle) {
    uint32_t value = HandleValueOf(handle);
    if (value == 0) return Failed(ERROR_INVALID_HANDLE, false);
    PortSlot& port = slots[value & 0xFF];
    // Dropping the handle from the tag and reading the users in one step:
    // no call can take the slot after this, and every call before it counts.
    uint64_t tag = port.tag.load(std::memory_order_relaxed);
    do {
        if (OpenHandleOf(tag) != value) return Failed(ERROR_INVALID_HANDLE, false);
    } while (!port.tag.compare_exchange_weak(tag, tag & kUsersMask, std::memory_order_acq_rel,
                                             std::memory_order_relaxed));
    if ((tag & kUsersMask) != 0) {
        const char signal = 1;
        if (write(port.wakeWrite, &signal, 1) < 0) {
            // The pipe is fresh and written once: it cannot be full.
        }
        WaitForUsersToLeave(port);
    }
    CloseFiles(port.fd, port.wakeRead, port.wakeWrite, port.terminal, port.net);
    std::lock_guard<std::mutex> lock(tableMutex);
    port.fd = port.wakeRead = port.wakeWrite = -1;
    port.net = nullptr;
    port.taken = false;
    return true;
}

}  // namespace kivposix

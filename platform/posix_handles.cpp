// The POSIX stand-in's table of open ports: a fixed array of slots, handles
// that carry a generation, calls holding a slot while they run, and the wake
// pipe that CloseHandle uses to end calls blocked on a port.
#include "platform/posix_handles.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix_errors.h"
#include "platform/posix_network.h"

namespace kivposix {
namespace {

// A handle is (generation << 8) | slot: never 0 (generations start at 1),
// never all ones, and a closed port's handle stays invalid after its slot,
// or its descriptor number, is used again.
constexpr int kSlotCount = 256;
constexpr uint32_t kLastGeneration = 0xFFFFFEu;

// Taken only by CreateFileA to find a free slot. Every other call locks the
// one slot its handle names, so channels on different ports share no lock
// while they read, write and set up their ports.
std::mutex openMutex;
PortSlot slots[kSlotCount];
int nextSlot = 0;  // free slots are taken round the table, so a closed one rests a while

uintptr_t HandleValue(int slot, uint32_t generation) {
    return (static_cast<uintptr_t>(generation) << 8) | static_cast<uintptr_t>(slot);
}

// The slot a handle value points at, or -1 for a value that is no handle of
// ours. Whether its port is still open there is checked under the slot's
// lock (HandleIsOpen).
int SlotIndexOf(HANDLE handle) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || value > 0xFFFFFFFFu) return -1;
    return static_cast<int>(value & 0xFF);
}

// True when the handle names the port open in this slot (slot locked by the
// caller).
bool HandleIsOpen(const PortSlot& port, HANDLE handle) {
    uint32_t generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle) >> 8);
    return port.state == SlotState::Open && port.generation == generation;
}

}  // namespace

PortSlot& SlotOf(const PortUse& use) { return slots[use.slot]; }

bool Acquire(HANDLE handle, PortUse* use, bool terminalOnly) {
    int slot = SlotIndexOf(handle);
    if (slot < 0) {
        Fail(ERROR_INVALID_HANDLE);
        return false;
    }
    PortSlot& port = slots[slot];
    std::lock_guard<std::mutex> lock(port.mutex);
    if (!HandleIsOpen(port, handle)) {
        Fail(ERROR_INVALID_HANDLE);
        return false;
    }
    if (terminalOnly && !port.terminal) {
        Fail(kErrorInvalidFunction);
        return false;
    }
    ++port.users;
    *use = PortUse{slot, port.fd, port.wakeRead, port.terminal, port.pseudo, port.net, port.timeouts};
    return true;
}

bool OpenWakePipe(int wake[2]) {
    if (pipe(wake) != 0) {
        Fail(ErrorFromErrno(errno));
        return false;
    }
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

namespace {

// Frees a closing slot whose last user has left (slot locked by the
// caller); hands back the descriptors to close once the lock is dropped.
struct FilesToClose {
    int fd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    bool terminal = false;
    NetLine* net = nullptr;
};

FilesToClose FreeSlot(PortSlot& port) {
    FilesToClose files{port.fd, port.wakeRead, port.wakeWrite, port.terminal, port.net};
    port.state = SlotState::Free;
    port.fd = port.wakeRead = port.wakeWrite = -1;
    port.net = nullptr;
    return files;
}

}  // namespace

void Release(const PortUse& use) {
    FilesToClose files;
    {
        PortSlot& port = slots[use.slot];
        std::lock_guard<std::mutex> lock(port.mutex);
        if (--port.users == 0 && port.state == SlotState::Closing) files = FreeSlot(port);
    }
    if (files.fd >= 0) CloseFiles(files.fd, files.wakeRead, files.wakeWrite, files.terminal, files.net);
}


HANDLE OpenSlot(int fd, int wakeRead, int wakeWrite, bool terminal, bool pseudo, const DCB& dcb, NetLine* net) {
    std::lock_guard<std::mutex> opening(openMutex);
    for (int tried = 0; tried < kSlotCount; ++tried) {
        int slot = (nextSlot + tried) % kSlotCount;
        PortSlot& port = slots[slot];
        std::lock_guard<std::mutex> lock(port.mutex);
        if (port.state != SlotState::Free) continue;
        nextSlot = (slot + 1) % kSlotCount;
        if (port.generation == 0) port.generation = 1;
        port.state = SlotState::Open;
        port.users = 0;
        port.fd = fd;
        port.wakeRead = wakeRead;
        port.wakeWrite = wakeWrite;
        port.terminal = terminal;
        port.pseudo = pseudo;
        port.net = net;
        port.dcb = dcb;
        port.timeouts = COMMTIMEOUTS{};
        return reinterpret_cast<HANDLE>(HandleValue(slot, port.generation));
    }
    Fail(ERROR_TOO_MANY_OPEN_FILES);
    CloseFiles(fd, wakeRead, wakeWrite, terminal, net);
    return INVALID_HANDLE_VALUE;
}

bool CloseSlot(HANDLE handle) {
    FilesToClose files;
    int slot = SlotIndexOf(handle);
    if (slot < 0) {
        Fail(ERROR_INVALID_HANDLE);
        return false;
    }
    {
        PortSlot& port = slots[slot];
        std::lock_guard<std::mutex> lock(port.mutex);
        if (!HandleIsOpen(port, handle)) {
            Fail(ERROR_INVALID_HANDLE);
            return false;
        }
        port.state = SlotState::Closing;
        port.generation = port.generation >= kLastGeneration ? 1 : port.generation + 1;
        if (port.users == 0) {
            files = FreeSlot(port);
        } else {
            const char signal = 1;
            if (write(port.wakeWrite, &signal, 1) < 0) {
                // The pipe is fresh and written once: it cannot be full.
            }
        }
    }
    if (files.fd >= 0) CloseFiles(files.fd, files.wakeRead, files.wakeWrite, files.terminal, files.net);
    return true;
}

}  // namespace kivposix

// POSIX stand-ins for the Win32 serial calls: a fixed table of open ports,
// each keeping the DCB and time-outs that Win32 keeps for a port and applying
// them to termios. Reads and writes wait with poll() against deadlines.
#include "platform/posix_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/win32_names.h"

namespace {

// Win32 values that the shared declarations do not name.
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorFilenameTooLong = 206;
constexpr DWORD kErrorOperationAborted = 995;
constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr DWORD kFileFlagOverlapped = 0x40000000u;
constexpr DWORD kEscapeSetXoff = 1;
constexpr DWORD kEscapeSetXon = 2;
constexpr DWORD kEscapeSetBreak = 8;
constexpr DWORD kEscapeClearBreak = 9;

thread_local DWORD lastError = ERROR_SUCCESS;

void Fail(DWORD code) { lastError = code; }

// The Win32 code closest to an errno value.
DWORD ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return kErrorPathNotFound;
    case ENAMETOOLONG:
        return kErrorFilenameTooLong;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case EBUSY:
    case EWOULDBLOCK:
    case EBADF:  // handles are checked first, so this is a wrong access mode
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
        return kErrorInvalidFunction;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

int64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// ---- The table of open ports ----

// A handle is (generation << 8) | slot: never 0 (generations start at 1),
// never all ones, and a closed port's handle stays invalid after its slot,
// or its descriptor number, is used again.
constexpr int kSlotCount = 256;
constexpr uint32_t kLastGeneration = 0xFFFFFEu;

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
    DCB dcb{};                // the state as last set; what GetCommState reports
    COMMTIMEOUTS timeouts{};  // all 0 at open: reads wait for every byte asked
};

// Taken only by CreateFileA to find a free slot. Every other call locks the
// one slot its handle names, so channels on different ports share no lock
// while they read, write and set up their ports.
std::mutex openMutex;
PortSlot slots[kSlotCount];
int nextSlot = 0;  // free slots are taken round the table, so a closed one rests a while

// What one call needs of its port, copied while its slot is locked. The
// slot stays held (its descriptors open) until Release.
struct PortUse {
    int slot;
    int fd;
    int wake;
    bool terminal;
    bool pseudo;
    COMMTIMEOUTS timeouts;
};

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

// Takes the port for one call; false (ERROR_INVALID_HANDLE) when the handle
// is not an open port. A terminal-only call also fails with
// ERROR_INVALID_FUNCTION on anything but a tty.
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
    *use = PortUse{slot, port.fd, port.wakeRead, port.terminal, port.pseudo, port.timeouts};
    return true;
}

void CloseFiles(int fd, int wakeRead, int wakeWrite, bool terminal) {
    if (terminal) ioctl(fd, TIOCNXCL);
    close(fd);
    close(wakeRead);
    close(wakeWrite);
}

// Frees a closing slot whose last user has left (slot locked by the
// caller); hands back the descriptors to close once the lock is dropped.
struct FilesToClose {
    int fd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    bool terminal = false;
};

FilesToClose FreeSlot(PortSlot& port) {
    FilesToClose files{port.fd, port.wakeRead, port.wakeWrite, port.terminal};
    port.state = SlotState::Free;
    port.fd = port.wakeRead = port.wakeWrite = -1;
    return files;
}

void Release(const PortUse& use) {
    FilesToClose files;
    {
        PortSlot& port = slots[use.slot];
        std::lock_guard<std::mutex> lock(port.mutex);
        if (--port.users == 0 && port.state == SlotState::Closing) files = FreeSlot(port);
    }
    if (files.fd >= 0) CloseFiles(files.fd, files.wakeRead, files.wakeWrite, files.terminal);
}

// ---- Settings: DCB and termios ----

struct BaudSpeed {
    DWORD baud;
    speed_t speed;
};

const BaudSpeed kBaudSpeeds[] = {
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300},
    {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600},
    {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// The termios speed of a baud rate; false for a rate termios has no code for.
bool SpeedOf(DWORD baud, speed_t* speed) {
    for (const BaudSpeed& entry : kBaudSpeeds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

DWORD BaudOf(speed_t speed) {
    for (const BaudSpeed& entry : kBaudSpeeds) {
        if (entry.speed == speed) return entry.baud;
    }
    return 0;
}

#ifdef CMSPAR
constexpr tcflag_t kStickParity = CMSPAR;
#else
constexpr tcflag_t kStickParity = 0;
#endif

// The DCB that describes a tty's termios and modem lines (lines < 0: not
// known, taken as raised).
DCB DcbFromTermios(const struct termios& t, int lines) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudOf(cfgetospeed(&t));
    dcb.fBinary = 1;
    dcb.fParity = (t.c_iflag & INPCK) != 0;
    bool hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = hardwareFlow;
    dcb.fDtrControl = (lines < 0 || (lines & TIOCM_DTR)) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (hardwareFlow) {
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fRtsControl = (lines < 0 || (lines & TIOCM_RTS)) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    dcb.fOutX = (t.c_iflag & IXON) != 0;
    dcb.fInX = (t.c_iflag & IXOFF) != 0;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB)) {
        dcb.Parity = NOPARITY;
    } else if (kStickParity != 0 && (t.c_cflag & kStickParity)) {
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

// Writes the DCB's settings into t. Returns ERROR_SUCCESS, or
// ERROR_INVALID_PARAMETER for a setting termios cannot express (a rate
// without a code, 1.5 stop bits, DSR flow or sensitivity, DTR handshake,
// RTS toggle, RTS handshake without CTS flow, error-character replacement,
// null stripping, abort on error).
DWORD TermiosFromDcb(const DCB& dcb, struct termios* t) {
    speed_t speed;
    if (!SpeedOf(dcb.BaudRate, &speed)) return ERROR_INVALID_PARAMETER;
    tcflag_t size;
    switch (dcb.ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return ERROR_INVALID_PARAMETER;
    }
    tcflag_t parity;
    switch (dcb.Parity) {
    case NOPARITY: parity = 0; break;
    case ODDPARITY: parity = PARENB | PARODD; break;
    case EVENPARITY: parity = PARENB; break;
    case MARKPARITY:
        if (kStickParity == 0) return ERROR_INVALID_PARAMETER;
        parity = PARENB | PARODD | kStickParity;
        break;
    case SPACEPARITY:
        if (kStickParity == 0) return ERROR_INVALID_PARAMETER;
        parity = PARENB | kStickParity;
        break;
    default: return ERROR_INVALID_PARAMETER;
    }
    if (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
    if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
        dcb.fRtsControl == RTS_CONTROL_TOGGLE || dcb.fErrorChar || dcb.fNull || dcb.fAbortOnError) {
        return ERROR_INVALID_PARAMETER;
    }
    // termios has one switch for both directions of RTS/CTS flow: CTS flow
    // alone is taken with it, RTS handshake alone would stall our output.
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE && !dcb.fOutxCtsFlow) return ERROR_INVALID_PARAMETER;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;

    cfsetispeed(t, speed);
    cfsetospeed(t, speed);
    t->c_cflag &= ~(CSIZE | PARENB | PARODD | kStickParity | CSTOPB | CRTSCTS);
    t->c_cflag |= size | parity | CREAD | CLOCAL;
    if (dcb.StopBits == TWOSTOPBITS) t->c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow) t->c_cflag |= CRTSCTS;
    t->c_iflag &= ~(INPCK | IGNPAR | PARMRK | IXON | IXOFF | IXANY);
    if (dcb.fParity) t->c_iflag |= INPCK;
    if (dcb.fOutX) t->c_iflag |= IXON;
    if (dcb.fInX) t->c_iflag |= IXOFF;
    t->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    return ERROR_SUCCESS;
}

// True when the device took what was asked. A pseudo-terminal rewrites its
// character size and parity (it always carries whole bytes), so those are
// not compared there.
bool TermiosTaken(const struct termios& asked, const struct termios& got, bool pseudo) {
    tcflag_t compared = CSTOPB | CRTSCTS;
    if (!pseudo) compared |= CSIZE | PARENB | PARODD | kStickParity;
    const tcflag_t inputCompared = INPCK | IXON | IXOFF;
    return cfgetispeed(&asked) == cfgetispeed(&got) && cfgetospeed(&asked) == cfgetospeed(&got) &&
           (asked.c_cflag & compared) == (got.c_cflag & compared) &&
           (asked.c_iflag & inputCompared) == (got.c_iflag & inputCompared);
}

// Raises or drops one modem line. A device without modem lines (a
// pseudo-terminal) takes the request as done: DTR and RTS have nowhere to go.
bool SetModemLine(int fd, int line, bool raised) {
    if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}

bool IsPseudoTerminal(int fd) {
#ifdef __linux__
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return false;
    unsigned deviceMajor = major(status.st_rdev);
    return (deviceMajor >= 136 && deviceMajor <= 143) || deviceMajor == 3;
#else
    (void)fd;
    return false;
#endif
}

// Raw bytes in both directions, receiver on, modem control lines not
// consulted; size, parity, stop bits, speed and flow control stay.
bool MakeRaw(int fd) {
    struct termios t;
    if (tcgetattr(fd, &t) != 0) return false;
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool EqualsIgnoringCase(const char* text, const char* upper, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper[i]) return false;
    }
    return true;
}

// The number n of "COMn" (1 to 255, no leading zero), or 0.
int ComNumber(const char* name) {
    if (std::strlen(name) < 4 || !EqualsIgnoringCase(name, "COM", 3)) return 0;
    const char* digits = name + 3;
    if (digits[0] < '1' || digits[0] > '9') return 0;
    int number = 0;
    for (const char* p = digits; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        number = number * 10 + (*p - '0');
        if (number > 255) return 0;
    }
    return number;
}

// Waits for the port's descriptor (events) or the close signal until the
// deadline (-1: none). Returns 1 when the descriptor is ready, 2 when it
// reports a hang-up or error instead, 0 at the deadline, -1 when the port is
// being closed.
int WaitForPort(const PortUse& use, short events, int64_t deadline) {
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            int64_t left = deadline - NowMs();
            if (left <= 0) return 0;
            timeout = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
        }
        struct pollfd waits[2] = {{use.fd, events, 0}, {use.wake, POLLIN, 0}};
        int ready = poll(waits, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return 2;
        }
        if (waits[1].revents != 0) return -1;
        if (waits[0].revents & events) return 1;
        if (waits[0].revents != 0) return 2;
        if (ready == 0 && deadline >= 0 && NowMs() >= deadline) return 0;
    }
}

}  // namespace

bool PosixPortPath(const char* name, char* path, size_t size) {
    if (name == nullptr || name[0] == '\0' || size == 0) return false;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) {
        name += 4;
        if (name[0] == '\0') return false;
    }
    int written;
    int com = ComNumber(name);
    if (name[0] == '/') {
        written = std::snprintf(path, size, "%s", name);
    } else if (std::strlen(name) == 3 && EqualsIgnoringCase(name, "NUL", 3)) {
        written = std::snprintf(path, size, "/dev/null");
    } else if (com > 0) {
        written = std::snprintf(path, size, "/dev/ttyS%d", com - 1);
    } else {
        written = std::snprintf(path, size, "/dev/%s", name);
    }
    return written > 0 && static_cast<size_t>(written) < size;
}

extern "C" {

// The calling thread's last error, as the failing call left it.
DWORD GetLastError(void) { return lastError; }

void SetLastError(DWORD code) { lastError = code; }

// Opens an existing device (see PosixPortPath for the names) for this
// process alone, in raw mode when it is a tty. Only OPEN_EXISTING and
// synchronous I/O are supported. INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, void*, DWORD disposition, DWORD flags, HANDLE) {
    if (disposition != OPEN_EXISTING || (flags & kFileFlagOverlapped)) {
        Fail(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    char path[4096];
    if (name == nullptr || name[0] == '\0') {
        Fail(kErrorPathNotFound);
        return INVALID_HANDLE_VALUE;
    }
    if (!PosixPortPath(name, path, sizeof path)) {
        Fail(kErrorFilenameTooLong);
        return INVALID_HANDLE_VALUE;
    }
    bool reading = (access & GENERIC_READ) != 0;
    bool writing = (access & GENERIC_WRITE) != 0;
    int mode = reading == writing ? O_RDWR : (reading ? O_RDONLY : O_WRONLY);
    int fd = open(path, mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        Fail(errno == EIO ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    bool terminal = isatty(fd) != 0;
    struct termios settings;
    int lines = -1;
    if (terminal) {
        // Win32 opens a port for one user: a lock for processes that look,
        // TIOCEXCL against other opens of the device.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            Fail(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
            close(fd);
            return INVALID_HANDLE_VALUE;
        }
        ioctl(fd, TIOCEXCL);
        if (!MakeRaw(fd) || tcgetattr(fd, &settings) != 0) {
            Fail(ErrorFromErrno(errno));
            ioctl(fd, TIOCNXCL);
            close(fd);
            return INVALID_HANDLE_VALUE;
        }
        if (ioctl(fd, TIOCMGET, &lines) != 0) lines = -1;
    }
    int wake[2];
    if (pipe(wake) != 0) {
        Fail(ErrorFromErrno(errno));
        if (terminal) ioctl(fd, TIOCNXCL);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    for (int end : wake) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
    }
    bool pseudo = terminal && IsPseudoTerminal(fd);

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
        port.wakeRead = wake[0];
        port.wakeWrite = wake[1];
        port.terminal = terminal;
        port.pseudo = pseudo;
        port.dcb = terminal ? DcbFromTermios(settings, lines) : DCB{};
        port.timeouts = COMMTIMEOUTS{};
        return reinterpret_cast<HANDLE>(HandleValue(slot, port.generation));
    }
    Fail(ERROR_TOO_MANY_OPEN_FILES);
    CloseFiles(fd, wake[0], wake[1], terminal);
    return INVALID_HANDLE_VALUE;
}

// Closes the port: its handle is invalid from here on. Calls still running
// on it (a read waiting for bytes) are woken and fail with
// ERROR_OPERATION_ABORTED; the descriptor is closed when the last leaves.
BOOL CloseHandle(HANDLE handle) {
    FilesToClose files;
    int slot = SlotIndexOf(handle);
    if (slot < 0) {
        Fail(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        PortSlot& port = slots[slot];
        std::lock_guard<std::mutex> lock(port.mutex);
        if (!HandleIsOpen(port, handle)) {
            Fail(ERROR_INVALID_HANDLE);
            return FALSE;
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
    if (files.fd >= 0) CloseFiles(files.fd, files.wakeRead, files.wakeWrite, files.terminal);
    return TRUE;
}

// The DCB as last set (at open: the tty's own settings). FALSE on a handle
// that is no open port, ERROR_INVALID_FUNCTION on one that is no tty.
BOOL GetCommState(HANDLE handle, DCB* dcb) {
    if (dcb == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    {
        std::lock_guard<std::mutex> lock(slots[use.slot].mutex);
        *dcb = slots[use.slot].dcb;
    }
    Release(use);
    return TRUE;
}

// Applies the DCB to the tty. A setting termios cannot express, or one the
// device does not take, fails the call with ERROR_INVALID_PARAMETER and
// leaves the port as it was.
BOOL SetCommState(HANDLE handle, DCB* dcb) {
    if (dcb == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        // Under the slot's lock, so that the DCB kept always matches termios.
        std::lock_guard<std::mutex> lock(slots[use.slot].mutex);
        struct termios before, wanted, taken;
        if (tcgetattr(use.fd, &before) != 0) {
            error = ErrorFromErrno(errno);
        } else {
            wanted = before;
            error = TermiosFromDcb(*dcb, &wanted);
        }
        if (error == ERROR_SUCCESS && tcsetattr(use.fd, TCSANOW, &wanted) != 0) error = ErrorFromErrno(errno);
        if (error == ERROR_SUCCESS &&
            (tcgetattr(use.fd, &taken) != 0 || !TermiosTaken(wanted, taken, use.pseudo))) {
            error = ERROR_INVALID_PARAMETER;
            tcsetattr(use.fd, TCSANOW, &before);
        }
        if (error == ERROR_SUCCESS) {
            bool linesSet = true;
            if (dcb->fDtrControl != DTR_CONTROL_HANDSHAKE) {
                linesSet = SetModemLine(use.fd, TIOCM_DTR, dcb->fDtrControl == DTR_CONTROL_ENABLE);
            }
            if (linesSet && dcb->fRtsControl != RTS_CONTROL_HANDSHAKE) {
                linesSet = SetModemLine(use.fd, TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE);
            }
            if (!linesSet) {
                error = ErrorFromErrno(errno);
                tcsetattr(use.fd, TCSANOW, &before);
            }
        }
        if (error == ERROR_SUCCESS) {
            slots[use.slot].dcb = *dcb;
            slots[use.slot].dcb.DCBlength = sizeof(DCB);
        }
    }
    Release(use);
    if (error != ERROR_SUCCESS) {
        Fail(error);
        return FALSE;
    }
    return TRUE;
}

// The time-outs as last set (all 0 at open). Fails as GetCommState does.
BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    if (timeouts == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    *timeouts = use.timeouts;
    Release(use);
    return TRUE;
}

// Keeps the time-outs for the next reads and writes; a read or write
// already waiting keeps the ones it started with. All three read values
// MAXDWORD fail with ERROR_INVALID_PARAMETER, as in Win32.
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    if (timeouts == nullptr || (timeouts->ReadIntervalTimeout == kMaxDword &&
                                timeouts->ReadTotalTimeoutMultiplier == kMaxDword &&
                                timeouts->ReadTotalTimeoutConstant == kMaxDword)) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    {
        std::lock_guard<std::mutex> lock(slots[use.slot].mutex);
        slots[use.slot].timeouts = *timeouts;
    }
    Release(use);
    return TRUE;
}

// The kernel's queues have sizes of their own; the request is accepted
// (TRUE) on any tty.
BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    Release(use);
    return TRUE;
}

// Reports no line errors (termios keeps none to clear) and the byte counts
// of the input and output queues.
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat) {
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    int waiting = 0;
    int queued = 0;
    bool counted = ioctl(use.fd, FIONREAD, &waiting) == 0;
    int error = errno;
    if (ioctl(use.fd, TIOCOUTQ, &queued) != 0) queued = 0;
    Release(use);
    if (!counted) {
        Fail(ErrorFromErrno(error));
        return FALSE;
    }
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(waiting);
        stat->cbOutQue = static_cast<DWORD>(queued);
    }
    return TRUE;
}

// Reads up to count bytes under the port's time-outs, as Win32 does:
//  - interval MAXDWORD with both totals 0: what is there, at once;
//  - interval MAXDWORD with multiplier MAXDWORD: what is there, or the first
//    bytes to come within the constant;
//  - otherwise until count bytes came, the total (multiplier * count +
//    constant; none when both are 0) ran out since the call began, or the
//    interval (when not 0) passed after the latest bytes.
// A time-out is success with fewer bytes. FALSE when the read failed before
// any byte came, or with ERROR_OPERATION_ABORTED when the port was closed.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* read, void* overlapped) {
    if (read != nullptr) *read = 0;
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortUse use;
    if (!Acquire(handle, &use, false)) return FALSE;
    const COMMTIMEOUTS& t = use.timeouts;
    bool atOnce = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
                  t.ReadTotalTimeoutConstant == 0;
    bool firstBytesEnd = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword;
    int64_t interval = (t.ReadIntervalTimeout == 0 || t.ReadIntervalTimeout == kMaxDword) ? 0 : t.ReadIntervalTimeout;
    int64_t total = firstBytesEnd ? t.ReadTotalTimeoutConstant
                                  : static_cast<int64_t>(t.ReadTotalTimeoutMultiplier) * count +
                                        t.ReadTotalTimeoutConstant;
    int64_t start = NowMs();
    int64_t totalDeadline = total > 0 ? start + total : -1;
    int64_t intervalDeadline = -1;

    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;
    bool hungUp = false;
    while (got < count) {
        ssize_t n = ::read(use.fd, bytes + got, count - got);
        if (n > 0) {
            got += static_cast<DWORD>(n);
            if (firstBytesEnd) break;
            if (interval > 0) intervalDeadline = NowMs() + interval;
            continue;
        }
        if (n == 0) break;  // end of file (the null device)
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            if (got == 0) error = ErrorFromErrno(errno);  // else the next read reports it
            break;
        }
        if (hungUp) {
            if (got == 0) error = ERROR_IO_DEVICE;
            break;
        }
        if (atOnce) break;
        int64_t deadline = totalDeadline;
        if (intervalDeadline >= 0 && (deadline < 0 || intervalDeadline < deadline)) deadline = intervalDeadline;
        int waited = WaitForPort(use, POLLIN, deadline);
        if (waited == 0) break;
        if (waited < 0) {
            error = kErrorOperationAborted;
            break;
        }
        hungUp = waited == 2;
    }
    Release(use);
    if (read != nullptr) *read = got;
    if (error != ERROR_SUCCESS) {
        Fail(error);
        return FALSE;
    }
    return TRUE;
}

// Writes all count bytes, waiting while the device is full, unless the
// write time-out (multiplier * count + constant; none when both are 0)
// runs out: then success with fewer bytes. FALSE when the write failed
// (*written tells what went before) or the port was closed meanwhile.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* written, void* overlapped) {
    if (written != nullptr) *written = 0;
    if (overlapped != nullptr || (buffer == nullptr && count != 0)) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortUse use;
    if (!Acquire(handle, &use, false)) return FALSE;
    int64_t total = static_cast<int64_t>(use.timeouts.WriteTotalTimeoutMultiplier) * count +
                    use.timeouts.WriteTotalTimeoutConstant;
    int64_t deadline = total > 0 ? NowMs() + total : -1;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    DWORD sent = 0;
    DWORD error = ERROR_SUCCESS;
    bool hungUp = false;
    while (sent < count) {
        ssize_t n = ::write(use.fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            error = ErrorFromErrno(errno);
            break;
        }
        if (hungUp) {
            error = ERROR_IO_DEVICE;
            break;
        }
        int waited = WaitForPort(use, POLLOUT, deadline);
        if (waited == 0) break;
        if (waited < 0) {
            error = kErrorOperationAborted;
            break;
        }
        hungUp = waited == 2;
    }
    Release(use);
    if (written != nullptr) *written = sent;
    if (error != ERROR_SUCCESS) {
        Fail(error);
        return FALSE;
    }
    return TRUE;
}

// SETRTS, CLRRTS, SETDTR, CLRDTR through the modem-control ioctls (they
// fail on a pseudo-terminal, which has no such lines), SETXOFF, SETXON,
// SETBREAK and CLRBREAK; any other function fails.
BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    int line = 0;
    int result;
    switch (function) {
    case SETRTS: line = TIOCM_RTS; result = ioctl(use.fd, TIOCMBIS, &line); break;
    case CLRRTS: line = TIOCM_RTS; result = ioctl(use.fd, TIOCMBIC, &line); break;
    case SETDTR: line = TIOCM_DTR; result = ioctl(use.fd, TIOCMBIS, &line); break;
    case CLRDTR: line = TIOCM_DTR; result = ioctl(use.fd, TIOCMBIC, &line); break;
    case kEscapeSetXoff: result = tcflow(use.fd, TCOOFF); break;
    case kEscapeSetXon: result = tcflow(use.fd, TCOON); break;
    case kEscapeSetBreak: result = ioctl(use.fd, TIOCSBRK); break;
    case kEscapeClearBreak: result = ioctl(use.fd, TIOCCBRK); break;
    default:
        errno = EINVAL;
        result = -1;
        break;
    }
    int error = errno;
    Release(use);
    if (result != 0) {
        Fail(ErrorFromErrno(error));
        return FALSE;
    }
    return TRUE;
}

// The modem input lines: MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON
// (carrier detect). Fails on a pseudo-terminal.
BOOL GetCommModemStatus(HANDLE handle, DWORD* status) {
    if (status == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortUse use;
    if (!Acquire(handle, &use, true)) return FALSE;
    int lines = 0;
    int result = ioctl(use.fd, TIOCMGET, &lines);
    int error = errno;
    Release(use);
    if (result != 0) {
        Fail(ErrorFromErrno(error));
        return FALSE;
    }
    DWORD bits = 0;
    if (lines & TIOCM_CTS) bits |= MS_CTS_ON;
    if (lines & TIOCM_DSR) bits |= MS_DSR_ON;
    if (lines & TIOCM_RNG) bits |= MS_RING_ON;
    if (lines & TIOCM_CAR) bits |= MS_RLSD_ON;
    *status = bits;
    return TRUE;
}

}  // extern "C"

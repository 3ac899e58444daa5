// The Win32 calls of the POSIX stand-in that open, close and set up a port:
// each holds its port's slot for the call and keeps the DCB and time-outs
// Win32 keeps for a port. Reads, writes and queue counts: posix_io.cpp.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/posix_errors.h"
#include "platform/posix_handles.h"
#include "platform/posix_network.h"
#include "platform/posix_serial.h"
#include "platform/posix_termios.h"

using namespace kivposix;

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;
constexpr DWORD kFileFlagOverlapped = 0x40000000u;
constexpr DWORD kEscapeSetXoff = 1;
constexpr DWORD kEscapeSetXon = 2;
constexpr DWORD kEscapeSetBreak = 8;
constexpr DWORD kEscapeClearBreak = 9;

// Applies the DCB to the tty fd: termios, then DTR and RTS where they are not
// handshake lines. Returns ERROR_SUCCESS, or the error with the tty's
// termios as it was (ERROR_INVALID_PARAMETER for a setting termios cannot
// express or the device did not take).
DWORD ApplyDcb(int fd, bool pseudo, const DCB& dcb) {
    struct termios before, wanted, taken;
    if (tcgetattr(fd, &before) != 0) return ErrorFromErrno(errno);
    wanted = before;
    DWORD error = TermiosFromDcb(dcb, &wanted);
    if (error != ERROR_SUCCESS) return error;
    if (tcsetattr(fd, TCSANOW, &wanted) != 0) return ErrorFromErrno(errno);
    if (tcgetattr(fd, &taken) != 0 || !TermiosTaken(wanted, taken, pseudo)) {
        tcsetattr(fd, TCSANOW, &before);
        return ERROR_INVALID_PARAMETER;
    }
    bool linesSet = true;
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
        linesSet = SetModemLine(fd, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    }
    if (linesSet && dcb.fRtsControl != RTS_CONTROL_HANDSHAKE) {
        linesSet = SetModemLine(fd, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    }
    if (!linesSet) {
        error = ErrorFromErrno(errno);
        tcsetattr(fd, TCSANOW, &before);
        return error;
    }
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

namespace {

// Takes an opened terminal for this process alone and puts it in raw mode;
// its modem lines (or -1) in *lines. Sets the last error and gives the
// terminal back on failure.
bool TakeTerminal(int fd, struct termios* settings, int* lines) {
    // Win32 opens a port for one user: a lock for processes that look,
    // TIOCEXCL against other opens of the device.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        NoteOpenFailure(KivPortStepLock, errno);
        return Failed(errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno), false);
    }
    ioctl(fd, TIOCEXCL);
    if (!MakeRaw(fd) || tcgetattr(fd, settings) != 0) {
        NoteOpenFailure(KivPortStepSettings, errno);
        Fail(ErrorFromErrno(errno));
        ioctl(fd, TIOCNXCL);
        return false;
    }
    if (ioctl(fd, TIOCMGET, lines) != 0) *lines = -1;
    return true;
}

// Opens a device path as a port.
HANDLE OpenDevicePort(const char* path, DWORD access) {
    NoteOpenDevice(path);
    bool reading = (access & GENERIC_READ) != 0;
    bool writing = (access & GENERIC_WRITE) != 0;
    int mode = reading == writing ? O_RDWR : (reading ? O_RDONLY : O_WRONLY);
    int fd = open(path, mode | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        NoteOpenFailure(KivPortStepOpen, errno);
        // A device that is not there, or whose hardware went away.
        const bool missing = errno == EIO || errno == ENXIO || errno == ENODEV;
        return Failed(missing ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno), INVALID_HANDLE_VALUE);
    }
    bool terminal = isatty(fd) != 0;
    struct termios settings;
    int lines = -1;
    if (terminal && !TakeTerminal(fd, &settings, &lines)) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    int wake[2];
    if (!OpenWakePipe(wake)) {
        NoteOpenFailure(KivPortStepOpen, errno);
        if (terminal) ioctl(fd, TIOCNXCL);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    bool pseudo = terminal && IsPseudoTerminal(fd);
    return OpenSlot(OpenedDevice{fd, wake[0], wake[1], terminal, pseudo,
                                 terminal ? DcbFromTermios(settings, lines) : DCB{}, nullptr});
}

}  // namespace

// Opens an existing device (see PosixPortPath for the names) for this
// process alone, in raw mode when it is a tty, or what the port map gives
// the name: a device path or a network line. Only OPEN_EXISTING and
// synchronous I/O are supported. INVALID_HANDLE_VALUE on failure, with the
// step and errno noted for DescribePortFailure.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD, void*, DWORD disposition, DWORD flags, HANDLE) {
    if (disposition != OPEN_EXISTING || (flags & kFileFlagOverlapped)) {
        return Failed(ERROR_NOT_SUPPORTED, INVALID_HANDLE_VALUE);
    }
    char path[4096];
    NoteOpenDevice(name != nullptr ? name : "");
    if (name == nullptr || name[0] == '\0') {
        NoteOpenFailure(KivPortStepResolve, ENOENT);
        return Failed(kErrorPathNotFound, INVALID_HANDLE_VALUE);
    }
    PortMapEntry mapped;
    switch (NetLookupPort(std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name, &mapped)) {
    case 1:
        // A device path in the map stands for the device, a URL for a server.
        if (mapped.kind == PortMapDevice) return OpenDevicePort(mapped.host, access);
        return OpenNetPort(mapped);
    case -1:
        NoteOpenDevice(kPortMapFile);
        NoteOpenFailure(KivPortStepResolve, EINVAL);
        return Failed(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    default: break;
    }
    if (!PosixPortPath(name, path, sizeof path)) {
        NoteOpenFailure(KivPortStepResolve, ENAMETOOLONG);
        return Failed(kErrorFilenameTooLong, INVALID_HANDLE_VALUE);
    }
    return OpenDevicePort(path, access);
}

// Closes the port: its handle is invalid from here on. Calls still running
// on it (a read waiting for bytes) are woken and fail with
// ERROR_OPERATION_ABORTED; CloseHandle returns once they have left, with
// the descriptor closed.
BOOL CloseHandle(HANDLE handle) { return CloseSlot(handle) ? TRUE : FALSE; }

// The DCB as last set (at open: the tty's own settings). FALSE on a handle
// that is no open port, ERROR_INVALID_FUNCTION on one that is no tty.
BOOL GetCommState(HANDLE handle, DCB* dcb) {
    if (dcb == nullptr) return Failed(ERROR_INVALID_PARAMETER, FALSE);
    SlotHold hold(handle, true);
    if (hold.port == nullptr) return FALSE;
    std::lock_guard<std::mutex> lock(hold.port->settings);
    *dcb = hold.port->dcb;
    return TRUE;
}

// Applies the DCB to the tty. A setting termios cannot express, or one the
// device does not take, fails the call with ERROR_INVALID_PARAMETER and
// leaves the port as it was.
BOOL SetCommState(HANDLE handle, DCB* dcb) {
    if (dcb == nullptr) return Failed(ERROR_INVALID_PARAMETER, FALSE);
    SlotHold hold(handle, true);
    if (hold.port == nullptr) return FALSE;
    PortSlot& port = *hold.port;
    // Under the settings lock, so that the DCB kept always matches termios.
    std::lock_guard<std::mutex> lock(port.settings);
    DWORD error = port.net != nullptr ? NetApplyDcb(port.net, *dcb) : ApplyDcb(port.fd, port.pseudo, *dcb);
    if (error != ERROR_SUCCESS) return Failed(error, FALSE);
    port.dcb = *dcb;
    port.dcb.DCBlength = sizeof(DCB);
    return TRUE;
}

// The time-outs as last set (all 0 at open). Fails as GetCommState does.
BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    if (timeouts == nullptr) return Failed(ERROR_INVALID_PARAMETER, FALSE);
    SlotHold hold(handle, true);
    if (hold.port == nullptr) return FALSE;
    *timeouts = LoadTimeouts(*hold.port);
    return TRUE;
}

// Keeps the time-outs for the next reads and writes; a read or write
// already waiting keeps the ones it started with. All three read values
// MAXDWORD fail with ERROR_INVALID_PARAMETER, as in Win32.
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    if (timeouts == nullptr || (timeouts->ReadIntervalTimeout == kMaxDword &&
                                timeouts->ReadTotalTimeoutMultiplier == kMaxDword &&
                                timeouts->ReadTotalTimeoutConstant == kMaxDword)) {
        return Failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    SlotHold hold(handle, true);
    if (hold.port == nullptr) return FALSE;
    std::lock_guard<std::mutex> lock(hold.port->settings);
    StoreTimeouts(*hold.port, *timeouts);
    return TRUE;
}

// The kernel's queues have sizes of their own; the request is accepted
// (TRUE) on any tty.
BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
    SlotHold hold(handle, true);
    return hold.port != nullptr ? TRUE : FALSE;
}

// SETRTS, CLRRTS, SETDTR, CLRDTR through the modem-control ioctls (they
// fail on a pseudo-terminal, which has no such lines), SETXOFF, SETXON,
// SETBREAK and CLRBREAK; any other function fails.
BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    SlotHold hold(handle, true);
    if (hold.port == nullptr) return FALSE;
    if (hold.port->net != nullptr) {
        DWORD error = NetEscape(hold.port->net, function);
        if (error != ERROR_SUCCESS) Fail(error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
    const int fd = hold.port->fd;
    int line = 0;
    int result;
    switch (function) {
    case SETRTS: line = TIOCM_RTS; result = ioctl(fd, TIOCMBIS, &line); break;
    case CLRRTS: line = TIOCM_RTS; result = ioctl(fd, TIOCMBIC, &line); break;
    case SETDTR: line = TIOCM_DTR; result = ioctl(fd, TIOCMBIS, &line); break;
    case CLRDTR: line = TIOCM_DTR; result = ioctl(fd, TIOCMBIC, &line); break;
    case kEscapeSetXoff: result = tcflow(fd, TCOOFF); break;
    case kEscapeSetXon: result = tcflow(fd, TCOON); break;
    case kEscapeSetBreak: result = ioctl(fd, TIOCSBRK); break;
    case kEscapeClearBreak: result = ioctl(fd, TIOCCBRK); break;
    default:
        errno = EINVAL;
        result = -1;
        break;
    }
    if (result != 0) return Failed(ErrorFromErrno(errno), FALSE);
    return TRUE;
}

// The modem input lines: MS_CTS_ON, MS_DSR_ON, MS_RING_ON and MS_RLSD_ON
// (carrier detect). Fails on a pseudo-terminal.
BOOL GetCommModemStatus(HANDLE handle, DWORD* status) {
    if (status == nullptr) return Failed(ERROR_INVALID_PARAMETER, FALSE);
    SlotHold hold(handle, true);
    if (hold.port == nullptr) return FALSE;
    if (hold.port->net != nullptr) {
        DWORD error = NetModemStatus(hold.port->net, status);
        if (error != ERROR_SUCCESS) Fail(error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
    int lines = 0;
    if (ioctl(hold.port->fd, TIOCMGET, &lines) != 0) return Failed(ErrorFromErrno(errno), FALSE);
    DWORD bits = 0;
    if (lines & TIOCM_CTS) bits |= MS_CTS_ON;
    if (lines & TIOCM_DSR) bits |= MS_DSR_ON;
    if (lines & TIOCM_RNG) bits |= MS_RING_ON;
    if (lines & TIOCM_CAR) bits |= MS_RLSD_ON;
    *status = bits;
    return TRUE;
}

}  // extern "C"

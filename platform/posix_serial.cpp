// The Win32 serial calls of the POSIX stand-in: each takes its port's slot
// for the call, keeps the DCB and time-outs Win32 keeps for a port, and waits
// with poll() against deadlines.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
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

int64_t NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
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

extern "C" {

// Opens an existing device (see PosixPortPath for the names) for this
// process alone, in raw mode when it is a tty, or the network line that
// the port map gives the name. Only OPEN_EXISTING and synchronous I/O are
// supported. INVALID_HANDLE_VALUE on failure.
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
    PortMapEntry mapped;
    switch (NetLookupPort(std::strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name, &mapped)) {
    case 1: return OpenNetPort(mapped);
    case -1:
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    default: break;
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
    if (!OpenWakePipe(wake)) {
        if (terminal) ioctl(fd, TIOCNXCL);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    bool pseudo = terminal && IsPseudoTerminal(fd);

    return OpenSlot(fd, wake[0], wake[1], terminal, pseudo, terminal ? DcbFromTermios(settings, lines) : DCB{});
}

// Closes the port: its handle is invalid from here on. Calls still running
// on it (a read waiting for bytes) are woken and fail with
// ERROR_OPERATION_ABORTED; the descriptor is closed when the last leaves.
BOOL CloseHandle(HANDLE handle) { return CloseSlot(handle) ? TRUE : FALSE; }

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
        std::lock_guard<std::mutex> lock(SlotOf(use).mutex);
        *dcb = SlotOf(use).dcb;
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
    if (use.net != nullptr) {
        error = NetApplyDcb(use.net, *dcb);
        std::lock_guard<std::mutex> lock(SlotOf(use).mutex);
        if (error == ERROR_SUCCESS) SlotOf(use).dcb = *dcb;
    } else {
        // Under the slot's lock, so that the DCB kept always matches termios.
        std::lock_guard<std::mutex> lock(SlotOf(use).mutex);
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
            SlotOf(use).dcb = *dcb;
            SlotOf(use).dcb.DCBlength = sizeof(DCB);
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
        std::lock_guard<std::mutex> lock(SlotOf(use).mutex);
        SlotOf(use).timeouts = *timeouts;
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
    DWORD error = ERROR_SUCCESS;
    if (use.net != nullptr) {
        DWORD count = 0;
        error = NetInputWaiting(use.net, &count);
        waiting = static_cast<int>(count);
    } else {
        if (ioctl(use.fd, FIONREAD, &waiting) != 0) error = ErrorFromErrno(errno);
        if (ioctl(use.fd, TIOCOUTQ, &queued) != 0) queued = 0;
    }
    Release(use);
    if (error != ERROR_SUCCESS) {
        Fail(error);
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
        long n = ReadSome(use, bytes + got, count - got);
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
    // Each of the driver's transmissions begins with a purge of its input:
    // the device server is asked to drop what it holds for us as well.
    if (use.net != nullptr && use.net->kind == NetLineRfc2217 && !NetPurge(use.net, kPurgeReceive)) {
        error = ErrorFromErrno(errno);
        count = 0;
    }
    while (sent < count) {
        long n = WriteSome(use, bytes + sent, count - sent);
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
    if (use.net != nullptr) {
        DWORD error = NetEscape(use.net, function);
        Release(use);
        if (error != ERROR_SUCCESS) Fail(error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
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
    if (use.net != nullptr) {
        DWORD error = NetModemStatus(use.net, status);
        Release(use);
        if (error != ERROR_SUCCESS) Fail(error);
        return error == ERROR_SUCCESS ? TRUE : FALSE;
    }
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

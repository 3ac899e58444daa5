// The port layer: open and set up a serial port, close it, change its read
// time-out, throw away pending input, write, and read an exact count. No
// state of its own; written against the Win32 serial calls.
#include "serial/port.h"

#include <cstring>

#include "base/log.h"
#include "platform/platform_log.h"
#include "platform/port_failure.h"

namespace {

constexpr int kPurgeReadTimeout = 5;    // tens of ms: each purge read waits 50 ms at most
constexpr DWORD kPurgeChunk = 512;      // bytes per purge read, from a stack buffer
constexpr DWORD kPurgeReadOnMs = kPortPurgeBoundMs - kPurgeReadTimeout * 10;  // further purge reads start within this
constexpr char kErrorChar = static_cast<char>(0xFC);

// The device-gone failure this thread's port calls saw last, until taken:
// the port and its error, in the platform's per-thread values.
HANDLE GoneHandle() { return reinterpret_cast<HANDLE>(ThreadValue(ThreadValueGoneHandle)); }
DWORD GoneError() { return static_cast<DWORD>(ThreadValue(ThreadValueGoneError)); }
void SetGone(HANDLE handle, DWORD error) {
    SetThreadValue(ThreadValueGoneHandle, reinterpret_cast<uintptr_t>(handle));
    SetThreadValue(ThreadValueGoneError, error);
}

// Sets the port's read total time-out to ms, keeping its other time-outs.
// 1 when done.
int SetReadTotal(HANDLE handle, DWORD ms) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(handle, &timeouts)) return 0;
    timeouts.ReadTotalTimeoutConstant = ms;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

// The handshake groups of the options word: in each group the first row
// whose bits are present decides, a group without bits leaves the DCB.
void ApplyHandshakeOptions(uint32_t options, DCB* dcb) {
    if (options & 0x0101u) {
        dcb->fDtrControl = DTR_CONTROL_ENABLE;
    } else if (options & 0x8000u) {
        dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    }
    if (options & 0x0202u) {
        dcb->fRtsControl = RTS_CONTROL_ENABLE;
    } else if (options & 0x1000u) {
        dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (options & 0x2000u) {
        dcb->fRtsControl = RTS_CONTROL_TOGGLE;
    }
    if (options & 0x0010u) {
        dcb->fOutxCtsFlow = 1;
    } else if (options & 0x0020u) {
        dcb->fOutxDsrFlow = 1;
    } else if (options & 0x4000u) {
        dcb->fDsrSensitivity = 1;
    }
}

// Says in *failure (when given) why opening name failed at step, right
// after the failing call; returns result.
int OpenFailed(int result, const char* name, int32_t step, KivPortFailureReport* failure) {
    if (failure == nullptr) return result;
    std::memset(failure, 0, sizeof *failure);
    std::strncpy(failure->port, name, sizeof failure->port - 1);
    DescribePortFailure(name, step, failure);
    return result;
}

}  // namespace

int PortOpen(const char* name, const LineSettings* line, uint32_t options, HANDLE* handle,
             KivPortFailureReport* failure) {
    // What the platform logs while it opens and serves the port is held back
    // per channel as the driver's own lines are.
    SetPlatformLogGate(LogMayWrite);
    *handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (*handle == INVALID_HANDLE_VALUE) return OpenFailed(PortOpenFailed, name, KivPortStepOpen, failure);
    // The null device (exactly this spelling) is opened but never set up.
    if (std::strcmp(name, "NUL") == 0) return PortOk;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(*handle, &dcb)) {
        OpenFailed(PortStateFailed, name, KivPortStepSettings, failure);
        CloseHandle(*handle);
        return PortStateFailed;
    }
    if ((options & 0xFFFFu) == 0) return PortOk;

    dcb.BaudRate = line->baudRate;
    dcb.ByteSize = static_cast<BYTE>(line->dataBits & 0xFF);
    dcb.StopBits = static_cast<BYTE>(line->stopBits & 0xFF);
    dcb.Parity = static_cast<BYTE>(line->parity & 0xFF);
    if (dcb.Parity != 0) dcb.fParity = 1;

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kPortReadTotalMs;
    // A write ends by its time-out even where the port stops taking bytes.
    timeouts.WriteTotalTimeoutMultiplier = PortWriteMsPerByte(line);
    timeouts.WriteTotalTimeoutConstant = kPortWriteSlackMs;
    if (!SetCommTimeouts(*handle, &timeouts)) return OpenFailed(PortOpenFailed, name, KivPortStepSettings, failure);

    // Bytes with parity errors are delivered as they came, not replaced.
    dcb.ErrorChar = kErrorChar;
    dcb.fErrorChar = 0;
    ApplyHandshakeOptions(options, &dcb);
    if (!SetCommState(*handle, &dcb)) return OpenFailed(PortSettingsFailed, name, KivPortStepSettings, failure);

    SetupComm(*handle, kPortQueueSize, kPortQueueSize);
    return PortOk;
}

int PortClose(HANDLE handle) {
    return CloseHandle(handle) ? PortOk : PortIoFailed;
}

int PortSetReadInterval(HANDLE handle, int tensOfMs) {
    COMMTIMEOUTS timeouts;
    DWORD previous = 0;
    // No time-out beyond about 24 days (what the tick count can measure).
    const int kLongestTens = 0x7FFFFFFF / 10;
    DWORD wanted = static_cast<DWORD>(tensOfMs < 0 ? 0 : (tensOfMs > kLongestTens ? kLongestTens : tensOfMs)) * 10;
    bool done = GetCommTimeouts(handle, &timeouts) != 0;
    if (done) previous = timeouts.ReadTotalTimeoutConstant;
    if (done && wanted != previous) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        done = SetCommTimeouts(handle, &timeouts) != 0;
    }
    if (!done) {
        PortNoteFailure(handle);
        return 0;
    }
    return static_cast<int>(previous / 10);
}

// Reads the input away in 512-byte pieces, each waiting 50 ms at most, until
// a read comes back short: the queue is then empty. Further reads start only
// within the purge's first 10 ms, so a line that floods faster than a read
// empties it (a fast line, a network flood) holds the purge no longer.
int PortPurgeInput(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(handle, &errors, &status)) {
        if (status.cbInQue == 0) return 0;
    } else {
        PortNoteFailure(handle);
    }

    const DWORD began = GetTickCount();
    int previous = PortSetReadInterval(handle, kPurgeReadTimeout);
    uint8_t scratch[kPurgeChunk];
    BOOL readOk;
    DWORD got;
    do {
        got = 0;
        readOk = ReadFile(handle, scratch, kPurgeChunk, &got, nullptr);
    } while (readOk && got == kPurgeChunk && GetTickCount() - began < kPurgeReadOnMs);
    if (!readOk) PortNoteFailure(handle);
    // A previous time-out under 10 ms reads as 0 and stays at 50 ms.
    if (previous != 0) PortSetReadInterval(handle, previous);
    return readOk ? 0 : 1;
}

int PortWrite(HANDLE handle, const uint8_t* buffer, uint32_t count, uint32_t* written) {
    DWORD done = 0;
    if (!WriteFile(handle, buffer, count, &done, nullptr)) {
        PortNoteFailure(handle);
        return PortIoFailed;
    }
    if (written != nullptr) *written = static_cast<uint32_t>(done);
    return done == count ? PortOk : PortShortWrite;
}

// Each read waits at most the port's read time-out: a silent line ends the
// loop after one time-out. A sender that keeps sending is read on only while
// the deadline (when given) allows.
int PortReadExact(HANDLE handle, uint8_t* buffer, uint32_t count, uint32_t* total, LineDeadline* deadline) {
    uint32_t sum = 0;
    if (total != nullptr) *total = 0;
    for (;;) {
        // The request is a 16-bit count: counts above 65535 are never asked for.
        uint16_t ask = static_cast<uint16_t>(count - sum);
        DWORD got = 0;
        if (!ReadFile(handle, buffer + sum, ask, &got, nullptr)) {
            PortNoteFailure(handle);
            return PortIoFailed;
        }
        if (got == 0) return PortIoFailed;
        sum += static_cast<uint32_t>(got);
        if (total != nullptr) *total = sum;
        if (sum >= count) return PortOk;
        // The read waited its time-out for fewer bytes than asked: a slow
        // or noisy line. Another read only while the deadline allows.
        if (deadline != nullptr && !PortFitReadToDeadline(handle, deadline)) {
            deadline->timeUp = 1;
            return PortTimeUp;
        }
    }
}

int PortFitReadToDeadline(HANDLE handle, LineDeadline* deadline) {
    const DWORD left = LineDeadlineLeft(deadline);
    if (left == 0) return 0;
    if (left < deadline->readMs && SetReadTotal(handle, left)) deadline->shortened = 1;
    return 1;
}

void PortRestoreReadTimeout(HANDLE handle, LineDeadline* deadline) {
    SetReadTotal(handle, deadline->readMs);
    deadline->shortened = 0;
}

// Unlike the purge, waits even when nothing is queued yet: an answer that is
// late or repeated is still on its way. Each read waits the port's own read
// time-out (at least as long as a purge read), so the line counts as quiet
// when a reception would have given up on it; a line that never falls quiet
// is read no longer than limitMs.
uint32_t PortWaitQuiet(HANDLE handle, uint32_t limitMs, int* quiet) {
    *quiet = 0;
    COMMTIMEOUTS saved;
    if (!GetCommTimeouts(handle, &saved)) return 0;
    COMMTIMEOUTS wait = saved;
    wait.ReadIntervalTimeout = 0;
    wait.ReadTotalTimeoutMultiplier = 0;
    const DWORD least = static_cast<DWORD>(kPurgeReadTimeout) * 10;
    if (wait.ReadTotalTimeoutConstant < least) wait.ReadTotalTimeoutConstant = least;
    const bool changed = std::memcmp(&wait, &saved, sizeof wait) != 0;
    if (changed && !SetCommTimeouts(handle, &wait)) return 0;

    // The last read waits only for what is left of the time.
    LineDeadline deadline = LineDeadlineFromNow(limitMs, wait.ReadTotalTimeoutConstant);
    uint8_t scratch[kPurgeChunk];
    uint32_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, scratch, kPurgeChunk, &got, nullptr)) {
            PortNoteFailure(handle);
            break;
        }
        if (got == 0) {
            *quiet = 1;
            break;
        }
        total += static_cast<uint32_t>(got);
        if (!PortFitReadToDeadline(handle, &deadline)) break;
    }
    if (changed || deadline.shortened) SetCommTimeouts(handle, &saved);
    return total;
}

uint32_t PortInputWaiting(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (ClearCommError(handle, &errors, &status)) return status.cbInQue;
    PortNoteFailure(handle);
    return 0;
}

// Win32 values, the same on every target.
namespace {
constexpr DWORD kGoneErrors[] = {
    5,     // ERROR_ACCESS_DENIED: a serial driver's answer on a handle whose device was removed
    6,     // ERROR_INVALID_HANDLE: the handle no longer names an open device
    21,    // ERROR_NOT_READY: the device does not answer (wine, a hung-up pseudo-terminal)
    22,    // ERROR_BAD_COMMAND: the device no longer takes requests (USB adapter pulled)
    64,    // ERROR_NETNAME_DELETED: a network port's connection is gone
    1117,  // ERROR_IO_DEVICE: the device failed (hang-up, dropped network line)
    1167,  // ERROR_DEVICE_NOT_CONNECTED
    1617,  // ERROR_DEVICE_REMOVED
};
}  // namespace

int PortErrorMeansGone(DWORD error) {
    for (DWORD gone : kGoneErrors)
        if (error == gone) return 1;
    return 0;
}

void PortNoteFailure(HANDLE handle) {
    const DWORD error = GetLastError();
    if (!PortErrorMeansGone(error)) return;
    SetGone(handle, error);
}

DWORD PortTakeGoneError(HANDLE handle) {
    const HANDLE gone = GoneHandle();
    if (gone == nullptr) return 0;  // the usual case: nothing to take or clear
    const DWORD error = gone == handle ? GoneError() : 0;
    SetGone(nullptr, 0);
    return error;
}

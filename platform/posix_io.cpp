// The byte paths of the POSIX stand-in: ReadFile through the port's input
// buffer, WriteFile, ClearCommError's queue counts, and the port wait that
// the blocking calls share.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix_deadline.h"
#include "platform/posix_errors.h"
#include "platform/posix_handles.h"
#include "platform/posix_network.h"
#include "platform/posix_syscalls.h"

using namespace kivposix;

namespace {

constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// The shorter of two waits (-1: without end).
int ShorterWait(int a, int b) {
    if (a < 0) return b;
    return b >= 0 && b < a ? b : a;
}

// Waits for the port's descriptor (events) or the close signal until the
// first of the deadlines. Returns 1 when the descriptor is ready, 2 when it
// reports a hang-up or error instead, 0 at a deadline, -1 when the port is
// being closed.
int WaitForPort(const PortSlot& port, short events, Deadline* deadline, Deadline* other = nullptr) {
    for (;;) {
        int timeout = deadline->PollTimeout();
        if (other != nullptr) timeout = ShorterWait(timeout, other->PollTimeout());
        if (timeout == 0) return 0;
        struct pollfd waits[2] = {{port.fd, events, 0}, {port.wakeRead, POLLIN, 0}};
        int ready = SysPoll(waits, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return 2;
        }
        if (waits[1].revents != 0) return -1;
        if (waits[0].revents & events) return 1;
        if (waits[0].revents != 0) return 2;
    }
}

// How a read ends, from the port's time-outs (see ReadFile).
struct ReadPlan {
    bool atOnce;         // what is there, at once
    bool firstBytesEnd;  // the first bytes that come end the read
    int64_t interval;    // ms allowed after the latest bytes; 0: no limit
    int64_t total;       // ms for the whole call; 0: no limit
};

ReadPlan PlanRead(const TimeoutCell& t, DWORD count) {
    const DWORD interval = t.readInterval.load(std::memory_order_relaxed);
    const DWORD multiplier = t.readMultiplier.load(std::memory_order_relaxed);
    const DWORD constant = t.readConstant.load(std::memory_order_relaxed);
    ReadPlan plan;
    plan.atOnce = interval == kMaxDword && multiplier == 0 && constant == 0;
    plan.firstBytesEnd = interval == kMaxDword && multiplier == kMaxDword;
    plan.interval = (interval == 0 || interval == kMaxDword) ? 0 : interval;
    plan.total = plan.firstBytesEnd ? constant : static_cast<int64_t>(multiplier) * count + constant;
    return plan;
}

// One read() of the device for a caller that wants `want` more bytes: of
// whatever is waiting, into the input buffer (empty here), handing the
// caller its part; a want the buffer could not hold goes straight to out.
// The read() result otherwise: 0 at the end of a file, -1 with errno.
long ReadDevice(PortSlot& port, uint8_t* out, DWORD want) {
    InputBuffer& in = port.input;
    const DWORD room = want >= kInputCapacity ? want : kInputCapacity;
    long n = ReadSome(port, want >= kInputCapacity ? out : in.bytes, room);
    if (n <= 0) return n;
    // A read that did not fill what it offered emptied the device's queue.
    in.drained.store(static_cast<DWORD>(n) < room, std::memory_order_relaxed);
    if (want >= kInputCapacity) return n;
    in.head.store(0, std::memory_order_relaxed);
    in.tail.store(static_cast<uint16_t>(n), std::memory_order_relaxed);
    return static_cast<long>(TakeInput(in, out, want));
}

// The start of a ReadFile or WriteFile: the count it reports is 0 until
// bytes move; overlapped I/O and a missing buffer are refused.
bool TransferAllowed(const void* buffer, DWORD count, DWORD* done, const void* overlapped) {
    if (done != nullptr) *done = 0;
    if (overlapped == nullptr && (buffer != nullptr || count == 0)) return true;
    return Failed(ERROR_INVALID_PARAMETER, false);
}

// The end of a ReadFile or WriteFile: the bytes moved, and the error when
// it failed.
BOOL EndTransfer(DWORD moved, DWORD* done, DWORD error) {
    if (done != nullptr) *done = moved;
    if (error == ERROR_SUCCESS) return TRUE;
    return Failed(error, FALSE);
}

}  // namespace

namespace kivposix {

DWORD TakeInput(InputBuffer& in, uint8_t* out, DWORD count) {
    uint16_t head = in.head.load(std::memory_order_relaxed);
    DWORD held = static_cast<DWORD>(in.tail.load(std::memory_order_relaxed) - head);
    DWORD taken = count < held ? count : held;
    if (taken == 0) return 0;
    std::memcpy(out, in.bytes + head, taken);
    in.head.store(static_cast<uint16_t>(head + taken), std::memory_order_relaxed);
    return taken;
}

void ClearInput(InputBuffer& in) {
    in.head.store(0, std::memory_order_relaxed);
    in.tail.store(0, std::memory_order_relaxed);
    in.drained.store(false, std::memory_order_relaxed);
}

}  // namespace kivposix

extern "C" {

// Reports no line errors (termios keeps none to clear), the bytes waiting
// (the input buffer's and the device's) and the bytes a write in progress
// has still to hand over, as Win32 counts its output queue.
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat) {
    SlotHold hold(handle, true);
    if (hold.port == nullptr) return FALSE;
    PortSlot& port = *hold.port;
    int waiting = 0;
    if (port.net != nullptr) {
        DWORD count = 0;
        DWORD error = NetInputWaiting(port.net, &count);
        if (error != ERROR_SUCCESS) return Failed(error, FALSE);
        waiting = static_cast<int>(count);
    } else if (ioctl(port.fd, FIONREAD, &waiting) != 0) {
        return Failed(ErrorFromErrno(errno), FALSE);
    }
    port.input.drained.store(waiting == 0, std::memory_order_relaxed);
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = BufferedInput(port.input) + static_cast<DWORD>(waiting);
        stat->cbOutQue = port.outgoing.load(std::memory_order_relaxed);
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
// Bytes come from the input buffer first; the device is read once for
// whatever it holds, and waited for first when the last look found it empty.
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* read, void* overlapped) {
    if (!TransferAllowed(buffer, count, read, overlapped)) return FALSE;
    SlotHold hold(handle, false);
    if (hold.port == nullptr) return FALSE;
    PortSlot& port = *hold.port;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    DWORD got = TakeInput(port.input, bytes, count);
    DWORD error = ERROR_SUCCESS;
    if (got < count) {
        const ReadPlan plan = PlanRead(port.timeouts, count);
        Deadline total = Deadline::In(plan.total);
        Deadline intervalEnd = got > 0 ? Deadline::After(plan.interval) : Deadline{};
        bool hungUp = false;
        while (got < count) {
            // A network line may hold decoded bytes that its socket no longer
            // signals (taken in while it answered a modem-state query): read first.
            if (!port.input.drained.load(std::memory_order_relaxed) || plan.atOnce || plan.firstBytesEnd ||
                port.net != nullptr) {
                long n = ReadDevice(port, bytes + got, count - got);
                if (n > 0) {
                    got += static_cast<DWORD>(n);
                    if (plan.firstBytesEnd) break;
                    intervalEnd = Deadline::After(plan.interval);
                    continue;
                }
                if (n == 0) {
                    // End of file: the null device's, or a terminal's hang-up
                    // (its other end closed, its adapter gone).
                    if (port.terminal && got == 0) error = ERROR_IO_DEVICE;
                    break;
                }
                if (errno == EINTR) continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    if (got == 0) error = ErrorFromErrno(errno);  // else the next read reports it
                    break;
                }
                port.input.drained.store(true, std::memory_order_relaxed);
                if (hungUp) {
                    if (got == 0) error = ERROR_IO_DEVICE;
                    break;
                }
                if (plan.atOnce || (plan.firstBytesEnd && got > 0)) break;
            }
            // A network line's output still holding bytes (the rest of the
            // request) is sent while the read waits.
            short events = POLLIN;
            if (port.net != nullptr && NetOutputWaiting(port.net) > 0) events |= POLLOUT;
            int waited = WaitForPort(port, events, &total, &intervalEnd);
            if (waited == 0) break;
            if (waited < 0) {
                error = kErrorOperationAborted;
                break;
            }
            hungUp = waited == 2;
            port.input.drained.store(false, std::memory_order_relaxed);
        }
    }
    return EndTransfer(got, read, error);
}

// Writes all count bytes, waiting while the device is full, unless the
// write time-out (multiplier * count + constant; none when both are 0)
// runs out: then success with fewer bytes. FALSE when the write failed
// (*written tells what went before) or the port was closed meanwhile.
BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* written, void* overlapped) {
    if (!TransferAllowed(buffer, count, written, overlapped)) return FALSE;
    SlotHold hold(handle, false);
    if (hold.port == nullptr) return FALSE;
    PortSlot& port = *hold.port;
    Deadline deadline = Deadline::In(
        static_cast<int64_t>(port.timeouts.writeMultiplier.load(std::memory_order_relaxed)) * count +
        port.timeouts.writeConstant.load(std::memory_order_relaxed));
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    DWORD sent = 0;
    DWORD error = ERROR_SUCCESS;
    bool hungUp = false;
    bool waitedForRoom = false;
    // Each of the driver's transmissions begins with a purge of its input:
    // the device server is asked to drop what it holds for us as well. Its
    // message waits for room as the data does, within the write time-out.
    bool purge = port.net != nullptr && port.net->kind == NetLineRfc2217;
    while (sent < count || purge) {
        long n;
        if (purge) {
            if (NetPurge(port.net, kPurgeReceive)) {
                purge = false;
                continue;
            }
            n = -1;  // errno says why
        } else {
            n = WriteSome(port, bytes + sent, count - sent);
        }
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
        port.outgoing.store(count - sent, std::memory_order_relaxed);
        waitedForRoom = true;
        int waited = WaitForPort(port, POLLOUT, &deadline);
        if (waited == 0) break;
        if (waited < 0) {
            error = kErrorOperationAborted;
            break;
        }
        hungUp = waited == 2;
    }
    if (waitedForRoom) port.outgoing.store(0, std::memory_order_relaxed);
    return EndTransfer(sent, written, error);
}

}  // extern "C"

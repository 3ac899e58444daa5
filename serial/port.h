// The port layer: six calls over the platform's serial functions. It keeps no
// state; every call takes the handle and returns a small result code.
#pragma once

#include <cstdint>

#include "kivlink.h"
#include "platform/platform.h"
#include "serial/line_deadline.h"

// Result codes of the port layer.
enum : int {
    PortOk = 0,            // success
    PortOpenFailed = 1,    // the open, or setting the time-outs, failed
    PortShortWrite = 2,    // fewer bytes were written than asked for
    PortStateFailed = 4,   // reading the port's state failed; the port was closed again
    PortSettingsFailed = 5,  // applying the line settings failed
    PortIoFailed = 7,      // write, read or close failed, or a read returned nothing
    PortTimeUp = 8,        // the deadline passed while bytes were still coming
};

constexpr uint32_t kPortQueueSize = 2500;      // driver queues, each way
constexpr uint32_t kPortReadTotalMs = 1000;    // read total constant set at open
// The write time-out set at open: this much beyond a millisecond or more
// per character at the line's rate, so that a port that stops taking bytes
// (flow control held, a peer that no longer reads) cannot hold a write.
constexpr uint32_t kPortWriteSlackMs = 20;
// The longest a purge lasts: further reads start only within its first
// 10 ms, and each waits at most 50 ms.
constexpr uint32_t kPortPurgeBoundMs = 60;

// Bits one character takes on the line: start, data, parity, stop (one and a
// half counted as two). Data bits outside 5..8 count as 8.
inline uint32_t LineCharacterBits(const LineSettings* line) {
    const uint32_t data = line->dataBits & 0xFF;
    const uint32_t stop = (line->stopBits & 0xFF) == 0 ? 1 : 2;
    const uint32_t parity = (line->parity & 0xFF) != 0 ? 1 : 0;
    return 1 + (data >= 5 && data <= 8 ? data : 8) + parity + stop;
}
// The line's rate for timing: a baud rate below 110 counts as 110.
inline uint32_t LineBaudForTiming(const LineSettings* line) {
    return line->baudRate < 110 ? 110u : line->baudRate;
}
// Milliseconds that count characters take on the line, rounded up.
inline uint32_t LineBytesMs(const LineSettings* line, uint32_t count) {
    const uint32_t baud = LineBaudForTiming(line);
    const uint64_t bits = static_cast<uint64_t>(count) * LineCharacterBits(line) * 1000u;
    return static_cast<uint32_t>((bits + baud - 1) / baud);
}
// The write time-out's milliseconds per character that PortOpen sets.
inline uint32_t PortWriteMsPerByte(const LineSettings* line) { return LineBytesMs(line, 1); }

// Opens the named port and, when the low 16 bits of options are non-zero,
// applies the line settings, time-outs, handshake bits and queue sizes.
// The handle goes to *handle at once, whatever follows; on 1 (time-outs) or
// 5 (settings) the caller owns an open handle and must close it. On any
// failure *failure (when given) says why, as the platform tells it.
int PortOpen(const char* name, const LineSettings* line, uint32_t options, HANDLE* handle,
             KivPortFailureReport* failure = nullptr);
// 0, or 7 when the close failed.
int PortClose(HANDLE handle);
// Sets the read total time-out to tenths*10 ms; returns the previous one in
// tens of ms, or 0 when the time-outs could not be read or written.
int PortSetReadInterval(HANDLE handle, int tensOfMs);
// Throws away pending input, for at most kPortPurgeBoundMs; returns 1 when its
// last read failed, else 0.
int PortPurgeInput(HANDLE handle);
// One write of the whole buffer: 0, 2 (short, *written tells) or 7.
int PortWrite(HANDLE handle, const uint8_t* buffer, uint32_t count, uint32_t* written);
// Reads exactly count bytes: 0, or 7 when a read failed or returned nothing.
// With a deadline, a read that waited its time-out for fewer bytes than
// asked is followed by another only while the deadline allows, cut to the
// time left: 8 (and the deadline marked timeUp) once it has passed. A read
// that got every byte asked for never looks at the clock.
int PortReadExact(HANDLE handle, uint8_t* buffer, uint32_t count, uint32_t* total,
                  LineDeadline* deadline = nullptr);
// Before a read under the deadline: 0 once it has passed; else 1, with the
// port's read time-out cut to the time left when that is shorter.
int PortFitReadToDeadline(HANDLE handle, LineDeadline* deadline);
// Puts back the port's own read time-out if the deadline cut it.
void PortRestoreReadTimeout(HANDLE handle, LineDeadline* deadline);
// Reads input away until a read time-out (at least 50 ms) passes without a
// byte or limitMs have passed; returns how many bytes were thrown away, and
// in *quiet 1 when the line fell quiet.
uint32_t PortWaitQuiet(HANDLE handle, uint32_t limitMs, int* quiet);
// Bytes waiting in the input queue; 0 when none wait or the query failed.
uint32_t PortInputWaiting(HANDLE handle);

// ---- A device that is gone ----
// 1 when the system error of a failed port call says that the device behind
// the port is gone: pulled out, its connection lost, its handle no longer
// valid. 0 for what a later call may clear: line errors (framing, parity,
// a break, an overrun), a read aborted until ClearCommError, a time-out.
int PortErrorMeansGone(DWORD error);
// Every port call above that fails passes its last error here; the port
// layer, and the radio keying after its own calls, do so. An error that
// means the device is gone is kept for this thread, with the handle.
void PortNoteFailure(HANDLE handle);
// The error with which this thread's calls on handle last found its device
// gone, or 0; forgets whatever was kept, for any handle.
DWORD PortTakeGoneError(HANDLE handle);

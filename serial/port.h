// The port layer: six calls over the platform's serial functions. It keeps no
// state; every call takes the handle and returns a small result code.
#pragma once

#include <cstdint>

#include "kivlink.h"
#include "platform/platform.h"

// Result codes of the port layer.
enum : int {
    PortOk = 0,            // success
    PortOpenFailed = 1,    // the open, or setting the time-outs, failed
    PortShortWrite = 2,    // fewer bytes were written than asked for
    PortStateFailed = 4,   // reading the port's state failed; the port was closed again
    PortSettingsFailed = 5,  // applying the line settings failed
    PortIoFailed = 7,      // write, read or close failed, or a read returned nothing
};

constexpr uint32_t kPortQueueSize = 2500;      // driver queues, each way
constexpr uint32_t kPortReadTotalMs = 1000;    // read total constant set at open

// Opens the named port and, when the low 16 bits of options are non-zero,
// applies the line settings, time-outs, handshake bits and queue sizes.
// The handle goes to *handle at once, whatever follows; on 1 (time-outs) or
// 5 (settings) the caller owns an open handle and must close it.
int PortOpen(const char* name, const LineSettings* line, uint32_t options, HANDLE* handle);
// 0, or 7 when the close failed.
int PortClose(HANDLE handle);
// Sets the read total time-out to tenths*10 ms; returns the previous one in
// tens of ms, or 0 when the time-outs could not be read or written.
int PortSetReadInterval(HANDLE handle, int tensOfMs);
// Throws away pending input; returns 1 when its last read failed, else 0.
int PortPurgeInput(HANDLE handle);
// One write of the whole buffer: 0, 2 (short, *written tells) or 7.
int PortWrite(HANDLE handle, const uint8_t* buffer, uint32_t count, uint32_t* written);
// Reads exactly count bytes: 0, or 7 when a read failed or returned nothing.
int PortReadExact(HANDLE handle, uint8_t* buffer, uint32_t count, uint32_t* total);
// Reads input away until one read time-out passes without a byte (at most
// kPortQuietLimit bytes); returns how many bytes were thrown away.
constexpr uint32_t kPortQuietLimit = 2 * kPortQueueSize;
uint32_t PortWaitQuiet(HANDLE handle);
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

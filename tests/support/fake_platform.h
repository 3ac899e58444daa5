// A fake of the platform layer for tests: virtual time (Sleep advances a
// clock instead of sleeping), recorded calls, a settable local time, thread
// starts that are recorded (and run only when asked), and scripted serial ports (input
// queue, recorded writes, RTS, a carrier-detect line, failing calls).
//
// Ports. CreateFileA of any name opens a new fake port unless a failure is
// scripted. ReadFile behaves like a Win32 read with a total time-out: it
// returns once the requested bytes have arrived or the read total constant
// has passed, advancing virtual time to that moment; bytes queued with a
// later arrival time show up only once virtual time reaches them. With all
// time-outs 0 it takes whatever is queued and never waits.
//
// Functions that take a port use the most recently opened one when given
// nullptr. Everything is guarded by one lock; callbacks (responder, carrier,
// sleep hook) run outside it and may call back into this interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Everything back to the start: clock 0, no ports, no calls, no hooks, no
// scripted failures, port defaults restored.
void Reset();

// Virtual milliseconds passed so far (by Sleep and by reads that waited).
uint64_t Now();
// Called after every Sleep with the new virtual time.
void SetSleepHook(std::function<void(uint64_t now)> hook);
// Number of Sleep calls since Reset.
uint64_t SleepCount();
// Makes every Sleep last whole ticks of this many microseconds, at least one
// (Windows' default timer gives 15625: a Sleep(1) lasts about 15.6 ms);
// 0, the default, makes Sleep(n) last exactly n ms.
void SetSleepTick(uint64_t micros);
// GetTickCount returns this value plus the virtual time (wrapping at 2^32);
// 0 by default.
void SetTickCountStart(DWORD start);

void SetLocalTime(const SYSTEMTIME& time);

struct ThreadStart {
    ThreadBody start;
    unsigned stackSize;
    void* argument;
};
// Thread starts since Reset. They run only while RunThreads is on; a start
// that did not run counts as ended for AwaitThreadEnd.
std::vector<ThreadStart> ThreadStarts();
// Makes the next thread starts fail (return 0) while on.
void FailThreadStarts(bool on);
// Thread starts from now on really run their body on a thread (off after Reset).
void RunThreads(bool on);

// ---- Serial ports ----

// The platform calls that can be made to fail.
enum class Fn {
    CreateFile,
    Close,
    GetCommState,
    SetCommState,
    GetCommTimeouts,
    SetCommTimeouts,
    SetupComm,
    ClearCommError,
    ReadFile,
    WriteFile,
    EscapeComm,
    ModemStatus,
};

// Makes calls number first .. first+count-1 of fn (counted from 1 since
// Reset, over all ports) fail; count < 0 fails every call from first on.
// A failed call sets the last error to error and returns FALSE
// (CreateFileA: INVALID_HANDLE_VALUE).
void FailCall(Fn fn, int first, int count = 1, DWORD error = ERROR_GEN_FAILURE);
// Ends every scripted failure (the counts go on).
void StopFailing();
// Number of calls of fn since Reset, failed ones included.
int CallCount(Fn fn);
// CreateFileA of exactly this name fails with ERROR_FILE_NOT_FOUND.
void RefuseName(const std::string& name);

// State a newly opened port starts with (defaults: 9600 8N1, DTR and RTS
// enabled, read total constant 1000 ms and all other time-outs 0).
void SetPortDefaults(const DCB& dcb, const COMMTIMEOUTS& timeouts);

// Opens a fake port directly, as CreateFileA would, and returns its handle.
HANDLE OpenPort(const char* name = "COM1");
// The port's name, state and whether it is still open.
std::string PortName(HANDLE port = nullptr);
DCB PortDcb(HANDLE port = nullptr);
COMMTIMEOUTS PortTimeouts(HANDLE port = nullptr);
DWORD PortQueueSizes(HANDLE port = nullptr, DWORD* outQueue = nullptr);  // input size; 0 before SetupComm
bool PortIsOpen(HANDLE port = nullptr);
// Number of ports opened since Reset.
int PortCount();

// Bytes that arrive delayMs after now (0: available at once).
void QueueInput(const std::vector<uint8_t>& bytes, uint64_t delayMs = 0, HANDLE port = nullptr);
// Bytes that arrive at virtual time atMs.
void QueueInputAt(const std::vector<uint8_t>& bytes, uint64_t atMs, HANDLE port = nullptr);
// Bytes still queued, arrived or not.
size_t PendingInput(HANDLE port = nullptr);

struct Written {
    uint64_t at;                // virtual time of the write
    std::vector<uint8_t> bytes; // what the port took (after any limit)
};
// Every successful write since Reset, in order.
std::vector<Written> Writes(HANDLE port = nullptr);
// Writes take at most this many bytes each (< 0: no limit).
void LimitWrites(int maxBytes, HANDLE port = nullptr);

// Called after each successful write with the bytes taken, typically to
// queue a unit's answer with QueueInput.
using Responder = std::function<void(HANDLE port, const std::vector<uint8_t>& written)>;
void SetResponder(Responder responder);

// The carrier-detect line as a function of virtual time (default: no carrier).
void SetCarrier(std::function<bool(uint64_t now)> line, HANDLE port = nullptr);
// The RTS line as last set (ports start with it low).
bool RtsIsOn(HANDLE port = nullptr);

// The call log, one entry per platform call (all ports), in order:
// "Open NAME", "Close", "GetCommState", "SetCommState", "GetCommTimeouts",
// "SetCommTimeouts C" (read total constant), "SetupComm I O",
// "ClearCommError", "Read N got M" (asked, taken), "Write N", "RTS on",
// "RTS off", "DTR on", "DTR off", "ModemStatus", "Sleep N". A failed call
// is logged with " failed" appended.
std::vector<std::string> Calls();
// The log without the entries for which skip returns true.
std::vector<std::string> CallsWithout(const std::function<bool(const std::string&)>& skip);
void ClearCalls();

}  // namespace fake

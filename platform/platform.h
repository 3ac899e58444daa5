// The platform calls the driver is written against: the Win32 serial, thread
// and time functions. On Windows they are the real ones; elsewhere (and in
// builds that link a fake platform) our own declarations of the same names.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(KIV_OWN_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <process.h>
// The print spooler's SetPort macro would rename our command handler.
#ifdef SetPort
#undef SetPort
#endif
#else
#include "platform/win32_names.h"
#endif

// The channel block keeps a port handle in 32 bits; 0 is never an open port.
inline uint32_t HandleToField(HANDLE handle) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}
inline HANDLE FieldToHandle(uint32_t field) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(field));
}

// Threads the driver starts and later waits for (the channel listeners). The
// body's calling convention is the one the Windows C runtime's thread start
// takes, so that no start record is needed.
#if defined(_WIN32)
#define KIV_THREAD_CALL __stdcall
#else
#define KIV_THREAD_CALL
#endif
typedef unsigned(KIV_THREAD_CALL* ThreadBody)(void* argument);

// Starts body(argument) on a new thread with at least stackSize bytes of
// stack. Returns the thread's handle, or 0 when no thread could be started.
uintptr_t StartThread(ThreadBody body, unsigned stackSize, void* argument);
// Waits up to milliseconds for the thread to end. 1 once it has ended (its
// handle is given back then and must not be used again); 0 when it still
// runs (the handle stays valid for another wait).
int AwaitThreadEnd(uintptr_t thread, uint32_t milliseconds);

// Values the driver keeps per thread. On Windows they live in TLS slots that
// the DLL takes at load and gives back at unload (compiler-managed thread
// storage would bring in a thread library that needs a newer Windows).
enum ThreadValueSlot {
    ThreadValueChannel,          // the channel block this thread works for
    ThreadValueCarrierFailures,  // failed carrier queries not yet reported
    ThreadValueStampLogged,      // 1 once this fetch logged an impossible time stamp
    ThreadValueStateFound,       // the side-table entry found last
    ThreadValueGoneHandle,       // the port whose device-gone failure is not yet taken
    ThreadValueGoneError,        // and that failure's error code
    ThreadValueYieldsLine,       // 1 on a listener: it lets waiting host commands in between exchanges
    ThreadValueSlots
};
// The slot's value on the calling thread: 0 until set. Leaves the thread's
// last error as it was. SetThreadValue returns 1 once set; 0 when the
// platform has no storage for it. Elsewhere than on Windows the values are a
// __thread array (never initialised at run time), read and written in place:
// the request path reads them several times per exchange.
#if defined(_WIN32)
uintptr_t ThreadValue(int slot);
int SetThreadValue(int slot, uintptr_t value);
#if !defined(KIV_OWN_WIN32)
// A TLS slot's value on the calling thread (TlsGetValue), leaving the
// thread's last error as it was.
uintptr_t TlsSlotValue(DWORD index);
#endif
#else
#if defined(__GNUC__)
#define KIV_THREAD_VALUES_LOCAL __thread
#else
#define KIV_THREAD_VALUES_LOCAL thread_local
#endif
extern KIV_THREAD_VALUES_LOCAL uintptr_t kivThreadValues[ThreadValueSlots];
inline uintptr_t ThreadValue(int slot) { return kivThreadValues[slot]; }
inline int SetThreadValue(int slot, uintptr_t value) {
    kivThreadValues[slot] = value;
    return 1;
}
#endif

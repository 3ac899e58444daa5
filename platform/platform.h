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

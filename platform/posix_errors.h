// The POSIX stand-in's last error: the calling thread's Win32 error code and
// the Win32 codes for errno values.
#pragma once

#include "kivlink.h"
#include "platform/win32_names.h"

namespace kivposix {

// Win32 values that the shared declarations do not name.
constexpr DWORD kErrorInvalidFunction = 1;
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorFilenameTooLong = 206;
constexpr DWORD kErrorOperationAborted = 995;
constexpr DWORD kErrorDeviceNotConnected = 1167;

// Sets the calling thread's last error.
void Fail(DWORD code);
// Sets the last error and gives back what the failed call returns (FALSE,
// false, INVALID_HANDLE_VALUE), so that a failure is one statement.
template <typename Result>
Result Failed(DWORD code, Result result) {
    Fail(code);
    return result;
}

// The Win32 code closest to an errno value of a call on an open device:
// one whose device went away (EIO, ENXIO, ENODEV, a dropped connection)
// gives a code that says so. Opening maps a missing device itself.
DWORD ErrorFromErrno(int error);

// What this thread's last CreateFileA of a port stood for and, when it
// failed, at which step (a KivPortStep) with which errno (getaddrinfo's
// result for a host name not found): what DescribePortFailure reports.
// NoteOpenDevice starts the note of an open afresh.
void NoteOpenDevice(const char* device);
void NoteOpenFailure(int32_t step, int code);

}  // namespace kivposix

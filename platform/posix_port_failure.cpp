// Why a port did not open under the POSIX stand-in: what its CreateFileA
// noted (the device path or network address, the step and errno), or for a
// set-up call that failed, the errno behind the last error.
#include <cerrno>
#include <cstdio>

#include "platform/port_failure.h"
#include "platform/posix_errors.h"

namespace kivposix {
namespace {

struct OpenNote {
    int32_t step;  // KivPortStepNone while the open went well
    int32_t code;
    char device[sizeof(KivPortFailureReport{}.device)];
};
thread_local OpenNote openNote;

// The errno a Win32 code of the stand-in stands for, where a set-up call
// kept only that code.
int ErrnoOfError(DWORD error) {
    switch (error) {
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case kErrorInvalidFunction: return ENOTTY;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_FILE_NOT_FOUND: return ENOENT;
    case kErrorDeviceNotConnected: return ENXIO;
    case ERROR_NOT_SUPPORTED: return EOPNOTSUPP;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_INVALID_HANDLE: return EBADF;
    default: return EIO;
    }
}

}  // namespace

void NoteOpenDevice(const char* device) {
    std::snprintf(openNote.device, sizeof openNote.device, "%s", device);
    openNote.step = KivPortStepNone;
    openNote.code = 0;
}

void NoteOpenFailure(int32_t step, int code) {
    openNote.step = step;
    openNote.code = code;
}

}  // namespace kivposix

void DescribePortFailure(const char* name, int32_t step, KivPortFailureReport* report) {
    using kivposix::openNote;
    std::snprintf(report->device, sizeof report->device, "%s", openNote.device[0] != '\0' ? openNote.device : name);
    if (step == KivPortStepOpen && openNote.step != KivPortStepNone) {
        report->step = openNote.step;
        report->systemCode = openNote.code;
        return;
    }
    report->step = step;
    report->systemCode = kivposix::ErrnoOfError(GetLastError());
}

// The POSIX stand-in's last error: one Win32 code per thread, and the errno
// values each Win32 code stands for.
#include "platform/posix_errors.h"

#include <cerrno>

namespace kivposix {
namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

}  // namespace

void Fail(DWORD code) { lastError = code; }

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENXIO:
    case ENODEV:
        return kErrorDeviceNotConnected;
    case ENOTDIR:
        return kErrorPathNotFound;
    case ENAMETOOLONG:
        return kErrorFilenameTooLong;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case EBUSY:
    case EWOULDBLOCK:
    case EBADF:  // handles are checked first, so this is a wrong access mode
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
        return kErrorInvalidFunction;
    case EIO:
    // A network line whose connection dropped is a device gone, as a
    // serial adapter pulled out or a pseudo-terminal hung up.
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ENOTCONN:
    case ETIMEDOUT:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace kivposix

extern "C" {

// The calling thread's last error, as the failing call left it.
DWORD GetLastError(void) { return kivposix::lastError; }

void SetLastError(DWORD code) { kivposix::lastError = code; }

}  // extern "C"

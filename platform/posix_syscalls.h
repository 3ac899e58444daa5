// The system calls on a request's path (read, write, poll) made directly,
// without the C library's cancellation-point bookkeeping: nothing here ever
// cancels a thread, and that bookkeeping cost more instructions per Read
// than the calls themselves. Sanitizer builds keep the library's calls, so
// that their interceptors see every one.
#pragma once

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || !defined(SYS_poll)
#define KIV_LIBRARY_CALLS 1
#endif

namespace kivposix {

inline long SysRead(int fd, void* bytes, size_t count) {
#ifdef KIV_LIBRARY_CALLS
    return static_cast<long>(::read(fd, bytes, count));
#else
    return syscall(SYS_read, fd, bytes, count);
#endif
}

inline long SysWrite(int fd, const void* bytes, size_t count) {
#ifdef KIV_LIBRARY_CALLS
    return static_cast<long>(::write(fd, bytes, count));
#else
    return syscall(SYS_write, fd, bytes, count);
#endif
}

inline int SysPoll(struct pollfd* fds, nfds_t count, int timeout) {
#ifdef KIV_LIBRARY_CALLS
    return ::poll(fds, count, timeout);
#else
    return static_cast<int>(syscall(SYS_poll, fds, count, timeout));
#endif
}

}  // namespace kivposix

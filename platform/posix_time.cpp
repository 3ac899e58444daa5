// POSIX stand-ins for the Win32 time calls: Sleep, GetTickCount and GetLocalTime.
#include <sys/time.h>
#include <time.h>

#include <cerrno>

#include "platform/win32_names.h"

extern "C" void Sleep(DWORD milliseconds) {
    struct timespec wait;
    wait.tv_sec = milliseconds / 1000;
    wait.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// The monotonic clock in milliseconds, cut to 32 bits as Windows' count is:
// setting the wall clock never moves it.
extern "C" DWORD GetTickCount(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

extern "C" void GetLocalTime(SYSTEMTIME* time) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    time->wSecond = static_cast<WORD>(local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_usec / 1000);
}


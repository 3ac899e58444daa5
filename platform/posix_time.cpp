// POSIX stand-ins for the Win32 time and thread calls: Sleep, GetTickCount, GetLocalTime
// and the C runtime's _beginthread.
#include <pthread.h>
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

namespace {

struct ThreadStart {
    void (*start)(void*);
    void* argument;
};

void* RunThread(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.start(start.argument);
    return nullptr;
}

}  // namespace

// A detached thread with the asked stack size (raised to the system's
// minimum); -1 when none could be started.
extern "C" uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* argument) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return static_cast<uintptr_t>(-1);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        size_t size = stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize;
        pthread_attr_setstacksize(&attributes, size);
    }
    ThreadStart* startRecord = new ThreadStart{start, argument};
    pthread_t thread;
    int started = pthread_create(&thread, &attributes, RunThread, startRecord);
    pthread_attr_destroy(&attributes);
    if (started != 0) {
        delete startRecord;
        return static_cast<uintptr_t>(-1);
    }
    return static_cast<uintptr_t>(thread);
}

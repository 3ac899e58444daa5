// The fake platform: the same Win32 names as the POSIX stand-in, linked in
// its place by the unit tests.
#include "tests/support/fake_platform.h"

#include <atomic>
#include <mutex>

namespace {

std::mutex fakeMutex;
std::atomic<uint64_t> virtualNow{0};
std::atomic<uint64_t> sleeps{0};
std::function<void(uint64_t)> sleepHook;
SYSTEMTIME localTime{2026, 3, 0, 1, 14, 5, 9, 250};
std::vector<fake::ThreadStart> threadStarts;
bool failThreadStarts = false;

}  // namespace

namespace fake {

void Reset() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    virtualNow = 0;
    sleeps = 0;
    sleepHook = nullptr;
    localTime = SYSTEMTIME{2026, 3, 0, 1, 14, 5, 9, 250};
    threadStarts.clear();
    failThreadStarts = false;
}

uint64_t Now() { return virtualNow.load(); }
uint64_t SleepCount() { return sleeps.load(); }

void SetSleepHook(std::function<void(uint64_t)> hook) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    sleepHook = std::move(hook);
}

void SetLocalTime(const SYSTEMTIME& time) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    localTime = time;
}

std::vector<ThreadStart> ThreadStarts() {
    std::lock_guard<std::mutex> lock(fakeMutex);
    return threadStarts;
}

void FailThreadStarts(bool on) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    failThreadStarts = on;
}

}  // namespace fake

extern "C" void Sleep(DWORD milliseconds) {
    uint64_t now = virtualNow += milliseconds;
    ++sleeps;
    std::function<void(uint64_t)> hook;
    {
        std::lock_guard<std::mutex> lock(fakeMutex);
        hook = sleepHook;
    }
    if (hook) hook(now);
}

extern "C" void GetLocalTime(SYSTEMTIME* time) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    *time = localTime;
}

extern "C" uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* argument) {
    std::lock_guard<std::mutex> lock(fakeMutex);
    if (failThreadStarts) return static_cast<uintptr_t>(-1);
    threadStarts.push_back(fake::ThreadStart{start, stackSize, argument});
    return threadStarts.size();
}

// Serial calls: not scripted yet; every call fails.
extern "C" {
HANDLE CreateFileA(LPCSTR, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) { return INVALID_HANDLE_VALUE; }
BOOL CloseHandle(HANDLE) { return FALSE; }
BOOL GetCommState(HANDLE, DCB*) { return FALSE; }
BOOL SetCommState(HANDLE, DCB*) { return FALSE; }
BOOL GetCommTimeouts(HANDLE, COMMTIMEOUTS*) { return FALSE; }
BOOL SetCommTimeouts(HANDLE, COMMTIMEOUTS*) { return FALSE; }
BOOL SetupComm(HANDLE, DWORD, DWORD) { return FALSE; }
BOOL ClearCommError(HANDLE, DWORD*, COMSTAT*) { return FALSE; }
BOOL ReadFile(HANDLE, LPVOID, DWORD, DWORD*, void*) { return FALSE; }
BOOL WriteFile(HANDLE, LPCVOID, DWORD, DWORD*, void*) { return FALSE; }
DWORD GetLastError(void) { return 0; }
void SetLastError(DWORD) {}
BOOL EscapeCommFunction(HANDLE, DWORD) { return FALSE; }
BOOL GetCommModemStatus(HANDLE, DWORD*) { return FALSE; }
}

// Windows threads behind the driver's StartThread / AwaitThreadEnd: the C
// runtime's _beginthreadex, whose handle stays valid after the thread ends,
// so that the wait tells when the thread has left the driver's code for good
// (which is what lets a host unload the DLL after Close).
//
// The per-thread values sit in TLS slots taken when the DLL loads and given
// back when it unloads. Explicit slots work in a DLL loaded at run time on
// every Windows since XP, and need no thread library beside the C runtime.
#include <process.h>

#include "platform/platform.h"

namespace {

// Each slot's TLS index plus one: 0 while it has none.
DWORD threadSlots[ThreadValueSlots];

__attribute__((constructor)) void TakeThreadSlots() {
    for (DWORD& slot : threadSlots) {
        const DWORD index = TlsAlloc();
        slot = index == TLS_OUT_OF_INDEXES ? 0 : index + 1;
    }
}

__attribute__((destructor)) void GiveBackThreadSlots() {
    for (DWORD& slot : threadSlots) {
        if (slot != 0) TlsFree(slot - 1);
        slot = 0;
    }
}

}  // namespace

uintptr_t ThreadValue(int slot) {
    if (threadSlots[slot] == 0) return 0;
    // TlsGetValue clears the last error: the caller may be about to read it.
    const DWORD lastError = GetLastError();
    const uintptr_t value = reinterpret_cast<uintptr_t>(TlsGetValue(threadSlots[slot] - 1));
    SetLastError(lastError);
    return value;
}

int SetThreadValue(int slot, uintptr_t value) {
    if (threadSlots[slot] == 0) return 0;
    return TlsSetValue(threadSlots[slot] - 1, reinterpret_cast<void*>(value)) ? 1 : 0;
}

uintptr_t StartThread(ThreadBody body, unsigned stackSize, void* argument) {
    unsigned id = 0;
    return _beginthreadex(nullptr, stackSize, body, argument, 0, &id);
}

int AwaitThreadEnd(uintptr_t thread, uint32_t milliseconds) {
    if (thread == 0) return 1;
    HANDLE handle = reinterpret_cast<HANDLE>(thread);
    if (WaitForSingleObject(handle, milliseconds) != WAIT_OBJECT_0) return 0;
    CloseHandle(handle);
    return 1;
}

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

#include <winternl.h>

namespace {

// The TLS slots a thread's environment block holds in place (TEB TlsSlots);
// later ones are reached through TlsGetValue.
constexpr DWORD kTebTlsSlots = sizeof(static_cast<TEB*>(nullptr)->TlsSlots) / sizeof(void*);

// The calling thread's environment block. On 32-bit x86 its address is at
// fs:0x18 (NT_TIB.Self), read here directly: GCC takes the same read inside
// mingw's NtCurrentTeb for an access to address 0x18 and warns.
TEB* ThisThreadBlock() {
#if defined(__i386__)
    TEB* block;
    __asm__("movl %%fs:0x18, %0" : "=r"(block));
    return block;
#else
    return NtCurrentTeb();
#endif
}

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

uintptr_t TlsSlotValue(DWORD index) {
    // The first 64 TLS slots sit in the thread's own environment block, where
    // TlsGetValue reads them too: read in place, the value costs no call (the
    // current channel is read a few dozen times per request).
    if (index < kTebTlsSlots) return reinterpret_cast<uintptr_t>(ThisThreadBlock()->TlsSlots[index]);
    // TlsGetValue clears the last error: the caller may be about to read it.
    const DWORD lastError = GetLastError();
    const uintptr_t value = reinterpret_cast<uintptr_t>(TlsGetValue(index));
    SetLastError(lastError);
    return value;
}

uintptr_t ThreadValue(int slot) {
    const DWORD taken = threadSlots[slot];
    return taken == 0 ? 0 : TlsSlotValue(taken - 1);
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

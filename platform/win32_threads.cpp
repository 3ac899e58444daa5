// Windows threads behind the driver's StartThread / AwaitThreadEnd: the C
// runtime's _beginthreadex, whose handle stays valid after the thread ends,
// so that the wait tells when the thread has left the driver's code for good
// (which is what lets a host unload the DLL after Close).
#include <process.h>

#include "platform/platform.h"

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

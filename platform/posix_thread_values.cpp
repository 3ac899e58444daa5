// Per-thread values in the compiler's thread storage: for every build but
// the Windows DLL (which takes TLS slots of its own, see win32_threads.cpp),
// the fake platform's builds included.
#include "platform/platform.h"

#if defined(_WIN32)

namespace {

thread_local uintptr_t threadValues[ThreadValueSlots];

}  // namespace

uintptr_t ThreadValue(int slot) { return threadValues[slot]; }

int SetThreadValue(int slot, uintptr_t value) {
    threadValues[slot] = value;
    return 1;
}

#else

KIV_THREAD_VALUES_LOCAL uintptr_t kivThreadValues[ThreadValueSlots];

#endif

// Per-thread values in the compiler's thread storage for Windows builds that
// link the fake platform (the unit tests): the DLL itself takes TLS slots of
// its own (win32_threads.cpp).
#include "platform/platform.h"

namespace {

thread_local uintptr_t threadValues[ThreadValueSlots];

}  // namespace

uintptr_t ThreadValue(int slot) { return threadValues[slot]; }

int SetThreadValue(int slot, uintptr_t value) {
    threadValues[slot] = value;
    return 1;
}

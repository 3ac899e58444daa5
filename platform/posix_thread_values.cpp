// Per-thread values in the compiler's thread storage, for every build but
// the Windows ones (see own_thread_values.cpp and win32_threads.cpp).
#include "platform/platform.h"

KIV_THREAD_VALUES_LOCAL uintptr_t kivThreadValues[ThreadValueSlots];

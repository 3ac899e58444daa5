// Placeholder until this module is written.
#include "serial/port.h"

int PortOpen(const char*, const LineSettings*, uint32_t, HANDLE* handle) { *handle = INVALID_HANDLE_VALUE; return 1; }
int PortClose(HANDLE) { return 7; }
int PortSetReadInterval(HANDLE, int) { return 0; }
int PortPurgeInput(HANDLE) { return 0; }
int PortWrite(HANDLE, const uint8_t*, uint32_t, uint32_t*) { return 7; }
int PortReadExact(HANDLE, uint8_t*, uint32_t, uint32_t*) { return 7; }

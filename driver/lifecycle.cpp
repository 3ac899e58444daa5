// Placeholder until this module is written.
#include "driver/commands.h"

int32_t Open(CallRecord*) { return 2; }
int32_t Flush(CallRecord*) { return 0; }
int32_t Close(CallRecord*) { return 0; }
int32_t ClosePort(CallRecord*) { return 0; }
int32_t ReopenPort(CallRecord*) { return 2; }
int32_t SetPort(CallRecord*) { return 2; }
uint32_t OpenDescribedPort(const PortDescriptor*) { return 0; }

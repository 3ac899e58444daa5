// Placeholder until this module is written.
#include "requests/registers.h"

int32_t ReadRegisters(GateRequest*) { return 2; }
int32_t WriteRegisters(GateRequest*) { return 2; }
int32_t WriteBit(GateRequest*) { return 2; }
int32_t SetClock(GateRequest*) { return 2; }
int32_t Read(CallRecord*) { return 2; }
int32_t ReadBlock(CallRecord*) { return 2; }
int32_t Write(CallRecord*) { return 2; }
int32_t WriteBlock(CallRecord*) { return 2; }

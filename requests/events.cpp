// Placeholder until this module is written.
#include "requests/events.h"

int32_t FetchRegisterChanges(GateRequest*) { return 2; }
int32_t FetchStatusEvents(GateRequest*) { return 2; }
int32_t FetchLoggedEvents(GateRequest*) { return 2; }
int32_t DecodeTimeStamp(const uint8_t*, uint16_t* ms) { *ms = 0; return -1; }
void StoreTimedValue(uint8_t, int32_t, double, const uint8_t*) {}

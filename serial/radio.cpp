// Placeholder until this module is written.
#include "serial/radio.h"

int CarrierDetected(HANDLE) { return 0; }
void RtsOn(HANDLE) {}
void RtsOff(HANDLE) {}
bool RadioKeyingOn() { return false; }
int RadioWaitClearToSend(HANDLE) { return 0; }
int RadioKeyedWrite(HANDLE, const uint8_t*, uint32_t, uint32_t*) { return 7; }
int RadioWaitAnswerCarrier(HANDLE) { return 0; }
int RadioWaitCarrierDrop(HANDLE) { return 0; }

// Placeholder until this module is written.
#include "link/exchange.h"

uint8_t DirectionBit(uint16_t) { return 0; }
void BuildRequestHeader(uint8_t*, uint8_t, uint8_t, uint16_t, uint8_t) {}
void BuildReplyHeader(uint8_t*, uint8_t, uint16_t, uint8_t, uint8_t) {}
void FlipFcb() {}
int CheckResponse(uint8_t*, uint16_t, uint16_t, uint8_t, uint8_t) { return 1; }
int ExchangeRequest(const uint8_t*, uint16_t, uint8_t, uint8_t, uint8_t*) { return 2; }
int ResetLinkOnce(uint16_t) { return 2; }

// Register reads and writes, single bits, and the unit clock.
#pragma once

#include <cstdint>

#include "kivlink.h"

// The requests; each returns 0 done, 1 refused before sending (no record or
// data area, a count that no frame holds) or the answer did not fit, 2 no
// answer.
int32_t ReadRegisters(GateRequest* request);
int32_t WriteRegisters(GateRequest* request);
int32_t WriteBit(GateRequest* request);
int32_t SetClock(GateRequest* request);

// One request frame carries at most KivWriteRegistersMax registers (6 * 41 +
// 7 = 253), one answer frame KivReadRegistersMax (10 + 4 * 61 = 254).

int32_t Read(CallRecord* call);        // command 5
int32_t ReadBlock(CallRecord* call);   // command 6
int32_t Write(CallRecord* call);       // command 7
int32_t WriteBlock(CallRecord* call);  // command 10

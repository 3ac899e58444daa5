// Event retrieval: register changes, status events and logged register
// events fetched from a unit and written into the host's gates.
#pragma once

#include <cstdint>

#include "kivlink.h"

// Each fetches until the unit's more flag clears (or the shutdown latch is
// set): 0 with 0 written to request->data[0], else the failed exchange's 1/2.
int32_t FetchRegisterChanges(GateRequest* request);
int32_t FetchStatusEvents(GateRequest* request);
int32_t FetchLoggedEvents(GateRequest* request);

// A unit time stamp (6 bytes) as local calendar seconds (-1 when a 32-bit
// count cannot hold it) and milliseconds.
int32_t DecodeTimeStamp(const uint8_t* stamp, uint16_t* milliseconds);
// Writes value into a gate with the time of a unit time stamp.
void StoreTimedValue(uint8_t client, int32_t gateId, double value, const uint8_t* stamp);

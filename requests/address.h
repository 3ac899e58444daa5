// Gate address texts: R and S addresses (station, number, optional bit) and
// ! addresses (event areas and the clock of a station).
#pragma once

#include <cstdint>

#include "kivlink.h"

enum AddressMode { AddressGate, AddressBlock };

// Parses request->text into the request's gate fields; 0 valid, 1 not.
// Fields set before a refusal stay written.
int32_t ParseAddressText(AddressRequest* request, AddressMode mode);

int32_t ParseAddress(CallRecord* call);  // command 3
int32_t CheckAddress(CallRecord* call);  // command 4

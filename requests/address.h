// Gate address texts: R and S addresses (station, number, optional bit) and
// ! addresses (event areas and the clock of a station).
#pragma once

#include <cstdint>

#include "kivlink.h"

// The refusal reasons (AddressRefusal) are kivlink.h's.
enum AddressMode { AddressGate, AddressBlock };

// Parses request->text into the request's gate fields; 0 valid, 1 not.
// Fields set before a refusal stay written.
int32_t ParseAddressText(AddressRequest* request, AddressMode mode);
// The same parse, saying why a text was refused. AddressBlock mode also
// checks the area and the block length, as CheckAddress does.
AddressRefusal AddressRefusalOf(AddressRequest* request, AddressMode mode);

int32_t ParseAddress(CallRecord* call);  // command 3
int32_t CheckAddress(CallRecord* call);  // command 4

// Gate address texts: R and S addresses (station, number, optional bit) and
// ! addresses (event areas and the clock of a station).
#pragma once

#include <cstdint>

#include "kivlink.h"

enum AddressMode { AddressGate, AddressBlock };

// Why a text is no valid address: the first check it failed. The numbers
// are stable, since the tools print them by name.
enum AddressRefusal : int32_t {
    AddressValid = 0,
    AddressNoText,         // no record or no text
    AddressFirstLetter,    // not R, S or !
    AddressStation,        // the four station digits
    AddressNumber,         // the four register or point digits (0000 to 8999)
    AddressBitDigits,      // bit digits other than 00 to 31 in form
    AddressEventArea,      // the letter after ! is not S, R, L or T
    AddressAfterStation,   // characters after the station of a ! address
    AddressStatusBit,      // a status point has no bit
    AddressBitMissing,     // a bit gate (kind 6) without a bit number
    AddressBitAbove31,     // bit 32 to 39
    AddressBitNotBitKind,  // a bit number on a gate not of kind 6
    AddressKind,           // a register gate of a kind outside 3 to 6
    AddressBlockNotRegister,  // only R addresses name a block
    AddressBlockTooLong,      // a block of more than 60 registers
};

// Parses request->text into the request's gate fields; 0 valid, 1 not.
// Fields set before a refusal stay written.
int32_t ParseAddressText(AddressRequest* request, AddressMode mode);
// The same parse, saying why a text was refused. AddressBlock mode also
// checks the area and the block length, as CheckAddress does.
AddressRefusal AddressRefusalOf(AddressRequest* request, AddressMode mode);

int32_t ParseAddress(CallRecord* call);  // command 3
int32_t CheckAddress(CallRecord* call);  // command 4

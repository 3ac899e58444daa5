// The channel configuration file "kivIN%.2d.int": host address,
// report-by-exception switch and radio keying times.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kivlink.h"  // the report of a channel file: roles and callback

struct ChannelBlock;

// Kept characters per line; a longer line keeps its first kConfigLineMax
// characters and drops the rest.
constexpr int kConfigLineMax = 255;
constexpr int kConfigLineBuffer = kConfigLineMax + 1;

// Room for the file name of any 32-bit channel number ("kivIN-2147483648.int").
constexpr int kConfigNameBuffer = 32;

// Reads the next line of file into buffer (at least kConfigLineBuffer
// characters), keeping only the characters 33 to 127. Returns 1 with a line
// (possibly empty) in buffer, NUL-terminated; 0 at end of file, also when
// the last line has no line feed and keeps fewer than 10 characters.
int ReadConfigLine(FILE* file, char* buffer);
// Reads the file of a channel into the current channel: radio and
// report-by-exception defaults first, then what the file says. Returns 1
// when a host address was found, 0 otherwise (file missing or no address).
int ReadChannelConfig(int32_t channel);
// Writes the channel's file name into name (kConfigNameBuffer characters):
// "kivIN%.2d.int", so kivIN07.int, kivIN100.int, kivIN-01.int.
void FormatConfigFileName(int32_t channel, char* name);

// The channel configuration file "kivIN%.2d.int": host address,
// report-by-exception switch and radio keying times.
#pragma once

#include <cstdint>
#include <cstdio>

// Kept characters per line; a longer line keeps its first kConfigLineMax
// characters and drops the rest.
constexpr int kConfigLineMax = 255;
constexpr int kConfigLineBuffer = kConfigLineMax + 1;

// 1 with a line (possibly empty) in buffer, 0 at end of file.
int ReadConfigLine(FILE* file, char* buffer);
// Reads the file of a channel into the current channel; 1 when a host
// address was found.
int ReadChannelConfig(int32_t channel);

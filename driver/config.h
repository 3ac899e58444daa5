// The channel configuration file "kivIN%.2d.int": host address,
// report-by-exception switch and radio keying times.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kivlink.h"

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

// How the reading took a line of a channel file, or why it ended: what a
// report of the file tells, line by line.
enum ConfigLineRole : int32_t {
    ConfigHostAddressLine = 1,  // read for the host address
    ConfigExceptionLine = 2,    // read for the EXCEPTION switch
    ConfigRadioLine = 3,        // read for the RADIO switch and times
    ConfigEndOfFile = 10,       // no line left (see ReadConfigLine for a short last line)
    ConfigEndNoEquals = 11,     // a host address line without "=" ends the reading
    ConfigEndRadioTimes = 12,   // a RADIO line with other than one time ends the reading
    ConfigEndByteBound = 13,    // the reading stops past 4096 bytes
    ConfigFileRefused = 14,     // missing, no regular file, empty or too large
};

// Called for every line the reading takes, before the driver logs what it
// took from it (line counts from 1; kept is what ReadConfigLine kept), and
// once at the end with an end role (line: the last line read, kept "").
typedef void(KIV_CDECL* KivConfigLineFunction)(void* context, int32_t line, int32_t role, const char* kept);

#if defined(_WIN32) && defined(KIVLINK_BUILDING)
#define KIV_TOOL_EXPORT __declspec(dllexport)
#elif defined(KIVLINK_BUILDING)
#define KIV_TOOL_EXPORT __attribute__((visibility("default")))
#else
#define KIV_TOOL_EXPORT
#endif

// For the tools: reads the channel file at path exactly as Open reads a
// channel's file, into a block of its own (no channel changes), telling
// callback about every line; the driver's messages go to the host's log as
// Open writes them, none held back. 1 when the file holds a host address.
extern "C" KIV_TOOL_EXPORT int32_t KIV_CDECL KivConfigReport(const char* path, KivConfigLineFunction callback,
                                                             void* context);

// The host runtime services the driver imports by name from TAVLIB.
// Every result is a 16-bit status: only whether its low 16 bits are 0 counts
// (0 is success, but for Tav5WaitMsg, where 0 means stop).
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define TAV_IMPORT __declspec(dllimport)
#define TAV_CDECL __cdecl
#else
#define TAV_IMPORT
#define TAV_CDECL
#endif

extern "C" {
TAV_IMPORT int32_t TAV_CDECL Tav5MkClient(const char* name, int32_t a, int32_t b, uint8_t* clientId);
TAV_IMPORT int32_t TAV_CDECL Tav5RmClient(int32_t client);
TAV_IMPORT int32_t TAV_CDECL Tav5WaitMsg(int32_t client, void* message, int32_t count);
TAV_IMPORT int32_t TAV_CDECL Tav5GetGateIdByAddress(int32_t client, int32_t channelIndex, int32_t station,
                                                    int32_t area, int32_t number, int32_t bit, int32_t* gateId);
TAV_IMPORT int32_t TAV_CDECL Tav5Cook(int32_t client, int32_t gateId, int32_t raw, double* cooked);
TAV_IMPORT int32_t TAV_CDECL Tav5PutGateVal(int32_t client, int32_t gateId, int32_t mode, double value,
                                            int32_t time, int32_t milliseconds);
TAV_IMPORT int32_t TAV_CDECL err(int32_t level, const char* format, ...);
}

// Room for one host message in Tav5WaitMsg; the listener never reads it.
constexpr int kHostMessageSize = 64;

// Log levels.
constexpr int32_t kLogFault = 32;
constexpr int32_t kLogInfo = 8;

// True when a host status says success (its low 16 bits are 0).
inline bool HostOk(int32_t status) { return (status & 0xFFFF) == 0; }

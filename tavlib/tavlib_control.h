/* Control interface of the host runtime stand-in (libTAVLIB / TAVLIB.DLL):
   what a host program or a test uses to define gates, read their values,
   wake or stop client waits and capture the log. The seven runtime services
   the driver imports are declared in host/tavrik.h. */
#ifndef TAVLIB_CONTROL_H
#define TAVLIB_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(TAVLIB_BUILDING)
#define TAVLIB_API __declspec(dllexport)
#else
#define TAVLIB_API __declspec(dllimport)
#endif
#define TAVLIB_CDECL __cdecl
#else
#define TAVLIB_API __attribute__((visibility("default")))
#define TAVLIB_CDECL
#endif

/* A gate's stored value. */
typedef struct TavGateValue {
    double value;         /* last value written (cooked) */
    int32_t time;         /* its time stamp in calendar seconds, 0 when none */
    int32_t milliseconds; /* its milliseconds */
    int32_t mode;         /* the mode argument of the write */
    int32_t updates;      /* how many writes the gate has had */
} TavGateValue;

/* Called for every log line. */
typedef void(TAVLIB_CDECL* TavLogCallback)(int32_t level, const char* text, void* context);
/* Called for every successful gate write. */
typedef void(TAVLIB_CDECL* TavGateCallback)(int32_t gateId, const TavGateValue* value, void* context);

/* Everything back to the state at load: no clients, no gates, waits not
   stopped, log to stderr, default tick, no faults. */
TAVLIB_API void TAVLIB_CDECL TavReset(void);

/* Defines a gate from an R or S address text (R00120300, R0012030005,
   S00120007) on a host channel index, with a linear cooking rule
   (raw * scale + offset). Returns the gate id (> 0), or -1 for a bad text. */
TAVLIB_API int32_t TAVLIB_CDECL TavDefineGate(int32_t channelIndex, const char* address, double scale, double offset);
/* The same from the numbers (area 0 register, 1 status point; bit 255 whole). */
TAVLIB_API int32_t TAVLIB_CDECL TavDefineGateAt(int32_t channelIndex, int32_t station, int32_t area, int32_t number,
                                                int32_t bit, double scale, double offset);
/* While on, a lookup of an address without a gate defines one (scale 1,
   offset 0), so that a listening tool sees every event a unit sends. */
TAVLIB_API void TAVLIB_CDECL TavSetAutoDefine(int32_t on);
/* The address of a gate (0 with the fields, -1 for an unknown gate). */
TAVLIB_API int32_t TAVLIB_CDECL TavGateAddress(int32_t gateId, int32_t* channelIndex, int32_t* station,
                                               int32_t* area, int32_t* number, int32_t* bit);
/* The id of a gate, or -1. */
TAVLIB_API int32_t TAVLIB_CDECL TavFindGate(int32_t channelIndex, int32_t station, int32_t area, int32_t number,
                                            int32_t bit);
/* 0 with the gate's value, -1 for an unknown gate. */
TAVLIB_API int32_t TAVLIB_CDECL TavReadGate(int32_t gateId, TavGateValue* value);
/* Total number of successful gate writes since the last reset. */
TAVLIB_API int32_t TAVLIB_CDECL TavGateWrites(void);
TAVLIB_API void TAVLIB_CDECL TavSetGateCallback(TavGateCallback callback, void* context);

/* The id of the client registered under name, or -1. */
TAVLIB_API int32_t TAVLIB_CDECL TavClientId(const char* name);
TAVLIB_API int32_t TAVLIB_CDECL TavClientCount(void);
/* Wakes the client's message wait once. */
TAVLIB_API void TAVLIB_CDECL TavPostMessage(int32_t client);
/* From now on every message wait returns 0 (the host stops). */
TAVLIB_API void TAVLIB_CDECL TavStopWaits(void);
/* Longest time a message wait blocks without a message, in ms (default 20). */
TAVLIB_API void TAVLIB_CDECL TavSetWaitTick(int32_t milliseconds);

/* Log: to stderr (default on) and/or to a callback. */
TAVLIB_API void TAVLIB_CDECL TavSetLogCallback(TavLogCallback callback, void* context);
TAVLIB_API void TAVLIB_CDECL TavSetLogToStderr(int32_t on);

/* Faults for tests: the named service fails (returns non-zero) while on. */
enum { TavFaultMkClient = 1, TavFaultLookup = 2, TavFaultCook = 3, TavFaultPut = 4 };
TAVLIB_API void TAVLIB_CDECL TavSetFault(int32_t fault, int32_t on);

#ifdef __cplusplus
}
#endif

#endif

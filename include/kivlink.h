/* KIVLINK: the records a SCADA host exchanges with the driver and its one
   entry point. C-compatible; every field has natural alignment and the
   calling convention is cdecl. On a 32-bit target the offsets below are the
   ones the host was built against (checked at compile time). */
#ifndef KIVLINK_H
#define KIVLINK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KIV_CDECL __cdecl
#else
#define KIV_CDECL
#endif

/* Serial line parameters, each a 16-bit number of which the driver uses the
   low byte (but the baud rate, used whole). */
typedef struct LineSettings {
    uint16_t baudRate; /* bits per second, at most 65535 */
    uint16_t dataBits; /* data bits per character */
    uint16_t stopBits; /* 0 = one, 1 = one and a half, 2 = two */
    uint16_t parity;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
} LineSettings;

/* All state of one channel; the host allocates DriverInfo.blockSize bytes
   (zero-filled) and never looks inside. */
typedef struct ChannelBlock ChannelBlock;

/* What the host passes to KivMain on every call. */
typedef struct CallRecord {
    ChannelBlock* block; /* the channel's block; Describe and ParseAddress ignore it */
    int32_t command;     /* 1 to 15 */
    int32_t channel;     /* channel number; Open uses it */
    int32_t reserved;    /* never read */
    void* parameters;    /* the command's parameter record, or none */
} CallRecord;

/* Filled by Describe (command 14). */
typedef struct DriverInfo {
    int32_t driverKind;         /* 70 */
    const char* deviceName;     /* "INTROL, DPC3000" */
    const char* banner;         /* 373 bytes of code page 437 text */
    int32_t blockSize;          /* bytes to allocate per channel: 66104 */
    int32_t defaultReadTimeout; /* tens of milliseconds: 4 */
    LineSettings defaultLine;   /* 19200 baud, 8 data bits, 1 stop bit, no parity */
    int32_t defaultExtra;       /* 3 */
} DriverInfo;

/* Parameter record of Open (command 1). */
typedef struct PortSettings {
    char portName[12];   /* NUL-terminated, at most 11 characters */
    int32_t enabled;     /* 0: the channel runs without a port */
    int32_t readTimeout; /* total read time-out, tens of milliseconds */
    LineSettings line;
} PortSettings;

/* Parameter record of SetPort (command 15). */
typedef struct PortChange {
    char portName[12];   /* NUL-terminated, at most 11 characters */
    int32_t readTimeout; /* tens of milliseconds; 0 keeps the stored one */
    LineSettings line;
} PortChange;

/* Area codes of GateRequest.area. */
enum {
    AreaRegister = 0,      /* R: a 32-bit register, or one bit of it */
    AreaStatus = 1,        /* S: a status point, set from status events */
    AreaLoggedEvents = 76, /* !L: reading fetches logged register events */
    AreaChangeEvents = 82, /* !R: reading fetches register changes */
    AreaStatusEvents = 83, /* !S: reading fetches status events */
    AreaClock = 84         /* !T: writing sets the unit's clock */
};

/* Parameter record of Read, ReadBlock, Write and WriteBlock (5, 6, 7, 10),
   and the tail of AddressRequest. */
typedef struct GateRequest {
    int32_t kind;        /* host's value kind; 6 is a single bit */
    int32_t blockLength; /* registers in a block gate, at most 60 */
    int32_t station;     /* unit address 0 to 9999 (address parse) */
    int32_t area;        /* area code (address parse) */
    int32_t number;      /* register or point number (address parse) */
    int32_t bit;         /* 0 to 31, or 255 for the whole register */
    int32_t size;        /* value size in bits, always 32 */
    int32_t reserved1;   /* never touched */
    int32_t count;       /* registers a request covers */
    int32_t reserved2;   /* never touched */
    int32_t* data;       /* caller's values, one 32-bit entry per register */
} GateRequest;

/* Parameter record of ParseAddress and CheckAddress (3, 4). */
typedef struct AddressRequest {
    const char* text;  /* the gate's address text, NUL-terminated */
    int32_t reserved;  /* never touched */
    GateRequest gate;  /* kind and blockLength read; the address fields filled */
} AddressRequest;

/* The driver's only export. Returns 0 done, 1 refused, 2 resource failure. */
#if defined(_WIN32) && defined(KIVLINK_BUILDING)
__declspec(dllexport)
#elif defined(KIVLINK_BUILDING)
__attribute__((visibility("default")))
#endif
int32_t KIV_CDECL KivMain(CallRecord* call);

typedef int32_t(KIV_CDECL* KivMainFunction)(CallRecord* call);

#ifdef __cplusplus
}
#endif

#endif

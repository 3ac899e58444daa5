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

/* Command numbers of CallRecord.command; 8 and 9 are none. */
enum {
    CommandOpen = 1,         /* PortSettings: read the channel file, open the port */
    CommandFlush = 2,        /* none: discard the port's pending input */
    CommandParseAddress = 3, /* AddressRequest: check a gate address, fill its fields */
    CommandCheckAddress = 4, /* AddressRequest: check the address of a register block */
    CommandRead = 5,         /* GateRequest: one register or bit, or an event fetch */
    CommandReadBlock = 6,    /* GateRequest: count registers */
    CommandWrite = 7,        /* GateRequest: one register or bit, or the unit's clock */
    CommandWriteBlock = 10,  /* GateRequest: count registers */
    CommandClose = 11,       /* none: end the channel */
    CommandClosePort = 12,   /* none: let the port go, keep the channel */
    CommandReopenPort = 13,  /* none: open the stored port again */
    CommandDescribe = 14,    /* DriverInfo */
    CommandSetPort = 15      /* PortChange: move the channel to another port */
};

/* Limits a caller must respect. */
enum {
    KivStationMax = 9999,      /* stations of gate addresses: 0 to 9999 */
    KivNumberMax = 8999,       /* register and status point numbers: 0 to 8999 */
    KivBitMax = 31,            /* bits of a register: 0 to 31 */
    KivWholeRegister = 255,    /* GateRequest.bit of a gate that is the whole register */
    KivBlockRegistersMax = 60, /* registers of a block gate (CheckAddress) */
    KivReadRegistersMax = 61,  /* registers of one ReadBlock: what one answer frame holds */
    KivWriteRegistersMax = 41, /* registers of one WriteBlock: what one request frame holds */
    KivListenerStartPauseMs = 4000 /* report-by-exception: the listener looks at the line this long after Open */
};

/* Why the address parse refuses a text: the first check it failed. */
typedef enum AddressRefusal {
    AddressValid = 0,
    AddressNoText,           /* no record or no text */
    AddressFirstLetter,      /* not R, S or ! */
    AddressStation,          /* the four station digits */
    AddressNumber,           /* the four register or point digits (0000 to 8999) */
    AddressBitDigits,        /* bit digits other than 00 to 31 in form */
    AddressEventArea,        /* the letter after ! is not S, R, L or T */
    AddressAfterStation,     /* characters after the station of a ! address */
    AddressStatusBit,        /* a status point has no bit */
    AddressBitMissing,       /* a bit gate (kind 6) without a bit number */
    AddressBitAbove31,       /* bit 32 to 39 */
    AddressBitNotBitKind,    /* a bit number on a gate not of kind 6 */
    AddressKind,             /* a register gate of a kind outside 3 to 6 */
    AddressBlockNotRegister, /* only R addresses name a block */
    AddressBlockTooLong      /* a block of more than KivBlockRegistersMax registers */
} AddressRefusal;

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
    int32_t command;     /* a Command number */
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
    int32_t blockLength; /* registers in a block gate, at most KivBlockRegistersMax */
    int32_t station;     /* unit address 0 to KivStationMax (address parse) */
    int32_t area;        /* area code (address parse) */
    int32_t number;      /* register or point number, 0 to KivNumberMax (address parse) */
    int32_t bit;         /* 0 to KivBitMax, or KivWholeRegister */
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

#if defined(_WIN32) && defined(KIVLINK_BUILDING)
#define KIV_EXPORT __declspec(dllexport)
#elif defined(KIVLINK_BUILDING)
#define KIV_EXPORT __attribute__((visibility("default")))
#else
#define KIV_EXPORT
#endif

/* The host's entry point. Returns 0 done, 1 refused, 2 resource failure. */
KIV_EXPORT int32_t KIV_CDECL KivMain(CallRecord* call);

/* For the tools: why ParseAddress (block 0) or CheckAddress (block 1) would
   refuse the request's text, as an AddressRefusal; the request's gate fields
   are filled as that command fills them. */
KIV_EXPORT int32_t KIV_CDECL KivAddressRefusal(AddressRequest* request, int32_t block);
typedef int32_t(KIV_CDECL* KivAddressRefusalFunction)(AddressRequest* request, int32_t block);

typedef int32_t(KIV_CDECL* KivMainFunction)(CallRecord* call);

/* The step at which a channel's port did not open, or was lost. */
enum KivPortStep {
    KivPortStepNone = 0,     /* nothing failed: the last open of the port succeeded */
    KivPortStepResolve = 1,  /* the name stands for nothing: no device path fits it, the port map's line for it is
                                bad, or the device server's host name is not found */
    KivPortStepOpen = 2,     /* opening the device: not there, or not to be opened by this user */
    KivPortStepLock = 3,     /* the device is in use by another program */
    KivPortStepSettings = 4, /* the device is no serial line, or did not take the line settings */
    KivPortStepConnect = 5,  /* connecting to the device server the port map names */
    KivPortStepGone = 6      /* the port was open, and its device went away (pulled out, connection lost) */
};

/* Why a channel's port is not in use, as the system told the driver. */
typedef struct KivPortFailureReport {
    char port[12];      /* the port name the channel was given */
    char device[240];   /* what the name stood for: a device path, \\.\COMn, or tcp://HOST:PORT or
                           rfc2217://HOST:PORT from the port map; cut to fit, NUL-terminated */
    int32_t step;       /* a KivPortStep */
    int32_t systemCode; /* the failing call's error: errno where the driver runs on POSIX, GetLastError() on
                           Windows; getaddrinfo's result for a host name not found; for KivPortStepGone the
                           Windows error code the port call failed with; 0 when no system call failed */
} KivPortFailureReport;

/* For the tools: why the block's port is not in use: its last open (Open,
   ReopenPort, SetPort) failed, or its device went away since. 1 with
   *report filled; 0 when nothing failed (the port is open, or the channel
   never tried one); -1 for a null argument. */
KIV_EXPORT int32_t KIV_CDECL KivPortFailure(const ChannelBlock* block, KivPortFailureReport* report);
typedef int32_t(KIV_CDECL* KivPortFailureFunction)(const ChannelBlock* block, KivPortFailureReport* report);

/* How the reading of a channel file took a line, or why it ended: what a
   report of the file tells, line by line. */
enum ConfigLineRole {
    ConfigHostAddressLine = 1, /* read for the host address */
    ConfigExceptionLine = 2,   /* read for the EXCEPTION switch */
    ConfigRadioLine = 3,       /* read for the RADIO switch and times */
    ConfigEndOfFile = 10,      /* no line left (a short last line without a line feed is not read) */
    ConfigEndNoEquals = 11,    /* a host address line without "=" ends the reading */
    ConfigEndRadioTimes = 12,  /* a RADIO line with other than one time ends the reading */
    ConfigEndByteBound = 13,   /* the reading stops past 4096 bytes */
    ConfigFileRefused = 14     /* missing, no regular file, empty or too large */
};

/* Called for every line the reading takes, before the driver logs what it
   took from it (line counts from 1; kept is the line as the reading kept
   it), and once at the end with an end role (line: the last line read,
   kept ""). */
typedef void(KIV_CDECL* KivConfigLineFunction)(void* context, int32_t line, int32_t role, const char* kept);

/* For the tools: reads the channel file at path exactly as Open reads a
   channel's file, into a block of its own (no channel changes), telling
   callback about every line; the driver's messages go to the host's log as
   Open writes them, none held back. 1 when the file holds a host address. */
KIV_EXPORT int32_t KIV_CDECL KivConfigReport(const char* path, KivConfigLineFunction callback, void* context);

#ifdef __cplusplus
}
#endif

#endif

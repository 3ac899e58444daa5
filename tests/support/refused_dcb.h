// Serial settings that termios cannot express, as changes to a DCB: the POSIX
// stand-in refuses each one, in the pure conversion and in SetCommState on a
// real terminal alike.
#pragma once

#include "platform/platform.h"

struct RefusedDcbChange {
    const char* what;
    void (*change)(DCB*);
};

inline const RefusedDcbChange kRefusedDcbChanges[] = {
    {"baud 14400", [](DCB* d) { d->BaudRate = 14400; }},
    {"baud 0", [](DCB* d) { d->BaudRate = 0; }},
    {"4 data bits", [](DCB* d) { d->ByteSize = 4; }},
    {"9 data bits", [](DCB* d) { d->ByteSize = 9; }},
    {"1.5 stop bits", [](DCB* d) { d->StopBits = ONE5STOPBITS; }},
    {"stop-bit code 3", [](DCB* d) { d->StopBits = 3; }},
    {"parity 5", [](DCB* d) { d->Parity = 5; }},
    {"DTR handshake", [](DCB* d) { d->fDtrControl = DTR_CONTROL_HANDSHAKE; }},
    {"RTS toggle", [](DCB* d) { d->fRtsControl = RTS_CONTROL_TOGGLE; }},
    {"RTS handshake without CTS", [](DCB* d) { d->fRtsControl = RTS_CONTROL_HANDSHAKE; }},
    {"DSR flow", [](DCB* d) { d->fOutxDsrFlow = 1; }},
    {"DSR sensitivity", [](DCB* d) { d->fDsrSensitivity = 1; }},
    {"error char", [](DCB* d) { d->fErrorChar = 1; }},
    {"null stripping", [](DCB* d) { d->fNull = 1; }},
    {"abort on error", [](DCB* d) { d->fAbortOnError = 1; }},
    {"XON equals XOFF with XON/XOFF out", [](DCB* d) { d->fOutX = 1; d->XonChar = d->XoffChar = 0x11; }},
    {"XON equals XOFF with XON/XOFF in", [](DCB* d) { d->fInX = 1; d->XonChar = d->XoffChar = 0x13; }},
};

// The DCB <-> termios mapping of the POSIX stand-in: pure conversions that a
// test can check without a terminal, and the few tty calls around them.
#pragma once

#include <termios.h>

#include "platform/win32_names.h"

namespace kivposix {

// The DCB that describes a tty's termios and modem lines (lines < 0: not
// known, taken as raised).
DCB DcbFromTermios(const struct termios& t, int lines);

// Writes the DCB's settings into t. Returns ERROR_SUCCESS, or
// ERROR_INVALID_PARAMETER for a setting termios cannot express (a rate
// without a code, 1.5 stop bits, DSR flow or sensitivity, DTR handshake,
// RTS toggle, RTS handshake without CTS flow, error-character replacement,
// null stripping, abort on error).
DWORD TermiosFromDcb(const DCB& dcb, struct termios* t);

// True when the device took what was asked. A pseudo-terminal rewrites its
// character size and parity (it always carries whole bytes), so those are
// not compared there.
bool TermiosTaken(const struct termios& asked, const struct termios& got, bool pseudo);

// Raises or drops one modem line (TIOCM_DTR, TIOCM_RTS). A device without
// modem lines (a pseudo-terminal) takes the request as done: DTR and RTS
// have nowhere to go.
bool SetModemLine(int fd, int line, bool raised);

// True for the slave side of a pseudo-terminal.
bool IsPseudoTerminal(int fd);

// Raw bytes in both directions, receiver on, modem control lines not
// consulted; size, parity, stop bits, speed and flow control stay.
bool MakeRaw(int fd);

}  // namespace kivposix

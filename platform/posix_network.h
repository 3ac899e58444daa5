// Lines over the network for the POSIX stand-in: a port name listed in the
// port map opens a TCP connection to a serial device server, raw or with
// the Telnet com-port option, and the Win32 calls on its handle go here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/port_map.h"
#include "platform/telnet_com.h"

// Decoded input held between the socket and ReadFile: more than the 2500
// bytes of a serial port's input queue.
constexpr size_t kNetInputSize = 4096;

// One connection. Calls on one port come from one thread at a time, but a
// close may come from another: the mutex guards the fields while a call
// pumps or takes bytes, never while it waits.
struct NetLine {
    std::mutex mutex;
    bool used = false;         // taken from the pool (guarded by the pool's lock)
    NetLineKind kind = NetLineNone;
    int fd = -1;
    bool dropped = false;      // the peer closed or reset the connection: the port is dead
    TelnetDecoder decoder;
    TelnetOptions options;
    uint8_t modem = 0;         // the latest NOTIFY-MODEMSTATE (0 until one came)
    bool modemKnown = false;
    uint8_t input[kNetInputSize];
    size_t inputStart = 0;     // ring of decoded data bytes
    size_t inputCount = 0;
};

// The port map entry for a port name: 1 found (*entry filled), 0 the name
// is not in the map (or there is no map), -1 the map names the port but
// its address is bad (logged, with the line).
int NetLookupPort(const char* name, PortMapEntry* entry);

// Connects to the entry's server and, for RFC 2217, negotiates the option
// and asks for carrier and CTS changes. The line (from a fixed pool), or
// nullptr with the reason logged and the Win32 error in *error. Its
// socket (line->fd) is what a caller polls.
NetLine* NetOpen(const PortMapEntry& entry, uint32_t* error);
// Closes the socket and gives the line back to the pool.
void NetClose(NetLine* line);

// Like read(2) on a non-blocking descriptor: takes what the socket has
// (answering the peer's negotiation) and gives up to count decoded data
// bytes. -1 with errno EAGAIN when none wait, ECONNRESET once the
// connection has dropped and nothing is left.
long NetRead(NetLine* line, uint8_t* bytes, size_t count);
// Like write(2): escapes and sends what the socket takes at once. -1 with
// errno EAGAIN when it takes nothing, EPIPE when the connection dropped.
long NetWrite(NetLine* line, const uint8_t* bytes, size_t count);
// Decoded bytes waiting, after taking what the socket has. -1 once the
// connection has dropped and nothing is left.
long NetWaiting(NetLine* line);

// RFC 2217 only (false with errno ENOTTY on raw TCP, as a pseudo-terminal
// has no modem lines; EPIPE after a drop). NetSetLine takes the Win32
// codes of parity and stop bits.
bool NetSetLine(NetLine* line, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
bool NetControl(NetLine* line, uint8_t control);
bool NetPurge(NetLine* line, uint8_t which);
// The modem lines as the server last reported them (ComModem bits).
bool NetModemState(NetLine* line, uint8_t* bits);

// The Win32 calls' share of the work on a network port, for posix_serial.
// Each returns ERROR_SUCCESS or the Win32 error for the call to fail with.
#include "platform/posix_handles.h"

namespace kivposix {

// Opens the port map's line: the handle, or INVALID_HANDLE_VALUE with the
// last error set (and the reason logged).
HANDLE OpenNetPort(const PortMapEntry& entry);
// Raw TCP keeps the settings without effect; RFC 2217 sends them.
DWORD NetApplyDcb(NetLine* line, const DCB& dcb);
// SETRTS, CLRRTS, SETDTR and CLRDTR as SET-CONTROL; the rest fail.
DWORD NetEscape(NetLine* line, DWORD function);
DWORD NetModemStatus(NetLine* line, DWORD* status);
DWORD NetInputWaiting(NetLine* line, DWORD* count);
// read(2) and write(2) of a port, whichever kind it is.
long ReadSome(const PortSlot& port, void* bytes, size_t count);
long WriteSome(const PortSlot& port, const void* bytes, size_t count);

}  // namespace kivposix

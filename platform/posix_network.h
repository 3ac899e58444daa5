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
// Bytes for the server that its socket did not take yet: the rest of a
// piece of data, answers to its option talk, our com-port messages. Each
// goes in whole, so that nothing the socket takes later splits a doubled
// 0xFF or a subnegotiation.
constexpr size_t kNetOutputSize = 4096;
// How long the calls on a network line may take at most, in ms (name
// resolution aside: getaddrinfo cannot be cut short). Opening connects
// within kNetConnectMs, all the host's addresses together, and then agrees
// the com-port option within kNetNegotiateMs.
constexpr int kNetConnectMs = 3000;
constexpr int kNetNegotiateMs = 3000;
// A settings or RTS/DTR message waits this long at most for room in the output.
constexpr int kNetControlMs = 2000;
// Data bytes one write escapes and hands over at most (2048 bytes escaped).
constexpr size_t kNetWritePiece = 1024;
// Bytes one call takes from the socket at most: commands take no room in
// the input, so without this a flood of them would keep a call reading.
constexpr size_t kNetPumpMax = 2048;

// One connection. Calls on one port come from one thread at a time, but a
// close, or a ClearCommError on another thread, may come meanwhile: the
// mutex guards the fields while a call pumps or takes bytes, never while it
// waits, and every call does a bounded amount of work under it.
struct NetLine {
    std::mutex mutex;
    bool used = false;         // taken from the pool (guarded by the pool's lock)
    NetLineKind kind = NetLineNone;
    char name[kPortNameMax + 1] = {};  // the port's name in the map, for the log
    int fd = -1;
    bool dropped = false;      // the peer closed or reset the connection: the port is dead
    bool overlongLogged = false;  // a dropped subnegotiation was logged on this connection
    TelnetDecoder decoder;
    TelnetOptions options;
    uint8_t modem = 0;         // the latest NOTIFY-MODEMSTATE (0 until one came)
    bool modemKnown = false;
    uint8_t input[kNetInputSize];
    size_t inputStart = 0;     // ring of decoded data bytes
    size_t inputCount = 0;
    uint8_t output[kNetOutputSize];
    size_t outputStart = 0;    // bytes waiting to be sent: output[outputStart..+outputCount)
    size_t outputCount = 0;
};

// The port map entry for a port name: 1 found (*entry filled), 0 the name
// is not in the map (or there is no map), -1 the map names the port but
// its address is bad (logged, with the line).
int NetLookupPort(const char* name, PortMapEntry* entry);

// Connects to the entry's server and, for RFC 2217, negotiates the option
// and asks for carrier and CTS changes, within the bounds above. The line
// (from a fixed pool), or nullptr with the reason logged and the Win32
// error in *error. Its socket (line->fd) is what a caller polls.
NetLine* NetOpen(const PortMapEntry& entry, uint32_t* error);
// Closes the socket and gives the line back to the pool.
void NetClose(NetLine* line);

// Like read(2) on a non-blocking descriptor: takes what the socket has (at
// most kNetPumpMax bytes, answering the peer's negotiation) and gives up to
// count decoded data bytes. -1 with errno EAGAIN when none wait,
// ECONNRESET once the connection has dropped and nothing is left.
long NetRead(NetLine* line, uint8_t* bytes, size_t count);
// Like write(2): escapes up to kNetWritePiece bytes and hands the socket
// what it takes at once; the rest of that piece waits in the line's output
// and goes first at the next calls. -1 with errno EAGAIN when the socket
// takes nothing or earlier bytes still wait, EPIPE when the connection
// dropped.
long NetWrite(NetLine* line, const uint8_t* bytes, size_t count);
// Decoded bytes waiting, after taking what the socket has (as NetRead).
// -1 once the connection has dropped and nothing is left.
long NetWaiting(NetLine* line);
// Bytes in the line's output that the socket has not taken yet.
size_t NetOutputWaiting(NetLine* line);

// RFC 2217 only (false with errno ENOTTY on raw TCP, as a pseudo-terminal
// has no modem lines; EPIPE after a drop). None of them waits: a message
// that finds no room in the line's output (the server reads nothing) fails
// with EAGAIN. NetSetLine takes the Win32 codes of parity and stop bits.
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
// last error set (and the reason logged). Returns within kNetConnectMs +
// kNetNegotiateMs once the host's name is resolved.
HANDLE OpenNetPort(const PortMapEntry& entry);
// Raw TCP keeps the settings without effect; RFC 2217 sends them.
// NetApplyDcb and NetEscape wait for room in the line's output up to 2 s
// (kNetControlMs), without the lock; a server that takes nothing for that
// long leaves a dead port.
DWORD NetApplyDcb(NetLine* line, const DCB& dcb);
// SETRTS, CLRRTS, SETDTR and CLRDTR as SET-CONTROL; the rest fail.
DWORD NetEscape(NetLine* line, DWORD function);
DWORD NetModemStatus(NetLine* line, DWORD* status);
DWORD NetInputWaiting(NetLine* line, DWORD* count);
// read(2) and write(2) of a port, whichever kind it is.
long ReadSome(const PortSlot& port, void* bytes, size_t count);
long WriteSome(const PortSlot& port, const void* bytes, size_t count);

}  // namespace kivposix

// The port map: short port names that stand for lines over the network or
// for devices. A text file of lines "NAME = tcp://HOST:PORT",
// "NAME = rfc2217://HOST:PORT" or "NAME = /dev/serial/by-id/..." ('#'
// starts a comment) lets a host whose port names hold 11 characters reach
// a serial device server, or a device by a path of any length (the stable
// names under /dev/serial/). Parsing only; the file is read elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

// The map's file name, looked for in the current directory beside the
// channel files.
constexpr const char kPortMapFile[] = "kivports.int";

constexpr size_t kPortNameMax = 11;
constexpr size_t kPortHostMax = 255;

enum NetLineKind : uint8_t {
    NetLineNone = 0,
    NetLineTcp,      // raw TCP: data only
    NetLineRfc2217,  // Telnet with the com-port option: data, settings, modem lines
    PortMapDevice,   // a device path: the name opens that device, as a name beginning with '/' would
};

struct PortMapEntry {
    char name[kPortNameMax + 1];
    NetLineKind kind;
    char host[kPortHostMax + 1];  // the server's host name; for PortMapDevice the device path
    uint16_t port;                // the server's TCP port; 0 for PortMapDevice
};

enum PortMapLineResult {
    PortMapBlank,      // empty or comment only
    PortMapEntryRead,  // *entry filled
    PortMapBadName,    // no '=', or a name that is empty, too long or has blanks or NUL inside
    PortMapBadUrl,     // the name is read (entry->name) but what follows is no tcp:// or rfc2217:// address
                       // and no device path ('/' first, at most kPortHostMax bytes, no NUL)
};

// Reads one line of the map (without its line end; length bytes). Blanks
// around the name and the address are cut; a device path keeps those
// inside it.
PortMapLineResult ParsePortMapLine(const char* line, size_t length, PortMapEntry* entry);

// Reads a "tcp://HOST:PORT" or "rfc2217://HOST:PORT" address (scheme in any
// letter case; HOST may be [v6 address], without blanks, '/' or NUL; PORT 1
// to 65535) into the entry's kind, host and port. false when it is none.
bool ParseNetAddress(const char* text, size_t length, PortMapEntry* entry);

// True when a port name equals the entry's name, letter case aside.
bool PortNameMatches(const char* name, const PortMapEntry& entry);

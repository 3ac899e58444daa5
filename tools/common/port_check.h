// What a port name stands for and why it does not open, for a tool that
// runs the driver: the port map's network addresses, and a look at the
// device the way the driver opens it.
#pragma once

#include <string>

#include "tools/common/serial_line.h"

namespace kivtools {

// The port map's file name, beside the channel files: lines "NAME = URL".
extern const char* const kPortMapFileName;
// True for a device server's tcp://HOST:PORT or rfc2217://HOST:PORT.
bool IsNetAddress(const std::string& text);

// What a look at a port that did not open found.
struct PortFailure {
    std::string device;  // what the name stands for: a device path, a COM port, a network address
    std::string reason;  // the system's reason
};
// Looks at the port the way the driver opens it, after the driver's Open
// failed: the device the name maps to, whether it exists, can be opened by
// this process alone and takes the line settings.
PortFailure ProbePort(const std::string& portName, const LineSetup& setup);

}  // namespace kivtools

// What a port name stands for, as far as a tool can tell without the
// driver: the port map's file and the network addresses it takes.
#pragma once

#include <string>

namespace kivtools {

// The port map's file name, beside the channel files: lines "NAME = URL"
// or "NAME = DEVICE PATH".
extern const char* const kPortMapFileName;
// True for a device server's tcp://HOST:PORT or rfc2217://HOST:PORT.
bool IsNetAddress(const std::string& text);

}  // namespace kivtools

// kivpoll --list-ports: the serial ports of this computer with their stable
// names and what they are.
#pragma once

#include <cstdio>
#include <string>

namespace kivpoll {

// Prints the ports to out; the exit code. On Linux each device under
// /dev with its names under /dev/serial/by-id and by-path (the names to
// give --port: they stay across reboots and replugging), its driver and,
// for a USB adapter, its vendor and product ids and names from sysfs; root
// ("" for /) lets a test stand a tree of its own in. On Windows the COM
// ports and the devices behind them.
int ListPorts(const std::string& root, std::FILE* out);

}  // namespace kivpoll

// Why kivpoll failed: a refused request, a port that would not open. The
// driver answers only done, refused or no answer; these say which check
// failed, by the driver's own address parse, its log lines and a look at
// the device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivlink.h"

namespace kivpoll {

// Why the driver's address parse refuses text as a gate of this kind; ""
// when it takes it.
std::string AddressReason(const std::string& text, int32_t kind);
// Why text names no block of count registers; "" when it does.
std::string BlockReason(const std::string& text, int32_t count);
// The reason a request was refused, from the driver's log lines written
// while it ran; "" when none of them says.
std::string ReasonFromLog(const std::vector<std::string>& lines);

// What kivpoll learnt of a port that the driver could not open.
struct PortFailure {
    std::string device;  // what the name stands for: a device path, a COM port, a network address
    std::string reason;  // the system's reason
};
// Looks at the port the way the driver opens it, after the driver's Open
// failed: the device the name maps to, whether it exists, can be opened by
// this process alone and takes the line settings.
PortFailure ProbePort(const std::string& portName, const LineSettings& line);

}  // namespace kivpoll

// Why the driver's port did not open or went away, in kivpoll's words: the
// driver's report (its KivPortFailure export) with the system's text for
// the error and what to try.
#pragma once

#include <string>

#include "kivlink.h"
#include "tools/common/serial_line.h"

namespace kivpoll {

// The reason after "cannot open port NAME: ", e.g. "no such device", "in
// use: another program holds the port (...)", "Permission denied (...)";
// setup: the line settings that were asked for.
std::string PortFailureReason(const KivPortFailureReport& report, const kivtools::LineSetup& setup);

// The port as the user named it, with what the driver tried when that
// differs: "COM200 (/dev/ttyS199)".
std::string PortAndDevice(const std::string& named, const KivPortFailureReport& report);

}  // namespace kivpoll

// While kivpoll polls or listens: notices when the driver finds the
// channel's port gone (a USB adapter pulled out, a device server's
// connection lost), says so once, reopens the port as it returns (the
// driver's ReopenPort) and says that once too.
#pragma once

#include <chrono>
#include <string>

#include "tools/kivpoll/driver_host.h"

namespace kivpoll {

class PortWatch {
public:
    // portName: the port as the user named it, for the messages.
    PortWatch(DriverHost& host, std::string portName) : host_(host), portName_(std::move(portName)) {}

    // Looks at the port at most every few hundred milliseconds (a second
    // while it is gone, when each look tries to reopen it). false while the
    // port is gone.
    bool PortInUse();

private:
    bool Reopened();

    DriverHost& host_;
    std::string portName_;
    bool gone_ = false;
    std::chrono::steady_clock::time_point nextLook_{};
};

}  // namespace kivpoll

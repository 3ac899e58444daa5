// While kivpoll polls or listens: notices when the driver finds the
// channel's port gone (a USB adapter pulled out, a device server's
// connection lost), says so once, reopens the port as it returns (the
// driver's ReopenPort) and says that once too.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "tools/kivpoll/driver_host.h"

namespace kivpoll {

// What a watch tells when the port goes and when it is back; unset: a
// line on standard error each (kivpoll's).
struct PortWatchReport {
    std::function<void(const KivPortFailureReport& failure)> gone;
    std::function<void()> back;
};

class PortWatch {
public:
    // portName: the port as the user named it, for the messages. While the
    // port is gone each failed try doubles the pause before the next, from a
    // second up to longestPause (kivpoll: a second every time).
    PortWatch(DriverHost& host, std::string portName, PortWatchReport report = {},
              std::chrono::milliseconds longestPause = std::chrono::milliseconds(1000))
        : host_(host), portName_(std::move(portName)), report_(std::move(report)), longestPause_(longestPause) {}

    // Looks at the port at most every few hundred milliseconds (a second
    // while it is gone, when each look tries to reopen it). false while the
    // port is gone.
    bool PortInUse();

private:
    bool Reopened();

    DriverHost& host_;
    std::string portName_;
    PortWatchReport report_;
    std::chrono::milliseconds longestPause_;
    std::chrono::milliseconds pause_{1000};  // before the next try while gone
    bool gone_ = false;
    std::chrono::steady_clock::time_point nextLook_{};
};

}  // namespace kivpoll

// A tap on the line for kivpoll's frame trace: the driver opens one end of
// a pseudo-terminal pair, the tap relays every byte between its other end
// and the real port, and prints each frame both ways with time, bytes and
// the decoded header. The driver itself carries no trace code, so a run
// without --trace costs nothing.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "kivlink.h"
#include "tools/common/serial_line.h"

namespace kivpoll {

class LineTap {
public:
    LineTap() = default;
    ~LineTap() { Stop(); }
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    // Opens the real port with the line settings, as the driver would set it
    // up, and the pair; false with a reason when either cannot be had
    // (always on Windows).
    bool Start(const std::string& port, const LineSettings& line, std::string* error);
    // The name the driver opens instead of the port.
    const std::string& DriverPort() const { return driverPort_; }
    void Stop();

private:
    void Relay();
    std::string driverPort_;
#if !defined(_WIN32)
    kivtools::SerialLine port_;  // the real port
    kivtools::SerialLine pair_;  // the pseudo-terminal the driver opens
#endif
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kivpoll

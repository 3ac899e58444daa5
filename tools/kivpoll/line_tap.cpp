// The frame trace tap (POSIX; Windows has no pseudo-terminal pairs).
#include "tools/kivpoll/line_tap.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/common/frame_text.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace kivpoll {

#if defined(_WIN32)

bool LineTap::Start(const std::string&, const LineSettings&, std::string* error) {
    *error = "the frame trace needs a pseudo-terminal pair, which Windows does not have; use kivsim --trace";
    return false;
}
void LineTap::Stop() {}
void LineTap::Relay() {}

#else

bool LineTap::Start(const std::string& port, const LineSettings& line, std::string* error) {
    if (port == "NUL") {
        *error = "nothing to trace on the null device";
        return false;
    }
    std::string path = kivtools::DevicePathOf(port);
    kivtools::LineSetup setup;
    setup.baud = line.baudRate;
    setup.dataBits = line.dataBits & 0xFF;
    setup.parity = line.parity & 0xFF;
    setup.stopBits = line.stopBits & 0xFF;
    if (path.empty() || !port_.OpenDevice(path, setup, error)) {
        if (path.empty()) *error = "no device for the port name " + port;
        return false;
    }
    if (!pair_.OpenPty(error)) {
        Stop();
        return false;
    }
    driverPort_ = pair_.Path();
    if (driverPort_.size() > 11) {
        *error = "the pseudo-terminal's name " + driverPort_ + " is longer than a port name may be";
        Stop();
        return false;
    }
    stop_ = false;
    thread_ = std::thread(&LineTap::Relay, this);
    return true;
}

void LineTap::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    port_.Close();
    pair_.Close();
}

void LineTap::Relay() {
    FrameTracer toUnit("H>U"), toHost("U>H");
    pollfd fds[2] = {{pair_.Fd(), POLLIN, 0}, {port_.Fd(), POLLIN, 0}};
    std::vector<uint8_t> bytes;
    while (!stop_) {
        int ready = poll(fds, 2, 50);
        if (ready <= 0) {
            toUnit.Idle(stderr);
            toHost.Idle(stderr);
            continue;
        }
        if (fds[0].revents & POLLIN) {
            bytes.clear();
            if (pair_.ReadAvailable(bytes) > 0) {
                port_.Write(bytes.data(), bytes.size(), 0, stop_);
                toUnit.Feed(bytes.data(), bytes.size(), stderr);
            }
        }
        if (fds[1].revents & POLLIN) {
            bytes.clear();
            if (port_.ReadAvailable(bytes) > 0) {
                pair_.Write(bytes.data(), bytes.size(), 0, stop_);
                toHost.Feed(bytes.data(), bytes.size(), stderr);
            }
        }
    }
}

#endif

}  // namespace kivpoll

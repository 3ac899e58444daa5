// The frame trace tap (POSIX; Windows has no pseudo-terminal pairs).
#include "tools/kivpoll/line_tap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/common/frame_text.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace kivpoll {

#if defined(_WIN32)

bool LineTap::OpenOutputs(const TapOutputs&, std::string* error) {
    return Start("", LineSettings(), error);
}

bool LineTap::Start(const std::string&, const LineSettings&, std::string* error) {
    *error = "the frame trace and capture need a pseudo-terminal pair, which Windows does not have; "
             "kivsim --trace or --pcap on the unit side shows the same frames";
    return false;
}
void LineTap::Stop() {}
void LineTap::Relay() {}

#else

bool LineTap::OpenOutputs(const TapOutputs& outputs, std::string* error) {
    if (!outputs.pcapFile.empty() && !capture_.Open(outputs.pcapFile, error)) return false;
    if (!outputs.traceFile.empty()) {
        trace_ = std::fopen(outputs.traceFile.c_str(), "a");
        traceOwned_ = trace_ != nullptr;
        if (trace_ == nullptr) {
            *error = "cannot write " + outputs.traceFile + ": " + std::strerror(errno);
            Stop();
            return false;
        }
    } else if (outputs.trace) {
        trace_ = stderr;
    }
    return true;
}

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
    capture_.Close();
    if (traceOwned_) std::fclose(trace_);
    trace_ = nullptr;
    traceOwned_ = false;
}

void LineTap::Relay() {
    kivtools::CaptureWriter* capture = capture_.IsOpen() ? &capture_ : nullptr;
    kivtools::FrameTracer toUnit("H>U", kivtools::kCaptureToUnit, trace_, capture);
    kivtools::FrameTracer toHost("U>H", kivtools::kCaptureToHost, trace_, capture);
    pollfd fds[2] = {{pair_.Fd(), POLLIN, 0}, {port_.Fd(), POLLIN, 0}};
    std::vector<uint8_t> bytes;
    while (!stop_) {
        int ready = poll(fds, 2, 50);
        if (ready <= 0) {
            toUnit.Idle();
            toHost.Idle();
            continue;
        }
        if (fds[0].revents & POLLIN) {
            bytes.clear();
            if (pair_.ReadAvailable(bytes) > 0) {
                port_.Write(bytes.data(), bytes.size(), 0, stop_);
                toUnit.Feed(bytes.data(), bytes.size());
            }
        }
        if (fds[1].revents & POLLIN) {
            bytes.clear();
            if (port_.ReadAvailable(bytes) > 0) {
                pair_.Write(bytes.data(), bytes.size(), 0, stop_);
                toHost.Feed(bytes.data(), bytes.size());
            }
        }
    }
    toUnit.Idle();
    toHost.Idle();
}

#endif

}  // namespace kivpoll

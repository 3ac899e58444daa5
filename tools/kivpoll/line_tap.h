// A tap on the line for kivpoll's frame trace and capture: the driver opens
// one end of a pseudo-terminal pair, the tap relays every byte between its
// other end and the real port, and writes each frame both ways as a trace
// line (time, bytes, decoded message) and a capture record. The driver
// itself carries no trace code, so a run without the tap costs nothing.
// The relay never waits on one end or on the trace: a far end that floods
// the line keeps it busy, never stuck, and never fills memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "kivlink.h"
#include "tools/common/capture.h"
#include "tools/common/serial_line.h"
#include "tools/common/trace_queue.h"

namespace kivpoll {

// What the tap writes: the trace on standard error or into a file
// (appended), a capture file.
struct TapOutputs {
    bool trace = false;
    std::string traceFile;
    std::string pcapFile;
    bool Wanted() const { return trace || !traceFile.empty() || !pcapFile.empty(); }
};

// What the tap saw pass, for the reasons kivpoll gives when a request gets
// no fitting answer: the bytes and sound frames from the units' side and the
// addresses of the last sound frame each way. One tap runs per kivpoll;
// running is false while none does (always on Windows).
struct LineSeen {
    bool running = false;
    uint64_t bytesFromUnits = 0;
    uint64_t framesFromUnits = 0;
    uint16_t answerSource = 0, answerDestination = 0;    // the last sound frame from the units
    uint16_t requestSource = 0, requestDestination = 0;  // the last sound frame to them
};
LineSeen SeenOnLine();

// The driver's line settings (of which it uses the low bytes) for the tools.
kivtools::LineSetup SetupOf(const LineSettings& line);

class LineTap {
public:
    LineTap() = default;
    ~LineTap() { Stop(); }
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    // Opens the trace file and the capture; false with the reason.
    bool OpenOutputs(const TapOutputs& outputs, std::string* error);
    // Opens the real port with the line settings, as the driver would set it
    // up, and the pair; false with a reason when either cannot be had
    // (always on Windows).
    bool Start(const std::string& port, const LineSettings& line, std::string* error);
    // The name the driver opens instead of the port.
    const std::string& DriverPort() const { return driverPort_; }
    // Ends the relay (promptly, however busy the line), writes out what the
    // trace holds (giving up on an output that takes nothing) and closes.
    void Stop();

private:
    void Relay();
    std::string driverPort_;
    kivtools::TraceQueue trace_;
    kivtools::CaptureWriter capture_;
#if !defined(_WIN32)
    kivtools::SerialLine port_;  // the real port
    kivtools::SerialLine pair_;  // the pseudo-terminal the driver opens
#endif
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kivpoll

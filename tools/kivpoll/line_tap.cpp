// The frame trace tap (POSIX; Windows has no pseudo-terminal pairs).
#include "tools/kivpoll/line_tap.h"

#include <chrono>
#include <mutex>
#include <vector>

#include "link/frame_codec.h"
#include "tools/common/frame_splitter.h"
#include "tools/common/frame_text.h"
#include "tools/common/time_text.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace kivpoll {

namespace {

std::mutex seenMutex;
LineSeen seen;

}  // namespace

LineSeen SeenOnLine() {
    std::lock_guard<std::mutex> lock(seenMutex);
    return seen;
}

kivtools::LineSetup SetupOf(const LineSettings& line) {
    kivtools::LineSetup setup;
    setup.baud = line.baudRate;
    setup.dataBits = line.dataBits & 0xFF;
    setup.parity = line.parity & 0xFF;
    setup.stopBits = line.stopBits & 0xFF;
    return setup;
}

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

namespace {

void SetTapRunning(bool running) {
    std::lock_guard<std::mutex> lock(seenMutex);
    seen = LineSeen();
    seen.running = running;
}

}  // namespace

bool LineTap::OpenOutputs(const TapOutputs& outputs, std::string* error) {
    if (!outputs.pcapFile.empty() && !capture_.Open(outputs.pcapFile, error)) return false;
    if (!outputs.traceFile.empty()) {
        if (!trace_.OpenFile(outputs.traceFile, error)) {
            Stop();
            return false;
        }
    } else if (outputs.trace) {
        trace_.OpenStandardError();
    }
    return true;
}

bool LineTap::Start(const std::string& port, const LineSettings& line, std::string* error) {
    if (port == "NUL") {
        *error = "nothing to trace on the null device";
        return false;
    }
    std::string path = kivtools::DevicePathOf(port);
    if (path.empty() || !port_.OpenDevice(path, SetupOf(line), error)) {
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
    SetTapRunning(true);
    thread_ = std::thread(&LineTap::Relay, this);
    return true;
}

void LineTap::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    SetTapRunning(false);
    port_.Close();
    pair_.Close();
    capture_.Close();
    trace_.Finish();
}

namespace {

// One direction of the relay. Bytes read from one end wait in pending until
// the other end takes them, and the end they came from is not read while
// they wait: what a far end sends faster than the other takes stays in the
// system's buffers (and is lost there, as on a real line), never here.
// Bytes are traced as they are passed on.
class Direction {
public:
    Direction(const char* name, uint8_t captureDirection, kivtools::SerialLine& from, kivtools::SerialLine& to,
              kivtools::TraceQueue* trace, kivtools::CaptureWriter* capture)
        : name_(name), captureDirection_(captureDirection), from_(from), to_(to), trace_(trace), capture_(capture) {}

    bool Waiting() const { return sent_ < pending_.size(); }
    // Takes one piece off the source (when nothing waits) and passes on
    // what the other end takes now.
    void Move() {
        if (!Waiting()) {
            pending_.clear();
            sent_ = 0;
            if (from_.ReadAvailable(pending_, kivtools::kReadChunk) <= 0) return;
        }
        long n = to_.WriteAvailable(pending_.data() + sent_, pending_.size() - sent_);
        if (n < 0) {
            // The other end fails: what it cannot take is dropped, so that
            // the relay goes on reading.
            n = long(pending_.size() - sent_);
        } else {
            Feed(pending_.data() + sent_, size_t(n));
        }
        sent_ += size_t(n);
    }
    // The line went quiet: a piece still held goes out as incomplete.
    void Idle() {
        while (splitter_.Flush(&piece_)) Emit();
    }

private:
    void Feed(const uint8_t* bytes, size_t count) {
        if (count == 0) return;
        if (captureDirection_ == kivtools::kCaptureToHost) {
            std::lock_guard<std::mutex> lock(seenMutex);
            seen.bytesFromUnits += count;
        }
        splitter_.Feed(bytes, count);
        while (splitter_.Next(&piece_)) Emit();
    }
    void Emit() {
        if (piece_.kind == kivtools::FramePiece::Frame) NoteFrame();
        const int64_t us = kivtools::WallClockUs();
        if (capture_ != nullptr) capture_->Write(us, captureDirection_, piece_.bytes.data(), piece_.bytes.size());
        if (trace_ != nullptr) {
            trace_->Add(kivtools::TraceLine(us / 1000, name_, piece_.bytes.data(), piece_.bytes.size()));
        }
    }

    // A sound frame's addresses, for the reasons.
    void NoteFrame() {
        const uint16_t source = MessageSource(piece_.message), destination = MessageDestination(piece_.message);
        std::lock_guard<std::mutex> lock(seenMutex);
        if (captureDirection_ == kivtools::kCaptureToHost) {
            ++seen.framesFromUnits;
            seen.answerSource = source;
            seen.answerDestination = destination;
        } else {
            seen.requestSource = source;
            seen.requestDestination = destination;
        }
    }

    const char* name_;
    uint8_t captureDirection_;
    kivtools::SerialLine& from_;
    kivtools::SerialLine& to_;
    kivtools::TraceQueue* trace_;
    kivtools::CaptureWriter* capture_;
    std::vector<uint8_t> pending_;  // read, not yet all passed on
    size_t sent_ = 0;               // of pending_, passed on
    kivtools::FrameSplitter splitter_;
    kivtools::FramePiece piece_;
};

}  // namespace

// Waits at most 50 ms at a time, so that Stop is seen within that however
// the ends behave; a quiet 50 ms also ends a frame left incomplete.
void LineTap::Relay() {
    kivtools::CaptureWriter* capture = capture_.IsOpen() ? &capture_ : nullptr;
    kivtools::TraceQueue* trace = trace_.IsOpen() ? &trace_ : nullptr;
    Direction toUnit("H>U", kivtools::kCaptureToUnit, pair_, port_, trace, capture);
    Direction toHost("U>H", kivtools::kCaptureToHost, port_, pair_, trace, capture);
    while (!stop_) {
        // An end is read only while nothing from it waits for the other, and
        // watched for room while something waits for it.
        pollfd fds[2] = {
            {pair_.Fd(), short((toUnit.Waiting() ? 0 : POLLIN) | (toHost.Waiting() ? POLLOUT : 0)), 0},
            {port_.Fd(), short((toHost.Waiting() ? 0 : POLLIN) | (toUnit.Waiting() ? POLLOUT : 0)), 0},
        };
        int ready = poll(fds, 2, 50);
        if (ready <= 0) {
            toUnit.Idle();
            toHost.Idle();
            continue;
        }
        const short events = short(fds[0].revents | fds[1].revents);
        if ((events & (POLLHUP | POLLERR | POLLNVAL)) && !(events & (POLLIN | POLLOUT))) {
            // An end that is gone (a port pulled out) would wake the poll at
            // once, again and again: look again a little later.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        toUnit.Move();
        toHost.Move();
    }
    toUnit.Idle();
    toHost.Idle();
}

#endif

}  // namespace kivpoll

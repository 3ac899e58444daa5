// The test responder: reads frames at the peer end of a line and answers as
// its callback says.
#include "tests/support/responder.h"

#include <chrono>

#include "link/frame_codec.h"

namespace {

constexpr int kPollMs = 20;        // how often the thread looks at the stop flag
constexpr int kFrameRestMs = 1000; // wait for the rest of a started frame

}  // namespace

Responder::Responder(LinePair& line, Handler handler) : line_(line), handler_(std::move(handler)) {
    thread_ = std::thread([this] { Run(); });
}

Responder::~Responder() { Stop(); }

void Responder::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<ReceivedFrame> Responder::Frames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t Responder::FrameCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

bool Responder::WaitForFrames(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return frames_.size() >= count; });
}

// Whatever the line brings within a poll interval, at least one byte.
Bytes Responder::ReadSome() {
    Bytes bytes = line_.Read(1, kPollMs);
    if (bytes.empty()) return bytes;
    const size_t more = line_.Available();
    if (more > 0) {
        Bytes rest = line_.Read(more, kPollMs);
        bytes.insert(bytes.end(), rest.begin(), rest.end());
    }
    return bytes;
}

void Responder::Run() {
    kivtools::FrameSplitter splitter;
    kivtools::FramePiece piece;
    auto lastBytes = std::chrono::steady_clock::now();
    while (!stop_) {
        const Bytes bytes = ReadSome();
        if (!bytes.empty()) {
            splitter.Feed(bytes.data(), bytes.size());
            lastBytes = std::chrono::steady_clock::now();
        }
        bool quiet = std::chrono::steady_clock::now() - lastBytes >= std::chrono::milliseconds(kFrameRestMs);
        while (splitter.Next(&piece) || (quiet && splitter.Flush(&piece))) {
            // A frame starts at 05 64; bytes before that, or a lone 05 the
            // line went quiet after, are skipped.
            if (piece.kind == kivtools::FramePiece::Junk || piece.bytes.size() < 2) {
                skipped_ += piece.bytes.size();
                continue;
            }
            Handle(piece);
        }
    }
}

void Responder::Handle(const kivtools::FramePiece& piece) {
    ReceivedFrame frame;
    frame.frame = piece.bytes;
    frame.complete = piece.kind != kivtools::FramePiece::Incomplete;
    frame.crcOk = piece.kind == kivtools::FramePiece::Frame;
    if (frame.complete) frame.message.assign(piece.message, piece.message + 1 + piece.bytes[2]);
    std::vector<Bytes> answer;
    if (frame.complete && handler_) answer = handler_(frame);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(frame);
    }
    arrived_.notify_all();
    for (const Bytes& part : answer) {
        int gap = pieceGapMs_.load();
        if (gap > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap));
        line_.Write(part);
    }
}

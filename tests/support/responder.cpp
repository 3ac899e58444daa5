// The test responder: reads frames at the peer end of a line and answers as
// its callback says.
#include "tests/support/responder.h"

#include <chrono>

#include "link/frame.h"

namespace {

constexpr int kPollMs = 20;        // how often the thread looks at the stop flag
constexpr int kFrameRestMs = 1000; // wait for the rest of a started frame

const uint16_t* CrcTable() {
    static uint16_t table[256];
    static std::once_flag built;
    std::call_once(built, [] { CrcBuildTable(table); });
    return table;
}

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

// Looks for 05 64, then reads the length byte and the rest of the frame.
// False when nothing started before the next look at the stop flag.
bool Responder::ReadFrame(ReceivedFrame* frame) {
    Bytes head;
    while (head.size() < 2) {
        if (stop_) return false;
        Bytes byte = line_.Read(1, kPollMs);
        if (byte.empty()) {
            if (head.empty()) return false;
            continue;
        }
        const uint8_t wanted = head.empty() ? 0x05 : 0x64;
        if (byte[0] == wanted) {
            head.push_back(byte[0]);
        } else {
            skipped_ += head.size() + (byte[0] == 0x05 ? 0 : 1);
            head.clear();
            if (byte[0] == 0x05) head.push_back(byte[0]);
        }
    }
    frame->frame = head;
    frame->complete = false;
    frame->crcOk = false;
    Bytes length = line_.Read(1, kFrameRestMs);
    if (length.empty()) return true;
    frame->frame.push_back(length[0]);
    size_t rest = FrameSizeFor(length[0]) - 3u;
    Bytes tail = line_.Read(rest, kFrameRestMs);
    frame->frame.insert(frame->frame.end(), tail.begin(), tail.end());
    if (tail.size() < rest) return true;
    frame->complete = true;
    uint8_t message[kMessageBufferSize] = {};
    frame->crcOk = CheckFrameBlocks(CrcTable(), frame->frame.data(), message) == 1;
    frame->message.assign(message, message + 1 + length[0]);
    return true;
}

void Responder::Run() {
    while (!stop_) {
        ReceivedFrame frame;
        if (!ReadFrame(&frame)) continue;
        std::vector<Bytes> answer;
        if (frame.complete && handler_) answer = handler_(frame);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            frames_.push_back(frame);
        }
        arrived_.notify_all();
        for (const Bytes& piece : answer) {
            int gap = pieceGapMs_.load();
            if (gap > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap));
            line_.Write(piece);
        }
    }
}

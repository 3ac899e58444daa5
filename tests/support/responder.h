// A thread on the peer end of a LinePair that plays the other side of the
// line: it cuts what arrives into frames with the tools' frame splitter
// (05 64 L, then the rest that L gives), hands each to a callback that says
// what to send back, and records every frame. Answers may be right, wrong,
// garbage or nothing at all.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/frames.h"
#include "tests/support/line_pair.h"
#include "tools/common/frame_splitter.h"

struct ReceivedFrame {
    Bytes frame;    // the bytes as they came, from 05 64 on
    Bytes message;  // length byte and message, CRC bytes taken out
    bool complete;  // false when the line went quiet inside the frame
    bool crcOk;     // every block's CRC matched
};

class Responder {
public:
    // Returns the pieces to write back, in order; none keeps silent. Runs on
    // the responder's thread.
    using Handler = std::function<std::vector<Bytes>(const ReceivedFrame& frame)>;

    // Starts reading at once. The line must outlive the responder.
    Responder(LinePair& line, Handler handler);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // Ends the thread (also done by the destructor).
    void Stop();
    // Pause before each piece of an answer (default 0): lets a test make an
    // answer arrive in parts.
    void SetPieceGap(int ms) { pieceGapMs_ = ms; }

    // Every frame so far, in order, incomplete ones included.
    std::vector<ReceivedFrame> Frames();
    size_t FrameCount();
    // Waits until count frames came or timeoutMs passed; true if they came.
    bool WaitForFrames(size_t count, int timeoutMs);
    // Bytes thrown away while looking for 05 64.
    size_t SkippedBytes() { return skipped_.load(); }

private:
    void Run();
    Bytes ReadSome();
    void Handle(const kivtools::FramePiece& piece);

    LinePair& line_;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::atomic<int> pieceGapMs_{0};
    std::atomic<size_t> skipped_{0};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<ReceivedFrame> frames_;
    std::thread thread_;
};

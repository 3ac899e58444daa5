// Trace lines written by a thread of their own, so that a slow or stuck
// output (a pipe nobody reads, a terminal on hold, a slow disk) never holds
// up the code that traces: lines wait in a queue of bounded size; when it is
// full, lines are left out and counted, and a line saying how many goes out
// once there is room again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kivtools {

class TraceQueue {
public:
    // Text that may wait for the output, line ends included.
    static constexpr size_t kDefaultLimit = size_t(1) << 20;
    // How long Finish waits for an output that takes nothing.
    static constexpr int kStallMs = 500;

    TraceQueue() = default;
    ~TraceQueue() { Finish(); }
    TraceQueue(const TraceQueue&) = delete;
    TraceQueue& operator=(const TraceQueue&) = delete;

    // Starts the writer on standard error.
    void OpenStandardError(size_t limit = kDefaultLimit) { Begin(2, false, limit); }
    // Starts the writer on the file at path, appended to (created when not
    // there); false with the reason when it cannot be opened.
    bool OpenFile(const std::string& path, std::string* error, size_t limit = kDefaultLimit);
    bool IsOpen() const { return shared_ != nullptr; }

    // Queues one line (given without its line end); left out when the
    // queue is full. Never waits for the output. Any thread may call it.
    void Add(const std::string& line);
    // Lines left out so far.
    uint64_t LeftOut() const;

    // Writes what waits and ends the writer; gives up when the output took
    // nothing for kStallMs (a pipe nobody reads): the writer is then left
    // in its write, which the end of the process ends. A file is closed.
    void Finish();

    struct Shared;

private:
    void Begin(int fd, bool owned, size_t limit);
    std::shared_ptr<Shared> shared_;
};

}  // namespace kivtools

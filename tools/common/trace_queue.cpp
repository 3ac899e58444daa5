// The trace's own writer thread and its bounded queue.
#include "tools/common/trace_queue.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace kivtools {

struct TraceQueue::Shared {
    std::mutex mutex;
    std::condition_variable changed;  // lines queued, output written, the writer's end
    std::string waiting;              // lines for the output, each with its line end
    size_t limit = kDefaultLimit;     // most text waiting may hold
    uint64_t leftOut = 0;             // lines left out, in all
    uint64_t unreported = 0;          // lines left out since the last note saying so
    uint64_t written = 0;             // bytes the output took (Finish watches it move)
    bool finishing = false;           // Finish was called: write what waits, then end
    bool gone = false;                // the output failed; lines go nowhere
    bool ended = false;               // the writer has returned
    int fd = -1;
    bool owned = false;  // the writer closes fd at its end
    std::thread writer;
};

namespace {

std::string LeftOutNote(uint64_t lines) {
    return "(" + std::to_string(lines) + " trace lines left out: the trace's output did not keep up)\n";
}

// One write of what the output takes now: bytes taken, 0 to try again,
// -1 when the output is gone.
long WriteSome(int fd, const char* bytes, size_t count) {
    const size_t piece = count < 65536 ? count : 65536;
#if defined(_WIN32)
    int n = _write(fd, bytes, unsigned(piece));
    return n >= 0 ? long(n) : -1;
#else
    ssize_t n = ::write(fd, bytes, piece);
    if (n >= 0) return long(n);
    if (errno == EINTR) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // An output someone made non-blocking: wait for room, a little.
        struct pollfd p = {fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        return 0;
    }
    return -1;
#endif
}

// Writes a batch; false when the output is gone.
bool WriteAll(TraceQueue::Shared& s, const std::string& batch) {
    for (size_t done = 0; done < batch.size();) {
        long n = WriteSome(s.fd, batch.data() + done, batch.size() - done);
        if (n < 0) return false;
        done += size_t(n);
        if (n > 0) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.written += uint64_t(n);
            s.changed.notify_all();
        }
    }
    return true;
}

void RunWriter(std::shared_ptr<TraceQueue::Shared> shared) {
    TraceQueue::Shared& s = *shared;
#if !defined(_WIN32)
    // An output whose reader went away fails this thread's write (EPIPE)
    // and ends the trace, instead of ending the program with SIGPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
    std::string batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.changed.wait(lock, [&s] { return !s.waiting.empty() || s.finishing; });
            if (s.waiting.empty()) break;
            batch.clear();
            batch.swap(s.waiting);
        }
        if (!WriteAll(s, batch)) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.gone = true;
            s.waiting.clear();
            break;
        }
    }
#if defined(_WIN32)
    if (s.owned) _close(s.fd);
#else
    if (s.owned) ::close(s.fd);
#endif
    std::lock_guard<std::mutex> lock(s.mutex);
    s.ended = true;
    s.changed.notify_all();
}

}  // namespace

void TraceQueue::Begin(int fd, bool owned, size_t limit) {
    Finish();
    shared_ = std::make_shared<Shared>();
    shared_->fd = fd;
    shared_->owned = owned;
    shared_->limit = limit;
    shared_->writer = std::thread(RunWriter, shared_);
}

bool TraceQueue::OpenFile(const std::string& path, std::string* error, size_t limit) {
#if defined(_WIN32)
    // Text mode, as the rest of a Windows program's text output: CR LF.
    int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_TEXT, _S_IREAD | _S_IWRITE);
#else
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    Begin(fd, true, limit);
    return true;
}

void TraceQueue::Add(const std::string& line) {
    if (!shared_) return;
    Shared& s = *shared_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.gone || s.finishing) return;
    std::string note;
    if (s.unreported > 0) note = LeftOutNote(s.unreported);
    if (s.waiting.size() + note.size() + line.size() + 1 > s.limit) {
        ++s.leftOut;
        ++s.unreported;
        return;
    }
    const bool wasEmpty = s.waiting.empty();
    s.waiting += note;
    s.waiting += line;
    s.waiting += '\n';
    s.unreported = 0;
    if (wasEmpty) s.changed.notify_all();
}

uint64_t TraceQueue::LeftOut() const {
    if (!shared_) return 0;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->leftOut;
}

void TraceQueue::Finish() {
    if (!shared_) return;
    std::shared_ptr<Shared> shared;
    shared.swap(shared_);
    Shared& s = *shared;
    using Clock = std::chrono::steady_clock;
    bool ended;
    {
        std::unique_lock<std::mutex> lock(s.mutex);
        if (s.unreported > 0 && !s.gone) s.waiting += LeftOutNote(s.unreported);
        s.finishing = true;
        s.changed.notify_all();
        uint64_t seen = s.written;
        Clock::time_point progress = Clock::now();
        while (!s.ended) {
            s.changed.wait_for(lock, std::chrono::milliseconds(20));
            if (s.written != seen) {
                seen = s.written;
                progress = Clock::now();
            } else if (Clock::now() - progress >= std::chrono::milliseconds(kStallMs)) {
                break;
            }
        }
        ended = s.ended;
    }
    // A writer still in its write holds its own reference to what it uses.
    if (ended) {
        s.writer.join();
    } else {
        s.writer.detach();
    }
}

}  // namespace kivtools

// Shared pieces of the benchmarks (see support.h).
#include "bench/support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>

#include "platform/posix_termios.h"
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "link/frame_codec.h"
#include "tools/common/frame_splitter.h"
#include "tavlib/tavlib_control.h"

namespace kivbench {

int64_t NowNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double Quantile(std::vector<int64_t>& samples, double q) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(samples.size())));
    if (rank > 0) --rank;
    if (rank >= samples.size()) rank = samples.size() - 1;
    return static_cast<double>(samples[rank]);
}

double Mean(const std::vector<int64_t>& samples) {
    int64_t sum = 0;
    for (int64_t v : samples) sum += v;
    return samples.empty() ? 0 : static_cast<double>(sum) / static_cast<double>(samples.size());
}

void SetTimerSlack(unsigned long nanoseconds) { prctl(PR_SET_TIMERSLACK, nanoseconds, 0, 0, 0); }

namespace {

// Busy and total ticks of all processors together, from /proc/stat's first line.
void SystemTicks(int64_t* busy, int64_t* all) {
    *busy = *all = 0;
    FILE* file = std::fopen("/proc/stat", "r");
    if (file == nullptr) return;
    long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    const int read = std::fscanf(file, "cpu %lld %lld %lld %lld %lld %lld %lld %lld", &user, &nice, &system, &idle,
                                 &iowait, &irq, &softirq, &steal);
    std::fclose(file);
    if (read < 4) return;
    *busy = user + nice + system + irq + softirq + steal;
    *all = *busy + idle + iowait;
}

double ProcessCpuSeconds() {
    struct timespec cpu;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
}

}  // namespace

void MachineLoad::Start() {
    SystemTicks(&busyTicks_, &allTicks_);
    ownSeconds_ = ProcessCpuSeconds();
    startNs_ = NowNs();
}

double MachineLoad::OthersBusyCores() const {
    int64_t busy, all;
    SystemTicks(&busy, &all);
    const double wall = static_cast<double>(NowNs() - startNs_) / 1e9;
    if (all <= allTicks_ || wall <= 0) return 0;
    const double cpus = static_cast<double>(sysconf(_SC_NPROCESSORS_ONLN));
    const double busyCores = cpus * static_cast<double>(busy - busyTicks_) / static_cast<double>(all - allTicks_);
    const double own = (ProcessCpuSeconds() - ownSeconds_) / wall;
    return busyCores > own ? busyCores - own : 0;
}

// ---- Frames ----

std::vector<uint8_t> FrameOf(std::initializer_list<int> bytes) {
    std::vector<uint8_t> message;
    for (int byte : bytes) message.push_back(static_cast<uint8_t>(byte));
    std::vector<uint8_t> frame(kFrameBufferSize);
    frame.resize(EncodeFrameWith(FrameCrcTable(), message.data(), frame.data()));
    return frame;
}

std::vector<uint8_t> ReadRequestFrame(bool fcb) {
    // DIR (station at or above our address), PRM, FCB, FCV, function 15.
    const int control = 0xC0 | (fcb ? 0x20 : 0) | 0x10 | 0x0F;
    return FrameOf({10, control, kStation >> 8, kStation & 0xFF, kHostAddress >> 8, kHostAddress & 0xFF, 1, 1,
                    kRegister >> 8, kRegister & 0xFF, 1});
}

// ---- Pseudo-terminal lines ----

// Raw pseudo-terminal ends, set up by the same code as the driver's ports.
using kivposix::MakeRaw;

PtyLine::~PtyLine() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

bool PtyLine::Open(std::string* error) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        *error = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    char path[64];
    if (ptsname_r(master_, path, sizeof path) != 0 || !MakeRaw(slave_)) {
        *error = std::string("pty set-up: ") + std::strerror(errno);
        return false;
    }
    portName_ = path;
    if (portName_.size() > 11 && portName_.compare(0, 5, "/dev/") == 0) portName_ = portName_.substr(5);
    if (portName_.size() > 11) {
        *error = "pty path too long for a port name: " + portName_;
        return false;
    }
    return true;
}

Responder::Responder(int fd, WirePace pace, uint32_t value) : fd_(fd), pace_(pace) {
    // The unit's answers: DIR clear (our address 0 is below the unit's), PRM clear.
    readAnswer_ = FrameOf({14, 0x06, kHostAddress >> 8, kHostAddress & 0xFF, kStation >> 8, kStation & 0xFF, 1, 1,
                           kRegister >> 8, kRegister & 0xFF, 1, static_cast<int>(value >> 24),
                           static_cast<int>((value >> 16) & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                           static_cast<int>(value & 0xFF)});
    resetAnswer_ = FrameOf({7, 0x00, kHostAddress >> 8, kHostAddress & 0xFF, kStation >> 8, kStation & 0xFF, 0, 0});
}

Responder::~Responder() { Stop(); }

bool Responder::Start() {
    if (pipe(stopPipe_) != 0) return false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Responder::Stop() {
    if (thread_.joinable()) {
        const char signal = 1;
        if (write(stopPipe_[1], &signal, 1) < 0) {
            // The pipe is fresh: a failed write leaves the thread to the process end.
        }
        thread_.join();
    }
    for (int& end : stopPipe_) {
        if (end >= 0) close(end);
        end = -1;
    }
}

int64_t Responder::CpuNs() { return ThreadCpuNs(thread_); }

int64_t ThreadCpuNs(std::thread& thread) {
    clockid_t clock;
    struct timespec cpu;
    if (!thread.joinable() || pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
        clock_gettime(clock, &cpu) != 0)
        return 0;
    return static_cast<int64_t>(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
}

void ThisThreadCpu(int64_t* user, int64_t* system) {
    struct rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    *user = static_cast<int64_t>(usage.ru_utime.tv_sec) * 1000000000 + usage.ru_utime.tv_usec * 1000;
    *system = static_cast<int64_t>(usage.ru_stime.tv_sec) * 1000000000 + usage.ru_stime.tv_usec * 1000;
}

namespace {

void WriteAll(int fd, const uint8_t* bytes, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        const ssize_t w = write(fd, bytes + sent, size - sent);
        if (w > 0) sent += static_cast<size_t>(w);
        else if (errno != EINTR && errno != EAGAIN) break;
    }
}

void SleepUntilNs(int64_t when) {
    struct timespec at = {static_cast<time_t>(when / 1000000000), static_cast<long>(when % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

}  // namespace

// The request was seen whole at seenNs; on a wire its first byte would have
// left no earlier, so its last byte arrives a frame's line time later. The
// time a request waited in the pseudo-terminal before this thread woke is
// charged to the exchange, never credited.
void Responder::Answer(const std::vector<uint8_t>& answer, int64_t seenNs, size_t requestSize) {
    if (pace_.baud <= 0) {
        WriteAll(fd_, answer.data(), answer.size());
        return;
    }
    const int64_t byteNs = pace_.ByteNs();
    const int64_t start = seenNs + static_cast<int64_t>(requestSize) * byteNs + pace_.turnaroundNs;
    int64_t due = start;
    for (size_t sent = 0; sent < answer.size();) {
        const size_t burst = std::min(std::max<size_t>(pace_.burstBytes, 1), answer.size() - sent);
        due = start + static_cast<int64_t>(sent + burst) * byteNs;
        SleepUntilNs(due);
        WriteAll(fd_, answer.data() + sent, burst);
        sent += burst;
    }
    lateNs_.fetch_add(NowNs() - due);
}

void Responder::Run() {
    // Paced sleeps follow the line rate, not the kernel's default 50 us of
    // slack per sleep: a UART has no such slack.
    // A wire is never late: where the system allows, a paced responder
    // runs under the real-time policy, so that other work on the machine
    // does not delay its sleeps' ends (it sleeps between bursts, so it
    // cannot hold a processor).
    if (pace_.baud > 0) {
        SetTimerSlack(1);
        const struct sched_param priority = {1};
        realtime_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) == 0;
    }
    uint8_t buffer[1024];
    kivtools::FrameSplitter splitter;
    kivtools::FramePiece piece;
    for (;;) {
        struct pollfd waits[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waits[1].revents != 0) return;
        if (waits[0].revents & (POLLERR | POLLNVAL)) return;
        if (waits[0].revents & POLLHUP && !(waits[0].revents & POLLIN)) {
            usleep(1000);  // no slave open just now
            continue;
        }
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) continue;
        const int64_t seen = NowNs();
        // Whole frames, whatever their CRCs; bytes before 05 64 are skipped.
        splitter.Feed(buffer, static_cast<size_t>(n));
        while (splitter.Next(&piece)) {
            if (piece.kind == kivtools::FramePiece::Junk) continue;
            const bool linkReset = piece.bytes.size() > 9 && piece.bytes[8] == 0 && piece.bytes[9] == 0;  // set 0, op 0
            if (!linkReset) lastRequestSize_.store(piece.bytes.size());
            Answer(linkReset ? resetAnswer_ : readAnswer_, seen, piece.bytes.size());
        }
    }
}

bool PrepareBareEnd(int fd) {
    if (isatty(fd) && !MakeRaw(fd)) return false;
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool BareExchange(int fd, const uint8_t* request, size_t requestSize, uint8_t* answer, size_t answerSize,
                  int timeoutMs) {
    const int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
    size_t sent = 0;
    while (sent < requestSize) {
        const ssize_t n = write(fd, request + sent, requestSize - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        struct pollfd wait = {fd, POLLOUT, 0};
        poll(&wait, 1, 1);
    }
    size_t got = 0;
    while (got < answerSize) {
        const int64_t left = deadline - NowNs();
        if (left <= 0) return false;
        struct pollfd wait = {fd, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>((left + 999999) / 1000000));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        const ssize_t n = read(fd, answer + got, answerSize - got);
        if (n > 0) got += static_cast<size_t>(n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR)) return false;
    }
    return true;
}

// ---- Channels through KivMain ----

namespace {

std::atomic<int32_t> nextChannel{1};

std::atomic<uint64_t> faultLines{0};
std::mutex lastFaultMutex;
char lastFault[256];

void TAVLIB_CDECL CountLog(int32_t level, const char* text, void*) {
    if (level != 32) return;
    faultLines.fetch_add(1);
    std::lock_guard<std::mutex> lock(lastFaultMutex);
    std::snprintf(lastFault, sizeof lastFault, "%s", text);
}

// KivMain of the driver a host loads: this build's KIVLINK.so, opened with
// dlopen on first use, so that every figure counts the code a host runs
// (its thread-local reads through the dynamic loader included), not the
// statically linked copy of the driver's objects that the CRC and frame
// helpers use. Exits when the library cannot be loaded.
using KivEntry = int32_t(KIV_CDECL*)(CallRecord*);
KivEntry DriverEntry() {
    static const KivEntry entry = [] {
        void* library = dlopen(KIV_BENCH_DRIVER, RTLD_NOW | RTLD_LOCAL);
        void* symbol = library != nullptr ? dlsym(library, "KivMain") : nullptr;
        if (symbol == nullptr) {
            std::fprintf(stderr, "kiv_bench: cannot load the driver %s: %s\n", KIV_BENCH_DRIVER, dlerror());
            std::exit(2);
        }
        return reinterpret_cast<KivEntry>(symbol);
    }();
    return entry;
}

}  // namespace

uint64_t FaultLogLines() { return faultLines.load(); }

std::string LastFaultLine() {
    std::lock_guard<std::mutex> lock(lastFaultMutex);
    return lastFault;
}

void CaptureDriverLog() {
    TavSetLogToStderr(0);
    TavSetLogCallback(CountLog, nullptr);
}

DriverChannel::DriverChannel()
    : block_(static_cast<ChannelBlock*>(std::calloc(1, sizeof(ChannelBlock)))), number_(nextChannel.fetch_add(1)) {}

// Ends the channel as a host does before it frees the block, so that its
// host client and side-table entry go back for the next benchmark's channels.
DriverChannel::~DriverChannel() {
    ClosePort();
    Call(CommandClose, nullptr);
    std::free(block_);
}

int32_t DriverChannel::Call(int32_t command, void* parameters) {
    CallRecord call{block_, command, number_, 0, parameters};
    return DriverEntry()(&call);
}

bool DriverChannel::Open(const std::string& portName, bool reportByException, std::string* error) {
    char fileName[64];
    std::snprintf(fileName, sizeof fileName, "kivIN%.2d.int", static_cast<int>(number_));
    FILE* file = std::fopen(fileName, "w");
    if (file == nullptr) {
        *error = std::string("cannot write ") + fileName;
        return false;
    }
    std::fprintf(file, "Host Address = %d\n%s", kHostAddress, reportByException ? "EXCEPTION = ON\n" : "");
    std::fclose(file);

    PortSettings settings;
    std::memset(&settings, 0, sizeof settings);
    std::snprintf(settings.portName, sizeof settings.portName, "%s", portName.c_str());
    settings.enabled = 1;
    settings.readTimeout = 100;  // 1 s: never reached by an answer that comes
    settings.line = LineSettings{19200, 8, 0, 0};
    const int32_t result = Call(CommandOpen, &settings);
    if (result != 0) {
        *error = "Open returned " + std::to_string(result) + " (" + LastFaultLine() + ")";
        return false;
    }
    open_ = true;
    return true;
}

void DriverChannel::ClosePort() {
    if (open_ && block_->portHandle != 0) Call(CommandClosePort, nullptr);
    open_ = false;
}

bool DriverChannel::Gate(const char* text, GateRequest* gate, int32_t* data, int32_t kind) {
    AddressRequest address;
    std::memset(&address, 0, sizeof address);
    address.text = text;
    address.gate.kind = kind;
    address.gate.blockLength = 1;
    if (Call(CommandParseAddress, &address) != 0) return false;
    *gate = address.gate;
    gate->count = 1;
    gate->data = data;
    return true;
}

bool PolledUnit::Open(WirePace pace, bool bareEnd, std::string* error) {
    if (!line.Open(error)) return false;
    unit.reset(new Responder(line.master(), pace));
    if (!unit->Start()) {
        *error = "responder thread";
    } else if (bareEnd && !PrepareBareEnd(line.slave())) {
        // Before the driver opens the port: raw (a setting of the tty, which
        // both ends share), non-blocking (of this descriptor's open file only).
        *error = "bare end set-up";
    } else if (!channel.Open(line.portName(), false, error)) {
        return false;
    } else if (!channel.Gate("R00120300", &gate, data)) {
        *error = "ParseAddress refused R00120300";
    } else {
        return true;
    }
    return false;
}

}  // namespace kivbench

// Shared pieces of the benchmarks: a monotonic clock, percentiles, the
// allocation counter, pseudo-terminal lines with a responder that answers at
// once or paced as a wire, the bare exchange that is the floor of a round
// trip, and channels opened through KivMain the way a host opens them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivlink.h"

namespace kivbench {

constexpr uint16_t kStation = 12;       // the unit every benchmark talks to
constexpr uint16_t kHostAddress = 0;    // the channels' own station number
constexpr uint16_t kRegister = 300;     // the register a poll reads
constexpr size_t kReadRequestSize = 15; // frame of a one-register read (L = 10)
constexpr size_t kReadAnswerSize = 19;  // frame of its answer (L = 14)

// CLOCK_MONOTONIC in nanoseconds.
int64_t NowNs();

// The q-quantile (0..1, nearest rank) of samples; sorts them. 0 when empty.
double Quantile(std::vector<int64_t>& samples, double q);
// The mean of samples; 0 when empty.
double Mean(const std::vector<int64_t>& samples);

// How busy the machine is besides this process: Start before, then
// OthersBusyCores after a run gives the cores that other processes kept busy
// meanwhile, on average (from /proc/stat and this process's CPU time).
class MachineLoad {
public:
    void Start();
    double OthersBusyCores() const;

private:
    int64_t busyTicks_ = 0;
    int64_t allTicks_ = 0;
    double ownSeconds_ = 0;
    int64_t startNs_ = 0;
};

// Sets this thread's timer slack (nanoseconds; Linux default 50000). Threads
// started afterwards inherit it.
void SetTimerSlack(unsigned long nanoseconds);

// ---- Allocation counter (alloc_count.cpp) ----

// Every malloc, calloc, realloc and aligned allocation of the process goes
// through a counting interposer (operator new reaches it through malloc).
// Only those made on a thread while it is tracked are added up here.
uint64_t TrackedAllocations();
void TrackThisThread(bool on);
// True when a malloc and an operator new on a tracked thread both count, and
// an untracked one does not: the interposer is in place.
bool AllocationCounterWorks();

// ---- Frames ----

// The frame of a message (length byte first), each byte given as an int.
std::vector<uint8_t> FrameOf(std::initializer_list<int> bytes);
// The frame of a one-register read of kRegister at kStation, as the driver
// builds it with the given frame-count bit: 15 bytes.
std::vector<uint8_t> ReadRequestFrame(bool fcb);

// ---- Pseudo-terminal lines ----

// A pseudo-terminal pair in raw mode. The slave is the driver's end (opened
// by name) and stays open here too, so the master never sees a hang-up.
class PtyLine {
public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    bool Open(std::string* error);
    int master() const { return master_; }
    int slave() const { return slave_; }
    // The slave as a port name of at most 11 characters ("/dev/pts/7" or "pts/123").
    const std::string& portName() const { return portName_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string portName_;
};

// How a responder paces its line as a wire would: a byte takes 10 bits at
// baud, the answer starts turnaroundNs after the request's last byte has
// crossed the wire, and it is handed over burstBytes at a time, each burst
// when its last byte has crossed. baud 0: answers at once, all together.
struct WirePace {
    int baud = 0;
    int64_t turnaroundNs = 0;
    size_t burstBytes = 1;
    int64_t ByteNs() const { return baud > 0 ? 10 * INT64_C(1000000000) / baud : 0; }
};

// Plays a unit on its own thread: it cuts whole frames (05 64 L, then the
// rest that L gives) from its end of the line with the tools' frame splitter
// and writes a precomputed answer: a bare header to a link reset, the
// 19-byte answer of a one-register read to any other frame. At once, or
// paced (WirePace): it then sleeps until each burst is due, never spins.
// Once the splitter's buffers have grown to a frame it allocates nothing.
class Responder {
public:
    explicit Responder(int fd, WirePace pace = WirePace(), uint32_t value = 100000);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    bool Start();
    void Stop();
    // Size of the last frame that was not a link reset.
    size_t LastRequestSize() const { return lastRequestSize_.load(); }
    // The frame it answers a read with.
    const std::vector<uint8_t>& ReadAnswer() const { return readAnswer_; }
    // CPU time its thread has used, in ns (while it runs).
    int64_t CpuNs();
    // How late its paced answers' last bytes went out, in all, in ns.
    int64_t LateNs() const { return lateNs_.load(); }
    // Whether its thread runs under the real-time policy (paced only).
    bool Realtime() const { return realtime_.load(); }

private:
    void Run();
    void Answer(const std::vector<uint8_t>& answer, int64_t seenNs, size_t requestSize);

    int fd_;
    WirePace pace_;
    int stopPipe_[2] = {-1, -1};
    std::vector<uint8_t> readAnswer_;
    std::vector<uint8_t> resetAnswer_;
    std::atomic<size_t> lastRequestSize_{0};
    std::atomic<int64_t> lateNs_{0};
    std::atomic<bool> realtime_{false};
    std::thread thread_;
};

// CPU time (user and kernel) a running thread has used, in ns; 0 when it
// cannot be read.
int64_t ThreadCpuNs(std::thread& thread);
// The calling thread's CPU time so far in user space and in the kernel, in ns.
void ThisThreadCpu(int64_t* user, int64_t* system);

// The floor of a round trip: writes the request and reads answerSize bytes
// with poll() against a deadline, on a non-blocking descriptor. true when the
// whole answer came within timeoutMs.
bool BareExchange(int fd, const uint8_t* request, size_t requestSize, uint8_t* answer, size_t answerSize,
                  int timeoutMs = 1000);
// Makes a descriptor non-blocking (and raw, when it is a terminal).
bool PrepareBareEnd(int fd);

// ---- Channels through KivMain ----

// One channel of the driver as a host holds it: a zero-filled block of the
// size Describe reports, a channel number of its own and its configuration
// file in the current directory.
class DriverChannel {
public:
    DriverChannel();
    ~DriverChannel();
    DriverChannel(const DriverChannel&) = delete;
    DriverChannel& operator=(const DriverChannel&) = delete;

    // Writes the configuration file (host address kHostAddress, report by
    // exception as asked) and opens the port at 19200 8N1 with a read
    // time-out of 1 s. false with *error when Open did not return 0.
    bool Open(const std::string& portName, bool reportByException, std::string* error);
    // Closes the port (ClosePort) if it is open.
    void ClosePort();
    int32_t Call(int32_t command, void* parameters);
    // Decodes an address text with ParseAddress for a gate of the host's
    // value kind (6: a single bit) into *gate, with data as its data area
    // and count 1. false when the text was refused.
    bool Gate(const char* text, GateRequest* gate, int32_t* data, int32_t kind = 3);

    int32_t number() const { return number_; }
    ChannelBlock* block() { return block_; }

private:
    ChannelBlock* block_;
    int32_t number_;
    bool open_ = false;
};

// A unit on a pseudo-terminal line of its own, played by a Responder, and a
// channel of the driver on that line with the gate of R00120300.
struct PolledUnit {
    PtyLine line;
    std::unique_ptr<Responder> unit;
    DriverChannel channel;
    GateRequest gate{};
    int32_t data[4] = {};

    // Opens the line, starts the responder (paced as asked), prepares the
    // line's other end for bare exchanges when asked to, opens the channel
    // and decodes the gate. false with *error at the first step that failed.
    bool Open(WirePace pace, bool bareEnd, std::string* error);
    // A one-register Read of the gate through KivMain.
    int32_t Read() { return channel.Call(CommandRead, &gate); }
};

// Log lines the driver wrote at level 32 (faults) since the program began.
uint64_t FaultLogLines();
// The last fault line, for messages.
std::string LastFaultLine();
// Starts counting the driver's log (and keeps it off standard error).
void CaptureDriverLog();

}  // namespace kivbench

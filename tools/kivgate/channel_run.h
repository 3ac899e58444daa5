// Inside a channel: what its thread keeps (the gates as the address commands
// took them, the read plan, the queue of writes, the line's status), shared
// by the files that make up a channel. Not for the rest of kivgate.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/kivgate/channel.h"
#include "tools/kivgate/plan.h"
#include "tools/kivpoll/driver_host.h"
#include "tools/kivpoll/port_watch.h"

namespace kivgate {

using SteadyClock = std::chrono::steady_clock;

// Writes a channel keeps for its thread; more are refused at once.
constexpr size_t kWriteQueueBound = 64;
// A polled gate turns stale after this many intervals without a fresh read.
constexpr int kStaleIntervals = 3;

// One gate the address commands took.
struct GateRun {
    GateSettings settings;            // station, area, number and bit as the driver's parse filled them
    GateRequest request{};            // as the address command filled it (data set for each call)
    std::vector<int32_t> raw;         // the last good raw values (a block's registers)
    bool good = false;                // raw holds a good read
    Quality quality = Quality::Good;  // as last published
    int32_t result = 0;
    std::string reason;
    SteadyClock::time_point fresh;    // of the last fresh reading (or of the start)
    int64_t newestStampMs = 0;        // the unit's time stamp of the newest stamped update taken, ms since
                                      // 1970; 0 before one
    size_t group = SIZE_MAX;          // its read group, SIZE_MAX when never polled
};

// A /set for the thread: a gate's raw values, or the unit's clock.
struct WriteJob {
    bool clock = false;
    int32_t station = 0;
    std::string name;
    std::vector<int32_t> raw;
    std::vector<double> asked;
};

struct ChannelRun {
    ChannelRun(const ChannelSettings& channelSettings, const std::string& driver, Publisher& out)
        : settings(channelSettings), driverPath(driver), publisher(out) {}

    ChannelSettings settings;
    std::string driverPath;
    Publisher& publisher;
    kivpoll::DriverHost host;
    std::string driverPort;  // the port name the driver opens (a port map entry for long ones)

    // The running gates: the thread and the listener's updates take gatesMutex.
    std::mutex gatesMutex;
    std::vector<GateRun> gates;
    std::vector<ReadGroup> plan;
    std::vector<SteadyClock::time_point> due;  // of each group
    std::minstd_rand jitter{std::random_device{}()};  // moves each group's next time a little

    std::thread thread;
    std::atomic<std::thread::id> worker{};  // the thread's: its own event fetches are told apart
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    std::mutex queueMutex;      // writes and the wake-up
    std::condition_variable wake;
    std::deque<WriteJob> writes;

    // Only the thread touches these.
    bool filesWritten = false;
    bool opened = false;
    SteadyClock::time_point nextOpen;
    std::chrono::milliseconds openPause{1000};
    std::unique_ptr<kivpoll::PortWatch> watch;
    ChannelStatus status;
    std::string publishedState;  // the state last published
    SteadyClock::time_point lastStatus;
    bool statusDirty = true;
    int openTries = 0;
    std::atomic<uint64_t> fetched{0};  // records the thread's own event fetches stored
};

// channel_files.cpp: the channel file kivINnn.int and, for network and long
// device ports, the port map entry, in the current folder; sets driverPort.
bool WriteChannelFiles(ChannelRun& state, std::string* error);

// channel_io.cpp
// The address commands for every gate: refused ones are reported and left
// out; the rest become the running gates with their plan.
void AddressGates(ChannelRun& state);
// Open (after the files); false with the state "port failed" and its reason.
bool TryOpen(ChannelRun& state);
// Reads one group and publishes its gates; the driver's result.
int32_t ReadGroupNow(ChannelRun& state, size_t group);
// Serves one write or clock setting and publishes its result; portDown
// (not empty: why the port is not in use) answers it without the line.
void ServeWrite(ChannelRun& state, const WriteJob& job, const std::string& portDown);
// Publishes stale for polled gates without a fresh read for kStaleIntervals.
void MarkStale(ChannelRun& state, const std::string& why);
// Counts one driver call's outcome in the status.
void CountRequest(ChannelRun& state, int32_t result, const std::string& reason);
// The driver's result in words: "" for done.
std::string ResultReason(int32_t result, const std::vector<std::string>& log, const std::string& operation);
// Wall clock in ms since 1970.
int64_t WallMs();
// Published values: raw * scale + offset.
std::vector<double> Scaled(const GateSettings& gate, const std::vector<int32_t>& raw);
// A bit gate's value from its register's.
inline int32_t BitOf(int32_t raw, int32_t bit) {
    return static_cast<int32_t>((static_cast<uint32_t>(raw) >> (bit & 31)) & 1u);
}

// channel.cpp
void SetState(ChannelRun& state, const std::string& name);

// runtime_updates.cpp: the one gate callback of the runtime, dispatching by
// channel index to the running channels.
void RegisterForUpdates(ChannelRun& state);
void UnregisterForUpdates(ChannelRun& state);
// The runtime gates of the channel's gates (scale 1, offset 0: raw values
// come back), defined before Open so that the listener finds them.
void DefineRuntimeGates(ChannelRun& state);

}  // namespace kivgate

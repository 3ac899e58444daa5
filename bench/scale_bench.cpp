// Figure 6: scale as a site sees it. 1, 16, 64 and 99 channels, each on a
// line of its own paced at 19200 baud by a responder that plays the unit
// (bench/support: WirePace), each polled without pause by a host thread of
// its own that reads one register through KivMain. Each channel's scan rate
// against the wire's limit, and the CPU time of the host threads (the
// driver's work, its kernel calls included) as a share of one core.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "bench/support.h"

namespace kivbench {
namespace {

constexpr int kBaud = 19200;
constexpr int64_t kTurnaroundNs = 2000000;  // the unit answers 2 ms after a request's last byte
constexpr size_t kBurstBytes = 8;           // handed over 8 at a time, as a UART's receive FIFO does
constexpr int kWarmUpReads = 3;             // the first one resets the station's link
constexpr int64_t kRunNs = 5000000000;

// Polls per second that the wire allows: a request and its answer at ten
// bits a byte, and the unit's turnaround between them.
double WireLimitPerSecond() {
    const double bytes = static_cast<double>(kReadRequestSize + kReadAnswerSize);
    return 1e9 / (bytes * static_cast<double>(WirePace{kBaud, 0, 1}.ByteNs()) + static_cast<double>(kTurnaroundNs));
}

// The start and the end of the measured span, shared by the host threads.
struct Span {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::atomic<int64_t> stopAt{INT64_MAX};
};

struct Lane : PolledUnit {
    std::thread host;
    int64_t cpuNs = 0;      // the host thread's CPU time over the span
    int64_t userNs = 0;     // of it in user space, from the start to the host's end
    int64_t unitCpuNs = 0;  // the responder's
    int64_t lateNs = 0;     // how late the responder's answers ended, in all
    uint64_t polls = 0;
    int64_t pollNs = 0;
    uint64_t failures = 0;
    std::string error;
    // The floor: the host thread writes the request and reads the answer
    // itself, with one poll() per wake-up, as no driver could undercut.
    bool bare = false;
    std::vector<uint8_t> request;
    uint8_t answer[64] = {};

    int32_t Poll() {
        if (!bare) return Read() == 0 && data[0] == 100000 ? 0 : 1;
        return BareExchange(line.slave(), request.data(), request.size(), answer, kReadAnswerSize) ? 0 : 1;
    }

    // Adds sign times the counters now: -1 at the span's start, +1 at its end.
    void Take(int sign) {
        cpuNs += sign * ThreadCpuNs(host);
        unitCpuNs += sign * unit->CpuNs();
        lateNs += sign * unit->LateNs();
    }

    // Polls per second; without the rig's lateness, as if the responder's
    // sleeps had ended on time (a wire's bytes are never late).
    double ScanPerSecond(bool withoutLateness = false) const {
        const int64_t ns = pollNs - (withoutLateness ? lateNs : 0);
        return ns > 0 ? static_cast<double>(polls) * 1e9 / static_cast<double>(ns) : 0;
    }
};

// A host thread: warms up, waits for the start, then polls until the stop;
// polls that end after the span are not counted.
void Host(Lane* lane, Span* span) {
    for (int i = 0; i < kWarmUpReads && lane->error.empty(); ++i) {
        if (lane->Poll() != 0) lane->error = "warm-up read: " + LastFaultLine();
    }
    span->ready.fetch_add(1);
    while (!span->go.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    int64_t userAtStart, userAtEnd, system;
    ThisThreadCpu(&userAtStart, &system);
    while (!span->stop.load(std::memory_order_relaxed)) {
        const int64_t start = NowNs();
        const int32_t result = lane->Poll();
        const int64_t end = NowNs();
        if (end > span->stopAt.load()) break;
        if (result != 0) ++lane->failures;
        ++lane->polls;
        lane->pollNs += end - start;
    }
    ThisThreadCpu(&userAtEnd, &system);
    lane->userNs = userAtEnd - userAtStart;
}

std::string OpenLanes(std::vector<std::unique_ptr<Lane>>& lanes, int channels, bool bare) {
    const WirePace pace{kBaud, kTurnaroundNs, kBurstBytes};
    std::string error;
    for (int i = 0; i < channels && error.empty(); ++i) {
        lanes.emplace_back(new Lane());
        lanes.back()->bare = bare;
        lanes.back()->request = ReadRequestFrame(false);
        lanes.back()->Open(pace, bare, &error);
    }
    return error;
}

// Runs the hosts over one span; returns its wall time in ns and leaves each
// lane's counts and CPU time in it.
int64_t RunSpan(std::vector<std::unique_ptr<Lane>>& lanes, Span* span) {
    for (auto& lane : lanes) lane->host = std::thread(Host, lane.get(), span);
    const int count = static_cast<int>(lanes.size());
    while (span->ready.load() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (auto& lane : lanes) lane->Take(-1);
    const int64_t start = NowNs();
    span->go.store(true);
    std::this_thread::sleep_for(std::chrono::nanoseconds(kRunNs));
    for (auto& lane : lanes) lane->Take(1);
    span->stopAt.store(NowNs());
    span->stop.store(true);
    for (auto& lane : lanes) lane->host.join();
    return span->stopAt.load() - start;
}

// The responders' CPU and lateness are the rig's, shown apart from the driver's.
void Report(benchmark::State& state, std::vector<std::unique_ptr<Lane>>& lanes, int64_t wallNs) {
    std::vector<int64_t> rates, onTime;  // polls per second, in thousandths
    int64_t cpuNs = 0, userNs = 0, unitCpuNs = 0, lateNs = 0;
    uint64_t polls = 0, failures = 0;
    for (auto& lane : lanes) {
        rates.push_back(static_cast<int64_t>(lane->ScanPerSecond() * 1000));
        onTime.push_back(static_cast<int64_t>(lane->ScanPerSecond(true) * 1000));
        cpuNs += lane->cpuNs;
        unitCpuNs += lane->unitCpuNs;
        userNs += lane->userNs;
        lateNs += lane->lateNs;
        polls += lane->polls;
        failures += lane->failures;
    }
    const double limit = WireLimitPerSecond();
    const double wall = static_cast<double>(wallNs);
    state.counters["channels"] = static_cast<double>(lanes.size());
    state.counters["wire_limit_per_s"] = limit;
    state.counters["turnaround_ms"] = kTurnaroundNs / 1e6;
    state.counters["burst_bytes"] = kBurstBytes;
    state.counters["scan_per_s_min"] = Quantile(rates, 0.0) / 1000;
    state.counters["scan_per_s_median"] = Quantile(rates, 0.5) / 1000;
    state.counters["scan_per_s_max"] = Quantile(rates, 1.0) / 1000;
    state.counters["share_min"] = Quantile(rates, 0.0) / 1000 / limit;
    state.counters["share_min_rig_on_time"] = Quantile(onTime, 0.0) / 1000 / limit;
    state.counters["driver_cpu_core_share"] = static_cast<double>(cpuNs) / wall;
    state.counters["driver_cpu_us_per_poll"] = polls > 0 ? static_cast<double>(cpuNs) / 1000 / polls : 0;
    state.counters["driver_user_us_per_poll"] = polls > 0 ? static_cast<double>(userNs) / 1000 / polls : 0;
    state.counters["responder_cpu_core_share"] = static_cast<double>(unitCpuNs) / wall;
    state.counters["responder_late_us_per_poll"] = polls > 0 ? static_cast<double>(lateNs) / 1000 / polls : 0;
    state.counters["responders_realtime"] = lanes.front()->unit->Realtime() ? 1 : 0;
    state.counters["failures"] = static_cast<double>(failures);
}

void RunScale(benchmark::State& state, bool bare) {
    std::vector<std::unique_ptr<Lane>> lanes;
    const std::string error = OpenLanes(lanes, static_cast<int>(state.range(0)), bare);
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    for (auto _ : state) {
        Span span;
        MachineLoad load;
        load.Start();
        const int64_t wallNs = RunSpan(lanes, &span);
        state.counters["others_cores_busy"] = load.OthersBusyCores();
        state.SetIterationTime(static_cast<double>(wallNs) / 1e9);
        Report(state, lanes, wallNs);
    }
    for (auto& lane : lanes) {
        if (!lane->error.empty()) state.SkipWithError(lane->error.c_str());
        lane->channel.ClosePort();
    }
}

void BM_Scale(benchmark::State& state) { RunScale(state, false); }
// The same lines polled by bare exchanges: what this machine allows any host.
void BM_ScaleFloor(benchmark::State& state) { RunScale(state, true); }

}  // namespace

void RegisterScaleBenchmarks() {
    for (int channels : {1, 16, 64, 99}) {
        benchmark::RegisterBenchmark("BM_Scale", BM_Scale)
            ->Arg(channels)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    }
    for (int channels : {1, 99}) {
        benchmark::RegisterBenchmark("BM_ScaleFloor", BM_ScaleFloor)
            ->Arg(channels)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    }
}

}  // namespace kivbench

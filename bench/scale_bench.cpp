// Figure 6: many channels in one process. Each channel has its own
// pseudo-terminal, its own responder and a host thread of its own that polls
// one register through KivMain as fast as the answers come. Total requests
// per second, each channel's p99, the CPU time a request costs the process,
// and the memory a channel adds.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "bench/support.h"
#include "driver/commands.h"

namespace kivbench {
namespace {

constexpr double kRunSeconds = 1.5;

// Resident memory of the process in bytes.
int64_t ResidentBytes() {
    FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return 0;
    long size = 0, resident = 0;
    const int read = std::fscanf(file, "%ld %ld", &size, &resident);
    std::fclose(file);
    return read == 2 ? static_cast<int64_t>(resident) * sysconf(_SC_PAGESIZE) : 0;
}

double CpuSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Lane {
    PtyLine line;
    std::unique_ptr<InstantResponder> unit;
    std::unique_ptr<DriverChannel> channel;
    GateRequest gate{};
    int32_t data[4] = {};
    std::vector<int64_t> latencies;
    uint64_t failures = 0;
};

// Polls until stop; keeps the latencies of requests that ended before it.
void Poll(Lane* lane, const std::atomic<bool>* go, const std::atomic<bool>* stop, const std::atomic<int64_t>* stopAt) {
    while (!go->load()) std::this_thread::yield();
    while (!stop->load(std::memory_order_relaxed)) {
        const int64_t start = NowNs();
        const int32_t result = lane->channel->Call(CommandRead, &lane->gate);
        const int64_t end = NowNs();
        if (stop->load() && end > stopAt->load()) break;
        if (result != 0) ++lane->failures;
        lane->latencies.push_back(end - start);
    }
}

void BM_Scale(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    std::vector<std::unique_ptr<Lane>> lanes;
    std::string error;
    for (int i = 0; i < channels && error.empty(); ++i) {
        std::unique_ptr<Lane> lane(new Lane());
        if (!lane->line.Open(&error)) break;
        lane->unit.reset(new InstantResponder(lane->line.master()));
        if (!lane->unit->Start()) error = "responder thread";
        lane->latencies.reserve(200000);
        lanes.push_back(std::move(lane));
    }
    // What the channels themselves add: blocks, open ports, their first reads.
    const int64_t residentBefore = ResidentBytes();
    for (auto& lane : lanes) {
        if (!error.empty()) break;
        lane->channel.reset(new DriverChannel());
        if (!lane->channel->Open(lane->line.portName(), false, &error)) break;
        if (!lane->channel->Gate("R00120300", &lane->gate, lane->data)) error = "gate address refused";
        for (int i = 0; i < 20 && error.empty(); ++i) {
            if (lane->channel->Call(CommandRead, &lane->gate) != 0) error = "warm-up read failed: " + LastFaultLine();
        }
    }
    const int64_t residentAfter = ResidentBytes();
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }

    for (auto _ : state) {
        std::atomic<bool> go{false}, stop{false};
        std::atomic<int64_t> stopAt{INT64_MAX};
        std::vector<std::thread> hosts;
        for (auto& lane : lanes) hosts.emplace_back(Poll, lane.get(), &go, &stop, &stopAt);
        const double cpuBefore = CpuSeconds();
        MachineLoad load;
        load.Start();
        const int64_t start = NowNs();
        go.store(true);
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(kRunSeconds * 1e6)));
        stopAt.store(NowNs());
        stop.store(true);
        const double others = load.OthersBusyCores();
        const int64_t elapsed = stopAt.load() - start;
        for (std::thread& host : hosts) host.join();
        const double cpu = CpuSeconds() - cpuBefore;
        state.SetIterationTime(static_cast<double>(elapsed) / 1e9);

        uint64_t total = 0, failures = 0;
        size_t fewest = SIZE_MAX, most = 0;
        std::vector<int64_t> p99s;
        for (auto& lane : lanes) {
            total += lane->latencies.size();
            failures += lane->failures;
            fewest = std::min(fewest, lane->latencies.size());
            most = std::max(most, lane->latencies.size());
            p99s.push_back(static_cast<int64_t>(Quantile(lane->latencies, 0.99)));
        }
        const double seconds = static_cast<double>(elapsed) / 1e9;
        state.counters["channels"] = channels;
        state.counters["requests_per_s"] = static_cast<double>(total) / seconds;
        state.counters["per_channel_per_s_min"] = static_cast<double>(fewest) / seconds;
        state.counters["per_channel_per_s_max"] = static_cast<double>(most) / seconds;
        state.counters["p99_us_median_channel"] = Quantile(p99s, 0.5) / 1000.0;
        state.counters["p99_us_worst_channel"] = Quantile(p99s, 1.0) / 1000.0;
        state.counters["cpu_us_per_request"] = total > 0 ? cpu * 1e6 / static_cast<double>(total) : 0;
        state.counters["cpu_cores_busy"] = cpu / seconds;
        state.counters["failures"] = static_cast<double>(failures);
        state.counters["others_cores_busy"] = others;
        state.counters["resident_bytes_per_channel"] =
            static_cast<double>(residentAfter - residentBefore) / static_cast<double>(channels);
    }
    for (auto& lane : lanes) lane->channel->ClosePort();
}

}  // namespace

void RegisterScaleBenchmarks() {
    for (int channels : {1, 4, 16, 64}) {
        benchmark::RegisterBenchmark("BM_Scale", BM_Scale)
            ->Arg(channels)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    }
}

}  // namespace kivbench

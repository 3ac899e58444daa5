// Figure 7: report-by-exception latency. A simulated unit in exception mode
// announces a register change or a status event (in turn); the channel's
// listener wakes from the runtime's message wait, acknowledges, fetches the
// event and writes the gate. Measured from the moment the notice leaves kivsim (its trace, taken
// just before the write) to the gate callback of the runtime stand-in, for
// two wait ticks. The listener's heap allocations per notice are counted too.
//
// This runs last: ending the listener ends the driver's work in the process.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "bench/support.h"
#include "tavlib/tavlib_control.h"
#include "tools/kivsim/kivsim.h"

namespace kivbench {
namespace {

const char kShutdownLine[] = "KivIN : ShutDown Report By Excption thread";
constexpr uint16_t kStatusPoint = 7;

struct ExceptionRig {
    std::unique_ptr<kivsim::Simulator> sim;
    DriverChannel channel;
    int32_t registerGate = -1;
    int32_t statusGate = -1;
    std::thread::id mainThread = std::this_thread::get_id();
    std::atomic<bool> armed{false};
    std::atomic<int64_t> noticeAt{0};
    std::atomic<uint64_t> gateWrites{0};
    std::atomic<int64_t> gateAt{0};
    uint32_t nextValue = 1;
    std::string error;

    bool SetUp() {
        kivsim::Options options;
        // Samples follow one another without the unit's pause after an
        // acknowledgement, and a notice needs only a short quiet spell on the
        // line: with the default 20 ms, notices would leave in step with a
        // 20 ms wait tick instead of at random phases of it.
        options.noticeGapMs = 0;
        options.idleGapMs = 2;
        sim.reset(new kivsim::Simulator(options));
        sim->SetTraceSink([this](const std::string& line) {
            if (armed.load() && line.find(" TX ") != std::string::npos &&
                line.find("(notice") != std::string::npos) {
                noticeAt.store(NowNs());
                armed.store(false);
            }
        });
        if (!sim->AddStation(kStation, kHostAddress) || !sim->SetExceptionMode(kStation, true) || !sim->Start()) {
            error = "simulator: " + sim->Error();
            return false;
        }
        if (!channel.Open(sim->LinePath(), true, &error)) return false;
        registerGate = TavDefineGateAt(channel.number() - 1, kStation, AreaRegister, kRegister, 255, 1.0, 0.0);
        statusGate = TavDefineGateAt(channel.number() - 1, kStation, AreaStatus, kStatusPoint, 255, 1.0, 0.0);
        TavSetGateCallback(OnGate, this);
        // The listener pauses 4 s after its start before it first waits.
        int64_t latency;
        if (!Sample(false, 15000, &latency) || !Sample(true, 5000, &latency)) {
            error = "no value came through report by exception: " + LastFaultLine();
            return false;
        }
        return true;
    }

    static void TAVLIB_CDECL OnGate(int32_t gateId, const TavGateValue*, void* context) {
        ExceptionRig* rig = static_cast<ExceptionRig*>(context);
        // The listener's thread is tracked from its first gate write on.
        if (std::this_thread::get_id() != rig->mainThread) TrackThisThread(true);
        if (gateId != rig->registerGate && gateId != rig->statusGate) return;
        rig->gateAt.store(NowNs());
        rig->gateWrites.fetch_add(1);
    }

    // One event from the unit into its gate, a status event or a register
    // change; its latency in ns.
    bool Sample(bool statusEvent, int timeoutMs, int64_t* latency) {
        const uint32_t value = nextValue++;
        const uint64_t writes = gateWrites.load();
        noticeAt.store(0);
        armed.store(true);
        if (statusEvent) {
            sim->QueueStatusEvent(kStation, kStatusPoint, (value & 1) != 0);
        } else {
            sim->QueueRegisterChange(kStation, kRegister, value);
        }
        const int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
        while (gateWrites.load() == writes) {
            if (NowNs() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        const int64_t sent = noticeAt.load();
        if (sent == 0) return false;
        *latency = gateAt.load() - sent;
        return true;
    }

    // Ends the listener the way a host does, by failing its message wait, and
    // waits for its last message, so that it is gone before the program ends.
    void TearDown() {
        TavStopWaits();
        const int64_t deadline = NowNs() + 5000000000LL;
        while (LastFaultLine() != kShutdownLine && NowNs() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sim->Stop();
    }
};

ExceptionRig* rig = nullptr;
std::string setUpError;

void BM_ExceptionLatency(benchmark::State& state) {
    const int tickMs = static_cast<int>(state.range(0));
    if (rig == nullptr && setUpError.empty()) {
        rig = new ExceptionRig();
        if (!rig->SetUp()) setUpError = rig->error;
    }
    if (!setUpError.empty()) {
        state.SkipWithError(setUpError.c_str());
        return;
    }
    TavSetWaitTick(tickMs);
    int64_t latency;
    for (int i = 0; i < 3; ++i) rig->Sample(i == 1, 5000, &latency);  // the new tick in force

    std::vector<int64_t> samples;
    samples.reserve(static_cast<size_t>(state.max_iterations));
    uint64_t failures = 0;
    uint64_t allocations[2] = {0, 0};  // on the listener's thread, by kind
    uint64_t notices[2] = {0, 0};
    uint32_t random = 12345u + static_cast<uint32_t>(tickMs);
    int kind = 0;
    for (auto _ : state) {
        // A pause of 0 to 2 ticks, so that notices fall at every phase of the wait.
        random = random * 1664525u + 1013904223u;
        std::this_thread::sleep_for(std::chrono::microseconds((random >> 8) % (2000u * tickMs)));
        const uint64_t before = TrackedAllocations();
        const bool ok = rig->Sample(kind == 1, 5000, &latency);
        allocations[kind] += TrackedAllocations() - before;
        ++notices[kind];
        kind ^= 1;
        if (!ok) {
            ++failures;
            continue;
        }
        samples.push_back(latency);
        state.SetIterationTime(static_cast<double>(latency) / 1e9);
    }
    state.counters["tick_ms"] = tickMs;
    state.counters["mean_ms"] = Mean(samples) / 1e6;
    state.counters["p50_ms"] = Quantile(samples, 0.50) / 1e6;
    state.counters["p90_ms"] = Quantile(samples, 0.90) / 1e6;
    state.counters["p99_ms"] = Quantile(samples, 0.99) / 1e6;
    state.counters["max_ms"] = Quantile(samples, 1.0) / 1e6;
    state.counters["min_ms"] = Quantile(samples, 0.0) / 1e6;
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["listener_allocs_per_change_notice"] =
        notices[0] ? static_cast<double>(allocations[0]) / static_cast<double>(notices[0]) : 0;
    state.counters["listener_allocs_per_status_notice"] =
        notices[1] ? static_cast<double>(allocations[1]) / static_cast<double>(notices[1]) : 0;
}

void BM_ExceptionTearDown(benchmark::State& state) {
    for (auto _ : state) {
        if (rig != nullptr) rig->TearDown();
    }
    state.counters["listener_ended"] = LastFaultLine() == kShutdownLine ? 1 : 0;
}

}  // namespace

void RegisterExceptionBenchmarks() {
    benchmark::RegisterBenchmark("BM_ExceptionLatency", BM_ExceptionLatency)
        ->Arg(20)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_ExceptionLatency", BM_ExceptionLatency)
        ->Arg(5)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_ExceptionTearDown", BM_ExceptionTearDown)->Iterations(1);
}

}  // namespace kivbench

// Figures 1 and 2: the round trip of a one-register Read through KivMain
// against a unit that answers at once, side by side with its floor, the bare
// exchange of the same byte counts over the same line; and the probe that
// callgrind runs to count the instructions of one Read.
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/support.h"

namespace kivbench {
namespace {

// One line and one responder for both paths: the driver opens the slave by
// name, the bare exchange uses the descriptor the pair keeps open. The two
// never overlap (each exchange ends before the next begins), so both cross
// the same pseudo-terminal to the same thread.
struct RoundTripRig : PolledUnit {
    std::vector<uint8_t> floorRequest = ReadRequestFrame(false);
    uint8_t floorAnswer[64] = {};
    std::string error;

    bool SetUp() {
        if (!Open(WirePace(), true, &error)) return false;
        // The first read resets the station's link; then both paths warm up.
        for (int i = 0; i < 200; ++i) {
            if (Read() != 0 || !FloorExchange() ||
                std::memcmp(floorAnswer, unit->ReadAnswer().data(), kReadAnswerSize) != 0) {
                error = "warm-up exchange failed: " + LastFaultLine();
                return false;
            }
        }
        return true;
    }

    bool FloorExchange() {
        return BareExchange(line.slave(), floorRequest.data(), floorRequest.size(), floorAnswer, kReadAnswerSize);
    }
};

RoundTripRig* rig = nullptr;

// CPU time of the calling thread spent in one leg, added up over the run.
struct LegCpu {
    int64_t user = 0;
    int64_t system = 0;
    int64_t userAtStart = 0;
    int64_t systemAtStart = 0;
    void Start() { ThisThreadCpu(&userAtStart, &systemAtStart); }
    void Stop() {
        int64_t u, s;
        ThisThreadCpu(&u, &s);
        user += u - userAtStart;
        system += s - systemAtStart;
    }
};

RoundTripRig* Rig(std::string* error) {
    if (rig == nullptr) {
        rig = new RoundTripRig();
        if (!rig->SetUp()) {
            *error = rig->error;
            delete rig;
            rig = nullptr;
        }
    }
    return rig;
}

// The rig, or nullptr with the benchmark skipped when it cannot be set up.
RoundTripRig* Rig(benchmark::State& state) {
    std::string error;
    if (Rig(&error) == nullptr) state.SkipWithError(error.c_str());
    return rig;
}

void SetQuantiles(benchmark::State& state, const char* name, std::vector<int64_t>& samples) {
    const std::string prefix(name);
    state.counters[prefix + "_p50_us"] = Quantile(samples, 0.50) / 1000.0;
    state.counters[prefix + "_p90_us"] = Quantile(samples, 0.90) / 1000.0;
    state.counters[prefix + "_p99_us"] = Quantile(samples, 0.99) / 1000.0;
}

// The samples and CPU times of both legs of BM_RoundTrip.
struct RoundTripRun {
    std::vector<int64_t> driver, floor;
    LegCpu driverCpu, floorCpu;  // read outside the timed spans
    uint64_t failures = 0;

    void DriverLeg(RoundTripRig* r) {
        driverCpu.Start();
        TrackThisThread(true);
        const int64_t start = NowNs();
        const int32_t result = r->Read();
        driver.push_back(NowNs() - start);
        TrackThisThread(false);
        driverCpu.Stop();
        if (result != 0 || r->data[0] != 100000) ++failures;
    }

    void FloorLeg(RoundTripRig* r) {
        floorCpu.Start();
        const int64_t start = NowNs();
        const bool ok = r->FloorExchange();
        floor.push_back(NowNs() - start);
        floorCpu.Stop();
        if (!ok) ++failures;
    }
};

void ReportRoundTrip(benchmark::State& state, RoundTripRig* r, RoundTripRun& run) {
    const double reads = static_cast<double>(run.driver.size());
    state.counters["failures"] = static_cast<double>(run.failures);
    state.counters["request_bytes"] = static_cast<double>(r->unit->LastRequestSize());
    state.counters["answer_bytes"] = static_cast<double>(r->unit->ReadAnswer().size());
    state.counters["floor_request_bytes"] = static_cast<double>(r->floorRequest.size());
    state.counters["driver_mean_us"] = Mean(run.driver) / 1000.0;
    state.counters["floor_mean_us"] = Mean(run.floor) / 1000.0;
    // Where the calling thread's time goes: its own CPU in user space and in
    // the kernel; the rest of a round trip it waits for the other side.
    state.counters["driver_user_us"] = static_cast<double>(run.driverCpu.user) / reads / 1000.0;
    state.counters["driver_sys_us"] = static_cast<double>(run.driverCpu.system) / reads / 1000.0;
    state.counters["floor_user_us"] = static_cast<double>(run.floorCpu.user) / reads / 1000.0;
    state.counters["floor_sys_us"] = static_cast<double>(run.floorCpu.system) / reads / 1000.0;
    SetQuantiles(state, "driver", run.driver);
    SetQuantiles(state, "floor", run.floor);
    const double floorMedian = Quantile(run.floor, 0.50);
    state.counters["ratio_p50"] = floorMedian > 0 ? Quantile(run.driver, 0.50) / floorMedian : 0;
}

// One iteration is one driver Read and one bare exchange, in alternating
// order, each timed alone: both see the same machine at the same moments.
// The iteration time reported is the driver's.
void BM_RoundTrip(benchmark::State& state) {
    RoundTripRig* r = Rig(state);
    if (r == nullptr) return;
    RoundTripRun run;
    run.driver.reserve(static_cast<size_t>(state.max_iterations));
    run.floor.reserve(static_cast<size_t>(state.max_iterations));
    const uint64_t faultsBefore = FaultLogLines();
    const uint64_t allocationsBefore = TrackedAllocations();
    bool driverFirst = false;
    MachineLoad load;
    load.Start();
    for (auto _ : state) {
        if (driverFirst) run.DriverLeg(r);
        run.FloorLeg(r);
        if (!driverFirst) run.DriverLeg(r);
        driverFirst = !driverFirst;
        state.SetIterationTime(static_cast<double>(run.driver.back()) / 1e9);
    }
    state.counters["others_cores_busy"] = load.OthersBusyCores();
    state.counters["allocs_per_read"] =
        static_cast<double>(TrackedAllocations() - allocationsBefore) / static_cast<double>(run.driver.size());
    state.counters["fault_log_lines"] = static_cast<double>(FaultLogLines() - faultsBefore);
    ReportRoundTrip(state, r, run);
}

// The floor with the driver's kernel calls added, to show what each costs on
// the round trip: the purge's query of the input queue (FIONREAD) before the
// write, then write, poll and read as the floor does; with wakeFd, the
// driver's own poll and read as well: its descriptor polled beside the read
// end of the pipe that CloseHandle wakes blocked calls with, and a read of
// whatever is waiting, up to the port's 512-byte input buffer. Returns true
// when the whole answer came.
bool FloorWithDriverCalls(int fd, const std::vector<uint8_t>& request, uint8_t* answer, int wakeFd = -1) {
    int count = 0;
    ioctl(fd, FIONREAD, &count);
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return false;
    uint8_t input[512];
    const size_t room = wakeFd >= 0 ? sizeof input : kReadAnswerSize;
    size_t got = 0;
    while (got < kReadAnswerSize) {
        struct pollfd waits[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (poll(waits, wakeFd >= 0 ? 2 : 1, 1000) <= 0) return false;
        const ssize_t n = read(fd, input + got, room - got);
        if (n > 0) got += static_cast<size_t>(n);
    }
    std::memcpy(answer, input, kReadAnswerSize);
    return true;
}

void BM_RoundTripSteps(benchmark::State& state) {
    RoundTripRig* r = Rig(state);
    if (r == nullptr) return;
    constexpr int kLegs = 4;  // floor, + the queue query, + the driver's poll and read, the driver
    int wake[2];
    if (pipe(wake) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    std::vector<int64_t> legs[kLegs];
    for (auto& samples : legs) samples.reserve(static_cast<size_t>(state.max_iterations));
    uint64_t failures = 0;
    int first = 0;
    for (auto _ : state) {
        for (int k = 0; k < kLegs; ++k) {
            const int leg = (first + k) % kLegs;
            const int64_t start = NowNs();
            bool ok;
            if (leg == 0) {
                ok = r->FloorExchange();
            } else if (leg == 1) {
                ok = FloorWithDriverCalls(r->line.slave(), r->floorRequest, r->floorAnswer);
            } else if (leg == 2) {
                ok = FloorWithDriverCalls(r->line.slave(), r->floorRequest, r->floorAnswer, wake[0]);
            } else {
                ok = r->Read() == 0;
            }
            legs[leg].push_back(NowNs() - start);
            if (!ok) ++failures;
        }
        first = (first + 1) % kLegs;
    }
    close(wake[0]);
    close(wake[1]);
    const char* names[kLegs] = {"floor", "queue_query", "driver_calls", "driver"};
    for (int leg = 0; leg < kLegs; ++leg)
        state.counters[std::string(names[leg]) + "_p50_us"] = Quantile(legs[leg], 0.5) / 1000.0;
    state.counters["failures"] = static_cast<double>(failures);
}

}  // namespace

void RegisterRoundTripBenchmarks() {
    benchmark::RegisterBenchmark("BM_RoundTrip", BM_RoundTrip)
        ->Iterations(20000)->UseManualTime()->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_RoundTripSteps", BM_RoundTripSteps)->Iterations(10000);
}

}  // namespace kivbench

// The loops callgrind collects in (--toggle-collect): never inlined, with C
// names that are easy to name on its command line.
extern "C" __attribute__((noinline)) int KivBenchMeasuredReads(int count) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (kivbench::rig->Read() != 0) ++failures;
    }
    return failures;
}

extern "C" __attribute__((noinline)) int KivBenchMeasuredBare(int count) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (!kivbench::rig->FloorExchange()) ++failures;
    }
    return failures;
}

namespace kivbench {

int RunCallgrindProbe(const std::string& which, int count) {
    std::string error;
    if (Rig(&error) == nullptr) {
        std::fprintf(stderr, "kiv_bench: %s\n", error.c_str());
        return 1;
    }
    int failures;
    if (which == "driver") {
        failures = KivBenchMeasuredReads(count);
    } else if (which == "floor") {
        failures = KivBenchMeasuredBare(count);
    } else {
        std::fprintf(stderr, "kiv_bench: --callgrind-probe takes driver or floor\n");
        return 2;
    }
    std::printf("probe %s: %d exchanges, %d failed, %llu fault log lines\n", which.c_str(), count, failures,
                static_cast<unsigned long long>(FaultLogLines()));
    return failures == 0 ? 0 : 1;
}

}  // namespace kivbench

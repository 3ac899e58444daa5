// Figure 3: heap allocations per request after Open, for every kind of host
// request, against a simulated unit (kivsim, unpaced). Only the calling
// thread is tracked, and only inside KivMain: what the simulator allocates
// on its own thread, or the benchmark between calls, does not count.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench/bench.h"
#include "bench/support.h"
#include "driver/commands.h"
#include "tavlib/tavlib_control.h"
#include "tools/kivsim/kivsim.h"

namespace kivbench {
namespace {

constexpr uint16_t kStatusPoint = 5;
constexpr uint16_t kLoggedRegister = 400;  // logged events need a register below 4096
constexpr int kBlock = 10;                  // registers of the block requests

enum class Op { Read, ReadBit, Write, WriteBit, ReadBlock, WriteBlock, FetchChanges, FetchStatus, FetchLogged, SetClock };

struct HeapRig {
    kivsim::Simulator sim;
    DriverChannel channel;
    GateRequest reg{}, bit{}, changes{}, status{}, logged{}, clock{};
    int32_t data[kBlock] = {};
    std::string error;

    bool SetUp() {
        if (!sim.AddStation(kStation, kHostAddress) || !sim.Start()) {
            error = "simulator: " + sim.Error();
            return false;
        }
        if (!channel.Open(sim.LinePath(), false, &error)) return false;
        if (!channel.Gate("R00120300", &reg, data) || !channel.Gate("R0012030005", &bit, data, 6) ||
            !channel.Gate("!R0012", &changes, data) || !channel.Gate("!S0012", &status, data) ||
            !channel.Gate("!L0012", &logged, data) || !channel.Gate("!T0012", &clock, data)) {
            error = "ParseAddress refused a benchmark address";
            return false;
        }
        const int32_t index = channel.number() - 1;  // the host's channel index of gates
        TavDefineGateAt(index, kStation, AreaRegister, kRegister, 255, 1.0, 0.0);
        TavDefineGateAt(index, kStation, AreaRegister, kLoggedRegister, 255, 1.0, 0.0);
        TavDefineGateAt(index, kStation, AreaStatus, kStatusPoint, 255, 1.0, 0.0);
        // Every kind once before counting: the link reset, the first clock
        // query of the C library and so on belong to the start, not to a request.
        for (int op = 0; op <= static_cast<int>(Op::SetClock); ++op) {
            for (int i = 0; i < 3; ++i) {
                Prepare(static_cast<Op>(op), i);
                if (Run(static_cast<Op>(op)) != 0) {
                    error = "warm-up request failed: " + LastFaultLine();
                    return false;
                }
            }
        }
        return true;
    }

    // What the unit must hold before the request (not counted).
    void Prepare(Op op, int i) {
        switch (op) {
        case Op::FetchChanges: sim.QueueRegisterChange(kStation, kRegister, static_cast<uint32_t>(i)); break;
        case Op::FetchStatus: sim.QueueStatusEvent(kStation, kStatusPoint, (i & 1) != 0); break;
        case Op::FetchLogged: sim.QueueLoggedEvent(kStation, kLoggedRegister, static_cast<uint32_t>(i)); break;
        default: break;
        }
        for (int k = 0; k < kBlock; ++k) data[k] = i + k;
    }

    int32_t Block(int32_t command) {
        GateRequest block = reg;
        block.blockLength = kBlock;
        block.count = kBlock;
        return channel.Call(command, &block);
    }

    int32_t Run(Op op) {
        switch (op) {
        case Op::Read: return channel.Call(CommandRead, &reg);
        case Op::ReadBit: return channel.Call(CommandRead, &bit);
        case Op::Write: return channel.Call(CommandWrite, &reg);
        case Op::WriteBit: return channel.Call(CommandWrite, &bit);
        case Op::ReadBlock: return Block(CommandReadBlock);
        case Op::WriteBlock: return Block(CommandWriteBlock);
        case Op::FetchChanges: return channel.Call(CommandRead, &changes);
        case Op::FetchStatus: return channel.Call(CommandRead, &status);
        case Op::FetchLogged: return channel.Call(CommandRead, &logged);
        case Op::SetClock: return channel.Call(CommandWrite, &clock);
        }
        return 1;
    }
};

HeapRig* rig = nullptr;

// Keeps TZ set for its scope: glibc's mktime re-reads the zone setting on
// every call and, while TZ is unset, copies the default zone's name to the
// heap each time (a strdup in tzset). The event fetches convert the units'
// time stamps with mktime, so they are counted both ways.
class ZoneSetting {
public:
    explicit ZoneSetting(bool set) : changed_(set && std::getenv("TZ") == nullptr) {
        if (changed_) setenv("TZ", ":/etc/localtime", 1);
    }
    ~ZoneSetting() {
        if (changed_) unsetenv("TZ");
    }
    ZoneSetting(const ZoneSetting&) = delete;
    ZoneSetting& operator=(const ZoneSetting&) = delete;

private:
    bool changed_;
};

void BM_Heap(benchmark::State& state, Op op, bool zoneSet) {
    if (rig == nullptr) {
        rig = new HeapRig();
        if (!rig->SetUp()) {
            state.SkipWithError(rig->error.c_str());
            delete rig;
            rig = nullptr;
            return;
        }
    }
    ZoneSetting zone(zoneSet);
    uint64_t allocations = 0;
    uint64_t failures = 0;
    int i = 0;
    for (auto _ : state) {
        rig->Prepare(op, ++i);
        const uint64_t before = TrackedAllocations();
        TrackThisThread(true);
        const int32_t result = rig->Run(op);
        TrackThisThread(false);
        allocations += TrackedAllocations() - before;
        if (result != 0) ++failures;
    }
    state.counters["allocs_per_request"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
    state.counters["allocs"] = static_cast<double>(allocations);
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["tz_set"] = std::getenv("TZ") != nullptr ? 1 : 0;
}

}  // namespace

void RegisterHeapBenchmarks() {
    const struct {
        const char* name;
        Op op;
        bool zoneSet;  // TZ set for the run (else as the environment has it)
    } kOps[] = {
        {"BM_Heap/read", Op::Read, false},
        {"BM_Heap/read_bit", Op::ReadBit, false},
        {"BM_Heap/write", Op::Write, false},
        {"BM_Heap/write_bit", Op::WriteBit, false},
        {"BM_Heap/read_block10", Op::ReadBlock, false},
        {"BM_Heap/write_block10", Op::WriteBlock, false},
        {"BM_Heap/set_clock", Op::SetClock, false},
        {"BM_Heap/fetch_changes", Op::FetchChanges, false},
        {"BM_Heap/fetch_status", Op::FetchStatus, false},
        {"BM_Heap/fetch_logged", Op::FetchLogged, false},
        {"BM_Heap/fetch_status_tz_set", Op::FetchStatus, true},
        {"BM_Heap/fetch_logged_tz_set", Op::FetchLogged, true},
    };
    for (const auto& entry : kOps) {
        benchmark::RegisterBenchmark(entry.name, BM_Heap, entry.op, entry.zoneSet)
            ->Iterations(200)
            ->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace kivbench

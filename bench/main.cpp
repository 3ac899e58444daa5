// kiv_bench: the driver's benchmarks. Without options of its own it runs the
// Google Benchmark suite (all its --benchmark_* options apply); with
// --callgrind-probe=driver|floor[,COUNT] it only runs the loop that
// callgrind counts instructions in. Channel configuration files go to a
// scratch directory that is the working directory for the run, so a
// relative --benchmark_out path does not name the caller's directory: give
// an absolute one.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/bench.h"
#include "bench/support.h"
#include "tavlib/tavlib_control.h"

namespace {

std::string scratch;

void RemoveScratch() {
    if (scratch.empty()) return;
    if (chdir("/") != 0) return;
    const std::string command = "rm -rf '" + scratch + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "kiv_bench: could not remove %s\n", scratch.c_str());
}

bool EnterScratch() {
    char pattern[] = "/tmp/kiv-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) return false;
    scratch = pattern;
    std::atexit(RemoveScratch);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!EnterScratch()) {
        std::perror("kiv_bench: scratch directory");
        return 1;
    }
    if (!kivbench::AllocationCounterWorks()) {
        std::fprintf(stderr, "kiv_bench: the allocation counter does not see allocations\n");
        return 1;
    }
    TavReset();
    kivbench::CaptureDriverLog();

    const char kProbe[] = "--callgrind-probe=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kProbe, sizeof kProbe - 1) != 0) continue;
        std::string which = argv[i] + sizeof kProbe - 1;
        int count = 2000;
        const size_t comma = which.find(',');
        if (comma != std::string::npos) {
            count = std::atoi(which.c_str() + comma + 1);
            which.resize(comma);
        }
        return kivbench::RunCallgrindProbe(which, count > 0 ? count : 2000);
    }

    kivbench::RegisterRoundTripBenchmarks();
    kivbench::RegisterCrcBenchmarks();
    kivbench::RegisterHeapBenchmarks();
    kivbench::RegisterLineBenchmarks();
    kivbench::RegisterScaleBenchmarks();
    kivbench::RegisterExceptionBenchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

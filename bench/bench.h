// What the benchmark files offer the program's main beyond their registered
// benchmarks.
#pragma once

#include <string>

namespace kivbench {

// Sets up the round-trip rig and runs count exchanges of one kind ("driver":
// one-register Reads through KivMain; "floor": bare exchanges) inside the
// functions that callgrind collects in. Returns the program's exit status.
int RunCallgrindProbe(const std::string& which, int count);

// Each file's benchmarks, registered in the order the figures are numbered;
// report by exception last, since ending its listener ends the driver's work.
void RegisterRoundTripBenchmarks();
void RegisterCrcBenchmarks();
void RegisterHeapBenchmarks();
void RegisterLineBenchmarks();
void RegisterScaleBenchmarks();
void RegisterExceptionBenchmarks();

}  // namespace kivbench

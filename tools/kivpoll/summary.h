// The figures of a run and the summary that ends it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "tools/kivpoll/output.h"

namespace kivpoll {

// kExitRuntime: the host runtime (the kit's stand-in) cannot be found or
// loaded (Windows).
enum : int {
    kExitDone = 0,
    kExitRefused = 1,
    kExitNoAnswer = 2,
    kExitUsage = 3,
    kExitPort = 4,
    kExitConfig = 5,
    kExitRuntime = 6
};

struct Summary {
    int requests = 0, done = 0, refused = 0, noAnswer = 0, gateUpdates = 0, lineFaults = 0;
    std::vector<double> rtts;
    // Counts a request's row.
    void Count(const ResultRow& row);
};

// The summary goes where the rows go; beside CSV rows, to standard error.
void PrintSummary(const Summary& summary, const OutputOptions& output, std::FILE* out = stdout);
int ExitCodeFor(const Summary& summary);
// Says "kivpoll: message" on standard error; Said gives false, Fail code.
bool Said(const std::string& message);
inline int Fail(int code, const std::string& message) {
    Said(message);
    return code;
}

}  // namespace kivpoll

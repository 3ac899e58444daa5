// Checks in a child process (a death test's body), where a failed assertion
// would not be seen: each failure is named on standard error, and Exit ends
// the child with 0 only when every check held.
#pragma once

#include <cstdio>
#include <cstdlib>

struct ChildChecks {
    bool ok = true;
    void operator()(bool condition, const char* what) {
        if (!condition) {
            std::fprintf(stderr, "check failed: %s\n", what);
            ok = false;
        }
    }
    [[noreturn]] void Exit() { std::exit(ok ? 0 : 1); }
};

// What every fuzz target may use, with or without the driver's core: the
// stop for a failed check and files written into a private directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzing {

// Stops the process with a message: a fuzz target's own check failed.
[[noreturn]] void Fail(const char* what);
inline void Check(bool condition, const char* what) {
    if (!condition) Fail(what);
}

// A directory of this process's own (in /dev/shm, else /tmp), made on first use.
const std::string& ScratchDirectory();
// Writes size bytes into the scratch directory's file name (created or
// emptied) and returns its full path.
std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size);

// Makes the scratch directory current until the guard ends: readers that
// look for their file in the current directory find the one written there
// (libFuzzer opens its corpus by the paths it was given, so the previous
// directory comes back before the next input).
class InScratchDirectory {
public:
    InScratchDirectory();
    ~InScratchDirectory();
    InScratchDirectory(const InScratchDirectory&) = delete;
    InScratchDirectory& operator=(const InScratchDirectory&) = delete;

private:
    char previous_[4096];
};

}  // namespace fuzzing

// What every fuzz target may use, with or without the driver's core: a
// reader over the fuzz input, the stop for a failed check and files written
// into a private directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzing {

using Bytes = std::vector<uint8_t>;

// Reads the fuzz input front to back; past its end every read gives zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - at_; }
    uint8_t Byte() { return Empty() ? 0 : data_[at_++]; }
    uint16_t Word() {
        const uint8_t high = Byte();
        return static_cast<uint16_t>((high << 8) | Byte());
    }
    // Up to count bytes (fewer at the end of the input).
    Bytes Take(size_t count) {
        if (count > Left()) count = Left();
        Bytes taken(data_ + at_, data_ + at_ + count);
        at_ += count;
        return taken;
    }
    Bytes Rest() { return Take(Left()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Stops the process with a message: a fuzz target's own check failed.
[[noreturn]] void Fail(const char* what);
inline void Check(bool condition, const char* what) {
    if (!condition) Fail(what);
}

// The pieces of a text between separators (a last piece without one
// counts too, an empty text has none); with dropCr, a CR before the
// separator is not part of the piece, as a reader of text lines sees it.
std::vector<std::string> Split(const std::string& text, char separator = '\n', bool dropCr = false);

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

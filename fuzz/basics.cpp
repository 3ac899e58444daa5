// The fuzz targets' check stop and scratch files.
#include "fuzz/basics.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace fuzzing {

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

std::vector<std::string> Split(const std::string& text, char separator, bool dropCr) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find(separator, at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (dropCr && !lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// In memory where the system has such a file system: on ext4 the close of
// a file written again after truncation waits for the disk, which would
// make each input cost milliseconds.
const std::string& ScratchDirectory() {
    // Never destroyed: the exit handler that removes it runs after the
    // statics are gone.
    static const std::string& path = *[] {
        char inMemory[] = "/dev/shm/kiv-fuzz-XXXXXX";
        char onDisk[] = "/tmp/kiv-fuzz-XXXXXX";
        const char* made = mkdtemp(inMemory);
        if (made == nullptr) made = mkdtemp(onDisk);
        if (made == nullptr) Fail("no scratch directory");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchDirectory(), ignored);
        });
        return new std::string(made);
    }();
    return path;
}

std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
    const std::string path = ScratchDirectory() + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) Fail("cannot write a scratch file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size) Fail("short write of a scratch file");
    if (std::fclose(file) != 0) Fail("cannot close a scratch file");
    return path;
}

InScratchDirectory::InScratchDirectory() {
    if (getcwd(previous_, sizeof previous_) == nullptr || chdir(ScratchDirectory().c_str()) != 0)
        Fail("cannot enter the scratch directory");
}

InScratchDirectory::~InScratchDirectory() {
    if (chdir(previous_) != 0) Fail("cannot go back from the scratch directory");
}

}  // namespace fuzzing

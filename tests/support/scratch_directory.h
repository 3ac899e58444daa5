// A fresh directory made current for a test's life: channel configuration
// files are looked up in the current directory, natively and under wine.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& prefix = "kiv-test") : previous_(std::filesystem::current_path()) {
        static int counter = 0;
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (;;) {
            path_ = std::filesystem::temp_directory_path() /
                    (prefix + "-" + std::to_string(stamp) + "-" + std::to_string(++counter));
            if (std::filesystem::create_directory(path_)) break;
        }
        std::filesystem::current_path(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// Writes bytes exactly as given (binary), so line ends are the caller's own.
inline bool WriteBytesFile(const std::string& name, const std::string& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

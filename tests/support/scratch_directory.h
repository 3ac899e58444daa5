// A fresh directory made current for a test's life: channel configuration
// files are looked up in the current directory, natively and under wine.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

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

// A file's bytes as they are (binary); empty when it cannot be read.
inline std::string ReadBytesFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The lines of a text without their ends (LF or CR LF).
inline std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

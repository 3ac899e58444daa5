// The channel file Open reads: kivINnn.int in the current directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

inline std::string ChannelFileName(int32_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "kivIN%.2d.int", static_cast<int>(channel));
    return name;
}

// Writes the channel's file in text mode (CR LF line ends on Windows), or
// with exact the bytes as given; false when it could not.
inline bool WriteChannelFile(int32_t channel, const std::string& text, bool exact = false) {
    FILE* file = std::fopen(ChannelFileName(channel).c_str(), exact ? "wb" : "w");
    if (file == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

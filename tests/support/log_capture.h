// Captures the runtime stand-in's log lines for a test's lifetime.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tavlib/tavlib_control.h"

struct LogLine {
    int level;
    std::string text;
};

class LogCapture {
public:
    LogCapture() {
        TavSetLogToStderr(0);
        TavSetLogCallback(&LogCapture::Receive, this);
    }
    ~LogCapture() { TavSetLogCallback(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const LogLine& line : Lines()) texts.push_back(line.text);
        return texts;
    }
    int Count(const std::string& text) {
        int count = 0;
        for (const LogLine& line : Lines()) count += line.text == text;
        return count;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

private:
    static void TAVLIB_CDECL Receive(int32_t level, const char* text, void* context) {
        LogCapture* self = static_cast<LogCapture*>(context);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.push_back(LogLine{level, text});
    }
    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

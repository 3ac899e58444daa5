// Where the driver's log lines go, and who collects them.
#include "tools/kivpoll/host_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kivpoll {

namespace {

LogOptions logOptions;
std::FILE* logFile = nullptr;
thread_local LogCapture* capture = nullptr;

}  // namespace

bool OpenHostLog(const LogOptions& options, std::string* error) {
    CloseHostLog();
    logOptions = options;
    if (options.file.empty()) return true;
    logFile = std::fopen(options.file.c_str(), "a");
    if (logFile == nullptr) {
        *error = "--log-file " + options.file + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void CloseHostLog() {
    if (logFile != nullptr) std::fclose(logFile);
    logFile = nullptr;
}

void HostLogLine(int32_t level, const char* text) {
    if (capture != nullptr) {
        capture->lines_.push_back(text);
        if (capture->silent_) return;
    }
    if (level < kHostLogFault && !logOptions.verbose) return;
    if (logFile != nullptr) {
        std::fprintf(logFile, "[%d] %s\n", level, text);
        std::fflush(logFile);
    } else if (!logOptions.quiet) {
        std::fprintf(stderr, "[%d] %s\n", level, text);
    }
}

LogCapture::LogCapture(bool silent) : silent_(silent), outer_(capture) { capture = this; }

LogCapture::~LogCapture() { capture = outer_; }

std::vector<std::string> LogCapture::Take() {
    std::vector<std::string> taken;
    taken.swap(lines_);
    return taken;
}

}  // namespace kivpoll

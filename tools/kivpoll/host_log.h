// The driver's log lines ("[32] KivIN : ..."), as the runtime stand-in hands
// them to kivpoll: shown on standard error or written to a file, and
// collected for the reasons kivpoll gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivpoll {

struct LogOptions {
    bool quiet = false;    // -q: none on standard error
    bool verbose = false;  // -v: the informational lines too
    std::string file;      // --log-file: appended there instead of standard error
};

// The runtime's levels: faults are written always, informational lines
// (level below the fault level) only when asked.
constexpr int32_t kHostLogFault = 32;

// Sets where log lines go; false with a reason when the file cannot be opened.
bool OpenHostLog(const LogOptions& options, std::string* error);
void CloseHostLog();
// One line from the runtime: collected by a capture of this thread, then
// written as the options say (unless the capture keeps it to itself).
void HostLogLine(int32_t level, const char* text);

// Collects the log lines that driver calls on this thread write while it
// lives; with silent set they are not shown or written as well.
class LogCapture {
public:
    explicit LogCapture(bool silent = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    const std::vector<std::string>& lines() const { return lines_; }
    // Hands over the lines collected so far and starts again.
    std::vector<std::string> Take();

private:
    friend void HostLogLine(int32_t level, const char* text);
    std::vector<std::string> lines_;
    bool silent_;
    LogCapture* outer_;
};

}  // namespace kivpoll

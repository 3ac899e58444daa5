// kivpoll --check-config: what the driver takes from each line of a channel
// file, read by the driver's own code (its KivConfigReport export), and why
// it ignores a line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kivlink.h"
#include "tools/kivpoll/driver_host.h"

namespace kivpoll {

struct ConfigLineReport {
    int number = 0;
    std::string text;                // the line as it stands in the file
    std::vector<std::string> roles;  // how the reading took it; empty: not read
    std::vector<std::string> taken;  // the driver's messages for it
    std::string kept;                // what the driver kept of it (no blanks), when read
    std::string mind;                // what the driver's reading leaves out, when it does
};

struct ConfigReport {
    bool usable = false;             // the file holds a host address
    std::vector<ConfigLineReport> lines;
    std::vector<std::string> file;   // messages about the whole file (missing, empty...)
    std::string ending;              // why the reading ended where it did
    int faultLine = 0;               // the line at fault when not usable (0: the file itself)
    std::string fault;               // what is wrong, when not usable
    int mindLine = 0;                // the first line the driver does not read all of (0: none)
};

// The driver's report on a channel file (its KivConfigReport export).
using ConfigReportFunction = int32_t(KIV_CDECL*)(const char* path, KivConfigLineFunction callback, void* context);

// Reads path through the loaded driver; false with a reason in error when the
// driver has no report export.
bool CheckConfig(const DriverHost& host, const std::string& path, ConfigReport* report, std::string* error);
// The same through the driver's report function itself. The lines of a
// file the driver refused (missing, no regular file, empty, too large) are
// not listed; of a file it read, the first kListedBytes bytes are.
void CheckConfigWith(ConfigReportFunction function, const std::string& path, ConfigReport* report);
constexpr size_t kListedBytes = 8192;
// The text of a channel file the user names (--config), at most
// kCopiedBytes of it: a larger file is refused by the driver all the same.
// false with "cannot read PATH: why" in error, also for what is no regular
// file (a directory; a device or a FIFO that never ends or blocks).
constexpr size_t kCopiedBytes = 65536;
bool ReadChannelFileText(const std::string& path, std::string* text, std::string* error);
void PrintConfigReport(const std::string& path, const ConfigReport& report, std::FILE* out);

}  // namespace kivpoll

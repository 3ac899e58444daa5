// Fuzz target: `kivpoll --check-config FILE` on a channel file written from
// the input, read by the driver's own report function (linked in here, as
// the loaded driver exports it) and printed as kivpoll prints it.
//   - The report says the file is usable exactly when the driver finds a
//     host address in it; a file that is not usable has a fault, and the
//     line at fault is one of the file's lines.
//   - The report lists every line of a file the driver read, numbered from
//     1, each with its text as written; a refused file lists none.
//   - Every line the driver took carries a role; the roles the driver gave
//     for a line are the ones the report shows.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/config.h"
#include "fuzz/basics.h"
#include "tavlib/tavlib_control.h"
#include "tools/kivpoll/config_check.h"
#include "tools/kivpoll/host_log.h"

namespace {

struct Seen {
    std::vector<std::pair<int32_t, int32_t>> roles;  // (line, role) as the driver told them
};

void KIV_CDECL Record(void* context, int32_t line, int32_t role, const char*) {
    static_cast<Seen*>(context)->roles.emplace_back(line, role);
}

void TAVLIB_CDECL ToHostLog(int32_t level, const char* text, void*) { kivpoll::HostLogLine(level, text); }

// The lines listed: all of a file read, numbered from 1, as written; none
// of a refused file.
void CheckLines(const kivpoll::ConfigReport& report, const Seen& seen, const std::string& text) {
    const bool refused = !seen.roles.empty() && seen.roles.back().second == ConfigFileRefused;
    if (refused) {
        fuzzing::Check(report.lines.empty(), "a refused file lists no lines");
        return;
    }
    const std::vector<std::string> lines = fuzzing::Split(text, '\n', true);
    fuzzing::Check(report.lines.size() >= lines.size(), "every line of a file read is listed");
    for (size_t i = 0; i < report.lines.size(); ++i) {
        fuzzing::Check(report.lines[i].number == static_cast<int>(i + 1), "lines numbered from 1");
        if (i < lines.size()) fuzzing::Check(report.lines[i].text == lines[i], "a line listed as written");
    }
    fuzzing::Check(!report.ending.empty(), "a file read says where the reading ended");
}

// The roles the driver gave are the ones shown, each on a listed line.
void CheckRoles(const kivpoll::ConfigReport& report, const Seen& seen) {
    size_t roles = 0;
    for (const auto& one : seen.roles) {
        if (one.second >= ConfigEndOfFile) continue;
        ++roles;
        fuzzing::Check(one.first >= 1 && static_cast<size_t>(one.first) <= report.lines.size(),
                       "a line the driver took is listed");
        fuzzing::Check(!report.lines[static_cast<size_t>(one.first - 1)].roles.empty(), "a line taken has a role");
    }
    size_t shown = 0;
    for (const kivpoll::ConfigLineReport& line : report.lines) shown += line.roles.size();
    fuzzing::Check(shown == roles, "the report shows the roles the driver gave");
}

void CheckPrint(const kivpoll::ConfigReport& report, const std::string& path) {
    char* printed = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&printed, &length);
    if (out == nullptr) fuzzing::Fail("no memory stream");
    kivpoll::PrintConfigReport(path, report, out);
    std::fclose(out);
    const std::string all(printed, length);
    std::free(printed);
    fuzzing::Check(all.compare(0, path.size() + 2, path + ": ") == 0, "the print starts with the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        TavSetLogToStderr(0);
        TavSetLogCallback(ToHostLog, nullptr);
        kivpoll::LogOptions options;
        options.quiet = true;
        std::string error;
        return kivpoll::OpenHostLog(options, &error);
    }();
    (void)quiet;
    const std::string path = fuzzing::WriteScratchFile("kivIN01.int", data, size);

    kivpoll::ConfigReport report;
    kivpoll::CheckConfigWith(KivConfigReport, path, &report);
    Seen seen;
    const int32_t found = KivConfigReport(path.c_str(), Record, &seen);
    fuzzing::Check(report.usable == (found == 1), "usable exactly when the driver finds a host address");
    CheckLines(report, seen, std::string(reinterpret_cast<const char*>(data), size));
    if (report.usable) {
        fuzzing::Check(report.fault.empty() && report.faultLine == 0, "a usable file has no fault");
    } else {
        fuzzing::Check(!report.fault.empty(), "a file that is not usable has a fault");
        fuzzing::Check(report.faultLine >= 0 && static_cast<size_t>(report.faultLine) <= report.lines.size(),
                       "the line at fault is one of the file's");
    }
    CheckRoles(report, seen);
    CheckPrint(report, path);
    return 0;
}

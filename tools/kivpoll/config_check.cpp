// A channel file line by line, as the driver reads it.
#include "tools/kivpoll/config_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kivlink.h"
#include "tools/kivpoll/host_log.h"

namespace kivpoll {

namespace {

// Gathers the report while the driver reads: each call names the line the
// driver's next messages are about.
struct Gathering {
    ConfigReport* report;
    LogCapture* log;
    std::vector<std::string>* current;  // where the messages so far belong
    int32_t lastLine;
    int32_t end;
};

const char* RoleName(int32_t role) {
    switch (role) {
    case ConfigHostAddressLine: return "host address line";
    case ConfigExceptionLine: return "EXCEPTION line";
    case ConfigRadioLine: return "RADIO line";
    default: return "line";
    }
}

ConfigLineReport& LineOf(ConfigReport* report, int32_t number) {
    while (static_cast<int32_t>(report->lines.size()) < number) {
        report->lines.emplace_back();
        report->lines.back().number = static_cast<int>(report->lines.size());
    }
    return report->lines[static_cast<size_t>(number - 1)];
}

void KIV_CDECL OnLine(void* context, int32_t line, int32_t role, const char* kept) {
    Gathering& g = *static_cast<Gathering*>(context);
    for (std::string& message : g.log->Take()) g.current->push_back(message);
    if (role >= ConfigEndOfFile) {
        g.lastLine = line;
        g.end = role;
        g.current = &g.report->file;
        return;
    }
    ConfigLineReport& entry = LineOf(g.report, line);
    entry.roles.push_back(RoleName(role));
    if (kept != nullptr) entry.kept = kept;
    g.current = &entry.taken;
}

// The driver takes the host address from at most this many characters
// after "=", a sign counting as one.
constexpr size_t kHostAddressWidth = 5;

// What the driver leaves out of a host address line it took an address
// from: the characters after its number (a sixth digit, a comment), or "".
std::string HostAddressLeftOut(const ConfigLineReport& line) {
    const std::string taken = "Tavrik Address = ";
    const std::string* message = nullptr;
    for (const std::string& m : line.taken)
        if (m.find(taken) != std::string::npos) message = &m;
    const size_t equals = line.kept.find('=');
    if (message == nullptr || equals == std::string::npos) return "";
    const std::string after = line.kept.substr(equals + 1);
    size_t used = after.empty() || (after[0] != '+' && after[0] != '-') ? 0 : 1;
    while (used < kHostAddressWidth && used < after.size() && after[used] >= '0' && after[used] <= '9') ++used;
    if (used == after.size()) return "";
    const std::string address = message->substr(message->find(taken) + taken.size());
    return "the host address is " + address + ", not what is written: the driver reads it from at most " +
           std::to_string(kHostAddressWidth) + " characters after \"=\" and leaves out \"" + after.substr(used) +
           "\"";
}

// Why a line the reading took gave nothing, by how it was read.
std::string IgnoredBecause(const ConfigLineReport& line) {
    std::string why;
    for (const std::string& role : line.roles) {
        if (!why.empty()) why += "; ";
        if (role == RoleName(ConfigExceptionLine))
            why += "report-by-exception stays off: no EXCEPTION, \"=\" and then the word ON";
        else if (role == RoleName(ConfigRadioLine))
            why += "radio keying stays off: no RADIO, \"=\" and then YES";
    }
    return "ignored: " + why;
}

std::string EndingText(int32_t end, int32_t lastLine) {
    std::string at = " at line " + std::to_string(lastLine);
    switch (end) {
    case ConfigEndNoEquals: return "the reading ended" + at + ": a host address line without \"=\" ends it";
    case ConfigEndRadioTimes:
        return "the reading ended" + at + ": a RADIO line with other than one time ends it";
    case ConfigEndByteBound: return "the reading ended" + at + ": past 4096 bytes";
    case ConfigFileRefused: return "the file was refused";
    default:
        return "the reading ended" + at +
               ": end of file (the driver does not read a last line without a line feed that keeps fewer than 10 "
               "characters)";
    }
}

}  // namespace

bool CheckConfig(const DriverHost& host, const std::string& path, ConfigReport* report, std::string* error) {
    ConfigReportFunction function = reinterpret_cast<ConfigReportFunction>(host.Symbol("KivConfigReport"));
    if (function == nullptr) {
        *error = "this driver does not report on channel files (no KivConfigReport)";
        return false;
    }
    CheckConfigWith(function, path, report);
    return true;
}

void CheckConfigWith(ConfigReportFunction function, const std::string& path, ConfigReport* report) {
    *report = ConfigReport();
    LogCapture log(true);
    Gathering gathering{report, &log, &report->file, 0, ConfigEndOfFile};
    report->usable = function(path.c_str(), OnLine, &gathering) == 1;
    for (std::string& message : log.Take()) gathering.current->push_back(message);

    // Every line of a file the driver read, read or not, with its text as
    // written. A refused file may be a device that never ends or a FIFO
    // that blocks its open: it is not opened again.
    if (gathering.end != ConfigFileRefused) {
        std::ifstream in(path, std::ios::binary);
        std::string listed(kListedBytes, '\0');
        in.read(&listed[0], static_cast<std::streamsize>(listed.size()));
        listed.resize(static_cast<size_t>(in.gcount()));
        std::istringstream lines(listed);
        std::string text;
        for (int number = 1; std::getline(lines, text); ++number) {
            if (!text.empty() && text.back() == '\r') text.pop_back();
            LineOf(report, number).text = text;
        }
        report->ending = EndingText(gathering.end, gathering.lastLine);
    }
    for (ConfigLineReport& line : report->lines) {
        if (line.roles.empty() || line.roles.front() != RoleName(ConfigHostAddressLine)) continue;
        line.mind = HostAddressLeftOut(line);
        if (!line.mind.empty() && report->mindLine == 0) report->mindLine = line.number;
    }
    if (!report->usable) {
        report->fault = "no host address: the driver cannot open a channel with this file";
        for (const ConfigLineReport& line : report->lines) {
            if (line.roles.empty() || line.roles.front() != RoleName(ConfigHostAddressLine)) continue;
            if (report->faultLine == 0) report->faultLine = line.number;  // the first host address line
            for (const std::string& message : line.taken) {
                if (message.find("Tavrik Address") != std::string::npos) {
                    report->faultLine = line.number;
                    report->fault = message.substr(message.find(':') + 2);
                    return;
                }
            }
            if (!line.taken.empty()) report->fault = "no host address: " + line.taken.front().substr(8);
            break;
        }
        if (gathering.end == ConfigFileRefused && !report->file.empty()) report->fault = report->file.front().substr(8);
    }
}

bool ReadChannelFileText(const std::string& path, std::string* text, std::string* error) {
    struct stat status;
    std::string why;
    std::FILE* file = nullptr;
    if (stat(path.c_str(), &status) != 0) {
        why = std::strerror(errno);
    } else if (S_ISDIR(status.st_mode)) {
        why = "it is a folder, not a file";
    } else if (!S_ISREG(status.st_mode)) {
        why = "it is no regular file (a device or a pipe), which a channel file must be";
    } else if ((file = std::fopen(path.c_str(), "rb")) == nullptr) {
        why = std::strerror(errno);
    } else {
        text->assign(kCopiedBytes, '\0');
        text->resize(std::fread(&(*text)[0], 1, text->size(), file));
        if (std::ferror(file)) why = std::strerror(errno);
        std::fclose(file);
    }
    if (why.empty()) return true;
    *error = "cannot read " + path + ": " + why;
    return false;
}

void PrintConfigReport(const std::string& path, const ConfigReport& report, std::FILE* out) {
    std::fprintf(out, "%s: %s\n", path.c_str(),
                 report.usable ? "the driver can open a channel with this file" : report.fault.c_str());
    if (!report.usable && report.faultLine > 0) std::fprintf(out, "line %d is at fault\n", report.faultLine);
    if (report.usable && report.mindLine > 0)
        std::fprintf(out, "mind line %d: %s\n", report.mindLine,
                     report.lines[static_cast<size_t>(report.mindLine - 1)].mind.c_str());
    for (const ConfigLineReport& line : report.lines) {
        std::fprintf(out, "line %d: %s\n", line.number, line.text.c_str());
        if (line.roles.empty()) {
            std::fprintf(out, "    not read: %s\n", report.ending.c_str());
            continue;
        }
        std::string roles;
        for (const std::string& role : line.roles) roles += (roles.empty() ? "" : " and ") + role;
        std::fprintf(out, "    read as the %s\n", roles.c_str());
        for (const std::string& message : line.taken) std::fprintf(out, "    driver: %s\n", message.c_str());
        if (line.taken.empty()) std::fprintf(out, "    %s\n", IgnoredBecause(line).c_str());
    }
    for (const std::string& message : report.file) std::fprintf(out, "driver: %s\n", message.c_str());
    if (!report.ending.empty()) std::fprintf(out, "%s\n", report.ending.c_str());
}

}  // namespace kivpoll

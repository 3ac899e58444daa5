// The run's working folder, made, entered and removed again.
#include "tools/kivpoll/work_folder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "platform/port_map.h"
#include "tools/common/port_check.h"
#include "tools/kivpoll/summary.h"

namespace kivpoll {

namespace fs = std::filesystem;

namespace {

// A fresh folder of this process's alone under the system's temporary folder.
bool MakeTemporaryFolder(std::string* folder) {
    std::error_code failed;
    fs::path base = fs::temp_directory_path(failed);
#if !defined(_WIN32)
    const char* tmp = std::getenv("TMPDIR");  // set but empty: the system's own
    if (tmp != nullptr && *tmp == '\0') {
        base = "/tmp";
        failed.clear();
    }
#endif
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; !failed && attempt < 100; ++attempt) {
        const fs::path candidate = base / ("kivpoll-" + std::to_string(stamp) + "-" + std::to_string(attempt));
        if (!fs::create_directory(candidate, failed) || failed) continue;
        fs::permissions(candidate, fs::perms::owner_all, failed);
        *folder = candidate.string();
        return true;
    }
    return false;
}

bool ChangeFolder(const std::string& folder) {
    std::error_code failed;
    fs::current_path(folder, failed);
    return !failed;
}

}  // namespace

const char kNetworkPortName[] = "KIVNET";
const char kDevicePortName[] = "KIVDEV";

namespace {

// The map's lines that name a port, in order (a bad address with its name
// and no kind): the driver takes the first that names a port.
std::vector<PortMapEntry> MapEntries(const std::string& text) {
    std::vector<PortMapEntry> entries;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        PortMapEntry entry;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const PortMapLineResult result = ParsePortMapLine(line.c_str(), line.size(), &entry);
        if (result == PortMapEntryRead || result == PortMapBadUrl) entries.push_back(entry);
    }
    return entries;
}

bool SameTarget(const PortMapEntry& a, const PortMapEntry& b) {
    return a.kind == b.kind && a.port == b.port && std::string(a.host) == b.host;
}

// A name no line of the map uses: base, base2, base3...
std::string FreeName(const std::vector<PortMapEntry>& entries, const std::string& base) {
    for (int number = 1;; ++number) {
        const std::string name = number == 1 ? base : base + std::to_string(number);
        bool used = false;
        for (const PortMapEntry& entry : entries) used = used || PortNameMatches(name.c_str(), entry);
        if (!used) return name;
    }
}

}  // namespace

std::string ConfigName(int32_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "kivIN%.2d.int", channel);
    return name;
}

std::string AbsolutePath(const std::string& path) {
    std::error_code failed;  // a name that cannot be made whole stays as given
    const fs::path whole = fs::absolute(path, failed);
    const std::string canonical = failed ? "" : fs::weakly_canonical(whole, failed).string();
    return failed || canonical.empty() ? path : canonical;
}

bool WorkFolder::Prepare(const std::string& folder, int32_t channel, const std::string& configText) {
    folder_ = folder;
    channel_ = channel;
    if (folder_.empty() && !MakeTemporaryFolder(&folder_)) return Said("cannot make a working folder");
    temporary_ = folder.empty();
    if (!ChangeFolder(folder_)) return Said("cannot enter " + folder_);
    std::ofstream out(ConfigName(channel), std::ios::binary);
    out << configText;
    return out || Said("cannot write " + ConfigName(channel) + " in " + folder_);
}

std::string WorkFolder::MapPort(const std::string& target, const std::string& base, const std::string& writer) {
    PortMapEntry wanted;
    const std::string line = base + " = " + target;
    if (ParsePortMapLine(line.c_str(), line.size(), &wanted) != PortMapEntryRead) {
        Said("--port " + target + " cannot stand in " + kivtools::kPortMapFileName);
        return "";
    }
    std::ifstream in(kivtools::kPortMapFileName, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<PortMapEntry> entries = MapEntries(text);
    for (size_t i = 0; i < entries.size(); ++i) {
        bool first = true;  // an earlier line of the same name would win
        for (size_t j = 0; j < i; ++j) first = first && !PortNameMatches(entries[i].name, entries[j]);
        if (first && SameTarget(entries[i], wanted)) return entries[i].name;
    }
    const std::string name = FreeName(entries, base);
    std::ofstream out(kivtools::kPortMapFileName, std::ios::binary | std::ios::app);
    if (!text.empty() && text.back() != '\n') out << "\n";
    out << "# written by " << writer << " " << target << "\n" << name << " = " << target << "\n";
    if (!out) Said(std::string("cannot write ") + kivtools::kPortMapFileName + " in " + folder_);
    return out ? name : "";
}

WorkFolder::~WorkFolder() {
    if (!temporary_) return;
    std::remove((folder_ + "/" + ConfigName(channel_)).c_str());
    std::remove((folder_ + "/" + kivtools::kPortMapFileName).c_str());
    ChangeFolder(fs::path(folder_).parent_path().string());
    std::error_code failed;  // a folder the driver left other files in stays
    fs::remove(folder_, failed);
}

}  // namespace kivpoll
